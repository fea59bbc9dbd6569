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
    // Takes the marks out of `count` bytes in place and answers how many data bytes are
    // left at the front. A mark that the bytes end in the middle of is not taken: its
    // first one or two bytes stay where they were, after the data, and `unfinished` says
    // how many, for the caller to put in front of the next bytes. So the data never
    // outgrows the bytes it came from, whatever they hold.
    std::size_t Unmark(unsigned char* bytes, std::size_t count, std::size_t* unfinished);

    // The ClearCommError flags of the marks seen since the last call: a marked byte is
    // a parity error where the line checks parity, else a framing error; a marked 0 is
    // a break (which is how a parity error on a 0 byte reads, too).
    std::uint32_t TakeErrors(bool parityChecked);

    // Forgets the errors seen (the input they came with was dropped).
    void Clear() { byteError_ = breakSeen_ = false; }

  private:
    bool byteError_ = false;
    bool breakSeen_ = false;
};

}  // namespace velmora::serial
