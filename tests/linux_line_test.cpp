// The DCB <-> termios translation for what a pty cannot show: sizes, parities,
// stop bits and the flags that share one termios bit.
#include "serial/linux_line.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "serial/port_name.h"

namespace velmora::serial {
namespace {

termios2 RawLine() {
    termios2 line{};
    line.c_cflag = B9600 | CS8 | CREAD | CLOCAL;
    line.c_ospeed = line.c_ispeed = 9600;
    line.c_cc[VSTART] = 0x11;
    line.c_cc[VSTOP] = 0x13;
    return line;
}

TEST(LinuxLineTest, EverySizeParityAndStopBitCombinationRoundTrips) {
    const Dcb stored = linux_line::InitialDcb(RawLine());
    for (std::uint8_t size = 5; size <= 8; ++size) {
        for (std::uint8_t parity = 0; parity <= 4; ++parity) {
            for (std::uint8_t stop = 0; stop <= 2; ++stop) {
                Dcb d = stored;
                d.ByteSize = size;
                d.Parity = parity;
                d.StopBits = stop;
                termios2 line{};
                const bool valid =
                    !(stop == kOne5StopBits && size != 5) && !(stop == kTwoStopBits && size == 5);
                ASSERT_EQ(linux_line::ToLine(d, RawLine(), &line), valid)
                    << int(size) << int(parity) << int(stop);
                if (!valid) continue;
                const Dcb back = linux_line::ToDcb(line, stored);
                EXPECT_EQ(back.ByteSize, size);
                EXPECT_EQ(back.Parity, parity);
                EXPECT_EQ(back.StopBits, stop);
                EXPECT_TRUE(linux_line::LineTaken(line, line));
            }
        }
    }
}

TEST(LinuxLineTest, MarkAndSpaceUseStickParity) {
    Dcb d = linux_line::InitialDcb(RawLine());
    termios2 line{};
    d.Parity = kMarkParity;
    ASSERT_TRUE(linux_line::ToLine(d, RawLine(), &line));
    EXPECT_EQ(line.c_cflag & (PARENB | PARODD | CMSPAR), unsigned(PARENB | PARODD | CMSPAR));
    d.Parity = kSpaceParity;
    ASSERT_TRUE(linux_line::ToLine(d, RawLine(), &line));
    EXPECT_EQ(line.c_cflag & (PARENB | PARODD | CMSPAR), unsigned(PARENB | CMSPAR));
}

TEST(LinuxLineTest, StandardRatesUseTheirCodesAndOthersBother) {
    Dcb d = linux_line::InitialDcb(RawLine());
    termios2 line{};
    d.BaudRate = 115200;
    ASSERT_TRUE(linux_line::ToLine(d, RawLine(), &line));
    EXPECT_EQ(line.c_cflag & CBAUD, unsigned(B115200));
    d.BaudRate = 250000;
    ASSERT_TRUE(linux_line::ToLine(d, RawLine(), &line));
    EXPECT_EQ(line.c_cflag & CBAUD, unsigned(BOTHER));
    EXPECT_EQ(line.c_ospeed, 250000u);
    termios2 slower = line;
    slower.c_ospeed = 249000;
    EXPECT_FALSE(linux_line::LineTaken(line, slower));
}

TEST(LinuxLineTest, RawModeKeepsTheLineSettings) {
    termios2 line = RawLine();
    line.c_cflag = B19200 | CS7 | PARENB | CSTOPB;
    line.c_iflag = ICRNL | IXON | INPCK;
    line.c_oflag = OPOST | ONLCR;
    line.c_lflag = ECHO | ICANON | ISIG;
    termios2 marked = line;
    linux_line::MakeRaw(line, false);
    EXPECT_EQ(line.c_cflag & (CBAUD | CSIZE | PARENB | CSTOPB),
              unsigned(B19200 | CS7 | PARENB | CSTOPB));
    EXPECT_EQ(line.c_iflag, unsigned(INPCK));
    linux_line::MakeRaw(marked, true);
    EXPECT_EQ(marked.c_iflag, unsigned(INPCK | PARMRK));
    EXPECT_EQ(line.c_oflag & OPOST, 0u);
    EXPECT_EQ(line.c_lflag & (ECHO | ICANON | ISIG), 0u);
    EXPECT_NE(line.c_cflag & CLOCAL, 0u);
}

// On a line that marks errors every byte is checked; fParity lives in the DCB alone.
TEST(LinuxLineTest, AMarkingLineChecksEveryByteAndKeepsFParityApart) {
    termios2 raw = RawLine();
    linux_line::MakeRaw(raw, true);
    const Dcb stored = linux_line::InitialDcb(raw);
    EXPECT_TRUE(dcb::Has(stored, dcb::kParity)) << "errors are reported from the start";
    for (const bool parity : {false, true}) {
        Dcb d = stored;
        dcb::Put(d, dcb::kParity, parity);
        termios2 line{};
        ASSERT_TRUE(linux_line::ToLine(d, raw, &line));
        EXPECT_EQ(line.c_iflag & (INPCK | PARMRK), unsigned(INPCK | PARMRK));
        EXPECT_EQ(dcb::Has(linux_line::ToDcb(line, d), dcb::kParity), parity);
    }
}

TEST(LinuxLineTest, XonXoffNeedsTwoDistinctCharactersOtherThanNul) {
    const Dcb base = linux_line::InitialDcb(RawLine());
    termios2 line{};
    for (const std::uint32_t flow : {dcb::kOutX, dcb::kInX}) {
        for (const auto& [xon, xoff] : {std::pair{0, 0x13}, std::pair{0x11, 0}}) {
            Dcb d = base;
            dcb::Put(d, flow, true);
            d.XonChar = static_cast<char>(xon);
            d.XoffChar = static_cast<char>(xoff);
            EXPECT_FALSE(linux_line::ToLine(d, RawLine(), &line)) << flow << " " << xon << xoff;
            dcb::Put(d, flow, false);  // unused characters may be anything
            EXPECT_TRUE(linux_line::ToLine(d, RawLine(), &line));
        }
    }
}

TEST(LinuxLineTest, RtsHandshakeComesOnlyWithTheCtsWait) {
    Dcb d = linux_line::InitialDcb(RawLine());
    termios2 line{};
    dcb::SetRtsControl(d, dcb::kControlHandshake);
    EXPECT_FALSE(linux_line::ToLine(d, RawLine(), &line));
    dcb::Put(d, dcb::kOutxCtsFlow, true);
    ASSERT_TRUE(linux_line::ToLine(d, RawLine(), &line));
    EXPECT_NE(line.c_cflag & CRTSCTS, 0u);
    // A line with the CTS wait in force reports it, whatever the stored record says.
    Dcb stored = d;
    dcb::Put(stored, dcb::kOutxCtsFlow, false);
    EXPECT_TRUE(dcb::Has(linux_line::ToDcb(line, stored), dcb::kOutxCtsFlow));
    line.c_cflag &= ~static_cast<unsigned>(CRTSCTS);
    const Dcb without = linux_line::ToDcb(line, d);
    EXPECT_FALSE(dcb::Has(without, dcb::kOutxCtsFlow));
    EXPECT_EQ(dcb::RtsControl(without), dcb::kControlEnable);
}

std::string WindowsDevicePath(const char* name) {
    return DeviceNamespacePrefix(name) + std::string(name);
}

TEST(PortNameTest, ComTenAndAboveGetTheDeviceNamespace) {
    EXPECT_EQ(WindowsDevicePath("COM1"), "COM1");
    EXPECT_EQ(WindowsDevicePath("COM9"), "COM9");
    EXPECT_EQ(WindowsDevicePath("COM10"), "\\\\.\\COM10");
    EXPECT_EQ(WindowsDevicePath("com255"), "\\\\.\\com255");
    EXPECT_EQ(WindowsDevicePath("Com12"), "\\\\.\\Com12");
    EXPECT_EQ(WindowsDevicePath("\\\\.\\COM10"), "\\\\.\\COM10");
    EXPECT_EQ(WindowsDevicePath("COM10:"), "COM10:");
    EXPECT_EQ(WindowsDevicePath("COMX"), "COMX");
    EXPECT_EQ(WindowsDevicePath("COM"), "COM");
    EXPECT_EQ(WindowsDevicePath("/dev/ttyUSB10"), "/dev/ttyUSB10");
    EXPECT_STREQ(DeviceNamespacePrefix(nullptr), "");
}

}  // namespace
}  // namespace velmora::serial
