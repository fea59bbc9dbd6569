"""A serial device opened the way a program without the module opens it, for the lab's
comparisons: raw, 8N1, no flow control, modem lines ignored."""
import os
import termios
import tty


def open_raw(device, baud):
    fd = os.open(device, os.O_RDWR | os.O_NOCTTY)
    tty.setraw(fd)
    attrs = termios.tcgetattr(fd)
    attrs[2] = (attrs[2] & ~(termios.CRTSCTS | termios.CSTOPB | termios.PARENB)) | termios.CLOCAL
    attrs[0] &= ~(termios.IXON | termios.IXOFF)
    attrs[4] = attrs[5] = getattr(termios, "B%d" % baud)
    termios.tcsetattr(fd, termios.TCSANOW, attrs)
    return fd
