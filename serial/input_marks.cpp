#include "serial/input_marks.h"

#include "serial/comm.h"

namespace velmora::serial {

namespace {
constexpr unsigned char kMarkByte = 0xFF;
}  // namespace

std::size_t InputMarks::Unmark(unsigned char* bytes, std::size_t count, std::size_t* unfinished) {
    std::size_t out = 0;
    std::size_t in = 0;
    while (in < count) {
        const unsigned char c = bytes[in];
        if (c != kMarkByte) {
            bytes[out++] = c;
            ++in;
            continue;
        }
        if (in + 1 == count) break;  // "\377", its meaning still to come
        const unsigned char next = bytes[in + 1];
        if (next != 0) {
            // "\377\377" is one 0xFF; anything else is no mark the line makes, and passes
            // as it came.
            bytes[out++] = kMarkByte;
            if (next != kMarkByte) bytes[out++] = next;
            in += 2;
            continue;
        }
        if (in + 2 == count) break;  // "\377\0", its byte still to come
        const unsigned char marked = bytes[in + 2];
        (marked == 0 ? breakSeen_ : byteError_) = true;
        bytes[out++] = marked;
        in += 3;
    }
    // The unfinished mark's bytes stay right after the data, in their order.
    for (std::size_t i = in; i < count; ++i) bytes[out + (i - in)] = bytes[i];
    *unfinished = count - in;
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
