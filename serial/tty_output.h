// A tty's output side as the write rule sees it (serial/write_rule.h), and what the Linux
// backend must know of a tty before a call that the kernel would make wait for its output.
#pragma once

#include "serial/write_rule.h"

namespace velmora::serial::tty_output {

class TtyOutput final : public OutputDevice {
  public:
    // `countsTransmitted`: the driver answers TIOCGICOUNT (otherwise it is not asked).
    explicit TtyOutput(int fd, bool countsTransmitted = false)
        : fd_(fd), countsTransmitted_(countsTransmitted) {}
    long Write(const unsigned char* bytes, std::uint32_t count) override;
    long Queued() override;
    void Discard() override;
    std::int64_t Transmitted() override;
    Wait AwaitRoom(Deadline deadline) override;
    void Sleep(Micros duration) override;
    Micros Now() override;

  private:
    int fd_;
    bool countsTransmitted_;
};

enum class Transmitter { kEmpty, kBusy, kFailed };

// Whether the device has sent everything it was given, its own FIFO included. A
// driver that cannot tell (a pty) is taken to be empty.
Transmitter TransmitterState(int fd);

// Waits until both the driver's queue and the transmitter are empty, at most until
// `deadline`. True when they are.
bool AwaitSettled(int fd, Deadline deadline, std::int64_t nanosPerByte);

}  // namespace velmora::serial::tty_output
