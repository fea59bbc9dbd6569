// `velmora ports` on Windows: the COM ports the serial drivers have announced in the
// SERIALCOMM map (it holds only the ports present now), with the names Device Manager
// shows for them, from SetupAPI's Ports class. Nothing is opened.
#include <windows.h>
// After windows.h, which it needs.
#include <setupapi.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <ostream>

#include "console/commands.h"

namespace velmora::console {

namespace {

// The Ports (COM & LPT) device class.
const GUID kPortsClass = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

struct PortInfo {
    std::string device;        // the kernel's name, \Device\Serial0
    std::string friendlyName;  // "USB Serial Port (COM3)"
};

// COM3 before COM10; names that are not COMn after them, alphabetically.
bool ComesBefore(const std::string& a, const std::string& b) {
    const auto number = [](const std::string& name) {
        const bool com = name.size() > 3 && _strnicmp(name.c_str(), "COM", 3) == 0 &&
                         name.find_first_not_of("0123456789", 3) == std::string::npos;
        return com ? std::strtoul(name.c_str() + 3, nullptr, 10) : ~0ul;
    };
    const unsigned long na = number(a), nb = number(b);
    return na != nb ? na < nb : a < b;
}

using PortMap = std::map<std::string, PortInfo, bool (*)(const std::string&, const std::string&)>;

void ReadSerialComm(PortMap* ports) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return;  // no serial driver has started
    }
    for (DWORD i = 0;; ++i) {
        char device[256];
        DWORD deviceSize = sizeof device;
        BYTE name[256] = {};
        DWORD nameSize = sizeof name - 1;
        DWORD type = 0;
        const LONG status =
            RegEnumValueA(key, i, device, &deviceSize, nullptr, &type, name, &nameSize);
        if (status == ERROR_NO_MORE_ITEMS) break;
        if (status != ERROR_SUCCESS || type != REG_SZ) continue;
        (*ports)[reinterpret_cast<const char*>(name)].device.assign(device, deviceSize);
    }
    RegCloseKey(key);
}

void ReadFriendlyNames(PortMap* ports) {
    const HDEVINFO set = SetupDiGetClassDevsA(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        // The port's COM name is kept in the device's own key; printer ports have none.
        const HKEY key =
            SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) continue;
        char portName[64] = {};
        DWORD size = sizeof portName - 1;
        DWORD type = 0;
        const bool named =
            RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(portName),
                             &size) == ERROR_SUCCESS &&
            type == REG_SZ;
        RegCloseKey(key);
        if (!named || _strnicmp(portName, "COM", 3) != 0) continue;
        char friendly[256] = {};
        if (!SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_FRIENDLYNAME, nullptr,
                                               reinterpret_cast<BYTE*>(friendly),
                                               sizeof friendly - 1, nullptr)) {
            SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_DEVICEDESC, nullptr,
                                              reinterpret_cast<BYTE*>(friendly),
                                              sizeof friendly - 1, nullptr);
        }
        (*ports)[portName].friendlyName = friendly;
    }
    SetupDiDestroyDeviceInfoList(set);
}

}  // namespace

int ListPorts(std::ostream& out) {
    PortMap ports(ComesBefore);
    ReadSerialComm(&ports);
    ReadFriendlyNames(&ports);
    std::size_t width = 0;
    for (const auto& [name, info] : ports) width = std::max(width, name.size());
    for (const auto& [name, info] : ports) {
        out << name << std::string(width - name.size() + 2, ' ');
        if (!info.friendlyName.empty()) out << info.friendlyName;
        if (!info.device.empty()) {
            out << (info.friendlyName.empty() ? "" : "  ") << info.device;
        }
        out << "\n";
    }
    if (ports.empty()) out << "no serial ports found\n";
    return kExitOk;
}

}  // namespace velmora::console
