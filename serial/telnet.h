// The Telnet byte stream (RFC 854, 855): data with IAC (255) doubled, option
// negotiation (WILL, WONT, DO, DONT) and subnegotiation (IAC SB ... IAC SE). Pure: the
// decoder takes whatever bytes a server sends, in pieces of any size, and never reads or
// writes outside what it is given.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora::serial::telnet {

inline constexpr std::uint8_t kIac = 255, kDont = 254, kDo = 253, kWont = 252, kWill = 251,
                              kSb = 250, kSe = 240;
inline constexpr std::uint8_t kCr = 13, kNul = 0;

// The options a COM port client takes part in.
inline constexpr std::uint8_t kBinary = 0, kEcho = 1, kSuppressGoAhead = 3, kComPortOption = 44;

// A subnegotiation's payload (its option first) is kept up to this many bytes; a longer
// one is cut there and marked, never overflows.
inline constexpr std::size_t kMaxSubnegotiation = 72;

struct Command {
    enum class Kind : std::uint8_t {
        kNone,
        kNegotiation,     // verb (kWill, kWont, kDo, kDont) and option
        kSubnegotiation,  // payload, its option first
    };
    Kind kind = Kind::kNone;
    std::uint8_t verb = 0;
    std::uint8_t option = 0;
    const std::uint8_t* payload = nullptr;  // valid until the next Decode
    std::size_t size = 0;
    bool cut = false;  // the payload was longer than kMaxSubnegotiation
};

class Decoder {
  public:
    // Without the binary option, a CR from the server comes as CR NUL (or CR LF), and
    // the NUL is no data.
    void SetBinary(bool binary) { binary_ = binary; }
    // Whether bytes without IAC would all be data, as they stand: between commands, in
    // binary mode.
    bool InPlainData() const { return state_ == State::kInData && binary_; }

    // Decodes `wire` from its start until its end or the end of one command, whichever
    // comes first. Data bytes go to `data` (room for `size` bytes is enough; `data` may
    // be `wire` itself, as data never grows); *dataCount says how many. Returns how many
    // wire bytes were used; *command is the command that ended, or kNone.
    std::size_t Decode(const std::uint8_t* wire, std::size_t size, std::uint8_t* data,
                       std::size_t* dataCount, Command* command);

  private:
    enum class State : std::uint8_t {
        kInData,
        kAfterCr,
        kAfterIac,
        kAfterVerb,
        kInSb,
        kInSbAfterIac
    };
    State state_ = State::kInData;
    std::uint8_t verb_ = 0;
    bool binary_ = false;
    bool cut_ = false;
    std::size_t sbSize_ = 0;
    std::uint8_t sb_[kMaxSubnegotiation] = {};
};

// Escapes data for the wire: IAC doubled and, without the binary option, CR sent as
// CR NUL. Stops at the end of `data` or when `wire` has no room for the next byte's
// whole encoding. Returns how many data bytes were encoded; *wireCount, the bytes written.
std::size_t Escape(const std::uint8_t* data, std::size_t size, bool binary, std::uint8_t* wire,
                   std::size_t room, std::size_t* wireCount);

// The wire bytes of a negotiation (3) and of a subnegotiation with `payload` escaped
// (its option first). Return how many bytes went to `wire`, 0 when `room` is too small.
std::size_t Negotiation(std::uint8_t verb, std::uint8_t option, std::uint8_t* wire,
                        std::size_t room);
std::size_t Subnegotiation(const std::uint8_t* payload, std::size_t size, std::uint8_t* wire,
                           std::size_t room);

}  // namespace velmora::serial::telnet
