"""Prints a serial device's modem lines as TIOCMGET reports them, e.g. DTR=1 RTS=0 CTS=1.

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


def main():
    device = os.path.realpath(sys.argv[1])
    found = holder(device)
    if found is None:
        sys.exit("no process holds %s open" % device)
    pidfd = os.pidfd_open(found[0])
    libc = ctypes.CDLL(None, use_errno=True)
    fd = libc.syscall(SYS_PIDFD_GETFD, pidfd, found[1], 0)
    if fd < 0:
        sys.exit("pidfd_getfd: %s" % os.strerror(ctypes.get_errno()))
    try:
        bits = struct.unpack("i", fcntl.ioctl(fd, termios.TIOCMGET, struct.pack("i", 0)))[0]
    finally:
        os.close(fd)
        os.close(pidfd)
    print(" ".join("%s=%d" % (name, 1 if bits & mask else 0) for name, mask in LINES))


main()
