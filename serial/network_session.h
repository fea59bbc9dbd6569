// One port on a device server, as a state machine: what goes on the wire and what comes
// off it, the settings the server confirmed, the input, the line errors and modem
// inputs it reported, and what holds output. Pure: the caller moves the bytes between
// it and a socket (serial/comm_network.cpp), so every rule here can be tried, and
// fuzzed, without a network.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "serial/comm.h"
#include "serial/network_name.h"
#include "serial/telnet.h"

namespace velmora::serial::network {

// The values a COM-PORT-OPTION server confirms, one each.
enum Setting : std::uint8_t {
    kBaud,
    kDataSize,
    kParity,
    kStopSize,
    kFlow,
    kBreak,
    kDtr,
    kRts,
    kLineMask,
    kModemMask,
    kPurge,
    kSignature,
    kSettingCount
};
constexpr std::uint32_t Bit(Setting s) {
    return 1u << s;
}
// What GetCommState answers from, asked at open.
inline constexpr std::uint32_t kLineSettings = Bit(kBaud) | Bit(kDataSize) | Bit(kParity) |
                                               Bit(kStopSize) | Bit(kFlow) | Bit(kBreak) |
                                               Bit(kDtr) | Bit(kRts);

class Session {
  public:
    // Received data waits here for ReadComm; when it is full, the server waits (TCP).
    static constexpr std::size_t kInputCapacity = std::size_t{64} * 1024;
    // Commands, and at most the second byte of an escaped data byte, not yet taken by
    // the socket.
    static constexpr std::size_t kOutboxCapacity = std::size_t{4} * 1024;

    explicit Session(Scheme scheme);
    Scheme scheme() const { return scheme_; }
    bool comPortOption() const { return scheme_ == Scheme::kRfc2217; }

    // ---- Opening (rfc2217): the options offered, then every setting asked.
    enum class Agreement : std::uint8_t { kPending, kAgreed, kRefused };
    void Offer();
    Agreement comPort() const { return comPort_; }
    void AskEverything();
    // Whether any of `settings` (Bit()s) still awaits the server's answer.
    bool Awaiting(std::uint32_t settings) const;
    // Answers that did not come are waited for no longer; a late one is still taken.
    void GiveUpWaiting();
    // Fixes the record as opened: what the server said, Windows' defaults for the rest.
    // Only a setting the server said here is ever sent for DTR, RTS and BREAK.
    void Settle();

    // ---- The wire.
    const std::uint8_t* outgoing() const { return outbox_.data() + outBegin_; }
    std::size_t outgoingSize() const { return outEnd_ - outBegin_; }
    void Sent(std::size_t n);
    // Where received bytes go, in place: the input's free end. Every byte put there
    // decodes to at most one data byte, so nothing is lost.
    std::uint8_t* ReceiveSpace(std::size_t* room);
    void Received(std::size_t n);
    // Received bytes from elsewhere, when the input may be full: data it has no room for
    // is lost and reported as an input overflow (CE_RXOVER), as a driver's full input
    // queue does. `wire` is decoded in place.
    void ReceivedBeyondRoom(std::uint8_t* wire, std::size_t n);
    void Ended() { ended_ = true; }
    bool ended() const { return ended_; }

    // ---- Input.
    std::size_t waiting() const { return inEnd_ - inBegin_; }
    std::size_t inputRoom() const { return kInputCapacity - waiting(); }
    std::size_t Read(std::uint8_t* out, std::size_t n);
    void DiscardInput() { inBegin_ = inEnd_ = 0; }
    // The receive errors reported since the last call, as ClearCommError's error word.
    std::uint32_t TakeErrors();

