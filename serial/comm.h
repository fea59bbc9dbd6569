// The serial port operations the methods use, with the platform's records.
//
// The records and operations are the Win32 kernel's, to the byte: on Windows the
// backend hands them straight to KERNEL32; on Linux the backend translates them to
// termios and keeps the Win32 behaviour (time-outs, error flags, all-or-nothing
// settings). Exactly one backend is linked into a build; tests link a fake instead.
// Every operation answers a Win32 BOOL: non-zero on success, 0 on failure, and a
// handle that is not an open port fails every one of them without side effects.
#pragma once

#include <cstdint>

namespace velmora::serial {

using Bool = std::int32_t;
using PortHandle = void*;

inline PortHandle InvalidPort() {
    return reinterpret_cast<PortHandle>(~std::uintptr_t{0});
}
inline bool IsOpen(PortHandle port) {
    return port != nullptr && port != InvalidPort();
}

// DCB. The flag bit fields are kept as one word with named masks rather than C++
// bit fields, whose layout the language leaves to the compiler.
struct Dcb {
    std::uint32_t DCBlength;
    std::uint32_t BaudRate;
    std::uint32_t flags;
    std::uint16_t wReserved;
    std::uint16_t XonLim;
    std::uint16_t XoffLim;
    std::uint8_t ByteSize;
    std::uint8_t Parity;
    std::uint8_t StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    std::uint16_t wReserved1;
};
static_assert(sizeof(Dcb) == 28);

namespace dcb {
inline constexpr std::uint32_t kBinary = 1u << 0;
inline constexpr std::uint32_t kParity = 1u << 1;
inline constexpr std::uint32_t kOutxCtsFlow = 1u << 2;
inline constexpr std::uint32_t kOutxDsrFlow = 1u << 3;
inline constexpr unsigned kDtrControlShift = 4;
inline constexpr std::uint32_t kDtrControlMask = 3u << kDtrControlShift;
inline constexpr std::uint32_t kDsrSensitivity = 1u << 6;
inline constexpr std::uint32_t kTXContinueOnXoff = 1u << 7;
inline constexpr std::uint32_t kOutX = 1u << 8;
inline constexpr std::uint32_t kInX = 1u << 9;
inline constexpr std::uint32_t kErrorChar = 1u << 10;
inline constexpr std::uint32_t kNull = 1u << 11;
inline constexpr unsigned kRtsControlShift = 12;
inline constexpr std::uint32_t kRtsControlMask = 3u << kRtsControlShift;
inline constexpr std::uint32_t kAbortOnError = 1u << 14;
// The six fields a flow-control scheme sets: fOutxCtsFlow, fOutxDsrFlow, fDtrControl,
// fOutX, fInX and fRtsControl.
inline constexpr std::uint32_t kHandshakeFields =
    kOutxCtsFlow | kOutxDsrFlow | kDtrControlMask | kOutX | kInX | kRtsControlMask;

// fDtrControl and fRtsControl values.
inline constexpr std::uint32_t kControlDisable = 0;
inline constexpr std::uint32_t kControlEnable = 1;
inline constexpr std::uint32_t kControlHandshake = 2;
inline constexpr std::uint32_t kRtsControlToggle = 3;

inline bool Has(const Dcb& d, std::uint32_t flag) {
    return (d.flags & flag) != 0;
}
inline void Put(Dcb& d, std::uint32_t flag, bool on) {
    d.flags = on ? (d.flags | flag) : (d.flags & ~flag);
}
inline std::uint32_t DtrControl(const Dcb& d) {
    return (d.flags & kDtrControlMask) >> kDtrControlShift;
}
inline std::uint32_t RtsControl(const Dcb& d) {
    return (d.flags & kRtsControlMask) >> kRtsControlShift;
}
inline void SetDtrControl(Dcb& d, std::uint32_t v) {
    d.flags = (d.flags & ~kDtrControlMask) | ((v << kDtrControlShift) & kDtrControlMask);
}
inline void SetRtsControl(Dcb& d, std::uint32_t v) {
    d.flags = (d.flags & ~kRtsControlMask) | ((v << kRtsControlShift) & kRtsControlMask);
}
}  // namespace dcb

// Parity and StopBits codes.
inline constexpr std::uint8_t kNoParity = 0, kOddParity = 1, kEvenParity = 2, kMarkParity = 3,
                              kSpaceParity = 4;
inline constexpr std::uint8_t kOneStopBit = 0, kOne5StopBits = 1, kTwoStopBits = 2;

struct CommTimeouts {
    std::uint32_t ReadIntervalTimeout;
    std::uint32_t ReadTotalTimeoutMultiplier;
    std::uint32_t ReadTotalTimeoutConstant;
    std::uint32_t WriteTotalTimeoutMultiplier;
    std::uint32_t WriteTotalTimeoutConstant;
};
static_assert(sizeof(CommTimeouts) == 20);
inline constexpr std::uint32_t kMaxDword = 0xFFFFFFFFu;

// COMSTAT: the first word holds the hold-state bit fields; only cbInQue is used.
struct ComStat {
    std::uint32_t holdFlags;
    std::uint32_t cbInQue;
    std::uint32_t cbOutQue;
};
static_assert(sizeof(ComStat) == 12);

// ClearCommError's error word.
inline constexpr std::uint32_t kCeRxOver = 0x01;
inline constexpr std::uint32_t kCeOverrun = 0x02;
inline constexpr std::uint32_t kCeRxParity = 0x04;
inline constexpr std::uint32_t kCeFrame = 0x08;
inline constexpr std::uint32_t kCeBreak = 0x10;
inline constexpr std::uint32_t kCeTxFull = 0x100;

// EscapeCommFunction codes.
inline constexpr std::uint32_t kSetXoff = 1, kSetXon = 2, kSetRts = 3, kClrRts = 4, kSetDtr = 5,
                               kClrDtr = 6, kResetDev = 7, kSetBreak = 8, kClrBreak = 9;

// PurgeComm flags.
inline constexpr std::uint32_t kPurgeTxAbort = 0x1, kPurgeRxAbort = 0x2, kPurgeTxClear = 0x4,
                               kPurgeRxClear = 0x8;

// CreateFileA arguments the module uses.
inline constexpr std::uint32_t kGenericReadWrite = 0xC0000000u;
inline constexpr std::uint32_t kOpenExisting = 3;

PortHandle CreateFileA(const char* name, std::uint32_t access, std::uint32_t shareMode,
                       void* security, std::uint32_t disposition, std::uint32_t flags,
                       PortHandle templateFile);
Bool SetupComm(PortHandle port, std::uint32_t inQueue, std::uint32_t outQueue);
Bool GetCommState(PortHandle port, Dcb* dcb);
Bool SetCommState(PortHandle port, Dcb* dcb);
Bool PurgeComm(PortHandle port, std::uint32_t flags);
Bool SetCommTimeouts(PortHandle port, CommTimeouts* timeouts);
Bool EscapeCommFunction(PortHandle port, std::uint32_t function);
Bool ClearCommError(PortHandle port, std::uint32_t* errors, ComStat* status);
Bool ReadFile(PortHandle port, void* buffer, std::uint32_t count, std::uint32_t* countRead,
              void* overlapped);
Bool WriteFile(PortHandle port, const void* buffer, std::uint32_t count,
               std::uint32_t* countWritten, void* overlapped);
Bool FlushFileBuffers(PortHandle port);
Bool CloseHandle(PortHandle port);

}  // namespace velmora::serial
