#include <array>

#include "methods/methods.h"
#include "methods/script_values.h"

namespace velmora::methods {

namespace {

using serial::Dcb;

// Settings live in the port: each call reads the whole record, and a setter hands the
// whole record back with its one change.
template <typename Read>
Status AnswerSetting(PortInstance& self, CallInfo& call, Read read) {
    Dcb dcb;  // GetCommState fills every field, or fails
    dcb.DCBlength = sizeof dcb;
    if (!serial::GetCommState(self.port, &dcb)) return kOk;
    AnswerInteger(self, call, read(dcb));
    return kOk;
}

template <typename Change>
Status ChangeSetting(PortInstance& self, CallInfo& call, Change change) {
    const std::int32_t value = IntegerArgument(self, call, 1);
    Dcb dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!serial::GetCommState(self.port, &dcb)) return kOk;
    if (!change(dcb, value)) return kOk;
    AnswerInteger(self, call, serial::SetCommState(self.port, &dcb));
    return kOk;
}

std::uint8_t LowByte(std::int32_t value) {
    return static_cast<std::uint8_t>(value & 0xFF);
}

struct FlowScheme {
    bool ctsFlow, dsrFlow;
    std::uint32_t dtrControl, rtsControl;
    bool outX, inX;
};

// Type 0 none, 1 hardware handshake, 2 XON/XOFF; each sets all six fields.
constexpr std::array<FlowScheme, 3> kFlowSchemes = {{
    {false, false, serial::dcb::kControlDisable, serial::dcb::kControlDisable, false, false},
    {true, true, serial::dcb::kControlEnable, serial::dcb::kControlHandshake, false, false},
    {false, false, serial::dcb::kControlDisable, serial::dcb::kControlDisable, true, true},
}};

// EscapeComm's functions 1 to 8 in the platform's codes.
constexpr std::array<std::uint32_t, 8> kEscapeCodes = {
    serial::kClrDtr, serial::kSetDtr,  serial::kClrRts,   serial::kSetRts,
    serial::kSetXon, serial::kSetXoff, serial::kClrBreak, serial::kSetBreak,
};

}  // namespace

Status GetCommBaudRate(PortInstance& self, CallInfo& call) {
    return AnswerSetting(self, call,
                         [](const Dcb& d) { return static_cast<std::int32_t>(d.BaudRate); });
}

Status SetCommBaudRate(PortInstance& self, CallInfo& call) {
    return ChangeSetting(self, call, [](Dcb& d, std::int32_t v) {
        d.BaudRate = static_cast<std::uint32_t>(v);
        return true;
    });
}

Status GetCommDataBits(PortInstance& self, CallInfo& call) {
    return AnswerSetting(self, call, [](const Dcb& d) { return std::int32_t{d.ByteSize}; });
}

Status SetCommDataBits(PortInstance& self, CallInfo& call) {
    return ChangeSetting(self, call, [](Dcb& d, std::int32_t v) {
        d.ByteSize = LowByte(v);
        return true;
    });
}

Status GetCommStopBits(PortInstance& self, CallInfo& call) {
    return AnswerSetting(self, call, [](const Dcb& d) { return std::int32_t{d.StopBits}; });
}

Status SetCommStopBits(PortInstance& self, CallInfo& call) {
    return ChangeSetting(self, call, [](Dcb& d, std::int32_t v) {
        d.StopBits = LowByte(v);
        return true;
    });
}

Status GetCommParity(PortInstance& self, CallInfo& call) {
    return AnswerSetting(self, call, [](const Dcb& d) { return std::int32_t{d.Parity}; });
}

Status SetCommParity(PortInstance& self, CallInfo& call) {
    // Only the parity generated changes; whether received parity is checked (fParity)
    // stays as the port has it.
    return ChangeSetting(self, call, [](Dcb& d, std::int32_t v) {
        d.Parity = LowByte(v);
        return true;
    });
}

Status GetCommCTS(PortInstance& self, CallInfo& call) {
    return AnswerSetting(self, call, [](const Dcb& d) {
        return std::int32_t{serial::dcb::Has(d, serial::dcb::kOutxCtsFlow)};
    });
}

Status SetCommCTS(PortInstance& self, CallInfo& call) {
    return ChangeSetting(self, call, [](Dcb& d, std::int32_t v) {
        serial::dcb::Put(d, serial::dcb::kOutxCtsFlow, (v & 1) != 0);
        return true;
    });
}

Status GetCommDSR(PortInstance& self, CallInfo& call) {
    return AnswerSetting(self, call, [](const Dcb& d) {
        return std::int32_t{serial::dcb::Has(d, serial::dcb::kOutxDsrFlow)};
    });
}

Status SetCommDSR(PortInstance& self, CallInfo& call) {
    return ChangeSetting(self, call, [](Dcb& d, std::int32_t v) {
        serial::dcb::Put(d, serial::dcb::kOutxDsrFlow, (v & 1) != 0);
        return true;
    });
}

Status SetCommFlowControl(PortInstance& self, CallInfo& call) {
    // The settings are fetched before the type is judged, as for every setter.
    return ChangeSetting(self, call, [](Dcb& d, std::int32_t type) {
        if (type < 0 || type >= static_cast<std::int32_t>(kFlowSchemes.size())) return false;
        const FlowScheme& s = kFlowSchemes[static_cast<std::size_t>(type)];
        serial::dcb::Put(d, serial::dcb::kOutxCtsFlow, s.ctsFlow);
        serial::dcb::Put(d, serial::dcb::kOutxDsrFlow, s.dsrFlow);
        serial::dcb::SetDtrControl(d, s.dtrControl);
        serial::dcb::SetRtsControl(d, s.rtsControl);
        serial::dcb::Put(d, serial::dcb::kOutX, s.outX);
        serial::dcb::Put(d, serial::dcb::kInX, s.inX);
        return true;
    });
}

Status SetCommTimeOut(PortInstance& self, CallInfo& call) {
    // One limit for each whole read and each whole write; 0 means none.
    const auto limit = static_cast<std::uint32_t>(IntegerArgument(self, call, 1));
    serial::CommTimeouts timeouts = {0, 0, limit, 0, limit};
    AnswerInteger(self, call, serial::SetCommTimeouts(self.port, &timeouts));
    return kOk;
}

Status EscapeComm(PortInstance& self, CallInfo& call) {
    const std::int32_t function = IntegerArgument(self, call, 1);
    if (function < 1 || function > static_cast<std::int32_t>(kEscapeCodes.size())) return kOk;
    const std::uint32_t code = kEscapeCodes[static_cast<std::size_t>(function - 1)];
    AnswerInteger(self, call, serial::EscapeCommFunction(self.port, code));
    return kOk;
}

}  // namespace velmora::methods
