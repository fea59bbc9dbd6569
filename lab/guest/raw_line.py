"""Writes a text on a serial device the plain way, write() until all is taken and then
tcdrain(), between two marks the host times: what WriteComm's pace is measured against.

usage: raw_line.py DEVICE BAUD SIZE
Prints the process's own CPU seconds."""
import os
import sys
import termios

from raw_port import open_raw

MARK_START, MARK_END = b"<s>", b"<e>"


def main():
    device, baud, size = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    fd = open_raw(device, baud)
    data = MARK_START + bytes(ord("a") + i % 26 for i in range(size)) + MARK_END
    start = os.times()
    done = 0
    while done < len(data):
        done += os.write(fd, data[done:])
    termios.tcdrain(fd)
    used = os.times()
    os.close(fd)
    print("cpu %.3f" % (used.user + used.system - start.user - start.system))


main()
