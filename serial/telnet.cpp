#include "serial/telnet.h"

#include <cstring>

namespace velmora::serial::telnet {

std::size_t Decoder::Decode(const std::uint8_t* wire, std::size_t size, std::uint8_t* data,
                            std::size_t* dataCount, Command* command) {
    *command = Command{};
    std::size_t in = 0;
    std::size_t out = 0;
    while (in < size) {
        if (state_ == State::kInData) {
            // Runs of plain data move at once; only IAC (and CR without the binary
            // option) needs a look.
            const std::uint8_t* from = wire + in;
            const void* iac = std::memchr(from, kIac, size - in);
            std::size_t run =
                iac != nullptr
                    ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(iac) - from)
                    : size - in;
            if (!binary_) {
                const void* cr = std::memchr(from, kCr, run);
                if (cr != nullptr) {
                    run = static_cast<std::size_t>(static_cast<const std::uint8_t*>(cr) - from) + 1;
                    state_ = State::kAfterCr;
                }
            }
            if (data + out != from) std::memmove(data + out, from, run);
            out += run;
            in += run;
            if (iac != nullptr && state_ == State::kInData) {
                ++in;
                state_ = State::kAfterIac;
            }
            continue;
        }
        const std::uint8_t b = wire[in++];
        switch (state_) {
            case State::kAfterCr:
                state_ = State::kInData;
                if (b == kNul) break;  // CR NUL is a CR alone
                --in;                  // anything else is itself
                break;
            case State::kAfterIac:
                if (b == kIac) {
                    data[out++] = kIac;
                    state_ = State::kInData;
                } else if (b >= kWill && b <= kDont) {
                    verb_ = b;
                    state_ = State::kAfterVerb;
                } else if (b == kSb) {
                    sbSize_ = 0;
                    cut_ = false;
                    state_ = State::kInSb;
                } else {
                    state_ = State::kInData;  // NOP, GA, DM, BRK, AYT, a stray SE: nothing to do
                }
                break;
            case State::kAfterVerb:
                state_ = State::kInData;
                command->kind = Command::Kind::kNegotiation;
                command->verb = verb_;
                command->option = b;
                *dataCount = out;
                return in;
            case State::kInSb:
                if (b == kIac) {
                    state_ = State::kInSbAfterIac;
                } else if (sbSize_ < kMaxSubnegotiation) {
                    sb_[sbSize_++] = b;
                } else {
                    cut_ = true;
                }
                break;
            case State::kInSbAfterIac:
                if (b == kIac) {  // a doubled IAC inside: one 255 of the payload
                    if (sbSize_ < kMaxSubnegotiation) {
                        sb_[sbSize_++] = kIac;
                    } else {
                        cut_ = true;
                    }
                    state_ = State::kInSb;
                    break;
                }
                // IAC SE ends it; IAC followed by anything else ends it too, and that byte
                // starts over as a command (RFC 855 leaves it undefined; ending it keeps a
                // lost SE from swallowing the stream).
                state_ = State::kInData;
                if (b != kSe) {
                    in -= 1;
                    state_ = State::kAfterIac;
                }
                command->kind = Command::Kind::kSubnegotiation;
                command->payload = sb_;
                command->size = sbSize_;
                command->cut = cut_;
                *dataCount = out;
                return in;
            case State::kInData:
                break;
        }
    }
    *dataCount = out;
    return in;
}

std::size_t Escape(const std::uint8_t* data, std::size_t size, bool binary, std::uint8_t* wire,
                   std::size_t room, std::size_t* wireCount) {
    std::size_t in = 0;
    std::size_t out = 0;
    while (in < size) {
        const std::uint8_t b = data[in];
        const bool doubled = b == kIac || (!binary && b == kCr);
        if (out + (doubled ? 2 : 1) > room) break;
        wire[out++] = b;
        if (doubled) wire[out++] = b == kIac ? kIac : kNul;
        ++in;
    }
    *wireCount = out;
    return in;
}

std::size_t Negotiation(std::uint8_t verb, std::uint8_t option, std::uint8_t* wire,
                        std::size_t room) {
    if (room < 3) return 0;
    wire[0] = kIac;
    wire[1] = verb;
    wire[2] = option;
    return 3;
}

std::size_t Subnegotiation(const std::uint8_t* payload, std::size_t size, std::uint8_t* wire,
                           std::size_t room) {
    std::size_t out = 0;
    if (room < 4) return 0;
    wire[out++] = kIac;
    wire[out++] = kSb;
    std::size_t escaped = 0;
    const std::size_t used = Escape(payload, size, true, wire + out, room - 2 - out, &escaped);
    if (used != size) return 0;
    out += escaped;
    wire[out++] = kIac;
    wire[out++] = kSe;
    return out;
}

}  // namespace velmora::serial::telnet
