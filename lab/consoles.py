"""The programs a lab case drives: the native console, and the Windows console under
Wine in the guest. Each names the ports and makes the guest command for a script."""
import os

from devices import CDC_ACM, CH340, CP2102, FTDI, PL2303
from labvm import ROOT, UART, USB


class NativeConsole:
    kind = "native"
    program = os.path.join(ROOT, "build", "native", "velmora")

    def missing(self):
        return None if os.access(self.program, os.X_OK) else "the native build is missing (%s)" % self.program

    def prepare(self, vm):
        pass

    def guest_files(self):
        """What the guest must see of the host's files for this console to run there."""
        return [self.program]

    def probe(self):
        """A guest command that answers with the console's version when the console runs."""
        return "%s --version" % self.program

    def port(self, device):
        return device.path

    def relink(self, vm, device):
        pass

    def command(self, script_path):
        return "%s run --timed %s" % (self.program, script_path)

    def check_command(self, port, *options):
        return " ".join((self.program, "check", port) + options)


class WineConsole:
    """velmora.exe and its module under Wine in the guest, COM7 on the UART, COM8 on
    QEMU's adapter and COM9 on up on the software adapters (the ports scripts/wine-prefix.sh
    links under the prefix's ports/ folder). The prefix is the host's, seen through the
    guest's overlay, so whatever Wine writes stays in the guest."""

    PORTS = {UART: "COM7", USB: "COM8", FTDI: "COM9", CH340: "COM10", CP2102: "COM11",
             PL2303: "COM13", CDC_ACM: "COM14"}

    def __init__(self, target):
        self.target = target  # win64 or win32
        self.kind = "wine64" if target == "win64" else "wine32"
        self.build = os.path.join(ROOT, "build", target)
        self.module = "VELMORA.x64" if target == "win64" else "VELMORA.x32"
        self.prefix = os.path.join(ROOT, "build", "wine-" + target)
        self.loader = "/usr/lib/wine/wine64" if target == "win64" else "/usr/lib/wine/wine"
        self.server = "/usr/lib/wine/wineserver" + ("64" if target == "win64" else "32")
        self.place = "/tmp/lab-" + target  # the guest's tmpfs

    def missing(self):
        try:  # the set-up could not install this Wine
            with open(os.path.join(ROOT, "build", "setup", "unavailable", self.kind)) as f:
                return f.read().strip()
        except OSError:
            pass
        for path, what in ((os.path.join(self.build, "velmora.exe"), "the %s build" % self.target),
                           (self.loader, "Wine for %s" % self.target),
                           (os.path.join(self.prefix, "system.reg"),
                            "the Wine prefix (scripts/wine-prefix.sh %s)" % self.target)):
            if not os.path.exists(path):
                return "%s is missing (%s)" % (what, path)
        return None

    def environment(self):
        return ("WINEPREFIX=%s WINEARCH=%s WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml=' "
                "WINELOADER=%s" % (self.prefix, self.target, self.loader))

    def prepare(self, vm):
        """Copies the programs into the guest's tmpfs (a Windows program run straight from
        the 9p share faults), points the test COM ports at the guest's devices and starts
        a persistent wineserver, whose first program start is the slow one."""
        server = self.server if os.path.exists(self.server) else "wineserver"
        links = "".join(self.link(device) + "; " for device in self.PORTS)
        rc, out = vm.aux.run(
            "set -e; mkdir -p {place}; cp {build}/velmora.exe {build}/{module} {place}/; "
            "{links}export {env}; {server} -p; cd {place}; {loader} velmora.exe --version"
            .format(place=self.place, build=self.build, module=self.module, links=links,
                    env=self.environment(), server=server, loader=self.loader),
            timeout=400)
        if rc != 0 or "velmora" not in out:
            raise RuntimeError("Wine did not start in the guest: " + out[-800:])

    def link(self, device):
        """The shell command that points the device's COM port at its guest path."""
        return "ln -sfn %s %s/ports/com%s" % (device.path, self.prefix, self.PORTS[device][3:])

    def relink(self, vm, device):
        """After a replug has moved the device to another name."""
        rc, out = vm.aux.run(self.link(device), timeout=20)
        if rc != 0:
            raise RuntimeError("cannot relink %s: %s" % (self.PORTS[device], out))

    def guest_files(self):
        return [os.path.join(self.build, "velmora.exe"), os.path.join(self.build, self.module),
                os.path.join(self.prefix, "system.reg")]

    def probe(self):
        return "cd %s && %s %s velmora.exe --version" % (self.place, self.environment(),
                                                          self.loader)

    def port(self, device):
        return self.PORTS[device]

    def command(self, script_path):
        return "cd %s && %s %s velmora.exe run --timed 'Z:%s'" % (
            self.place, self.environment(), self.loader, script_path.replace("/", "\\"))

    def check_command(self, port, *options):
        return "cd %s && %s %s velmora.exe check %s" % (
            self.place, self.environment(), self.loader, " ".join((port,) + options))
