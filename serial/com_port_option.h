// The Telnet COM-PORT-OPTION (RFC 2217): its commands, values and bits, and the
// translation between them and the Windows records. Pure.
#pragma once

#include <cstdint>

#include "serial/comm.h"

namespace velmora::serial::rfc2217 {

// Commands as the client sends them; the server answers each with the same number plus
// kServerOffset.
inline constexpr std::uint8_t kSignature = 0, kSetBaudRate = 1, kSetDataSize = 2, kSetParity = 3,
                              kSetStopSize = 4, kSetControl = 5, kNotifyLineState = 6,
                              kNotifyModemState = 7, kFlowControlSuspend = 8,
                              kFlowControlResume = 9, kSetLineStateMask = 10,
                              kSetModemStateMask = 11, kPurgeData = 12;
inline constexpr std::uint8_t kServerOffset = 100;

// SET-CONTROL values. The "ask" values request the current state, which the server
// answers with one of the values after it.
inline constexpr std::uint8_t kAskFlow = 0, kFlowNone = 1, kFlowXonXoff = 2, kFlowHardware = 3,
                              kAskBreak = 4, kBreakOn = 5, kBreakOff = 6, kAskDtr = 7, kDtrOn = 8,
                              kDtrOff = 9, kAskRts = 10, kRtsOn = 11, kRtsOff = 12,
                              kAskInboundFlow = 13, kInboundNone = 14, kInboundXonXoff = 15,
                              kInboundHardware = 16, kFlowDcd = 17, kInboundDtr = 18, kFlowDsr = 19;

// NOTIFY-LINESTATE bits.
inline constexpr std::uint8_t kLineOverrun = 0x02, kLineParity = 0x04, kLineFraming = 0x08,
                              kLineBreak = 0x10;
// The line-state notices the client asks for: the four receive errors.
inline constexpr std::uint8_t kLineStateMask =
    kLineOverrun | kLineParity | kLineFraming | kLineBreak;

// NOTIFY-MODEMSTATE bits: the inputs' levels in the high nibble, their changes below.
inline constexpr std::uint8_t kModemCts = 0x10, kModemDsr = 0x20, kModemRi = 0x40, kModemDcd = 0x80;
inline constexpr std::uint8_t kModemStateMask = 0xFF;

// PURGE-DATA values: the server's buffer of data from the device, of data to it, both.
inline constexpr std::uint8_t kPurgeReceived = 1, kPurgeToSend = 2, kPurgeBoth = 3;

// Parity: the Windows code (0 none to 4 space) plus one; 0 for a code with no wire value.
inline std::uint8_t ParityToWire(std::uint8_t parity) {
    return parity <= kSpaceParity ? static_cast<std::uint8_t>(parity + 1) : 0;
}
// False for a wire value with no Windows code.
inline bool ParityFromWire(std::uint32_t wire, std::uint8_t* parity) {
    if (wire < 1 || wire > 5) return false;
    *parity = static_cast<std::uint8_t>(wire - 1);
    return true;
}

// Stop bits: Windows 0 one, 1 one and a half, 2 two; on the wire 1 one, 2 two, 3 one and
// a half.
inline std::uint8_t StopBitsToWire(std::uint8_t stopBits) {
    static constexpr std::uint8_t kWire[] = {1, 3, 2};
    return stopBits <= kTwoStopBits ? kWire[stopBits] : 0;
}
inline bool StopBitsFromWire(std::uint32_t wire, std::uint8_t* stopBits) {
    static constexpr std::uint8_t kCode[] = {0, kOneStopBit, kTwoStopBits, kOne5StopBits};
    if (wire < 1 || wire > 3) return false;
    *stopBits = kCode[wire];
    return true;
}

}  // namespace velmora::serial::rfc2217
