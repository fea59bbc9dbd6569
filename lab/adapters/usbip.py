"""USB/IP as a device sees it through the guest's vhci-hcd: the 48-byte headers, the attach
through sysfs, and one attached device's connection.

The kernel is the client. It sends CMD_SUBMIT (OUT data follows the header) and
CMD_UNLINK; the device answers RET_SUBMIT (IN data follows) and RET_UNLINK, whenever it
likes: a request held unanswered is a NAK on the bus. vhci drops the device on a reply to
a sequence number it does not know or with more IN data than the buffer, so a Connection
answers each request once at most and checks lengths; and every unlink is answered, or
close() on the tty waits for ever (drivers/usb/usbip/vhci_rx.c, vhci_hcd.c)."""
import errno
import os
import socket
import struct

CMD_SUBMIT, CMD_UNLINK, RET_SUBMIT, RET_UNLINK = 1, 2, 3, 4
DIR_OUT, DIR_IN = 0, 1
HEADER_SIZE = 48
BASIC = struct.Struct(">IIIII")
SUBMIT = struct.Struct(">Iiiii8s")
RET = struct.Struct(">iiiii8x")
UNLINK = struct.Struct(">I24x")
RET_UNLINKED = struct.Struct(">i24x")
SETUP = struct.Struct("<BBHHH")

STALL = -errno.EPIPE
UNLINKED = -errno.ECONNRESET

VHCI = "/sys/devices/platform/vhci_hcd.0"
SPEED_FULL = 2
# vhci's port states (drivers/usb/usbip/usbip_common.h, enum usbip_device_status).
PORT_FREE, PORT_ATTACHED, PORT_IN_USE, PORT_ERROR = 4, 5, 6, 7


class ProtocolError(Exception):
    pass


class Setup:
    """The 8 bytes of a control request, in USB's own little-endian order."""

    def __init__(self, raw):
        self.raw = bytes(raw)
        self.request_type, self.request, self.value, self.index, self.length = SETUP.unpack(raw)

    @property
    def device_to_host(self):
        return bool(self.request_type & 0x80)

    @property
    def kind(self):
        return ("standard", "class", "vendor", "reserved")[(self.request_type >> 5) & 3]

    def __repr__(self):
        return "Setup(%02x %02x %04x %04x %d)" % (self.request_type, self.request, self.value,
                                                  self.index, self.length)


def pack_setup(request_type, request, value, index, length):
    return SETUP.pack(request_type, request, value, index, length)


class Submit:
    """A CMD_SUBMIT: one URB. `data` is what an OUT transfer carries."""

    def __init__(self, seqnum, devid, direction, ep, flags, length, start_frame, packets,
                 interval, setup, data=b""):
        self.seqnum, self.devid, self.direction, self.ep = seqnum, devid, direction, ep
        self.flags, self.length, self.start_frame = flags, length, start_frame
        self.packets, self.interval = packets, interval
        self.setup = Setup(setup) if ep == 0 else None
        self.raw_setup = setup
        self.data = data
        self.taken = 0  # OUT bytes the device has already accepted

    @property
    def is_in(self):
        return self.direction == DIR_IN


class Unlink:
    def __init__(self, seqnum, devid, direction, ep, victim):
        self.seqnum, self.devid, self.direction, self.ep = seqnum, devid, direction, ep
        self.victim = victim


def pack_cmd_submit(seqnum, direction, ep, length, setup=b"\0" * 8, data=b"", devid=0,
                    flags=0, interval=0, start_frame=0, packets=0):
    """The kernel's side of a submit (for tests)."""
    return (BASIC.pack(CMD_SUBMIT, seqnum, devid, direction, ep) +
            SUBMIT.pack(flags, length, start_frame, packets, interval, setup) + data)


def pack_cmd_unlink(seqnum, victim, devid=0, direction=0, ep=0):
    return BASIC.pack(CMD_UNLINK, seqnum, devid, direction, ep) + UNLINK.pack(victim)


def pack_ret_submit(seqnum, status, actual_length, data=b"", devid=0, direction=0, ep=0):
    return (BASIC.pack(RET_SUBMIT, seqnum, devid, direction, ep) +
            RET.pack(status, actual_length, 0, 0, 0) + data)


def pack_ret_unlink(seqnum, status, devid=0, direction=0, ep=0):
    return BASIC.pack(RET_UNLINK, seqnum, devid, direction, ep) + RET_UNLINKED.pack(status)


