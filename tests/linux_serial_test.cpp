// The Linux serial layer on pseudo-terminal pairs: Win32 semantics on termios.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <thread>

#include "serial/comm.h"
#include "tests/support/elapsed.h"
#include "tests/support/pty_pair.h"

namespace velmora::testing {
namespace {

using namespace velmora::serial;
using Clock = std::chrono::steady_clock;

PortHandle Open(const std::string& path) {
    return CreateFileA(path.c_str(), kGenericReadWrite, 0, nullptr, kOpenExisting, 0, nullptr);
}

class LinuxSerialTest : public ::testing::Test {
  protected:
    void SetUp() override {
        port = Open(pty.path());
        ASSERT_TRUE(IsOpen(port));
    }
    void TearDown() override {
        if (IsOpen(port)) CloseHandle(port);
    }
    Dcb State() {
        Dcb d{};
        EXPECT_TRUE(GetCommState(port, &d));
        return d;
    }
    std::uint32_t Waiting() {
        ComStat s{};
        std::uint32_t errors = 0;
        EXPECT_TRUE(ClearCommError(port, &errors, &s));
        return s.cbInQue;
    }
    std::string Read(std::uint32_t count) {
        std::string buffer(count, '\0');
        std::uint32_t got = 0;
        EXPECT_TRUE(ReadFile(port, buffer.data(), count, &got, nullptr));
        buffer.resize(got);
        return buffer;
    }
    std::uint32_t Write(const std::string& bytes) {
        std::uint32_t done = 0;
        WriteFile(port, bytes.data(), static_cast<std::uint32_t>(bytes.size()), &done, nullptr);
        return done;
    }
    void SetTimeouts(CommTimeouts t) { ASSERT_TRUE(SetCommTimeouts(port, &t)); }
    // Waits until the far end's bytes are in the port's input queue.
    void AwaitWaiting(std::uint32_t count) {
        const auto start = Clock::now();
        while (Waiting() < count && MsSince(start) < 2000) usleep(1000);
        ASSERT_EQ(Waiting(), count);
    }

