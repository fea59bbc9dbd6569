#include "serial/network_session.h"

#include <cstring>

#include "serial/com_port_option.h"

namespace velmora::serial::network {

namespace {

namespace rfc = rfc2217;

// The options this client takes part in: its own (answered DO) and the server's
// (answered WILL). The server's ECHO would send the port's own output back as input.
bool WeTakePart(std::uint8_t option) {
    return option == telnet::kBinary || option == telnet::kSuppressGoAhead ||
           option == telnet::kComPortOption;
}
bool ServerMayUse(std::uint8_t option) {
    return option == telnet::kBinary || option == telnet::kSuppressGoAhead;
}

// SET-CONTROL's one flow-control value for output (and, on most servers, input too).
// The wire has no value for XON/XOFF and CTS together.
std::uint8_t FlowOf(const Dcb& d) {
    if (dcb::Has(d, dcb::kOutX)) return rfc::kFlowXonXoff;
    if (dcb::Has(d, dcb::kOutxCtsFlow)) return rfc::kFlowHardware;
    return rfc::kFlowNone;
}

// A DTR or RTS control mode that drives the line: on or off; anything else: none.
enum class Drive : std::uint8_t { kNone, kOn, kOff };
Drive DriveOf(std::uint32_t control) {
    if (control == dcb::kControlEnable) return Drive::kOn;
    if (control == dcb::kControlDisable) return Drive::kOff;
    return Drive::kNone;
}

// The rules every port keeps, whether or not the field changes: as on the platform's
// own ports, a record no port could take is refused whole.
bool HandshakesPossible(const Dcb& d) {
    if (dcb::DtrControl(d) == dcb::kControlHandshake) return false;  // no DTR input handshake
    if (dcb::RtsControl(d) == dcb::kRtsControlToggle) return false;
    // The RTS handshake goes with the CTS wait: one flow-control value covers both.
    if (dcb::RtsControl(d) == dcb::kControlHandshake && !dcb::Has(d, dcb::kOutxCtsFlow)) {
        return false;
    }
    if (dcb::Has(d, dcb::kOutX) && dcb::Has(d, dcb::kOutxCtsFlow)) return false;
    const bool xonXoff = dcb::Has(d, dcb::kOutX) || dcb::Has(d, dcb::kInX);
    return !xonXoff || d.XonChar != d.XoffChar;
}

bool FrameValid(std::uint8_t byteSize, std::uint8_t stopBits) {
    if (byteSize < 5 || byteSize > 8 || stopBits > kTwoStopBits) return false;
    // As on Windows: 1.5 stop bits only with 5 data bits, 2 only with 6 to 8.
    if (stopBits == kOne5StopBits) return byteSize == 5;
    if (stopBits == kTwoStopBits) return byteSize != 5;
    return true;
}

}  // namespace

Session::Session(Scheme scheme) : scheme_(scheme) {
    dcb_ = Opened();
}

// ---- Opening ---------------------------------------------------------------------

void Session::Offer() {
    if (!comPortOption()) return;
    for (const std::uint8_t option :
         {telnet::kBinary, telnet::kSuppressGoAhead, telnet::kComPortOption}) {
        us_[option] |= kAsked;
        QueueNegotiation(telnet::kWill, option);
    }
    for (const std::uint8_t option : {telnet::kBinary, telnet::kSuppressGoAhead}) {
        him_[option] |= kAsked;
        QueueNegotiation(telnet::kDo, option);
    }
}

void Session::AskEverything() {
    if (!comPortOption()) return;
    const std::uint8_t zero[4] = {0, 0, 0, 0};
    const std::uint8_t lineMask = rfc::kLineStateMask;
    const std::uint8_t modemMask = rfc::kModemStateMask;
    struct Question {
        Setting setting;
        std::uint8_t command;
        const std::uint8_t* value;
        std::size_t size;
    };
    const Question questions[] = {
        {kSignature, rfc::kSignature, nullptr, 0},
        {kBaud, rfc::kSetBaudRate, zero, 4},
        {kDataSize, rfc::kSetDataSize, zero, 1},
        {kParity, rfc::kSetParity, zero, 1},
        {kStopSize, rfc::kSetStopSize, zero, 1},
        {kFlow, rfc::kSetControl, &rfc::kAskFlow, 1},
        {kBreak, rfc::kSetControl, &rfc::kAskBreak, 1},
        {kDtr, rfc::kSetControl, &rfc::kAskDtr, 1},
        {kRts, rfc::kSetControl, &rfc::kAskRts, 1},
        {kLineMask, rfc::kSetLineStateMask, &lineMask, 1},
        {kModemMask, rfc::kSetModemStateMask, &modemMask, 1},
    };
    for (const Question& q : questions) {
        if (QueueCommand(q.command, q.value, q.size)) ++awaiting_[q.setting];
    }
}

bool Session::Awaiting(std::uint32_t settings) const {
    for (std::size_t s = 0; s < kSettingCount; ++s) {
        if ((settings & (1u << s)) != 0 && awaiting_[s] != 0) return true;
    }
    return false;
}

void Session::GiveUpWaiting() {
    awaiting_.fill(0);
}

void Session::Settle() {
    for (std::size_t s = 0; s < kSettingCount; ++s) reported_[s] = known_[s];
    dcb_ = Opened();
}

// The record as a fresh Windows port has it, with what the server said of its line.
Dcb Session::Opened() const {
    Dcb d{};
    d.DCBlength = sizeof d;
    d.flags = dcb::kBinary | dcb::kParity;
    d.BaudRate = 9600;
    d.ByteSize = 8;
    d.XonLim = 2048;
    d.XoffLim = 512;
    d.XonChar = 0x11;
    d.XoffChar = 0x13;
    dcb::SetDtrControl(d, dcb::kControlEnable);
    dcb::SetRtsControl(d, dcb::kControlEnable);
    if (!comPortOption()) return d;
    // What the server did not say reads as 0, not as a value it never confirmed.
    d.BaudRate = known_[kBaud] ? value_[kBaud] : 0;
    d.ByteSize = known_[kDataSize] ? static_cast<std::uint8_t>(value_[kDataSize]) : 0;
    if (!known_[kParity] || !rfc::ParityFromWire(value_[kParity], &d.Parity)) d.Parity = 0;
    if (!known_[kStopSize] || !rfc::StopBitsFromWire(value_[kStopSize], &d.StopBits)) {
        d.StopBits = 0;
    }
    if (known_[kFlow] && value_[kFlow] == rfc::kFlowXonXoff) {
        dcb::Put(d, dcb::kOutX, true);
        dcb::Put(d, dcb::kInX, true);
    } else if (known_[kFlow] && value_[kFlow] == rfc::kFlowHardware) {
        dcb::Put(d, dcb::kOutxCtsFlow, true);
        dcb::SetRtsControl(d, dcb::kControlHandshake);
    } else if (known_[kRts] && value_[kRts] == rfc::kRtsOff) {
        dcb::SetRtsControl(d, dcb::kControlDisable);
    }
    if (known_[kDtr] && value_[kDtr] == rfc::kDtrOff) dcb::SetDtrControl(d, dcb::kControlDisable);
    return d;
}

// ---- The wire ------------------------------------------------------------------

void Session::Sent(std::size_t n) {
    outBegin_ += n < outgoingSize() ? n : outgoingSize();
    if (outBegin_ == outEnd_) outBegin_ = outEnd_ = 0;
}

bool Session::QueueWire(const std::uint8_t* wire, std::size_t n) {
    if (n > kOutboxCapacity - outgoingSize()) return false;
    if (n > kOutboxCapacity - outEnd_) {
        std::memmove(outbox_.data(), outbox_.data() + outBegin_, outgoingSize());
        outEnd_ -= outBegin_;
        outBegin_ = 0;
    }
    std::memcpy(outbox_.data() + outEnd_, wire, n);
    outEnd_ += n;
    return true;
}

bool Session::QueueNegotiation(std::uint8_t verb, std::uint8_t option) {
    std::uint8_t wire[3];
    return QueueWire(wire, telnet::Negotiation(verb, option, wire, sizeof wire));
}

bool Session::QueueCommand(std::uint8_t command, const std::uint8_t* value, std::size_t size) {
    std::uint8_t payload[2 + 4] = {telnet::kComPortOption, command};
    if (size > 4) return false;
    if (size != 0) std::memcpy(payload + 2, value, size);
    std::uint8_t wire[4 + 2 * sizeof payload];
    const std::size_t n = telnet::Subnegotiation(payload, 2 + size, wire, sizeof wire);
    return n != 0 && QueueWire(wire, n);
}

std::size_t Session::MakeRoom(std::size_t wanted) {
    if (inBegin_ == inEnd_) {
        inBegin_ = inEnd_ = 0;
    } else if (inBegin_ != 0 && kInputCapacity - inEnd_ < wanted) {
        std::memmove(input_.data(), input_.data() + inBegin_, waiting());
        inEnd_ -= inBegin_;
        inBegin_ = 0;
    }
    return kInputCapacity - inEnd_;
}

std::uint8_t* Session::ReceiveSpace(std::size_t* room) {
    // Moving what waits costs a copy; only a quarter or less left at the end is worth it.
    *room = MakeRoom(kInputCapacity / 4);
    return input_.data() + inEnd_;
}

void Session::Received(std::size_t n) {
    if (n > kInputCapacity - inEnd_) n = kInputCapacity - inEnd_;
    std::uint8_t* wire = input_.data() + inEnd_;
    // Bulk data, as it mostly comes, is already where it belongs: a polled port pays for
    // no more than the look for an IAC.
    const bool plain = !comPortOption() ||
                       (decoder_.InPlainData() && std::memchr(wire, telnet::kIac, n) == nullptr);
    if (plain && !purging_) {
        inEnd_ += n;
        return;
    }
    Decode(wire, n, true);
}

void Session::ReceivedBeyondRoom(std::uint8_t* wire, std::size_t n) {
    Decode(wire, n, false);
}

void Session::Decode(std::uint8_t* wire, std::size_t n, bool inPlace) {
    std::size_t at = 0;
    std::size_t produced = 0;  // data bytes decoded to wire[0..produced)
    while (at < n) {
        std::size_t count = 0;
        telnet::Command command;
        std::uint8_t* data = wire + produced;
        if (comPortOption()) {
            at += decoder_.Decode(wire + at, n - at, data, &count, &command);
        } else {
            // A plain stream: every byte is data.
            if (data != wire + at) std::memmove(data, wire + at, n - at);
            count = n - at;
            at = n;
        }
        if (purging_) {
            count = 0;  // sent before the server purged: not wanted
        } else if (inPlace) {
            inEnd_ += count;  // already where it belongs
            produced += count;
        } else {
            const std::size_t room = MakeRoom(count);
            const std::size_t kept = count < room ? count : room;
            std::memcpy(input_.data() + inEnd_, data, kept);
            inEnd_ += kept;
            if (kept != count) errors_ |= kCeRxOver;
        }
        if (command.kind != telnet::Command::Kind::kNone) Handle(command);
    }
}

void Session::Handle(const telnet::Command& command) {
    if (command.kind == telnet::Command::Kind::kNegotiation) {
        Negotiate(command.verb, command.option);
    } else if (command.kind == telnet::Command::Kind::kSubnegotiation) {
        // A message cut short is passed over, but for a long signature, kept as far as it goes.
        const bool signature =
            command.size > 1 && command.payload[1] == rfc::kServerOffset + rfc::kSignature;
        if (!command.cut || signature) Answer(command.payload, command.size);
    }
}

// Agreement on options: each side answers only a change, so no request loops; an option
// refused is refused once, so a server that repeats itself gets no stream of answers.
void Session::Negotiate(std::uint8_t verb, std::uint8_t option) {
    std::uint8_t& mine = us_[option];
    std::uint8_t& his = him_[option];
    switch (verb) {
        case telnet::kDo:
            if (!WeTakePart(option)) {
                if ((mine & kRefusedOnce) == 0) QueueNegotiation(telnet::kWont, option);
                mine |= kRefusedOnce;
                return;
            }
            if (mine & kEnabled) return;
            if ((mine & kAsked) == 0) QueueNegotiation(telnet::kWill, option);
            mine |= kAsked | kEnabled;
            if (option == telnet::kComPortOption) comPort_ = Agreement::kAgreed;
            return;
        case telnet::kDont:
            if ((mine & (kAsked | kEnabled)) == 0) return;
            if (mine & kEnabled) QueueNegotiation(telnet::kWont, option);
            mine = 0;
            if (option == telnet::kComPortOption) comPort_ = Agreement::kRefused;
            return;
        case telnet::kWill:
            if (!ServerMayUse(option)) {
                if ((his & kRefusedOnce) == 0) QueueNegotiation(telnet::kDont, option);
                his |= kRefusedOnce;
                return;
            }
            if (his & kEnabled) return;
            if ((his & kAsked) == 0) QueueNegotiation(telnet::kDo, option);
            his |= kAsked | kEnabled;
            if (option == telnet::kBinary) decoder_.SetBinary(true);
            return;
        case telnet::kWont:
            if ((his & (kAsked | kEnabled)) == 0) return;
            if (his & kEnabled) QueueNegotiation(telnet::kDont, option);
            his = 0;
            if (option == telnet::kBinary) decoder_.SetBinary(false);
            return;
        default:
            return;
    }
}

// A COM-PORT-OPTION message from the server. Anything malformed, or meant for a server,
// is passed over.
void Session::Answer(const std::uint8_t* payload, std::size_t size) {
    if (size < 2 || payload[0] != telnet::kComPortOption || !comPortOption()) return;
    if (payload[1] < rfc::kServerOffset) return;
    const std::uint8_t command = static_cast<std::uint8_t>(payload[1] - rfc::kServerOffset);
    const std::uint8_t* value = payload + 2;
    const std::size_t n = size - 2;
    if (command == rfc::kSignature) {
        const std::size_t kept = n < sizeof signature_ - 1 ? n : sizeof signature_ - 1;
        std::memcpy(signature_, value, kept);
        signature_[kept] = '\0';
        Take(kSignature, 0, true);
        return;
    }
    if (command == rfc::kFlowControlSuspend || command == rfc::kFlowControlResume) {
        suspended_ = command == rfc::kFlowControlSuspend;
        return;
    }
    if (command == rfc::kSetBaudRate) {
        // Four bytes, most significant first; one byte is an old router's own table.
        if (n < 4) return;
        const std::uint32_t baud = (std::uint32_t{value[0]} << 24) |
                                   (std::uint32_t{value[1]} << 16) |
                                   (std::uint32_t{value[2]} << 8) | value[3];
        Take(kBaud, baud, baud != 0);
        return;
    }
    if (n < 1) return;
    const std::uint8_t v = value[0];
    switch (command) {
        case rfc::kSetDataSize:
            Take(kDataSize, v, v >= 5 && v <= 8);
            return;
        case rfc::kSetParity:
            Take(kParity, v, v >= 1 && v <= 5);
            return;
        case rfc::kSetStopSize:
            Take(kStopSize, v, v >= 1 && v <= 3);
            return;
        case rfc::kSetControl:
            // An answer that repeats the question tells nothing of the state.
            if (v <= rfc::kFlowHardware) {
                Take(kFlow, v, v != rfc::kAskFlow);
            } else if (v <= rfc::kBreakOff) {
                Take(kBreak, v, v != rfc::kAskBreak);
            } else if (v <= rfc::kDtrOff) {
                Take(kDtr, v, v != rfc::kAskDtr);
            } else if (v <= rfc::kRtsOff) {
                Take(kRts, v, v != rfc::kAskRts);
            } else if (v == rfc::kFlowDcd || v == rfc::kFlowDsr) {
                Take(kFlow, v, true);
            }
            return;
        case rfc::kNotifyLineState:
            if (v & rfc::kLineOverrun) errors_ |= kCeOverrun;
            if ((v & rfc::kLineParity) && dcb::Has(dcb_, dcb::kParity)) errors_ |= kCeRxParity;
            if (v & rfc::kLineFraming) errors_ |= kCeFrame;
            if (v & rfc::kLineBreak) errors_ |= kCeBreak;
            return;
        case rfc::kNotifyModemState:
            modem_ = v;
            modemKnown_ = true;
            return;
        case rfc::kSetLineStateMask:
            Take(kLineMask, v, true);
            return;
        case rfc::kSetModemStateMask:
            Take(kModemMask, v, true);
            return;
        case rfc::kPurgeData:
            Take(kPurge, v, v >= rfc::kPurgeReceived && v <= rfc::kPurgeBoth);
            purging_ = false;
            return;
        default:
            return;
    }
}

void Session::Take(Setting s, std::uint32_t value, bool valid) {
    if (awaiting_[s] != 0) --awaiting_[s];
    if (!valid) return;
    known_[s] = true;
    value_[s] = value;
}

// ---- Input ---------------------------------------------------------------------

std::size_t Session::Read(std::uint8_t* out, std::size_t n) {
    const std::size_t count = n < waiting() ? n : waiting();
    std::memcpy(out, input_.data() + inBegin_, count);
    inBegin_ += count;
    if (inBegin_ == inEnd_) inBegin_ = inEnd_ = 0;
    return count;
}

std::uint32_t Session::TakeErrors() {
    const std::uint32_t errors = errors_;
    errors_ = 0;
    return errors;
}

// ---- Settings ------------------------------------------------------------------

Dcb Session::State() const {
    Dcb d = dcb_;
    if (!comPortOption()) return d;
    // The line as the server last confirmed it; the rest as this port keeps it.
    if (known_[kBaud]) d.BaudRate = value_[kBaud];
    if (known_[kDataSize]) d.ByteSize = static_cast<std::uint8_t>(value_[kDataSize]);
    if (known_[kParity]) rfc::ParityFromWire(value_[kParity], &d.Parity);
    if (known_[kStopSize]) rfc::StopBitsFromWire(value_[kStopSize], &d.StopBits);
    return d;
}

bool Session::PlanChange(const Dcb& wanted, Plan* plan) const {
    plan->size = 0;
    const Dcb now = State();
    // Only what changes is judged: a value the server reported oddly does not block
    // the change of another.
    if (wanted.BaudRate != now.BaudRate && wanted.BaudRate == 0) return false;
    if ((wanted.ByteSize != now.ByteSize || wanted.StopBits != now.StopBits) &&
        !FrameValid(wanted.ByteSize, wanted.StopBits)) {
        return false;
    }
    if (wanted.Parity != now.Parity && wanted.Parity > kSpaceParity) return false;
    if (!HandshakesPossible(wanted)) return false;
    if (!comPortOption()) return true;  // no line to set: the record is all there is

    const auto add = [&](Setting s, std::uint32_t value) {
        plan->items[plan->size++] = {s, value, known_[s], value_[s]};
    };
    if (wanted.BaudRate != now.BaudRate) add(kBaud, wanted.BaudRate);
    if (wanted.ByteSize != now.ByteSize) add(kDataSize, wanted.ByteSize);
    if (wanted.Parity != now.Parity) add(kParity, rfc::ParityToWire(wanted.Parity));
    if (wanted.StopBits != now.StopBits) add(kStopSize, rfc::StopBitsToWire(wanted.StopBits));
    const std::uint32_t flow = known_[kFlow] ? value_[kFlow] : FlowOf(dcb_);
    if (FlowOf(wanted) != flow) add(kFlow, FlowOf(wanted));
    // DTR and RTS move when their control mode changes, as on the platform's ports, and
    // only where the server tells their state: elsewhere the mode is kept, as on a port
    // without those lines.
    const Drive dtr = DriveOf(dcb::DtrControl(wanted));
    if (dtr != Drive::kNone && dtr != DriveOf(dcb::DtrControl(dcb_)) && reported_[kDtr]) {
        add(kDtr, dtr == Drive::kOn ? rfc::kDtrOn : rfc::kDtrOff);
    }
    const Drive rts = DriveOf(dcb::RtsControl(wanted));
    if (rts != Drive::kNone && rts != DriveOf(dcb::RtsControl(dcb_)) && reported_[kRts]) {
        add(kRts, rts == Drive::kOn ? rfc::kRtsOn : rfc::kRtsOff);
    }
    return true;
}

Session::Plan Session::PlanControl(Setting setting, std::uint8_t value) const {
    Plan plan;
    plan.items[0] = {setting, value, known_[setting], value_[setting]};
    plan.size = 1;
    return plan;
}

bool Session::Ask(const Plan& plan) {
    // All of it or none: room for the longest form of every command.
    constexpr std::size_t kLongest = 2 + 2 * 6 + 2;
    if (kOutboxCapacity - outgoingSize() < plan.size * kLongest) return false;
    for (std::size_t i = 0; i < plan.size; ++i) {
        const Plan::Item& item = plan.items[i];
        const std::uint32_t v = item.value;
        if (item.setting == kBaud) {
            const std::uint8_t baud[4] = {
                static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
                static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
            QueueCommand(rfc::kSetBaudRate, baud, 4);
        } else {
            static constexpr std::uint8_t kCommand[kSettingCount] = {
                rfc::kSetBaudRate, rfc::kSetDataSize, rfc::kSetParity,  rfc::kSetStopSize,
                rfc::kSetControl,  rfc::kSetControl,  rfc::kSetControl, rfc::kSetControl};
            const auto byte = static_cast<std::uint8_t>(v);
            QueueCommand(kCommand[item.setting], &byte, 1);
        }
        ++awaiting_[item.setting];
    }
    return true;
}

bool Session::Awaiting(const Plan& plan) const {
    for (std::size_t i = 0; i < plan.size; ++i) {
        if (awaiting_[plan.items[i].setting] != 0) return true;
    }
    return false;
}

bool Session::Confirmed(const Plan& plan) const {
    for (std::size_t i = 0; i < plan.size; ++i) {
        const Plan::Item& item = plan.items[i];
        if (!known_[item.setting] || value_[item.setting] != item.value) return false;
    }
    return true;
}

Session::Plan Session::Undo(const Plan& plan) const {
    Plan undo;
    for (std::size_t i = 0; i < plan.size; ++i) {
        const Plan::Item& item = plan.items[i];
        if (!item.wasKnown) continue;  // nothing to go back to
        if (known_[item.setting] && value_[item.setting] == item.was) continue;
        undo.items[undo.size++] = {item.setting, item.was, known_[item.setting],
                                   value_[item.setting]};
    }
    return undo;
}

// ---- Output --------------------------------------------------------------------

bool Session::OutputHeld() const {
    return HoldFlags() != 0 || suspended_ || breakHeld_;
}

std::uint32_t Session::HoldFlags() const {
    constexpr std::uint32_t kCtsHold = 1, kDsrHold = 2, kXoffHold = 8;
    std::uint32_t flags = xoffHeld_ ? kXoffHold : 0;
    // The handshakes wait for the inputs the server reports, as a driver waits for its own.
    if (comPortOption() && modemKnown_) {
        if (dcb::Has(dcb_, dcb::kOutxCtsFlow) && (modem_ & rfc::kModemCts) == 0) flags |= kCtsHold;
        if (dcb::Has(dcb_, dcb::kOutxDsrFlow) && (modem_ & rfc::kModemDsr) == 0) flags |= kDsrHold;
    }
    return flags;
}

std::int64_t Session::NanosPerByte() const {
    if (!comPortOption() || !known_[kBaud] || value_[kBaud] == 0) return 0;
    const Dcb d = State();
    // In half bits: a start bit, the data bits, a parity bit, the stop bits.
    std::int64_t halfBits = 2 + 2 * (d.ByteSize >= 5 && d.ByteSize <= 8 ? d.ByteSize : 8);
    if (d.Parity != kNoParity) halfBits += 2;
    halfBits += d.StopBits == kTwoStopBits ? 4 : (d.StopBits == kOne5StopBits ? 3 : 2);
    return halfBits * 500'000'000 / value_[kBaud];
}

bool Session::AskPurge(std::uint8_t what) {
    if (!QueueCommand(rfc::kPurgeData, &what, 1)) return false;
    ++awaiting_[kPurge];
    if (what != rfc::kPurgeToSend) purging_ = true;
    return true;
}

}  // namespace velmora::serial::network