def unpack_reply(buf):
    """(command, seqnum, status, actual_length) of a RET_SUBMIT or RET_UNLINK header."""
    command, seqnum, _, _, _ = BASIC.unpack_from(buf)
    if command == RET_SUBMIT:
        status, actual, _, _, _ = RET.unpack_from(buf, BASIC.size)
        return command, seqnum, status, actual
    status, = RET_UNLINKED.unpack_from(buf, BASIC.size)
    return command, seqnum, status, 0


def parse_requests(buf):
    """The complete requests at the start of `buf` (a bytearray), removed from it."""
    out = []
    while len(buf) >= HEADER_SIZE:
        command, seqnum, devid, direction, ep = BASIC.unpack_from(buf)
        if command == CMD_SUBMIT:
            flags, length, start_frame, packets, interval, setup = SUBMIT.unpack_from(buf, 20)
            if packets not in (0, -1):
                raise ProtocolError("isochronous transfers are not served")
            extra = length if direction == DIR_OUT and length > 0 else 0
            if len(buf) < HEADER_SIZE + extra:
                break
            data = bytes(buf[HEADER_SIZE:HEADER_SIZE + extra])
            out.append(Submit(seqnum, devid, direction, ep, flags, length, start_frame,
                              packets, interval, setup, data))
            del buf[:HEADER_SIZE + extra]
        elif command == CMD_UNLINK:
            victim, = UNLINK.unpack_from(buf, 20)
            out.append(Unlink(seqnum, devid, direction, ep, victim))
            del buf[:HEADER_SIZE]
        else:
            raise ProtocolError("unknown command %d" % command)
    return out


class Connection:
    """One device's end of the socket pair. Requests go to `handler` (on_submit, on_unlink);
    replies are queued and written as the socket takes them. `trace`, a function, sees
    every request and answer."""

    def __init__(self, sock, handler, trace=None):
        self.trace = trace
        self.sock = sock
        self.sock.setblocking(False)
        self.handler = handler
        self.inbuf = bytearray()
        self.outbuf = bytearray()
        self.pending = {}  # seqnum -> Submit not yet answered
        self.closed = False

    def fileno(self):
        return self.sock.fileno()

    def wants_write(self):
        return bool(self.outbuf) and not self.closed

    def on_readable(self):
        try:
            chunk = self.sock.recv(1 << 16)
        except (BlockingIOError, InterruptedError):
            return
        except OSError:
            chunk = b""
        if not chunk:
            self.close()
            return
        self.inbuf += chunk
        for request in parse_requests(self.inbuf):
            if self.trace:
                self.trace("in", request)
            if isinstance(request, Unlink):
                self._unlink(request)
            else:
                self.pending[request.seqnum] = request
                self.handler.on_submit(request)

    def _unlink(self, unlink):
        victim = self.pending.pop(unlink.victim, None)
        if victim is not None:
            self.handler.on_unlink(victim)
        # -ECONNRESET tells vhci the URB was still ours; it gives it back itself and we
        # must never answer it. 0: it had its answer already.
        self._queue(pack_ret_unlink(unlink.seqnum, UNLINKED if victim else 0, unlink.devid,
                                    unlink.direction, unlink.ep))

    def reply(self, request, status=0, data=b""):
        """Answers a held request. IN data may not exceed its buffer; an OUT transfer
        counts as fully taken unless it failed."""
        if self.pending.pop(request.seqnum, None) is None:
            return False  # unlinked meanwhile: its seqnum is no longer vhci's
        if self.trace:
            self.trace("out", request, status, data)
        if request.is_in:
            if len(data) > request.length:
                raise ProtocolError("%d bytes for a %d-byte buffer" % (len(data), request.length))
            actual = len(data)
        else:
            data = b""
            actual = request.length if status == 0 else request.taken
        self._queue(pack_ret_submit(request.seqnum, status, actual, data, request.devid,
                                    request.direction, request.ep))
        return True

    def _queue(self, message):
        if self.closed:
            return
        self.outbuf += message
        self.on_writable()

    def on_writable(self):
        while self.outbuf and not self.closed:
            try:
                n = self.sock.send(self.outbuf)
            except (BlockingIOError, InterruptedError):
                return
            except OSError:
                self.close()
                return
            del self.outbuf[:n]

    def close(self):
        if not self.closed:
            self.closed = True
            self.sock.close()
            self.pending.clear()


# -- vhci-hcd's ports -------------------------------------------------------------------

