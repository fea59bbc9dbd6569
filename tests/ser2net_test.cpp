// The built module file against Debian's ser2net, a real RFC 2217 server, started here
// on 127.0.0.1 and serving a pseudo-terminal whose far end the test plays. What a
// pseudo-terminal cannot show (modem lines, line errors) the stand-in shows instead.
#include "tests/support/ser2net.h"

#include <gtest/gtest.h>
#include <termios.h>

#include <chrono>
#include <thread>

#include "tests/support/elapsed.h"
#include "tests/support/module_file_fixture.h"
#include "tests/support/pty_pair.h"
#include "tests/support/scripted_device.h"

namespace velmora::testing {
namespace {

using minihost::Value;
using Clock = std::chrono::steady_clock;

class Ser2netTest : public ModuleFileTest {
  protected:
    void SetUp() override {
        const std::string why = Ser2net::Unavailable();
        if (!why.empty()) GTEST_SKIP() << why;
        ModuleFileTest::SetUp();
        server = std::make_unique<Ser2net>(device.path(), plainDevice.path());
        ASSERT_TRUE(server->running()) << server->log();
    }
    void TearDown() override {
        if (object) Call("forget");
        if (server) ModuleFileTest::TearDown();
    }
    Value New(const std::string& name) {
        return Call("new", {Value::Text(name), Value::Integer(4096), Value::Integer(4096)});
    }
    Value Set(const char* method, std::int32_t value) {
        return Call(method, {Value::Integer(value)});
    }
    // A pty's master reports its terminal's line: what ser2net set on the device.
    static termios LineOf(const PtyPair& pty) {
        termios line{};
        tcgetattr(pty.device(), &line);
        return line;
    }
    termios DeviceLine() { return LineOf(device); }

