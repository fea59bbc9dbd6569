#!/usr/bin/python3
"""The device program: plugs software serial adapters into the guest's vhci-hcd, serves
them in one select loop, and talks with the lab's host over stdin and stdout (one JSON
object a line, bytes in base64).

usage: serve.py      (then {"op": "plug", "adapters": ["ftdi", "ch340", ...]} on stdin)
       serve.py --families    prints the families' records and ends

The families are the adapter classes of chips/, one file each, each with its record
(family.py). To the host: hello (with every family's record); tty (a driver has bound one
port: its tty, found in sysfs); plug-failed; gone (unplugged, the vhci port free again);
dropped (vhci closed the connection itself); wire (bytes that left a port's chip on its
line); state (what a driver programmed on a port, on every change); pong; stats; error.
From the host: plug, send (bytes, with errors on some), lines (cts, dsr, ri, dcd), stall,
obey_rts, reset (a quiet far end), unplug, replug, ping, stats, quit. Events and commands
about one port name its family ("a") and its index among the family's ports ("p").

Adapters are plugged one at a time, each once the one before has a tty on every port."""
import base64
import collections
import importlib
import json
import os
import select
import sys
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
CHIPS = os.path.join(HERE, "chips")
sys.path[:0] = [HERE, CHIPS]

import usbip  # noqa: E402
from adapter import Adapter  # noqa: E402


def families():
    """{name: adapter class}: every class of chips/ that carries a family's record."""
    found = {}
    for file in sorted(os.listdir(CHIPS)):
        if not file.endswith(".py"):
            continue
        module = importlib.import_module(file[:-3])
        for cls in vars(module).values():
            if (isinstance(cls, type) and issubclass(cls, Adapter) and cls.record and
                    cls.__module__ == module.__name__):
                found[cls.record["name"]] = cls
    return found


FAMILIES = families()
POLL = 0.05  # sysfs polling while a device is being plugged or unplugged
PLUG_LIMIT = 30.0


class Slot:
    """One adapter on its vhci port, across unplugs and replugs."""

    def __init__(self, family, number):
        self.family, self.number = family, number  # number: the vhci port
        self.adapter = None
        self.state = "out"  # out, queued, plugging, up, leaving
        self.since = 0.0
        self.sent_state = {}  # port index -> the state last sent
        self.seen_changes = -1
        self.replug_after = False
        self.inputs = None  # each port's far end's lines, kept across a replug


