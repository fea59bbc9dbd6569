"""What the write rule costs on the real drivers: COUNT writes of SIZE bytes at 115200
baud, raw (the queue drained once at the end), raw with tcdrain after each, and
WriteComm with a time-out set (the rule: every write waits until its bytes have left
the driver's queue). The figures are notes; the case fails only if a byte is lost."""
import os
import re

from cases import NATIVE, registrar
from devices import emulated
from layout import LAB_DIR
from script import call, closed, opened

SUITE = []
case = registrar(SUITE)

WRITE_COST = os.path.join(LAB_DIR, "guest", "write_cost.py")
RUNS = ((64, 100), (1024, 20))


@case("what a write costs: raw, raw with tcdrain, WriteComm (figures as notes), no byte lost",
      devices=emulated, consoles=NATIVE)
def write_cost(t):
    for size, count in RUNS:
        t.far.take_all()
        rc, out = t.vm.aux.run("/usr/bin/python3 %s %s %d %d" % (WRITE_COST, t.dev, size, count),
                               timeout=120)
        m = re.search(r"raw ([0-9.]+) drained ([0-9.]+)", out)
        if not t.check(rc == 0 and m is not None, "write_cost.py: %s" % out[-300:]):
            return
        t.check(len(t.far.read_count(2 * size * count, 60, idle=3)) == 2 * size * count,
                "raw writes lost bytes")
        writes = [call("WriteComm", "w" * size, want=size) for _ in range(count)]
        # What a statement costs the console and the module besides the write itself.
        baseline = [call("GetCommBaudRate", want=115200) for _ in range(count)]
        run = t.start(opened(t.port, timeout=5000) + baseline + writes + closed())
        statements = t.finish(run)
        module = sum(s.ms or 0 for s in statements if s in writes)
        calls = sum(s.ms or 0 for s in statements if s in baseline)
        t.check(len(t.far.read_count(size * count, 60, idle=3)) == size * count,
                "WriteComm lost bytes")
        line = size * count * 10 / 115200 * 1000
        t.note("%d x %d B (%.0f ms at 115200 baud): raw %.1f ms, write+tcdrain %.1f ms, "
               "WriteComm %.1f ms (as many GetCommBaudRate calls: %.1f ms)"
               % (count, size, line, float(m.group(1)), float(m.group(2)), module, calls))
