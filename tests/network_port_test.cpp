// Ports on a device server through serial/comm.h, against the in-process stand-in: what
// a real server cannot be made to do (refuse the option, stay silent, answer late or
// never, take no bytes, cut the connection mid-write), and every call's bound.
#include "serial/network_port.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>

#include "serial/comm.h"
#include "tests/support/device_server.h"
#include "tests/support/elapsed.h"

namespace velmora::testing {
namespace {

using namespace velmora::serial;
using Clock = std::chrono::steady_clock;
using Behaviour = DeviceServer::Behaviour;

PortHandle Open(const std::string& name) {
    return CreateFileA(name.c_str(), kGenericReadWrite, 0, nullptr, kOpenExisting, 0, nullptr);
}

class NetworkPortTest : public ::testing::Test {
  protected:
    void OpenOn(DeviceServer& s) {
        port = Open(s.Name());
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
    Bool Set(void (*change)(Dcb&)) {
        Dcb d = State();
        change(d);
        return SetCommState(port, &d);
    }
    std::uint32_t Write(const std::string& bytes) {
        std::uint32_t done = 0;
        WriteFile(port, bytes.data(), static_cast<std::uint32_t>(bytes.size()), &done, nullptr);
        return done;
    }
    std::uint32_t Waiting(std::uint32_t* errors = nullptr) {
        ComStat s{};
        std::uint32_t e = 0;
        EXPECT_TRUE(ClearCommError(port, &e, &s));
        if (errors != nullptr) *errors = e;
        return s.cbInQue;
    }
    // Reads until `count` bytes are in or two seconds have passed.
    std::string Read(std::size_t count) {
        std::string got;
        const auto start = Clock::now();
        while (got.size() < count && MsSince(start) < 2000) {
            std::string chunk(Waiting(), '\0');
            std::uint32_t n = 0;
            EXPECT_TRUE(ReadFile(port, chunk.data(), static_cast<std::uint32_t>(chunk.size()), &n,
                                 nullptr));
            got.append(chunk.data(), n);
            if (n == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return got;
    }
    void SetTimeOut(std::uint32_t ms) {
        CommTimeouts t{0, 0, ms, 0, ms};
        ASSERT_TRUE(SetCommTimeouts(port, &t));
    }

    PortHandle port = nullptr;
};

TEST_F(NetworkPortTest, OpensWithTheServersLineAndAnswersGettersWithoutAQuestion) {
    DeviceServer server;
    OpenOn(server);
    EXPECT_TRUE(network::IsNetworkHandle(port));
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(port) & 3, 1u);
    const Dcb d = State();
    EXPECT_EQ(d.BaudRate, 9600u);
    EXPECT_EQ(d.ByteSize, 8);
    const std::size_t asked = server.Commands().size();
    for (int i = 0; i < 100; ++i) State();
    EXPECT_EQ(server.Commands().size(), asked);
}

TEST_F(NetworkPortTest, SettingsReachTheServerAndAreConfirmedAllOrNothing) {
    Behaviour b;
    b.refusedBauds = {31250};
    DeviceServer server(DeviceServer::Kind::kRfc2217, b);
    OpenOn(server);
    EXPECT_TRUE(Set([](Dcb& d) {
        d.BaudRate = 57600;
        d.ByteSize = 7;
        d.Parity = kEvenParity;
        d.StopBits = kTwoStopBits;
    }));
    DeviceServer::Line line = server.line();
    EXPECT_EQ(line.baud, 57600u);
    EXPECT_EQ(line.dataSize, 7);
    EXPECT_EQ(line.parity, 3);
    EXPECT_EQ(line.stopSize, 2);
    // The rate is refused: the data bits it took with it go back, the record stays.
    EXPECT_FALSE(Set([](Dcb& d) {
        d.BaudRate = 31250;
        d.ByteSize = 8;
    }));
    line = server.line();
    EXPECT_EQ(line.baud, 57600u);
    EXPECT_EQ(line.dataSize, 7);
    EXPECT_EQ(State().ByteSize, 7);
    EXPECT_EQ(State().BaudRate, 57600u);
}

TEST_F(NetworkPortTest, ASettingNeverConfirmedAnswersZeroWithinItsBound) {
    Behaviour b;
    b.unanswered = {3};  // parity
    DeviceServer server(DeviceServer::Kind::kRfc2217, b);
    OpenOn(server);
    const auto start = Clock::now();
    EXPECT_FALSE(Set([](Dcb& d) { d.Parity = kOddParity; }));
    EXPECT_LT(MsSince(start), 3000);
    EXPECT_TRUE(Set([](Dcb& d) { d.BaudRate = 19200; }));  // the port goes on
}

// A flood cannot hold a wait past its bound; what did not fit while the setter waited is
// an input overflow.
TEST_F(NetworkPortTest, AFloodingServerHoldsNoCallPastItsBound) {
    DeviceServer server;
    OpenOn(server);
    Behaviour b;
    b.unanswered = {3};
    b.flood = true;
    server.Set(b);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto start = Clock::now();
    EXPECT_FALSE(Set([](Dcb& d) { d.Parity = kOddParity; }));
    EXPECT_LT(MsSince(start), 3000);
    std::uint32_t errors = 0;
    Waiting(&errors);
    EXPECT_TRUE(errors & kCeRxOver);
    SetTimeOut(300);
    EXPECT_EQ(Write("x"), 1u);
    PurgeComm(port, kPurgeRxClear | kPurgeTxClear);
    EXPECT_LT(MsSince(start), 6000);
}

TEST_F(NetworkPortTest, ASlowServerIsWaitedForWithinTheBound) {
    Behaviour b;
    b.answerDelayMs = 300;
    DeviceServer server(DeviceServer::Kind::kRfc2217, b);
    OpenOn(server);
    EXPECT_TRUE(Set([](Dcb& d) { d.BaudRate = 38400; }));
    EXPECT_EQ(State().BaudRate, 38400u);
}

TEST_F(NetworkPortTest, ARefusedOptionASilentServerAndNoServerOpenNothingWithinTheBound) {
    Behaviour refusing;
    refusing.refuseComPort = true;
    DeviceServer refuses(DeviceServer::Kind::kRfc2217, refusing);
    auto start = Clock::now();
    EXPECT_EQ(Open(refuses.Name()), InvalidPort());
    EXPECT_LT(MsSince(start), 1000);

    Behaviour quiet;
    quiet.silent = true;
    DeviceServer silent(DeviceServer::Kind::kRfc2217, quiet);
    start = Clock::now();
    EXPECT_EQ(Open(silent.Name()), InvalidPort());
    EXPECT_LT(MsSince(start), 7000);

    int unused = 0;
    {
        DeviceServer gone;
        unused = gone.port();
    }
    start = Clock::now();
    EXPECT_EQ(Open("rfc2217://127.0.0.1:" + std::to_string(unused)), InvalidPort());
    EXPECT_EQ(Open("socket://127.0.0.1:" + std::to_string(unused)), InvalidPort());
    EXPECT_LT(MsSince(start), 1000);
    for (const char* bad : {"rfc2217://127.0.0.1", "socket://:1", "rfc2217://x y:1"}) {
        EXPECT_EQ(Open(bad), InvalidPort()) << bad;
    }
}

TEST_F(NetworkPortTest, AServerThatHoldsThePortForAnotherClientRefusesTheOpen) {
    DeviceServer server;
    OpenOn(server);
    EXPECT_EQ(Open(server.Name()), InvalidPort());
}

TEST_F(NetworkPortTest, EveryByteValueCrossesBothWays) {
    Behaviour b;
    b.echo = true;
    DeviceServer server(DeviceServer::Kind::kRfc2217, b);
    OpenOn(server);
    std::string all;
    for (int round = 0; round < 4; ++round) {
        for (int i = 0; i < 256; ++i) all += static_cast<char>(round % 2 ? 255 - i : i);
    }
    all += std::string(300, '\xFF');  // escapes all the way
    EXPECT_EQ(Write(all), all.size());
    EXPECT_EQ(server.Received(all.size()), all);
    EXPECT_EQ(Read(all.size()), all);
}

// A server's Synch sends its data mark as TCP urgent data: it must stay in the stream,
// where IAC DM means nothing, or the IAC before it takes the next byte of data with it.
TEST_F(NetworkPortTest, TheServersUrgentDataMarkTakesNoDataWithIt) {
    DeviceServer server;
    OpenOn(server);
    server.SendData("ab");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    server.SendUrgentDataMark();
    server.SendData("cd");
    EXPECT_EQ(Read(4), "abcd");
}

TEST_F(NetworkPortTest, LineStateNoticesReachTheErrorFlagsWithTheLocalCodes) {
    DeviceServer server;
    OpenOn(server);
    server.SendCommand(106, {0x04 | 0x02});
    server.SendData("x");
    Read(1);
    std::uint32_t errors = 0;
    Waiting(&errors);
    EXPECT_EQ(errors, 0u) << "ReadComm's ClearCommError took them, as on a local port";
    server.SendCommand(106, {0x10});
    server.SendData("y");
    EXPECT_EQ(Read(1), "y");
}

TEST_F(NetworkPortTest, TheCtsHandshakeWaitsForTheInputTheServerReports) {
    Behaviour b;
    b.modemAtConnect = 0x20;  // DSR up, CTS down
    DeviceServer server(DeviceServer::Kind::kRfc2217, b);
    OpenOn(server);
    ASSERT_TRUE(Set([](Dcb& d) {
        dcb::Put(d, dcb::kOutxCtsFlow, true);
        dcb::SetRtsControl(d, dcb::kControlHandshake);
    }));
    SetTimeOut(200);
    auto start = Clock::now();
    EXPECT_EQ(Write("held"), 0u);
    EXPECT_GE(MsSince(start), 150);
    EXPECT_LT(MsSince(start), 1500);
    server.SendCommand(107, {0x30});
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(Write("goes"), 4u);
    EXPECT_EQ(server.Received(4), "goes");
}

TEST_F(NetworkPortTest, TheServersSuspendHoldsOutputUntilItsResume) {
    DeviceServer server;
    OpenOn(server);
    server.SendCommand(108, {});
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    SetTimeOut(200);
    EXPECT_EQ(Write("wait"), 0u);
    SetTimeOut(3000);
    std::thread resume([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        server.SendCommand(109, {});
    });
    const auto start = Clock::now();
    EXPECT_EQ(Write("now"), 3u);
    EXPECT_GE(MsSince(start), 250);
    resume.join();
    EXPECT_EQ(server.Received(3), "now");
}

// A device that takes nothing: the write ends at its time-out, and the paced line has
// not been handed more than it could have sent by then, and the lead.
TEST_F(NetworkPortTest, APacedWriteStaysWithinTheLinesPaceAndItsTimeOut) {
    DeviceServer server;
    OpenOn(server);
    ASSERT_TRUE(Set([](Dcb& d) { d.BaudRate = 9600; }));
    Behaviour b;
    b.reading = false;
    server.Set(b);
    SetTimeOut(500);
    const auto start = Clock::now();
    const std::uint32_t written = Write(std::string(5000, 'w'));
    const auto took = MsSince(start);
    EXPECT_GE(took, 450);
    EXPECT_LT(took, 2000);
    // 960 bytes a second at 9600 8N1, and 64 bytes ahead.
    EXPECT_LE(written, 960 * took / 1000 + 64 + 10);
    EXPECT_GE(written, 300u);
}

TEST_F(NetworkPortTest, AConnectionCutMidWriteEndsItAtOnceAndEveryCallAnswersZero) {
    Behaviour b;
    b.dropAfter = 1000;
    DeviceServer server(DeviceServer::Kind::kSocket, b);
    OpenOn(server);
    auto start = Clock::now();
    const std::uint32_t written = Write(std::string(1 << 22, 'w'));  // no time-out
    EXPECT_LT(MsSince(start), 3000);
    EXPECT_LT(written, 1u << 22);
    start = Clock::now();
    Dcb d{};
    std::uint32_t n = 0;
    char byte = 0;
    EXPECT_FALSE(GetCommState(port, &d));
    EXPECT_FALSE(SetCommState(port, &d));
    EXPECT_FALSE(ClearCommError(port, &n, nullptr));
    EXPECT_FALSE(WriteFile(port, &byte, 1, &n, nullptr));
    EXPECT_FALSE(EscapeCommFunction(port, kSetXoff));
    EXPECT_FALSE(FlushFileBuffers(port));
    EXPECT_FALSE(PurgeComm(port, 0xF));
    EXPECT_LT(MsSince(start), 500);
    EXPECT_TRUE(CloseHandle(port));
    port = nullptr;
    OpenOn(server);  // and the server takes the port again
}

TEST_F(NetworkPortTest, BytesThatArrivedBeforeTheServerLeftAreStillRead) {
    DeviceServer server(DeviceServer::Kind::kSocket);
    OpenOn(server);
    server.SendData("last words");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    server.Drop();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(Read(10), "last words");
    std::uint32_t errors = 0;
    EXPECT_FALSE(ClearCommError(port, &errors, nullptr));
}

TEST_F(NetworkPortTest, GarbageFromTheServerNeitherHangsNorBreaksThePort) {
    DeviceServer server;
    OpenOn(server);
    std::mt19937 random(2217);
    std::string garbage(20000, '\0');
    for (char& c : garbage) c = static_cast<char>(random() % 3 == 0 ? 255 : random());
    server.SendWire(garbage);
    server.SendWire(std::string("\xFF\xF0\xFF\xFA\x2C\x65\xFF\xF0", 8));  // ends any subnegotiation
    SetTimeOut(300);
    const auto start = Clock::now();
    for (int i = 0; i < 20; ++i) {
        std::uint32_t n = 0;
        ClearCommError(port, &n, nullptr);
        Dcb d = State();
        SetCommState(port, &d);
        Write("ok");
    }
    EXPECT_LT(MsSince(start), 10000);
}

TEST_F(NetworkPortTest, ControlLinesAndBreakAreConfirmedAndXoffIsHeldHere) {
    DeviceServer server;
    OpenOn(server);
    EXPECT_TRUE(EscapeCommFunction(port, kClrDtr));
    EXPECT_EQ(server.line().dtr, 9);
    EXPECT_TRUE(EscapeCommFunction(port, kSetRts));
    EXPECT_EQ(server.line().rts, 11);
    EXPECT_TRUE(EscapeCommFunction(port, kSetBreak));
    EXPECT_EQ(server.line().brk, 5);
    SetTimeOut(100);
    EXPECT_EQ(Write("x"), 0u) << "a break holds output";
    EXPECT_TRUE(EscapeCommFunction(port, kClrBreak));
    EXPECT_TRUE(EscapeCommFunction(port, kSetXoff));
    EXPECT_EQ(Write("x"), 0u);
    EXPECT_TRUE(EscapeCommFunction(port, kSetXon));
    EXPECT_EQ(Write("x"), 1u);
    EXPECT_FALSE(EscapeCommFunction(port, kResetDev));
    // Under the RTS handshake RTS belongs to the server's driver.
    ASSERT_TRUE(Set([](Dcb& d) {
        dcb::Put(d, dcb::kOutxCtsFlow, true);
        dcb::SetRtsControl(d, dcb::kControlHandshake);
    }));
    EXPECT_EQ(server.line().flow, 3);
    EXPECT_FALSE(EscapeCommFunction(port, kClrRts));
}

TEST_F(NetworkPortTest, PurgeAsksTheServerAndDropsWhatCameBefore) {
    DeviceServer server;
    OpenOn(server);
    server.SendData("stale");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(PurgeComm(port, kPurgeTxClear | kPurgeRxClear));
    EXPECT_EQ(server.CountCommands(12), 1);
    EXPECT_EQ(Waiting(), 0u);
    server.SendData("fresh");
    EXPECT_EQ(Read(5), "fresh");
    EXPECT_FALSE(PurgeComm(port, 0x10));
}

TEST_F(NetworkPortTest, APlainStreamKeepsItsSettingsHereAndHasNoLines) {
    Behaviour b;
    b.echo = true;
    DeviceServer server(DeviceServer::Kind::kSocket, b);
    OpenOn(server);
    EXPECT_TRUE(Set([](Dcb& d) {
        d.BaudRate = 115200;
        d.ByteSize = 7;
    }));
    EXPECT_EQ(State().BaudRate, 115200u);
    EXPECT_EQ(State().ByteSize, 7);
    EXPECT_FALSE(Set([](Dcb& d) { d.ByteSize = 9; }));
    for (std::uint32_t f : {kSetDtr, kClrDtr, kSetRts, kClrRts, kSetBreak, kClrBreak}) {
        EXPECT_FALSE(EscapeCommFunction(port, f)) << f;
    }
    const std::string bytes("\xFF\xFD\x2C\r\0x", 6);
    EXPECT_EQ(Write(bytes), bytes.size());
    EXPECT_EQ(Read(bytes.size()), bytes);
    EXPECT_EQ(server.ReceivedSoFar(), bytes);
    EXPECT_TRUE(FlushFileBuffers(port));
}

TEST_F(NetworkPortTest, AHostNameIsLookedUpAndConnected) {
    DeviceServer server(DeviceServer::Kind::kSocket);
    port = Open("socket://localhost:" + std::to_string(server.port()));
    // localhost may name ::1 first; the stand-in listens on 127.0.0.1 alone, so the
    // other addresses are tried in turn.
    ASSERT_TRUE(IsOpen(port));
}

}  // namespace
}  // namespace velmora::testing