    PtyPair pty;
    PortHandle port = nullptr;
};

std::string EveryByte() {
    std::string all;
    for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
    return all;
}

TEST_F(LinuxSerialTest, EveryByteCrossesUnchangedBothWays) {
    const std::string all = EveryByte() + "\r\n\n\r";
    EXPECT_EQ(Write(all), all.size());
    EXPECT_EQ(pty.Receive(all.size()), all);

    pty.Send(all);
    AwaitWaiting(static_cast<std::uint32_t>(all.size()));
    EXPECT_EQ(Read(static_cast<std::uint32_t>(all.size())), all);
    EXPECT_EQ(pty.ReceiveAvailable(), "");  // nothing echoed
}

TEST_F(LinuxSerialTest, OpenIsExclusiveWithinAndAcrossProcesses) {
    EXPECT_EQ(Open(pty.path()), InvalidPort());
    const pid_t child = fork();
    if (child == 0) _exit(IsOpen(Open(pty.path())) ? 1 : 0);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "another process opened it";

    ASSERT_TRUE(CloseHandle(port));
    port = Open(pty.path());
    EXPECT_TRUE(IsOpen(port)) << "closing gives the device back";
}

TEST_F(LinuxSerialTest, OnlyTerminalsOpen) {
    EXPECT_EQ(Open("/dev/null"), InvalidPort());
    EXPECT_EQ(Open("/nonexistent/port"), InvalidPort());
    char file[] = "/tmp/velmora-notatty-XXXXXX";
    const int fd = mkstemp(file);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(Open(file), InvalidPort());
    close(fd);
    unlink(file);
    EXPECT_EQ(CreateFileA(nullptr, 0, 0, nullptr, 0, 0, nullptr), InvalidPort());
}

TEST_F(LinuxSerialTest, HandlesThatAreNotOpenPortsFailEverything) {
    const PortHandle closed = Open(PtyPair().path());  // a second pair, closed at once
    ASSERT_TRUE(CloseHandle(closed));
    const auto forged =
        reinterpret_cast<PortHandle>(reinterpret_cast<std::uintptr_t>(port) + 0x10000);
    for (const PortHandle bad : {PortHandle{nullptr}, InvalidPort(), closed, forged,
                                 reinterpret_cast<PortHandle>(0x7FFF)}) {
        Dcb d{};
        CommTimeouts t{};
        std::uint32_t n = 7;
        char byte = 0;
        EXPECT_FALSE(SetupComm(bad, 1, 1));
        EXPECT_FALSE(GetCommState(bad, &d));
        EXPECT_FALSE(SetCommState(bad, &d));
        EXPECT_FALSE(PurgeComm(bad, 0xF));
        EXPECT_FALSE(SetCommTimeouts(bad, &t));
        EXPECT_FALSE(EscapeCommFunction(bad, kSetXon));
        EXPECT_FALSE(ClearCommError(bad, &n, nullptr));
        EXPECT_FALSE(ReadFile(bad, &byte, 1, &n, nullptr));
        EXPECT_FALSE(WriteFile(bad, &byte, 1, &n, nullptr));
        EXPECT_FALSE(FlushFileBuffers(bad));
        EXPECT_FALSE(CloseHandle(bad));
    }
    EXPECT_TRUE(GetCommState(port, nullptr) == 0);
}

TEST_F(LinuxSerialTest, SettingsRoundTrip) {
    Dcb d = State();
    EXPECT_EQ(d.DCBlength, sizeof(Dcb));
    EXPECT_TRUE(dcb::Has(d, dcb::kBinary));
    d.BaudRate = 115200;
    d.StopBits = kTwoStopBits;
    dcb::Put(d, dcb::kOutxCtsFlow, true);
    dcb::Put(d, dcb::kOutxDsrFlow, true);  // kept for the port: termios has no DSR flow
    dcb::Put(d, dcb::kOutX, true);
    dcb::Put(d, dcb::kInX, true);
    dcb::Put(d, dcb::kParity, true);
    d.XonChar = 0x01;
    d.XoffChar = 0x02;
    d.XonLim = 100;
    d.XoffLim = 200;
    d.EvtChar = 'e';
    d.ErrorChar = '?';
    ASSERT_TRUE(SetCommState(port, &d));
    const Dcb back = State();
    EXPECT_EQ(std::memcmp(&back, &d, sizeof d), 0);

    for (const std::uint32_t rate : {50u, 9600u, 250000u, 31250u, 1000000u}) {
        d.BaudRate = rate;
        EXPECT_TRUE(SetCommState(port, &d)) << rate;
        EXPECT_EQ(State().BaudRate, rate);
    }
}

TEST_F(LinuxSerialTest, RtsHandshakeAndCtsFlowShareOneTermiosFlag) {
    Dcb d = State();
    dcb::Put(d, dcb::kOutxCtsFlow, true);
    dcb::SetRtsControl(d, dcb::kControlHandshake);
    ASSERT_TRUE(SetCommState(port, &d));
    // The CTS wait cannot go while the RTS handshake stays: refused, and still in force.
    dcb::Put(d, dcb::kOutxCtsFlow, false);
    EXPECT_FALSE(SetCommState(port, &d));
    EXPECT_TRUE(dcb::Has(State(), dcb::kOutxCtsFlow));
    EXPECT_EQ(dcb::RtsControl(State()), dcb::kControlHandshake);
    dcb::SetRtsControl(d, dcb::kControlDisable);
    ASSERT_TRUE(SetCommState(port, &d));
    EXPECT_FALSE(dcb::Has(State(), dcb::kOutxCtsFlow));
    EXPECT_EQ(dcb::RtsControl(State()), dcb::kControlDisable);
}

TEST_F(LinuxSerialTest, WhatTheDeviceCannotTakeFailsAndChangesNothing) {
    const Dcb before = State();
    const auto rejects = [&](void (*change)(Dcb&), const char* what) {
        Dcb d = before;
        change(d);
        EXPECT_FALSE(SetCommState(port, &d)) << what;
        const Dcb after = State();
        EXPECT_EQ(std::memcmp(&after, &before, sizeof before), 0) << what;
    };
    // A pty keeps CS8 and drops parity generation, whatever it is asked.
    rejects([](Dcb& d) { d.ByteSize = 7; }, "7 data bits on a pty");
    rejects([](Dcb& d) { d.Parity = kEvenParity; }, "parity on a pty");
    // Values no serial device takes.
    rejects([](Dcb& d) { d.ByteSize = 9; }, "9 data bits");
    rejects([](Dcb& d) { d.ByteSize = 4; }, "4 data bits");
    rejects([](Dcb& d) { d.Parity = 5; }, "parity code 5");
    rejects([](Dcb& d) { d.StopBits = 3; }, "stop-bit code 3");
    rejects([](Dcb& d) { d.StopBits = kOne5StopBits; }, "1.5 stop bits with 8 data bits");
    rejects([](Dcb& d) { d.BaudRate = 0; }, "0 baud");
    rejects([](Dcb& d) { dcb::SetDtrControl(d, dcb::kControlHandshake); }, "DTR handshake");
    rejects([](Dcb& d) { dcb::SetRtsControl(d, dcb::kRtsControlToggle); }, "RTS toggle");
    rejects(
        [](Dcb& d) {
            dcb::Put(d, dcb::kOutX, true);
            d.XonChar = d.XoffChar = 0x11;
        },
        "equal XON and XOFF characters");
    rejects(
        [](Dcb& d) {
            dcb::Put(d, dcb::kInX, true);
            d.XonChar = 0;
        },
        "a NUL XON character");
    // Eight bits and no parity, as a pty always has, still go through.
    Dcb same = before;
    EXPECT_TRUE(SetCommState(port, &same));
}

TEST_F(LinuxSerialTest, WaitingBytesAreCountedAndReadAtOnce) {
    EXPECT_EQ(Waiting(), 0u);
    pty.Send("hello");
    AwaitWaiting(5);
    const auto start = Clock::now();
    EXPECT_EQ(Read(5), "hello");  // no time-outs set: still returns, the bytes are there
    EXPECT_LT(MsSince(start), 50);
    EXPECT_EQ(Read(0), "");
}

TEST_F(LinuxSerialTest, ReadTimeOutReturnsWhatArrivedInTime) {
    SetTimeouts({0, 0, 150, 0, 0});
    pty.Send("ab");
    AwaitWaiting(2);
    const auto start = Clock::now();
    EXPECT_EQ(Read(10), "ab");
    const auto took = MsSince(start);
    EXPECT_GE(took, 140);
    EXPECT_LT(took, 1000);
}

TEST_F(LinuxSerialTest, MaxDwordIntervalReturnsAtOnce) {
    SetTimeouts({kMaxDword, 0, 0, 0, 0});
    const auto start = Clock::now();
    EXPECT_EQ(Read(10), "");
    pty.Send("xyz");
    AwaitWaiting(3);
    EXPECT_EQ(Read(10), "xyz");
    EXPECT_LT(MsSince(start), 500);
}

TEST_F(LinuxSerialTest, FirstByteModeWaitsForOneByteOnly) {
    SetTimeouts({kMaxDword, kMaxDword, 100, 0, 0});
    auto start = Clock::now();
    EXPECT_EQ(Read(10), "");
    EXPECT_GE(MsSince(start), 90);
    SetTimeouts({kMaxDword, kMaxDword, 2000, 0, 0});
    pty.Send("q");
    AwaitWaiting(1);
    start = Clock::now();
    EXPECT_EQ(Read(10), "q");  // one byte is enough: no waiting for the other nine
    EXPECT_LT(MsSince(start), 1000);
}

TEST_F(LinuxSerialTest, IntervalTimeOutEndsAReadAfterAGap) {
    SetTimeouts({50, 0, 0, 0, 0});
    pty.Send("abc");
    AwaitWaiting(3);
    const auto start = Clock::now();
    EXPECT_EQ(Read(100), "abc");
    EXPECT_LT(MsSince(start), 500);
}

TEST_F(LinuxSerialTest, WriteTimeOutReturnsTheCountWrittenInTime) {
    SetTimeouts({0, 0, 0, 0, 200});
    const std::string block(1 << 20, 'x');  // more than the pty buffers
    const auto start = Clock::now();
    std::uint32_t done = 0;
    WriteFile(port, block.data(), static_cast<std::uint32_t>(block.size()), &done, nullptr);
    const auto took = MsSince(start);
    EXPECT_GT(done, 0u);
    EXPECT_LT(done, block.size());
    EXPECT_GE(took, 190);
    EXPECT_LT(took, 2000);
    EXPECT_EQ(pty.Receive(done).size(), done);
}

TEST_F(LinuxSerialTest, PurgeDropsWaitingInput) {
    pty.Send("stale");
    AwaitWaiting(5);
    EXPECT_TRUE(PurgeComm(port, kPurgeTxAbort | kPurgeRxAbort | kPurgeTxClear | kPurgeRxClear));
    EXPECT_EQ(Waiting(), 0u);
    EXPECT_FALSE(PurgeComm(port, 0x10));
}

TEST_F(LinuxSerialTest, XoffStopsOutputAndXonResumesIt) {
    SetTimeouts({0, 0, 0, 0, 100});
    ASSERT_TRUE(EscapeCommFunction(port, kSetXoff));
    const auto start = Clock::now();
    EXPECT_EQ(Write("held"), 0u);  // the write time-out ends a write that cannot go out
    EXPECT_GE(MsSince(start), 90);
    EXPECT_EQ(pty.Receive(4, 100), "");
    ASSERT_TRUE(EscapeCommFunction(port, kSetXon));
    EXPECT_EQ(Write("sent"), 4u);
    EXPECT_EQ(pty.Receive(4), "sent");
}

// A multiplier of 0xFFFFFFFF on a count of 0xFFFFFFFF makes a time-out of nearly 2^64 ms:
// no limit in practice, and never a deadline that has already passed.
TEST_F(LinuxSerialTest, TheLongestTimeOutsWaitInsteadOfEndingAtOnce) {
    SetTimeouts({0, kMaxDword, kMaxDword, kMaxDword, kMaxDword});
    ASSERT_TRUE(EscapeCommFunction(port, kSetXoff));  // the write waits out the hold
    std::thread unplug([this] {
        usleep(300'000);
        pty.Unplug();  // the only way the wait can end
    });
    const auto start = Clock::now();
    const char byte = 'x';
    std::uint32_t done = 1;
    WriteFile(port, &byte, kMaxDword, &done, nullptr);  // held: the byte is never read
    const auto took = MsSince(start);
    unplug.join();
    EXPECT_GE(took, 290);
    EXPECT_EQ(done, 0u);
}

TEST_F(LinuxSerialTest, ModemLinesThatAPtyLacksAreNotReportedDriven) {
    for (const std::uint32_t f : {kSetDtr, kClrDtr, kSetRts, kClrRts}) {
        EXPECT_FALSE(EscapeCommFunction(port, f)) << f;
    }
    EXPECT_FALSE(EscapeCommFunction(port, kResetDev));
    EXPECT_FALSE(EscapeCommFunction(port, 0));
    EXPECT_FALSE(EscapeCommFunction(port, 10));
    // Settings that drive the lines still apply on a device without them.
    Dcb d = State();
    dcb::SetDtrControl(d, dcb::kControlDisable);
    dcb::SetRtsControl(d, dcb::kControlDisable);
    EXPECT_TRUE(SetCommState(port, &d));
}

TEST_F(LinuxSerialTest, APtyReportsNoReceiveErrors) {
    std::uint32_t errors = 0xFF;
    EXPECT_TRUE(ClearCommError(port, &errors, nullptr));
    EXPECT_EQ(errors, 0u);
    EXPECT_TRUE(FlushFileBuffers(port));
    EXPECT_TRUE(SetupComm(port, 4096, 4096));
}

TEST_F(LinuxSerialTest, AVanishedDeviceFailsAndNothingBlocks) {
    pty.Unplug();
    const auto start = Clock::now();
    Dcb d{};
    ComStat s{};
    std::uint32_t n = 0;
    char byte = 'x';
    EXPECT_FALSE(GetCommState(port, &d));
    EXPECT_FALSE(ClearCommError(port, &n, &s));
    EXPECT_FALSE(ReadFile(port, &byte, 1, &n, nullptr));  // no time-out set
    EXPECT_FALSE(WriteFile(port, &byte, 1, &n, nullptr));
    EXPECT_FALSE(FlushFileBuffers(port));
    EXPECT_LT(MsSince(start), 1000);
    EXPECT_TRUE(CloseHandle(port));
    port = nullptr;
}

TEST_F(LinuxSerialTest, ManyPortsOpenAtOnceEachKeepTheirOwnHandle) {
    std::vector<std::unique_ptr<PtyPair>> pairs;
    std::vector<PortHandle> ports;
    for (int i = 0; i < 64; ++i) {
        pairs.push_back(std::make_unique<PtyPair>());
        ports.push_back(Open(pairs.back()->path()));
        ASSERT_TRUE(IsOpen(ports.back()));
    }
    const std::string word = "port63";
    std::uint32_t done = 0;
    WriteFile(ports[63], word.data(), 6, &done, nullptr);
    EXPECT_EQ(pairs[63]->Receive(6), word);
    EXPECT_EQ(pairs[0]->ReceiveAvailable(), "");
    for (const PortHandle p : ports) EXPECT_TRUE(CloseHandle(p));
}

}  // namespace
}  // namespace velmora::testing