class Server:
    def __init__(self):
        self.slots = {}
        self.plug_queue = collections.deque()
        self.inbuf = bytearray()
        self.outbuf = bytearray()
        self.running = True
        os.set_blocking(1, False)

    # -- the host link --------------------------------------------------------------------

    def emit(self, event, **fields):
        fields["ev"] = event
        self.outbuf += (json.dumps(fields, separators=(",", ":")) + "\n").encode()

    def flush(self):
        while self.outbuf:
            try:
                n = os.write(1, self.outbuf)
            except BlockingIOError:
                return
            del self.outbuf[:n]

    def read_host(self):
        chunk = os.read(0, 1 << 16)
        if not chunk:
            self.running = False
            return
        self.inbuf += chunk
        while b"\n" in self.inbuf:
            line, _, rest = bytes(self.inbuf).partition(b"\n")
            self.inbuf = bytearray(rest)
            if line.strip():
                try:
                    self.command(json.loads(line))
                except Exception as e:  # a bad command must not take the adapters down
                    self.emit("error", msg="%s: %s" % (type(e).__name__, e),
                              where=traceback.format_exc().splitlines()[-3:])

    def command(self, c):
        op, now = c["op"], time.monotonic()
        slot = self.slots.get(c.get("a"))
        adapter = slot.adapter if slot and slot.state == "up" else None
        port = None
        if adapter is not None and 0 <= c.get("p", 0) < len(adapter.ports):
            port = adapter.ports[c.get("p", 0)]
        if op == "plug":
            for family in c["adapters"]:
                if family not in self.slots:
                    self.slots[family] = Slot(family, c.get("first_port", 0) + len(self.slots))
                self.queue_plug(self.slots[family])
        elif op == "ping":
            self.emit("pong", n=c.get("n"))
        elif op == "stats":
            t = os.times()
            self.emit("stats", n=c.get("n"), cpu=t.user + t.system, clock=now, adapters={
                f: [{"sent": p.uart.sent, "received": p.uart.received,
                     "overruns": p.uart.overruns, "tx": len(p.uart.tx), "rx": len(p.uart.rx)}
                    for p in s.adapter.ports] for f, s in self.slots.items() if s.adapter})
        elif op == "quit":
            self.running = False
        elif op == "unplug" and slot:
            self.unplug(slot, now)
        elif op == "replug" and slot:
            if slot.state == "leaving":
                slot.replug_after = True
            elif slot.state == "out":
                self.queue_plug(slot)
        elif port is None:
            self.emit("error", msg="%s: no adapter %s with a port %s is plugged"
                      % (op, c.get("a"), c.get("p", 0)))
        elif op == "send":
            port.uart.inject(base64.b64decode(c["d"]), [tuple(e) for e in c.get("e", ())], now)
            adapter.pump(now)
        elif op == "lines":
            adapter.set_inputs(port, now, **{k: c.get(k) for k in ("cts", "dsr", "ri", "dcd")})
        elif op == "stall":
            adapter.set_stall(port, c["on"], now)
        elif op == "obey_rts":
            port.uart.far_obeys_rts = bool(c["on"])
            adapter.pump(now)
        elif op == "reset":
            adapter.reset_far_end(port, now)
        else:
            self.emit("error", msg="unknown op %r" % op)

    # -- plugging -------------------------------------------------------------------------

    def queue_plug(self, slot):
        if slot.state == "out":
            slot.state = "queued"
            self.plug_queue.append(slot)

    def start_plug(self, now):
        if not self.plug_queue or any(s.state == "plugging" for s in self.slots.values()):
            return
        slot = self.plug_queue.popleft()
        adapter = FAMILIES[slot.family](slot.number)
        for port, inputs in zip(adapter.ports, slot.inputs or ()):
            port.uart.inputs.update(inputs)
        try:
            sock = usbip.attach(slot.number, slot.number + 1)
        except OSError as e:
            slot.state = "out"
            self.emit("plug-failed", a=slot.family, why="attach: %s" % e)
            return
        adapter.conn = usbip.Connection(sock, adapter, self.tracer(slot.family))
        slot.adapter, slot.state, slot.since = adapter, "plugging", now
        slot.sent_state, slot.seen_changes = {}, -1

    def tracer(self, family):
        """With VELMORA_ADAPTERS_TRACE=FILE, every request and answer goes to FILE."""
        path = os.environ.get("VELMORA_ADAPTERS_TRACE")
        if not path:
            return None
        f = open(path, "a", buffering=1)

        def trace(way, r, status=None, data=b""):
            if isinstance(r, usbip.Unlink):
                f.write("%.4f %s unlink %d of %d\n"
                        % (time.monotonic(), family, r.seqnum, r.victim))
            elif way == "in":
                f.write("%.4f %s > %d ep%d %s %d %s %s\n" % (
                    time.monotonic(), family, r.seqnum, r.ep, "in" if r.is_in else "out",
                    r.length, r.setup or "", r.data[:16].hex()))
            else:
                f.write("%.4f %s < %d status %d %s\n" % (time.monotonic(), family, r.seqnum,
                                                         status, bytes(data[:24]).hex()))
        return trace

    def unplug(self, slot, now):
        if slot.state not in ("plugging", "up"):
            return
        slot.inputs = [dict(port.uart.inputs) for port in slot.adapter.ports]
        self.report(slot)
        slot.adapter.detach()
        slot.state, slot.since = "leaving", now

    def poll_ports(self, now):
        busy = [s for s in self.slots.values() if s.state in ("plugging", "leaving")]
        if not busy:
            return
        ports = usbip.port_status()
        for slot in busy:
            state, busid = ports.get(slot.number, (None, None))
            if slot.state == "plugging":
                ttys = usbip.ttys_of(busid) if state == usbip.PORT_IN_USE else []
                ttys = [t for t in ttys if os.path.exists("/dev/" + t)]
                if len(ttys) == len(slot.adapter.ports):
                    slot.state = "up"
                    for port, tty in zip(slot.adapter.ports, ttys):
                        port.tty = tty
                        self.emit("tty", a=slot.family, p=port.index, tty=tty, busid=busid,
                                  seconds=round(now - slot.since, 3))
                elif now - slot.since > PLUG_LIMIT:
                    self.emit("plug-failed", a=slot.family, why="no tty %.0f s after attach "
                              "(port state %s)" % (PLUG_LIMIT, state))
                    self.unplug(slot, now)
            elif state == usbip.PORT_FREE:
                slot.state, slot.adapter = "out", None
                self.emit("gone", a=slot.family, seconds=round(now - slot.since, 3))
                if slot.replug_after:
                    slot.replug_after = False
                    self.queue_plug(slot)

    # -- serving --------------------------------------------------------------------------

    def live(self):
        return [s.adapter for s in self.slots.values()
                if s.state in ("plugging", "up") and not s.adapter.conn.closed]

    def guarded(self, adapter, work, *args):
        """Runs `work`; an adapter whose own code fails is pulled out, not the others."""
        try:
            work(*args)
        except Exception as e:
            slot = next(s for s in self.slots.values() if s.adapter is adapter)
            self.emit("error", a=slot.family, msg="%s: %s" % (type(e).__name__, e),
                      where=traceback.format_exc().splitlines()[-3:])
            self.unplug(slot, time.monotonic())

    def report(self, slot):
        adapter = slot.adapter
        for port in adapter.ports:
            wire = port.uart.take_wire()
            if wire:
                self.emit("wire", a=slot.family, p=port.index,
                          d=base64.b64encode(wire).decode())
        if adapter.changes == slot.seen_changes:
            return
        slot.seen_changes = adapter.changes
        for port in adapter.ports:
            state = port.uart.state()
            if state != slot.sent_state.get(port.index):
                slot.sent_state[port.index] = state
                self.emit("state", a=slot.family, p=port.index, s=state)

    def run(self):
        self.emit("hello", families=records())
        self.flush()
        while self.running:
            now = time.monotonic()
            self.start_plug(now)
            live = self.live()
            wakeups = [w for w in (a.next_wakeup() for a in live) if w is not None]
            if any(s.state in ("plugging", "leaving") for s in self.slots.values()):
                wakeups.append(now + POLL)
            timeout = max(0.0, min(wakeups) - now) if wakeups else None
            readers = [0] + [a.conn for a in live]
            writers = [a.conn for a in live if a.conn.wants_write()]
            if self.outbuf:
                writers.append(1)
            readable, writable, _ = select.select(readers, writers, [], timeout)
            now = time.monotonic()
            for conn in writable:
                if conn == 1:
                    self.flush()
                else:
                    conn.on_writable()
            for conn in readable:
                if conn == 0:
                    self.read_host()
                else:
                    self.guarded(conn.handler, conn.on_readable)
            for slot in list(self.slots.values()):
                if slot.state not in ("plugging", "up"):
                    continue
                adapter = slot.adapter
                if adapter.conn.closed:
                    self.emit("dropped", a=slot.family)
                    self.unplug(slot, now)
                    continue
                wake = adapter.next_wakeup()
                if wake is not None and wake <= now:
                    self.guarded(adapter, adapter.pump, now)
                if slot.state == "up" or slot.state == "plugging":
                    self.report(slot)
            self.poll_ports(now)
            self.flush()
        for slot in self.slots.values():
            if slot.adapter:
                slot.adapter.detach()


def records():
    """Every family's record, in the order of their names."""
    return [FAMILIES[name].record for name in sorted(FAMILIES)]


def main():
    if sys.argv[1:] == ["--families"]:
        json.dump(records(), sys.stdout, indent=1)
        print()
        return
    try:
        Server().run()
    except Exception:
        sys.stdout.write(json.dumps({"ev": "error", "msg": traceback.format_exc()}) + "\n")
        raise


if __name__ == "__main__":
    main()
