#include "serial/tty_output.h"

#include <asm/termbits.h>
#include <errno.h>
#include <limits.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace velmora::serial::tty_output {

namespace {

// Slave ends of Unix 98 pseudo-terminals, and of the old BSD ones.
constexpr unsigned kPtySlaveMajorFirst = 136;
constexpr unsigned kPtySlaveMajorLast = 143;
constexpr unsigned kBsdPtySlaveMajor = 3;

bool NoSuchRequest() {
    return errno == ENOTTY || errno == EINVAL;
}

}  // namespace

// The requests below do not wait, so a signal cannot interrupt them.
long TtyOutput::Write(const unsigned char* bytes, std::uint32_t count) {
    for (;;) {
        const ssize_t n = write(fd_, bytes, count);
        if (n >= 0) return n == 0 && count != 0 ? -1 : static_cast<long>(n);
        if (errno == EAGAIN) return 0;
        if (errno != EINTR) return -1;
    }
}

long TtyOutput::Queued() {
    int queued = 0;
    return ioctl(fd_, TIOCOUTQ, &queued) == 0 ? queued : -1;
}

void TtyOutput::Discard() {
    ioctl(fd_, TCFLSH, TCOFLUSH);
}

std::int64_t TtyOutput::Transmitted() {
    serial_icounter_struct counters{};
    if (!countsTransmitted_ || ioctl(fd_, TIOCGICOUNT, &counters) != 0) return -1;
    return static_cast<std::uint32_t>(counters.tx);
}

OutputDevice::Wait TtyOutput::AwaitRoom(Micros deadline) {
    for (;;) {
        int timeout = -1;
        if (deadline != kNoDeadline) {
            const Micros left = deadline - Now();
            if (left <= 0) return Wait::kTimedOut;
            timeout = static_cast<int>(std::min<Micros>((left + 999) / 1000, 0x7FFFFFFF));
        }
        pollfd p{fd_, POLLOUT, 0};
        const int n = poll(&p, 1, timeout);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Wait::kGone;
        if (n == 0) continue;  // the deadline check above decides
        if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) return Wait::kGone;
        return Wait::kReady;
    }
}

void TtyOutput::Sleep(Micros duration) {
    if (duration <= 0) return;
    const timespec pause{static_cast<time_t>(duration / 1'000'000),
                         static_cast<long>(duration % 1'000'000) * 1000};
    // A signal ends the pause early; the caller looks at the clock again.
    clock_nanosleep(CLOCK_MONOTONIC, 0, &pause, nullptr);
}

Micros TtyOutput::Now() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<Micros>(now.tv_sec) * 1'000'000 + now.tv_nsec / 1000;
}

bool KeepsOutputQueue(int fd) {
    struct stat device {};
    if (fstat(fd, &device) != 0) return true;
    const unsigned kind = major(device.st_rdev);
    return !(kind >= kPtySlaveMajorFirst && kind <= kPtySlaveMajorLast) &&
           kind != kBsdPtySlaveMajor;
}

QueueKind OutputQueueKind(int fd) {
    struct stat device {};
    if (fstat(fd, &device) != 0) return QueueKind::kKeeps;
    // The tty's device is a usb-serial port, or the USB interface cdc-acm binds to; a
    // UART's is a platform, PNP or PCI device.
    char path[64];
    std::snprintf(path, sizeof path, "/sys/dev/char/%u:%u/device/subsystem", major(device.st_rdev),
                  minor(device.st_rdev));
    char target[PATH_MAX];
    const ssize_t n = readlink(path, target, sizeof target - 1);
    if (n <= 0) return QueueKind::kKeeps;
    target[n] = '\0';
    const char* bus = std::strrchr(target, '/');
    bus = bus == nullptr ? target : bus + 1;
    return std::strcmp(bus, "usb-serial") == 0 || std::strcmp(bus, "usb") == 0
               ? QueueKind::kKeeps
               : QueueKind::kTakesBack;
}

std::int64_t NanosPerByte(const termios2& line) {
    if (line.c_ospeed == 0) return 0;
    std::int64_t bits = 1 + 1;  // start and stop
    switch (line.c_cflag & CSIZE) {
        case CS5:
            bits += 5;
            break;
        case CS6:
            bits += 6;
            break;
        case CS7:
            bits += 7;
            break;
        default:
            bits += 8;
            break;
    }
    if (line.c_cflag & PARENB) ++bits;
    if (line.c_cflag & CSTOPB) ++bits;
    return bits * 1'000'000'000 / line.c_ospeed;
}

Transmitter TransmitterState(int fd) {
    unsigned int status = 0;
    if (ioctl(fd, TIOCSERGETLSR, &status) == 0) {
        return (status & TIOCSER_TEMT) ? Transmitter::kEmpty : Transmitter::kBusy;
    }
    return NoSuchRequest() ? Transmitter::kEmpty : Transmitter::kFailed;
}

bool AwaitSettled(int fd, Micros deadline, std::int64_t nanosPerByte) {
    TtyOutput device(fd);
    if (AwaitEmptyQueue(device, deadline, nanosPerByte) != Drain::kEmpty) return false;
    for (;;) {
        const Transmitter t = TransmitterState(fd);
        if (t != Transmitter::kBusy) return t == Transmitter::kEmpty;
        const Micros now = device.Now();
        if (deadline != kNoDeadline && now >= deadline) return false;
        device.Sleep(deadline == kNoDeadline ? 1000 : std::min<Micros>(1000, deadline - now));
    }
}

}  // namespace velmora::serial::tty_output
