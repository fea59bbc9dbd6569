"""The host side of QEMU's serial devices: a unix socket with telnet framing (so that a
BREAK can be sent), always drained, because QEMU's FTDI model stops the whole machine
while nobody reads its output. QEMU's FTDI adapter is unplugged and plugged again through
QMP (qemu_usb.QemuUsb)."""
import socket

from layout import LabError
from received import Received
from streams import connect, read_chunks


class QemuFarEnd(Received):
    TELNET_OPENING = bytes([255, 251, 1, 255, 251, 3, 255, 251, 0, 255, 253, 0])
    IAC, BRK = 255, 243

    def __init__(self, path, timeout, plug=None):
        super().__init__()
        self.path = path
        self.plug = plug  # a QemuUsb for an adapter that can be unplugged
        self.sock = connect(path, timeout)
        self._skip = len(self.TELNET_OPENING)
        read_chunks(self.sock, self._chunk, self._ended)

    def _chunk(self, chunk):
        if self._skip:  # QEMU's option negotiation, sent once on connect
            cut = min(self._skip, len(chunk))
            self._skip -= cut
            chunk = chunk[cut:]
        if chunk:
            self._arrived(chunk)

    def send(self, data):
        """Sends bytes as they are (a 0xFF is doubled for the telnet framing)."""
        self.sock.sendall(bytes(data).replace(b"\xff", b"\xff\xff"))

    def send_break(self):
        self.sock.sendall(bytes([self.IAC, self.BRK]))

    def reset(self):
        self.clear()

    @property
    def plugged(self):
        return self.plug is None or self.plug.plugged

    def unplug(self, timeout=10):
        if self.plug is None:
            raise LabError("%s cannot be unplugged" % self.path)
        self.plug.unplug(timeout)

    def replug(self, timeout=20):
        """Plugs the adapter in again; its path once its driver has bound it."""
        return self.plug.replug(timeout)

    def close(self):
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()
