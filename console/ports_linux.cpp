// `velmora ports` on Linux: serial devices as sysfs describes them. Nothing is opened.
#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <ostream>
#include <regex>
#include <vector>

#include "console/commands.h"

namespace velmora::console {

namespace {

std::string ReadFirstLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

std::string LinkName(const std::string& path) {
    char target[PATH_MAX];
    const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    if (n <= 0) return {};
    const std::string full(target, static_cast<std::size_t>(n));
    return full.substr(full.find_last_of('/') + 1);
}

// USB vendor:product and product name, from the nearest USB device above the port.
std::string UsbDescription(const std::string& device) {
    char resolved[PATH_MAX];
    if (realpath(device.c_str(), resolved) == nullptr) return {};
    for (std::string dir = resolved; dir.size() > 5; dir.erase(dir.find_last_of('/'))) {
        const std::string vendor = ReadFirstLine(dir + "/idVendor");
        if (vendor.empty()) continue;
        std::string text = "usb " + vendor + ":" + ReadFirstLine(dir + "/idProduct");
        const std::string product = ReadFirstLine(dir + "/product");
        if (!product.empty()) text += "  " + product;
        return text;
    }
    return {};
}

}  // namespace

int ListPorts(std::ostream& out) {
    const std::regex serialName("tty(S|USB|ACM)[0-9]+");
    std::vector<std::string> names;
    if (DIR* dir = opendir("/sys/class/tty")) {
        while (const dirent* entry = readdir(dir)) {
            if (std::regex_match(entry->d_name, serialName)) names.emplace_back(entry->d_name);
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    int shown = 0;
    for (const std::string& name : names) {
        const std::string sys = "/sys/class/tty/" + name;
        // An on-board UART slot with no UART behind it reports type 0.
        if (name.rfind("ttyS", 0) == 0 && ReadFirstLine(sys + "/type") == "0") continue;
        const std::string driver = LinkName(sys + "/device/driver");
        out << "/dev/" << name;
        if (!driver.empty()) out << "  driver " << driver;
        const std::string usb = UsbDescription(sys + "/device");
        if (!usb.empty()) out << "  " << usb;
        out << "\n";
        ++shown;
    }
    if (shown == 0) out << "no serial ports found\n";
    return kExitOk;
}

}  // namespace velmora::console
