"""The host's end of a stream into the machine (QEMU's character devices are unix
sockets): connecting while QEMU starts, and reading on a thread of its own."""
import socket
import threading

from layout import LabError
from waiting import until


def connect(path, timeout):
    """A connection to the unix socket at `path`, retried until QEMU listens there."""
    def attempt():
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            s.connect(path)
            return s
        except OSError:
            s.close()
            return None
    sock = until(attempt, timeout)
    if sock is None:
        raise LabError("cannot connect to " + path)
    return sock


def recv(sock):
    """The next bytes from `sock`; b"" once it has ended or failed."""
    try:
        return sock.recv(1 << 16)
    except OSError:
        return b""


def read_chunks(sock, arrived, ended):
    """Starts a thread that hands every chunk from `sock` to `arrived`, then calls
    `ended()` once the stream is over."""
    def read():
        while True:
            chunk = recv(sock)
            if not chunk:
                ended()
                return
            arrived(chunk)
    threading.Thread(target=read, daemon=True).start()


def read_lines(sock, line, ended):
    """Starts a thread that hands every complete line from `sock` (bytes, without its
    newline) to `line`, then calls `ended()`. A long line (a mebibyte-long call, say) is
    joined once, when its end arrives."""
    parts = []

    def arrived(chunk):
        parts.append(chunk)
        if b"\n" not in chunk:
            return
        *lines, rest = b"".join(parts).split(b"\n")
        parts[:] = [rest]
        for one in lines:
            line(one)
    read_chunks(sock, arrived, ended)
