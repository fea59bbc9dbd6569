#include "serial/tty_output.h"

#include <asm/termbits.h>
#include <errno.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "serial/linux_port.h"

namespace velmora::serial::tty_output {

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

Wait TtyOutput::AwaitRoom(Deadline deadline) {
    return PollUntil(fd_, POLLOUT, deadline);
}

void TtyOutput::Sleep(Micros duration) {
    if (duration <= 0) return;
    const timespec pause{static_cast<time_t>(duration / 1'000'000),
                         static_cast<long>(duration % 1'000'000) * 1000};
    // A signal ends the pause early; the caller looks at the clock again.
    clock_nanosleep(CLOCK_MONOTONIC, 0, &pause, nullptr);
}

Micros TtyOutput::Now() {
    return MonotonicMicros();
}

Transmitter TransmitterState(int fd) {
    unsigned int status = 0;
    if (ioctl(fd, TIOCSERGETLSR, &status) == 0) {
        return (status & TIOCSER_TEMT) ? Transmitter::kEmpty : Transmitter::kBusy;
    }
    return DeviceHasNoSuchControl() ? Transmitter::kEmpty : Transmitter::kFailed;
}

bool AwaitSettled(int fd, Deadline deadline, std::int64_t nanosPerByte) {
    TtyOutput device(fd);
    if (AwaitEmptyQueue(device, deadline, nanosPerByte) != Drain::kEmpty) return false;
    for (;;) {
        const Transmitter t = TransmitterState(fd);
        if (t != Transmitter::kBusy) return t == Transmitter::kEmpty;
        const Micros now = device.Now();
        if (deadline.PassedAt(now)) return false;
        device.Sleep(std::min<Micros>(1000, deadline.LeftAt(now)));
    }
}

}  // namespace velmora::serial::tty_output
