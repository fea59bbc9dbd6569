"""Times raw writes on a serial device, with and without tcdrain after each, for the
lab's measure of what the module's write rule costs.

usage: write_cost.py DEVICE SIZE COUNT
Prints `raw MS drained MS`: COUNT writes of SIZE bytes (the last followed by one tcdrain,
so both measure the same bytes leaving), and COUNT writes each followed by tcdrain."""
import os
import sys
import termios
import time

from raw_port import open_raw


def main():
    device, size, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    fd = open_raw(device, 115200)
    data = b"w" * size

    def write_all():
        done = 0
        while done < size:
            done += os.write(fd, data[done:])

    termios.tcdrain(fd)
    start = time.monotonic()
    for _ in range(count):
        write_all()
    termios.tcdrain(fd)
    raw = time.monotonic() - start
    start = time.monotonic()
    for _ in range(count):
        write_all()
        termios.tcdrain(fd)
    drained = time.monotonic() - start
    os.close(fd)
    print("raw %.1f drained %.1f" % (raw * 1000, drained * 1000))


if __name__ == "__main__":
    main()
