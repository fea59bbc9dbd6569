// A tty's output side as the write rule sees it, and what the Linux backend must know
// of a tty before a call that the kernel would make wait for its output.
#pragma once

#include "serial/output_queue.h"

struct termios2;  // <asm/termbits.h>, which clashes with <termios.h>

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
    Wait AwaitRoom(Micros deadline) override;
    void Sleep(Micros duration) override;
    Micros Now() override;

  private:
    int fd_;
    bool countsTransmitted_;
};

// A pseudo-terminal hands every byte it takes straight to its far end: it has no
// output queue to wait for. Every other tty is taken to have one.
bool KeepsOutputQueue(int fd);

// Whether the tty's driver can take back what it holds. A USB adapter's cannot: neither
// usb-serial nor cdc-acm has a flush hook, so TCFLSH leaves their queue and the
// transfers in flight to go out. A device this layer cannot place is taken to keep its
// bytes too, the choice that never counts a byte as taken back that may still go out.
QueueKind OutputQueueKind(int fd);

// The time one character takes on `line`, or 0 when its rate is unknown.
std::int64_t NanosPerByte(const termios2& line);

enum class Transmitter { kEmpty, kBusy, kFailed };

// Whether the device has sent everything it was given, its own FIFO included. A
// driver that cannot tell (a pty) is taken to be empty.
Transmitter TransmitterState(int fd);

// Waits until both the driver's queue and the transmitter are empty, at most until
// `deadline`. True when they are.
bool AwaitSettled(int fd, Micros deadline, std::int64_t nanosPerByte);

}  // namespace velmora::serial::tty_output
