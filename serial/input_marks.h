// The marks PARMRK puts in a tty's input, taken out again.
//
// A line in raw mode that flags nothing lets the kernel pass bytes straight through,
// flags ignored, and a driver's overrun marker (a 0 byte flagged TTY_OVERRUN) then reads
// as data. With PARMRK the line discipline drops that marker and marks every byte it
// received with a parity or framing error as "\377 \0 byte", a break as "\377 \0 \0",
// and doubles a 0xFF byte. Windows hands a script the bytes as received and reports
// errors apart, so the marks come out here, and the errors they carried are kept for
// the next ClearCommError (where the driver does not count them itself).
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora::serial {

class InputMarks {
  public:
    // Takes the marks out of `count` bytes in place; the data bytes left. A mark cut off
    // by the end of the bytes is finished by the next call.
    std::size_t Unmark(unsigned char* bytes, std::size_t count);

    // The ClearCommError flags of the marks seen since the last call: a marked byte is
    // a parity error where the line checks parity, else a framing error; a marked 0 is
    // a break (which is how a parity error on a 0 byte reads, too).
    std::uint32_t TakeErrors(bool parityChecked);

  private:
    enum class State : std::uint8_t { kData, kMark, kMarkZero };
    State state_ = State::kData;
    bool byteError_ = false;
    bool breakSeen_ = false;
};

}  // namespace velmora::serial
