#include "serial/tty_driver.h"

#include <asm/termbits.h>
#include <limits.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace velmora::serial {

namespace {

// Slave ends of Unix 98 pseudo-terminals, and of the old BSD ones.
constexpr unsigned kPtySlaveMajorFirst = 136;
constexpr unsigned kPtySlaveMajorLast = 143;
constexpr unsigned kBsdPtySlaveMajor = 3;

OutputRule RuleFor(const struct stat& device) {
    const unsigned kind = major(device.st_rdev);
    if ((kind >= kPtySlaveMajorFirst && kind <= kPtySlaveMajorLast) || kind == kBsdPtySlaveMajor) {
        return OutputRule::kPassesThrough;
    }
    char path[64];
    std::snprintf(path, sizeof path, "/sys/dev/char/%u:%u/device/subsystem", kind,
                  minor(device.st_rdev));
    char target[PATH_MAX];
    const ssize_t n = readlink(path, target, sizeof target - 1);
    if (n <= 0) return OutputRule::kCannotTakeBack;
    target[n] = '\0';
    const char* bus = std::strrchr(target, '/');
    bus = bus == nullptr ? target : bus + 1;
    return std::strcmp(bus, "usb-serial") == 0 || std::strcmp(bus, "usb") == 0
               ? OutputRule::kCannotTakeBack
               : OutputRule::kTakesBack;
}

}  // namespace

TtyDriver DescribeDriver(int fd, serial_icounter_struct* counters) {
    TtyDriver driver;
    struct stat device {};
    driver.output = fstat(fd, &device) == 0 ? RuleFor(device) : OutputRule::kCannotTakeBack;
    driver.marksInput = driver.output != OutputRule::kPassesThrough;
    driver.counts = ioctl(fd, TIOCGICOUNT, counters) == 0;
    return driver;
}

}  // namespace velmora::serial
