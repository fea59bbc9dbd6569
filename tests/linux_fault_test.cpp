// The Linux serial layer when the device or the allocator fails part-way: a call that
// fails leaves the device and the port as they were. Chosen ioctls fail through
// tests/support/ioctl_faults.h; allocations fail through the operators below.
#include <asm/termbits.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "serial/comm.h"
#include "tests/support/ioctl_faults.h"
#include "tests/support/pty_pair.h"

namespace {
bool failAllocations = false;
}  // namespace

// Every allocation of this program, so that one can be made to fail.
void* operator new(std::size_t size) {
    void* p = failAllocations ? nullptr : std::malloc(size == 0 ? 1 : size);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return failAllocations ? nullptr : std::malloc(size == 0 ? 1 : size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}

namespace velmora::testing {
namespace {

using namespace velmora::serial;

PortHandle Open(const std::string& path) {
    return CreateFileA(path.c_str(), kGenericReadWrite, 0, nullptr, kOpenExisting, 0, nullptr);
}

int OpenDescriptors() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (readdir(dir) != nullptr) ++count;
    closedir(dir);
    return count;
}

// What a failed call must leave alone, seen through a descriptor of the test's own.
struct DeviceState {
    termios2 line{};
    int exclusive = -1;
    int descriptors = 0;
};

bool SameLine(const termios2& a, const termios2& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 &&
           a.c_ospeed == b.c_ospeed;
}

class LinuxFaultTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ioctls::Reset();
        probe = open(pty.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(probe, 0);
    }
    void TearDown() override {
        ioctls::Reset();
        if (IsOpen(port)) CloseHandle(port);
        close(probe);
    }
    DeviceState Look() {
        DeviceState s;
        EXPECT_EQ(ioctl(probe, TCGETS2, &s.line), 0);
        EXPECT_EQ(ioctl(probe, TIOCGEXCL, &s.exclusive), 0);
        s.descriptors = OpenDescriptors();
        return s;
    }
    void ExpectUnchanged(const DeviceState& before, const char* what) {
        const DeviceState now = Look();
        EXPECT_TRUE(SameLine(now.line, before.line)) << what << ": the line was changed";
        EXPECT_EQ(now.exclusive, before.exclusive) << what << ": left exclusive";
        EXPECT_EQ(now.descriptors, before.descriptors) << what << ": a descriptor leaked";
    }
    Dcb State() {
        Dcb d{};
        EXPECT_TRUE(GetCommState(port, &d));
        return d;
    }

    PtyPair pty;
    int probe = -1;
    PortHandle port = nullptr;
};

TEST_F(LinuxFaultTest, AFailedOpenLeavesTheDeviceAsItWas) {
    const DeviceState before = Look();
    ASSERT_EQ(before.exclusive, 0);
    const struct {
        unsigned long request;
        int nth;
        const char* what;
    } cases[] = {
        {TIOCEXCL, 1, "TIOCEXCL fails"},
        {TCSETS2, 1, "raw mode refused"},
        {TCGETS2, 2, "raw mode not read back"},
    };
    for (const auto& c : cases) {
        ioctls::Reset();
        ioctls::Fail(c.request, c.nth);
        EXPECT_EQ(Open(pty.path()), InvalidPort()) << c.what;
        ioctls::Reset();
        ExpectUnchanged(before, c.what);
    }
    port = Open(pty.path());
    EXPECT_TRUE(IsOpen(port)) << "the device is free again";
}

TEST_F(LinuxFaultTest, AnOpenWithoutMemoryFailsAndLeavesTheDeviceAlone) {
    const DeviceState before = Look();
    bool threw = false;
    failAllocations = true;
    try {
        port = Open(pty.path());
    } catch (...) {
        threw = true;
    }
    failAllocations = false;
    EXPECT_FALSE(threw);
    EXPECT_EQ(port, InvalidPort());
    ExpectUnchanged(before, "no memory");
}

TEST_F(LinuxFaultTest, ASettingNotReadBackIsUndone) {
    port = Open(pty.path());
    ASSERT_TRUE(IsOpen(port));
    const Dcb was = State();
    const DeviceState before = Look();
    Dcb d = was;
    d.BaudRate = was.BaudRate == 19200 ? 4800 : 19200;
    ioctls::Fail(TCGETS2);
    EXPECT_FALSE(SetCommState(port, &d));
    ExpectUnchanged(before, "read-back failed");
    EXPECT_EQ(State().BaudRate, was.BaudRate);
}

TEST_F(LinuxFaultTest, AModemLineChangeThatFailsHalfWayIsUndone) {
    ioctls::StandIn().modemLines = true;
    ioctls::StandIn().lines = TIOCM_DTR | TIOCM_RTS;
    port = Open(pty.path());
    ASSERT_TRUE(IsOpen(port));
    Dcb d = State();
    dcb::SetDtrControl(d, dcb::kControlDisable);
    ASSERT_TRUE(SetCommState(port, &d));
    ASSERT_EQ(ioctls::StandIn().lines, TIOCM_RTS);

    const DeviceState before = Look();
    Dcb both = d;
    dcb::SetDtrControl(both, dcb::kControlEnable);   // raises DTR
    dcb::SetRtsControl(both, dcb::kControlDisable);  // then drops RTS, which fails
    both.BaudRate = d.BaudRate == 19200 ? 4800 : 19200;
    ioctls::Fail(TIOCMBIC);
    EXPECT_FALSE(SetCommState(port, &both));
    EXPECT_EQ(ioctls::StandIn().lines, TIOCM_RTS) << "DTR was left raised";
    ExpectUnchanged(before, "RTS drop failed");
    const Dcb after = State();
    EXPECT_EQ(dcb::DtrControl(after), dcb::kControlDisable);
    EXPECT_EQ(dcb::RtsControl(after), dcb::kControlEnable);

    ASSERT_TRUE(SetCommState(port, &both));  // and without the fault it all goes through
    EXPECT_EQ(ioctls::StandIn().lines, TIOCM_DTR);
}

// Under the RTS handshake the driver owns RTS, and it is up while the input has room,
// however the script left it before (cdc_acm and ch341 never raise it themselves); DTR,
// enabled rather than a handshake, stays the script's. Once the handshake is off, RTS is
// the script's again, and disabling it drops it.
TEST_F(LinuxFaultTest, RtsUnderTheHandshakeIsUpAndNotTheScriptsToMove) {
    ioctls::StandIn().modemLines = true;
    ioctls::StandIn().lines = TIOCM_DTR | TIOCM_RTS;
    port = Open(pty.path());
    ASSERT_TRUE(IsOpen(port));
    Dcb d = State();
    dcb::Put(d, dcb::kOutxCtsFlow, true);
    dcb::SetRtsControl(d, dcb::kControlHandshake);
    for (const std::uint32_t before : {dcb::kControlEnable, dcb::kControlDisable}) {
        Dcb was = d;
        dcb::SetRtsControl(was, before);
        ASSERT_TRUE(SetCommState(port, &was));
        if (before == dcb::kControlEnable) {
            ASSERT_TRUE(EscapeCommFunction(port, kClrRts));
        }
        ASSERT_EQ(ioctls::StandIn().lines, TIOCM_DTR);
        ASSERT_TRUE(SetCommState(port, &d));
        EXPECT_EQ(ioctls::StandIn().lines, TIOCM_DTR | TIOCM_RTS)
            << "RTS left down under the handshake, after " << before;
    }
    EXPECT_FALSE(EscapeCommFunction(port, kClrRts));
    EXPECT_FALSE(EscapeCommFunction(port, kSetRts));
    EXPECT_EQ(ioctls::StandIn().lines, TIOCM_DTR | TIOCM_RTS) << "RTS was moved";
    EXPECT_TRUE(EscapeCommFunction(port, kClrDtr));
    EXPECT_EQ(ioctls::StandIn().lines, TIOCM_RTS);

    dcb::SetRtsControl(d, dcb::kControlEnable);
    ASSERT_TRUE(SetCommState(port, &d));
    EXPECT_TRUE(EscapeCommFunction(port, kClrRts));
    EXPECT_EQ(ioctls::StandIn().lines, 0);
}

TEST_F(LinuxFaultTest, AFailedClearCommErrorKeepsTheErrorsForTheNextCall) {
    ioctls::StandIn().counters = true;
    port = Open(pty.path());
    ASSERT_TRUE(IsOpen(port));
    ++ioctls::StandIn().icount.frame;
    ++ioctls::StandIn().icount.brk;
    std::uint32_t errors = 0;
    ComStat status{};
    ioctls::Fail(TIOCINQ);
    EXPECT_FALSE(ClearCommError(port, &errors, &status));
    ioctls::Fail(TIOCGICOUNT);
    EXPECT_FALSE(ClearCommError(port, &errors, nullptr));
    EXPECT_TRUE(ClearCommError(port, &errors, &status));
    EXPECT_EQ(errors, kCeFrame | kCeBreak);
    EXPECT_TRUE(ClearCommError(port, &errors, nullptr));
    EXPECT_EQ(errors, 0u);  // reported once
}

// As on Windows, fParity decides whether parity errors are reported; framing errors,
// overruns and breaks always are.
TEST_F(LinuxFaultTest, ParityErrorsAreReportedOnlyWhereParityIsChecked) {
    ioctls::StandIn().counters = true;
    port = Open(pty.path());
    ASSERT_TRUE(IsOpen(port));
    std::uint32_t errors = 0;
    for (const bool checked : {false, true}) {
        Dcb d = State();
        dcb::Put(d, dcb::kParity, checked);
        ASSERT_TRUE(SetCommState(port, &d));
        ++ioctls::StandIn().icount.parity;
        ++ioctls::StandIn().icount.overrun;
        EXPECT_TRUE(ClearCommError(port, &errors, nullptr));
        EXPECT_EQ(errors, checked ? kCeRxParity | kCeOverrun : kCeOverrun);
    }
}

}  // namespace
}  // namespace velmora::testing
