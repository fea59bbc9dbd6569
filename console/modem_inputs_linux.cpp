// Linux: the module's handle is its own, not a descriptor; its descriptor for the
// port is found among this process's own, and asked with TIOCMGET.
#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "console/modem_inputs.h"

namespace velmora::console {

namespace {

int DescriptorOf(const std::string& port) {
    char* real = realpath(port.c_str(), nullptr);
    if (real == nullptr) return -1;
    const std::string device = real;
    std::free(real);
    DIR* fds = opendir("/proc/self/fd");
    if (fds == nullptr) return -1;
    int found = -1;
    while (dirent* entry = readdir(fds)) {
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        char target[PATH_MAX];
        const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n <= 0) continue;
        target[n] = '\0';
        if (device == target) {
            found = std::atoi(entry->d_name);
            break;
        }
    }
    closedir(fds);
    return found;
}

}  // namespace

std::optional<ModemInputs> ReadModemInputs(const std::string& port, void*) {
    const int fd = DescriptorOf(port);
    int lines = 0;
    if (fd < 0 || ioctl(fd, TIOCMGET, &lines) != 0) return std::nullopt;
    return ModemInputs{(lines & TIOCM_CTS) != 0, (lines & TIOCM_DSR) != 0, (lines & TIOCM_RNG) != 0,
                       (lines & TIOCM_CAR) != 0};
}

}  // namespace velmora::console
