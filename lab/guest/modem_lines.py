"""Prints a serial device's modem lines as TIOCMGET reports them, e.g. DTR=1 RTS=0 CTS=1.

usage: modem_lines.py DEVICE     once
       modem_lines.py --serve    a device path a line on stdin, its lines (or "error: why")
                                 a line on stdout, until stdin ends

Runs in the lab's guest beside the program under test. Opening the device would raise
DTR and RTS (Linux does on every open), so this borrows the descriptor of the process
that holds the port instead (pidfd_getfd), and asks on that."""
import ctypes
import fcntl
import os
import struct
import sys
import termios

LINES = [("DTR", termios.TIOCM_DTR), ("RTS", termios.TIOCM_RTS), ("CTS", termios.TIOCM_CTS),
         ("DSR", termios.TIOCM_DSR), ("CD", termios.TIOCM_CAR), ("RI", termios.TIOCM_RNG)]
SYS_PIDFD_GETFD = 438  # x86_64


def holder(device):
    """(pid, fd) of a process other than this one that has `device` open."""
    for pid in filter(str.isdigit, os.listdir("/proc")):
        if int(pid) == os.getpid():
            continue
        try:
            fds = os.listdir("/proc/%s/fd" % pid)
        except OSError:
            continue
        for fd in fds:
            try:
                if os.readlink("/proc/%s/fd/%s" % (pid, fd)) == device:
                    return int(pid), int(fd)
            except OSError:
                pass
    return None


def levels(path):
    device = os.path.realpath(path)
    found = holder(device)
    if found is None:
        raise OSError("no process holds %s open" % device)
    pidfd = os.pidfd_open(found[0])
    libc = ctypes.CDLL(None, use_errno=True)
    try:
        fd = libc.syscall(SYS_PIDFD_GETFD, pidfd, found[1], 0)
        if fd < 0:
            raise OSError("pidfd_getfd: %s" % os.strerror(ctypes.get_errno()))
        try:
            bits = struct.unpack("i", fcntl.ioctl(fd, termios.TIOCMGET, struct.pack("i", 0)))[0]
        finally:
            os.close(fd)
    finally:
        os.close(pidfd)
    return " ".join("%s=%d" % (name, 1 if bits & mask else 0) for name, mask in LINES)


def main():
    if sys.argv[1:] != ["--serve"]:
        try:
            print(levels(sys.argv[1]))
        except OSError as e:
            sys.exit(str(e))
        return
    print("ready", flush=True)
    for line in sys.stdin:
        try:
            answer = levels(line.strip())
        except OSError as e:
            answer = "error: %s" % e
        print(answer, flush=True)


main()