    PtyPair device, plainDevice;
    std::unique_ptr<Ser2net> server;
};

TEST_F(Ser2netTest, SettingsAreConfirmedAndReachTheDevice) {
    ASSERT_EQ(New(server->Rfc2217Name()), Value::Void());
    EXPECT_EQ(Call("GetCommBaudRate"), Value::Integer(9600));
    EXPECT_EQ(Set("SetCommFlowControl", 0), Value::Integer(1));
    EXPECT_EQ(Set("SetCommBaudRate", 57600), Value::Integer(1));
    EXPECT_EQ(Set("SetCommStopBits", 2), Value::Integer(1));
    termios line = DeviceLine();
    EXPECT_EQ(cfgetospeed(&line), B57600);
    EXPECT_TRUE(line.c_cflag & CSTOPB);
    EXPECT_FALSE(line.c_cflag & CRTSCTS);
    EXPECT_EQ(Call("GetCommBaudRate"), Value::Integer(57600));
    EXPECT_EQ(Call("GetCommStopBits"), Value::Integer(2));
    // ser2net confirms what it asked the device for: a pty keeps 8 data bits and no
    // parity, yet 7 and even are confirmed.
    EXPECT_EQ(Set("SetCommDataBits", 7), Value::Integer(1));
    EXPECT_EQ(Set("SetCommParity", 2), Value::Integer(1));
    EXPECT_EQ(Call("GetCommDataBits"), Value::Integer(7));
    EXPECT_EQ(Set("SetCommFlowControl", 1), Value::Integer(1));
    EXPECT_TRUE(DeviceLine().c_cflag & CRTSCTS);
    EXPECT_EQ(Set("SetCommDataBits", 9), Value::Integer(0));
    EXPECT_EQ(Call("GetCommDataBits"), Value::Integer(7));
}

TEST_F(Ser2netTest, EveryByteValueCrossesBothWays) {
    ASSERT_EQ(New(server->Rfc2217Name()), Value::Void());
    ASSERT_EQ(Set("SetCommFlowControl", 0), Value::Integer(1));
    ASSERT_EQ(Set("SetCommBaudRate", 921600), Value::Integer(1));
    std::string all;
    for (int i = 0; i < 1024; ++i) all += static_cast<char>(i % 256);
    EXPECT_EQ(Call("WriteComm", {Value::Text(all)}), Value::Integer(1024));
    EXPECT_EQ(device.Receive(all.size()), all);
    device.Send(all);
    std::string got;
    const auto start = Clock::now();
    while (got.size() < all.size() && MsSince(start) < 3000) {
        const Value v = Call("ReadComm");
        ASSERT_TRUE(v.IsText());
        got += v.text;
    }
    EXPECT_EQ(got, all);
}

// What ser2net does with a pseudo-terminal's lines: it reports no DTR or RTS, all modem
// inputs low, and a break that it starts but will not say it ended.
TEST_F(Ser2netTest, WhatSer2netReportsOfAPseudoTerminalsLines) {
    ASSERT_EQ(New(server->Rfc2217Name()), Value::Void());
    EXPECT_EQ(Set("SetCommTimeOut", 200), Value::Integer(1));
    // All inputs low: the CTS handshake that new switches on holds every write.
    EXPECT_EQ(Call("WriteComm", {Value::Text("held")}), Value::Integer(0));
    EXPECT_EQ(Set("SetCommFlowControl", 0), Value::Integer(1));
    EXPECT_EQ(Call("WriteComm", {Value::Text("goes")}), Value::Integer(4));
    EXPECT_EQ(device.Receive(4), "goes");
    for (const std::int32_t f : {1, 2, 3, 4}) EXPECT_EQ(Set("EscapeComm", f), Value::Integer(0));
    EXPECT_EQ(Set("EscapeComm", 8), Value::Integer(1));
    EXPECT_EQ(Set("EscapeComm", 7), Value::Integer(0));
    EXPECT_EQ(Call("WriteComm", {Value::Text("after")}), Value::Integer(5));
    EXPECT_EQ(Call("FlushComm"), Value::Integer(1));
}

TEST_F(Ser2netTest, ThePortIsOneClientsAtATime) {
    ASSERT_EQ(New(server->Rfc2217Name()), Value::Void());
    auto second = host->NewObject();
    EXPECT_EQ(second
                  ->Call("new", {Value::Text(server->Rfc2217Name()), Value::Integer(16),
                                 Value::Integer(16)})
                  .result,
              Value::Integer(0));
    second.reset();
    EXPECT_EQ(Call("forget"), Value::Integer(1));
    EXPECT_EQ(New(server->Rfc2217Name()), Value::Void());
}

// The server stopped in the middle of a write: the write ends at once with what it
// handed over, every call answers 0, forget answers 1, and new connects once the server
// is back.
TEST_F(Ser2netTest, TheServerStoppedInTheMiddleOfAWrite) {
    ASSERT_EQ(New(server->Rfc2217Name()), Value::Void());
    ASSERT_EQ(Set("SetCommFlowControl", 0), Value::Integer(1));
    ASSERT_EQ(Set("SetCommBaudRate", 9600), Value::Integer(1));
    std::thread stop([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        server->Stop();
    });
    const auto start = Clock::now();
    const Value written = Call("WriteComm", {Value::Text(std::string(4000, 'w'))});  // 4 s
    const auto took = MsSince(start);
    stop.join();
    ASSERT_EQ(written.kind, Value::Kind::kInteger);
    EXPECT_GT(written.integer, 0);
    EXPECT_LT(written.integer, 4000);
    EXPECT_LT(took, 1500);
    EXPECT_EQ(Call("GetCommBaudRate"), Value::Integer(0));
    EXPECT_EQ(Call("ReadComm"), Value::Integer(0));
    EXPECT_EQ(Call("forget"), Value::Integer(1));
    EXPECT_EQ(New(server->Rfc2217Name()), Value::Integer(0));
    ASSERT_TRUE(server->Start()) << server->log();
    EXPECT_EQ(New(server->Rfc2217Name()), Value::Void());
}

TEST_F(Ser2netTest, APlainStreamCarriesBytesAndKeepsItsSettingsHere) {
    ASSERT_EQ(New(server->SocketName()), Value::Void());
    EXPECT_EQ(Set("SetCommBaudRate", 4800), Value::Integer(1));
    EXPECT_EQ(Call("GetCommBaudRate"), Value::Integer(4800));
    const std::string bytes("\xFF\xFF\x00\r\n", 5);
    EXPECT_EQ(Call("WriteComm", {Value::Text(bytes)}), Value::Integer(5));
    EXPECT_EQ(plainDevice.Receive(5), bytes);
    const termios line = LineOf(plainDevice);
    EXPECT_EQ(cfgetospeed(&line), B9600);  // the server's own line, untouched
    plainDevice.Send("answer");
    std::string got;
    const auto start = Clock::now();
    while (got.size() < 6 && MsSince(start) < 2000) got += Call("ReadComm").text;
    EXPECT_EQ(got, "answer");
}

}  // namespace
}  // namespace velmora::testing
