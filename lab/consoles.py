"""The programs a lab case drives: the native console, and the Windows console under Wine
in the guest. Each makes the guest command for a script and, through its port names,
says which name opens which device: a console opens a name, and the far end stays the
device's, whatever the name (a suite can so run over other names for the same devices).

Wine's ports are COM names that scripts/wine-prefix.sh lists in the prefix's registry,
each at a link under the prefix's ports/ folder; the lab gives every device of the
machine one of the block it reserves, in the machine's order of devices, and points the
link at the device's path (again after a replug)."""
import os

from layout import ROOT

# COM names scripts/wine-prefix.sh reserves for the lab's devices.
LAB_COM_FIRST, LAB_COM_COUNT = 16, 32


class DevicePaths:
    """Ports named by the device's path in the guest."""

    def prepare(self, vm):
        return ""

    def name(self, device):
        return device.path

    def relink(self, vm, device):
        pass


class WineComPorts:
    """COM names, each a link under the Wine prefix's ports/ folder to a device's path."""

    def __init__(self, prefix):
        self.prefix = prefix
        self.numbers = {}  # device label -> COM number

    def link(self, device):
        """The shell command that points the device's COM port at its guest path."""
        return "ln -sfn %s %s/ports/com%d" % (device.path, self.prefix, self.numbers[device.label])

    def prepare(self, vm):
        """The links for every device of `vm`, as a shell command."""
        if len(vm.devices) > LAB_COM_COUNT:
            raise RuntimeError("the machine has %d devices, the prefix %d COM ports for them"
                               % (len(vm.devices), LAB_COM_COUNT))
        self.numbers = {d.label: LAB_COM_FIRST + i for i, d in enumerate(vm.devices)}
        return "".join(self.link(d) + "; " for d in vm.devices if d.path)

    def name(self, device):
        return "COM%d" % self.numbers[device.label]

    def relink(self, vm, device):
        """After a replug that may have moved the device to another name."""
        rc, out = vm.aux.run(self.link(device), timeout=20)
        if rc != 0:
            raise RuntimeError("cannot relink %s: %s" % (self.name(device), out))


class NativeConsole:
    kind = "native"
    program = os.path.join(ROOT, "build", "native", "velmora")

    def __init__(self, ports=None):
        self.ports = ports or DevicePaths()

    def missing(self):
        return None if os.access(self.program, os.X_OK) else "the native build is missing (%s)" % self.program

    def prepare(self, vm):
        rc, out = vm.aux.run(self.ports.prepare(vm) + "true", timeout=60)
        if rc != 0:
            raise RuntimeError("the ports could not be made ready: " + out[-800:])

    def guest_files(self):
        """What the guest must see of the host's files for this console to run there."""
        return [self.program]

    def probe(self):
        """A guest command that answers with the console's version when the console runs."""
        return "%s --version" % self.program

    def port(self, device):
        return self.ports.name(device)

    def relink(self, vm, device):
        self.ports.relink(vm, device)

    def command(self, script_path):
        return "%s run --timed %s" % (self.program, script_path)

    def check_command(self, port, *options):
        return " ".join((self.program, "check", port) + options)


class WineConsole:
    """velmora.exe and its module under Wine in the guest. The prefix is the host's, seen
    through the guest's overlay, so whatever Wine writes stays in the guest."""

    def __init__(self, target):
        self.target = target  # win64 or win32
        self.kind = "wine64" if target == "win64" else "wine32"
        self.build = os.path.join(ROOT, "build", target)
        self.module = "VELMORA.x64" if target == "win64" else "VELMORA.x32"
        self.prefix = os.path.join(ROOT, "build", "wine-" + target)
        self.loader = "/usr/lib/wine/wine64" if target == "win64" else "/usr/lib/wine/wine"
        self.server = "/usr/lib/wine/wineserver" + ("64" if target == "win64" else "32")
        self.place = "/tmp/lab-" + target  # the guest's tmpfs
        self.ports = WineComPorts(self.prefix)

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
        the 9p share faults), points the COM ports at the guest's devices and starts a
        persistent wineserver, whose first program start is the slow one."""
        server = self.server if os.path.exists(self.server) else "wineserver"
        rc, out = vm.aux.run(
            "set -e; mkdir -p {place}; cp {build}/velmora.exe {build}/{module} {place}/; "
            "{links}export {env}; {server} -p; cd {place}; {loader} velmora.exe --version"
            .format(place=self.place, build=self.build, module=self.module,
                    links=self.ports.prepare(vm), env=self.environment(), server=server,
                    loader=self.loader),
            timeout=400)
        if rc != 0 or "velmora" not in out:
            raise RuntimeError("Wine did not start in the guest: " + out[-800:])

    def relink(self, vm, device):
        self.ports.relink(vm, device)

    def guest_files(self):
        return [os.path.join(self.build, "velmora.exe"), os.path.join(self.build, self.module),
                os.path.join(self.prefix, "system.reg")]

    def probe(self):
        return "cd %s && %s %s velmora.exe --version" % (self.place, self.environment(),
                                                          self.loader)

    def port(self, device):
        return self.ports.name(device)

    def command(self, script_path):
        return "cd %s && %s %s velmora.exe run --timed 'Z:%s'" % (
            self.place, self.environment(), self.loader, script_path.replace("/", "\\"))

    def check_command(self, port, *options):
        return "cd %s && %s %s velmora.exe check %s" % (
            self.place, self.environment(), self.loader, " ".join((port,) + options))