def parse_status(text):
    """{port: (state, busid)} from vhci's status file (the USB 2 hub's ports only)."""
    ports = {}
    for line in text.splitlines():
        fields = line.split()
        if len(fields) < 7 or fields[0] != "hs":
            continue
        ports[int(fields[1])] = (int(fields[2]), fields[6])
    return ports


def port_status(vhci=VHCI):
    with open(os.path.join(vhci, "status")) as f:
        return parse_status(f.read())


def attach(port, devid, vhci=VHCI):
    """Attaches a new full-speed device on `port`; our end of its socket pair."""
    ours, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        with open(os.path.join(vhci, "attach"), "w") as f:
            f.write("%d %d %d %d" % (port, theirs.fileno(), devid, SPEED_FULL))
    except OSError:
        ours.close()
        raise
    finally:
        theirs.close()  # vhci holds its own reference now
    return ours


def ttys_of(busid, sys_usb="/sys/bus/usb/devices"):
    """The ttys drivers made for the device at `busid` (e.g. "7-1"), in the order of its
    interfaces: usb-serial puts ttyUSBn in the interface's folder, cdc-acm a tty/ttyACMn
    below it."""
    try:
        entries = os.listdir(sys_usb)
    except OSError:
        return []
    found = []
    interfaces = [e for e in entries if e.startswith(busid + ":")]
    for interface in sorted(interfaces, key=lambda e: [int(n) for n in
                                                          e.split(":")[1].split(".")]):
        path = os.path.join(sys_usb, interface)
        try:
            names = os.listdir(path)
        except OSError:
            continue
        found += sorted(name for name in names if name.startswith("ttyUSB"))
        try:
            found += sorted(os.listdir(os.path.join(path, "tty")))
        except OSError:
            pass
    return found


# -- descriptors and the standard requests ------------------------------------------------

def device_descriptor(vid, pid, bcd_device, bcd_usb=0x0200, device_class=0, packet0=64,
                      manufacturer=1, product=2, serial=3):
    return struct.pack("<BBHBBBBHHHBBBB", 18, 1, bcd_usb, device_class, 0, 0, packet0, vid, pid,
                       bcd_device, manufacturer, product, serial, 1)


def endpoint(address, kind, size, interval=0):
    """kind: "bulk" or "interrupt"; address with 0x80 for IN."""
    return struct.pack("<BBBBHB", 7, 5, address, {"bulk": 2, "interrupt": 3}[kind], size, interval)


def interface(number, cls, subclass, protocol, endpoints, extra=b""):
    return (struct.pack("<BBBBBBBBB", 9, 4, number, 0, len(endpoints), cls, subclass, protocol, 0)
            + extra + b"".join(endpoints))


def configuration(interfaces, power_ma=100):
    body = b"".join(interfaces)
    return struct.pack("<BBHBBBBB", 9, 2, 9 + len(body), len(interfaces), 1, 0, 0x80,
                       power_ma // 2) + body


def string_descriptor(text):
    data = text.encode("utf-16-le")
    return bytes([2 + len(data), 3]) + data


GET_STATUS, CLEAR_FEATURE, SET_FEATURE = 0, 1, 3
GET_DESCRIPTOR, GET_CONFIGURATION, SET_CONFIGURATION = 6, 8, 9
GET_INTERFACE, SET_INTERFACE = 10, 11


class Descriptors:
    """What a device tells about itself, and the standard requests answered from it."""

    def __init__(self, device, config, strings):
        self.device, self.config, self.strings = device, config, strings
        self.configuration = 0

    def standard(self, setup):
        """(status, data) for a standard request."""
        r = setup.request
        if r == GET_DESCRIPTOR:
            kind, index = setup.value >> 8, setup.value & 0xFF
            if kind == 1:
                data = self.device
            elif kind == 2 and index == 0:
                data = self.config
            elif kind == 3 and index == 0:
                data = b"\x04\x03\x09\x04"  # US English only
            elif kind == 3 and 0 < index <= len(self.strings):
                data = string_descriptor(self.strings[index - 1])
            else:
                return STALL, b""  # a full-speed device has no qualifier, no BOS
            return 0, data[:setup.length]
        if r == GET_STATUS:
            return 0, b"\0\0"[:setup.length]
        if r == SET_CONFIGURATION:
            self.configuration = setup.value & 0xFF
            return 0, b""
        if r == GET_CONFIGURATION:
            return 0, bytes([self.configuration])[:setup.length]
        if r == GET_INTERFACE:
            return 0, b"\0"[:setup.length]
        if r in (SET_INTERFACE, CLEAR_FEATURE, SET_FEATURE):
            return 0, b""
        return STALL, b""