    // ---- Settings.
    Dcb State() const;
    struct Plan {
        struct Item {
            Setting setting;
            std::uint32_t value;
            bool wasKnown;
            std::uint32_t was;
        };
        std::size_t size = 0;
        Item items[kSettingCount] = {};
    };
    // What must go to the server for `wanted`: false when no port could take it. An
    // empty plan needs no round trip.
    bool PlanChange(const Dcb& wanted, Plan* plan) const;
    // One SET-CONTROL value: DTR, RTS or BREAK.
    Plan PlanControl(Setting setting, std::uint8_t value) const;
    // Queues the plan's commands; false, with nothing queued, when the outbox is full.
    bool Ask(const Plan& plan);
    bool Awaiting(const Plan& plan) const;
    bool Confirmed(const Plan& plan) const;
    // The plan that asks again for what was confirmed before `plan`.
    Plan Undo(const Plan& plan) const;
    void Commit(const Dcb& wanted) { dcb_ = wanted; }

    // ---- What the server said.
    bool Known(Setting s) const { return known_[s]; }
    std::uint32_t Value(Setting s) const { return value_[s]; }
    // Whether the server told this setting's state when asked at open.
    bool Reports(Setting s) const { return reported_[s]; }
    bool modemKnown() const { return modemKnown_; }
    std::uint8_t modem() const { return modem_; }
    bool suspended() const { return suspended_; }
    const char* signature() const { return signature_; }

    // ---- Output.
    bool OutputHeld() const;
    std::uint32_t HoldFlags() const;  // COMSTAT's first word
    void SetXoffHold(bool held) { xoffHeld_ = held; }
    void SetBreakHold(bool held) { breakHeld_ = held; }
    // Whether data goes out as it is, without CR NUL.
    bool binaryOut() const { return !comPortOption() || us_[telnet::kBinary] & kEnabled; }
    // How long a byte takes on the line as the server confirmed it; 0: nothing to pace.
    std::int64_t NanosPerByte() const;
    bool QueueWire(const std::uint8_t* wire, std::size_t n);

    // ---- Purge: input is dropped until the server's answer says it purged too.
    bool AskPurge(std::uint8_t what);
    bool purging() const { return purging_; }
    void StopPurging() { purging_ = false; }

  private:
    // Option states, ours (WILL) and the server's (DO), one byte each.
    static constexpr std::uint8_t kAsked = 1, kEnabled = 2, kRefusedOnce = 4;

    void Decode(std::uint8_t* wire, std::size_t n, bool inPlace);
    // Room at the input's end for `wanted` bytes, moving what waits to the start if that
    // is what it takes; returns the room there is.
    std::size_t MakeRoom(std::size_t wanted);
    void Handle(const telnet::Command& command);
    void Negotiate(std::uint8_t verb, std::uint8_t option);
    void Answer(const std::uint8_t* payload, std::size_t size);
    void Take(Setting s, std::uint32_t value, bool valid);
    bool QueueNegotiation(std::uint8_t verb, std::uint8_t option);
    bool QueueCommand(std::uint8_t command, const std::uint8_t* value, std::size_t size);
    Dcb Opened() const;

    Scheme scheme_;
    Agreement comPort_ = Agreement::kPending;
    telnet::Decoder decoder_;
    std::array<std::uint8_t, 256> us_{};
    std::array<std::uint8_t, 256> him_{};

    std::array<std::uint32_t, kSettingCount> awaiting_{};
    std::array<bool, kSettingCount> known_{};
    std::array<bool, kSettingCount> reported_{};
    std::array<std::uint32_t, kSettingCount> value_{};
    Dcb dcb_{};

    std::uint32_t errors_ = 0;
    std::uint8_t modem_ = 0;
    bool modemKnown_ = false;
    bool suspended_ = false;
    bool xoffHeld_ = false;
    bool breakHeld_ = false;
    bool purging_ = false;
    bool ended_ = false;
    char signature_[64] = {};

    std::size_t outBegin_ = 0;
    std::size_t outEnd_ = 0;
    std::array<std::uint8_t, kOutboxCapacity> outbox_{};
    std::size_t inBegin_ = 0;
    std::size_t inEnd_ = 0;
    std::array<std::uint8_t, kInputCapacity> input_{};
};

}  // namespace velmora::serial::network
