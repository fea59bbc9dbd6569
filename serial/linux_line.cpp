#include "serial/linux_line.h"

#include <array>
#include <utility>

namespace velmora::serial::linux_line {

namespace {

constexpr std::array<std::pair<std::uint32_t, unsigned>, 30> kStandardRates = {{
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
}};

// Drivers know the standard codes best; any other rate goes through BOTHER.
unsigned BaudCode(std::uint32_t rate) {
    for (const auto& [standard, code] : kStandardRates) {
        if (standard == rate) return code;
    }
    return BOTHER;
}

constexpr unsigned kSettingBits = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
constexpr unsigned kInputBits = IXON | IXOFF | INPCK;

}  // namespace

void MakeRaw(termios2& line, bool markErrors) {
    line.c_iflag &= ~static_cast<unsigned>(IGNBRK | BRKINT | IGNPAR | PARMRK | ISTRIP | INLCR |
                                           IGNCR | ICRNL | IXON | IXOFF | IXANY | IUCLC | IMAXBEL);
    if (markErrors) line.c_iflag |= INPCK | PARMRK;
    line.c_oflag &= ~static_cast<unsigned>(OPOST);
    line.c_lflag &=
        ~static_cast<unsigned>(ECHO | ECHONL | ECHOE | ECHOK | ICANON | ISIG | IEXTEN | XCASE);
    line.c_cflag &= ~static_cast<unsigned>(CRTSCTS);
    line.c_cflag |= CLOCAL | CREAD | HUPCL;
    line.c_cc[VMIN] = 1;
    line.c_cc[VTIME] = 0;
}

Dcb InitialDcb(const termios2& line) {
    Dcb base{};
    base.DCBlength = sizeof(Dcb);
    base.flags = dcb::kBinary;
    dcb::SetDtrControl(base, dcb::kControlEnable);
    dcb::SetRtsControl(base, dcb::kControlEnable);
    base.XonLim = 2048;
    base.XoffLim = 512;
    // A line that checks parity starts out reporting its errors; no method changes this.
    dcb::Put(base, dcb::kParity, (line.c_iflag & INPCK) != 0);
    return ToDcb(line, base);
}

bool ToLine(const Dcb& wanted, const termios2& current, termios2* line) {
    if (wanted.BaudRate == 0) return false;  // B0 would hang up the line
    if (wanted.ByteSize < 5 || wanted.ByteSize > 8) return false;
    if (wanted.Parity > kSpaceParity) return false;
    // As on Windows: 1.5 stop bits only with 5 data bits, 2 only with 6 to 8.
    const bool fiveBits = wanted.ByteSize == 5;
    if (wanted.StopBits > kTwoStopBits) return false;
    if (wanted.StopBits == kOne5StopBits && !fiveBits) return false;
    if (wanted.StopBits == kTwoStopBits && fiveBits) return false;
    // Linux has no DTR input handshake and no RTS toggling around transmission.
    if (dcb::DtrControl(wanted) == dcb::kControlHandshake) return false;
    if (dcb::RtsControl(wanted) == dcb::kRtsControlToggle) return false;
    // One termios flag, CRTSCTS, makes output wait for CTS and drops RTS when input
    // backs up: an RTS handshake without the CTS wait cannot be had.
    const bool ctsFlow = dcb::Has(wanted, dcb::kOutxCtsFlow);
    if (dcb::RtsControl(wanted) == dcb::kControlHandshake && !ctsFlow) return false;
    // A c_cc entry of 0 switches that character off rather than making NUL the XON
    // or XOFF character.
    const bool xonXoff = dcb::Has(wanted, dcb::kOutX) || dcb::Has(wanted, dcb::kInX);
    if (xonXoff &&
        (wanted.XonChar == wanted.XoffChar || wanted.XonChar == 0 || wanted.XoffChar == 0)) {
        return false;
    }

    termios2 t = current;
    t.c_cflag &= ~static_cast<unsigned>(CBAUD | (CBAUD << IBSHIFT) | kSettingBits);
    t.c_cflag |= BaudCode(wanted.BaudRate);  // input speed 0: the same as output
    t.c_ispeed = t.c_ospeed = wanted.BaudRate;
    static constexpr unsigned kSizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= kSizes[wanted.ByteSize - 5];
    switch (wanted.Parity) {
        case kOddParity:
            t.c_cflag |= PARENB | PARODD;
            break;
        case kEvenParity:
            t.c_cflag |= PARENB;
            break;
        case kMarkParity:
            t.c_cflag |= PARENB | CMSPAR | PARODD;
            break;
        case kSpaceParity:
            t.c_cflag |= PARENB | CMSPAR;
            break;
        default:
            break;
    }
    if (wanted.StopBits != kOneStopBit) t.c_cflag |= CSTOPB;
    if (ctsFlow) t.c_cflag |= CRTSCTS;

    t.c_iflag &= ~kInputBits;
    if (dcb::Has(wanted, dcb::kOutX)) t.c_iflag |= IXON;
    if (dcb::Has(wanted, dcb::kInX)) t.c_iflag |= IXOFF;
    // A line that marks errors checks every byte, whatever the script asked: some
    // drivers report nothing otherwise (cp210x), and fParity decides what is reported.
    if (dcb::Has(wanted, dcb::kParity) || (current.c_iflag & PARMRK)) t.c_iflag |= INPCK;
    t.c_cc[VSTART] = static_cast<cc_t>(wanted.XonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(wanted.XoffChar);
    *line = t;
    return true;
}

Dcb ToDcb(const termios2& line, const Dcb& stored) {
    Dcb d = stored;
    d.BaudRate = line.c_ospeed;
    switch (line.c_cflag & CSIZE) {
        case CS5:
            d.ByteSize = 5;
            break;
        case CS6:
            d.ByteSize = 6;
            break;
        case CS7:
            d.ByteSize = 7;
            break;
        default:
            d.ByteSize = 8;
            break;
    }
    if (!(line.c_cflag & PARENB)) {
        d.Parity = kNoParity;
    } else if (line.c_cflag & CMSPAR) {
        d.Parity = (line.c_cflag & PARODD) ? kMarkParity : kSpaceParity;
    } else {
        d.Parity = (line.c_cflag & PARODD) ? kOddParity : kEvenParity;
    }
    if (!(line.c_cflag & CSTOPB)) {
        d.StopBits = kOneStopBit;
    } else {
        d.StopBits = d.ByteSize == 5 ? kOne5StopBits : kTwoStopBits;
    }
    if (!(line.c_iflag & PARMRK)) dcb::Put(d, dcb::kParity, (line.c_iflag & INPCK) != 0);
    dcb::Put(d, dcb::kOutX, (line.c_iflag & IXON) != 0);
    dcb::Put(d, dcb::kInX, (line.c_iflag & IXOFF) != 0);
    d.XonChar = static_cast<char>(line.c_cc[VSTART]);
    d.XoffChar = static_cast<char>(line.c_cc[VSTOP]);
    // CRTSCTS is the CTS wait, whatever was stored; without it there is no RTS
    // handshake either, and RTS stays as it is, raised.
    dcb::Put(d, dcb::kOutxCtsFlow, (line.c_cflag & CRTSCTS) != 0);
    if (!(line.c_cflag & CRTSCTS) && dcb::RtsControl(d) == dcb::kControlHandshake) {
        dcb::SetRtsControl(d, dcb::kControlEnable);
    }
    return d;
}

bool LineTaken(const termios2& wanted, const termios2& actual) {
    return (wanted.c_cflag & kSettingBits) == (actual.c_cflag & kSettingBits) &&
           (wanted.c_iflag & kInputBits) == (actual.c_iflag & kInputBits) &&
           wanted.c_cc[VSTART] == actual.c_cc[VSTART] && wanted.c_cc[VSTOP] == actual.c_cc[VSTOP] &&
           wanted.c_ospeed == actual.c_ospeed;
}

std::int64_t NanosPerByte(const termios2& line) {
    if (line.c_ospeed == 0) return 0;
    std::int64_t bits = 1 + 1;  // start and stop
    switch (line.c_cflag & CSIZE) {
        case CS5:
            bits += 5;
            break;
        case CS6:
            bits += 6;
            break;
        case CS7:
            bits += 7;
            break;
        default:
            bits += 8;
            break;
    }
    if (line.c_cflag & PARENB) ++bits;
    if (line.c_cflag & CSTOPB) ++bits;
    return bits * 1'000'000'000 / line.c_ospeed;
}

}  // namespace velmora::serial::linux_line
