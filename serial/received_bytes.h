// The bytes a tty has received, as a script reads them: the one place that reads them
// from the kernel, takes the error marks out (serial/input_marks.h) and keeps what was read
// ahead. ClearCommError reads ahead to count what waits with the marks out (the line
// discipline's own count includes them) and to learn the errors of a driver that counts
// none; ReadFile serves what was read ahead first. Internal to serial/.
#pragma once

#include <array>
#include <cstdint>

#include "serial/input_marks.h"

namespace velmora::serial {

class ReceivedBytes {
  public:
    enum class Arrival { kSome, kNone, kGone };

    // Whether the line marks its input (every real line does; a pty passes its bytes
    // unflagged and unmarked).
    void MarkErrors(bool marked) { marked_ = marked; }

    // One read() of what the line discipline holds, as much as the read-ahead has room
    // for. kGone when the device has gone (a hung-up tty reads as at its end).
    Arrival ReadAhead(int fd);

    // What was read ahead first, then one read() for the rest of `count`: straight into
    // `to` where nothing is marked. `delivered` is what was put into `to`.
    Arrival Receive(int fd, unsigned char* to, std::uint32_t count, std::uint32_t* delivered);

    // The bytes read ahead, marks out.
    std::uint32_t Waiting() const { return end_ - begin_; }

    // Moves up to `count` of the bytes read ahead to `to`; answers how many.
    std::uint32_t Take(unsigned char* to, std::uint32_t count);

    std::uint32_t TakeErrors(bool parityChecked) { return marks_.TakeErrors(parityChecked); }

    // Drops what was read ahead, an unfinished mark and the errors seen (PurgeComm).
    void Clear();

  private:
    // The line discipline holds at most 4 KiB, so one read takes all of it; an unfinished
    // mark (two bytes at most) waits after the data for the rest of it.
    static constexpr std::uint32_t kSize = 4096 + 2;
    bool marked_ = false;
    InputMarks marks_;
    std::uint32_t begin_ = 0;
    std::uint32_t end_ = 0;
    std::uint32_t unfinished_ = 0;  // raw bytes of a mark, at end_
    std::array<unsigned char, kSize> buffer_{};
};

}  // namespace velmora::serial
