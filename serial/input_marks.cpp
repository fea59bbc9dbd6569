#include "serial/input_marks.h"

#include "serial/comm.h"

namespace velmora::serial {

namespace {
constexpr unsigned char kMarkByte = 0xFF;
}  // namespace

std::size_t InputMarks::Unmark(unsigned char* bytes, std::size_t count) {
    std::size_t out = 0;
    for (std::size_t in = 0; in < count; ++in) {
        const unsigned char c = bytes[in];
        switch (state_) {
            case State::kData:
                if (c == kMarkByte) {
                    state_ = State::kMark;
                } else {
                    bytes[out++] = c;
                }
                break;
            case State::kMark:
                if (c == 0) {
                    state_ = State::kMarkZero;
                } else {
                    // "\377\377" is one 0xFF; anything else is no mark the line makes, and
                    // passes as it came.
                    if (c != kMarkByte) bytes[out++] = kMarkByte;
                    bytes[out++] = c;
                    state_ = State::kData;
                }
                break;
            case State::kMarkZero:
                (c == 0 ? breakSeen_ : byteError_) = true;
                bytes[out++] = c;
                state_ = State::kData;
                break;
        }
    }
    return out;
}

std::uint32_t InputMarks::TakeErrors(bool parityChecked) {
    std::uint32_t errors = 0;
    if (byteError_) errors |= parityChecked ? kCeRxParity : kCeFrame;
    if (breakSeen_) errors |= kCeBreak;
    byteError_ = breakSeen_ = false;
    return errors;
}

}  // namespace velmora::serial
