// The built module, loaded from its file the way a host loads it, driving a pty.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "minihost/poll_until.h"
#include "tests/support/module_file_fixture.h"
#include "tests/support/pty_pair.h"

namespace velmora::testing {
namespace {

using minihost::Value;

class ModulePtyTest : public ModuleFileTest {
  protected:
    Value Set(const std::string& method, std::int32_t n) {
        return Call(method, {Value::Integer(n)});
    }
    void Open() {
        ASSERT_EQ(
            Call("new", {Value::Text(pty.path()), Value::Integer(4096), Value::Integer(4096)}),
            Value::Void());
    }
    // Polls ReadComm the way a script does every frame, until `count` bytes are in.
    std::string Poll(std::size_t count) {
        std::string got;
        minihost::PollUntil(
            [&] {
                const Value v = Call("ReadComm");
                EXPECT_TRUE(v.IsText());
                return v.IsText() ? v : Value::Text("");  // keep polling, as a script would
            },
            [&](const std::string& received) { return received.size() >= count; }, got,
            std::chrono::seconds(3), std::chrono::milliseconds(1));
        return got;
    }

    PtyPair pty;
};

TEST_F(ModulePtyTest, OpenWriteReadAndForget) {
    Open();
    EXPECT_EQ(Call("WriteComm", {Value::Text("*IDN?\r\n")}), Value::Integer(7));
    EXPECT_EQ(pty.Receive(7), "*IDN?\r\n");
    EXPECT_EQ(Call("ReadComm"), Value::Text(""));
    pty.Send("VELMORA,BENCH,1\r\n");
    EXPECT_EQ(Poll(17), "VELMORA,BENCH,1\r\n");
    EXPECT_EQ(Call("forget"), Value::Integer(1));
    EXPECT_EQ(Call("forget"), Value::Integer(0));
    EXPECT_EQ(Call("ReadComm"), Value::Integer(0));
}

TEST_F(ModulePtyTest, BinaryDataCrossesBothWays) {
    Open();
    std::string all;
    for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
    for (const char* version : {"8.5", "8.0"}) {
        host->SetVersion(version);
        Open();  // reads the version again
        EXPECT_EQ(Call("WriteComm", {Value::Text(all)}), Value::Integer(256)) << version;
        EXPECT_EQ(pty.Receive(256), all);
        pty.Send(all);
        EXPECT_EQ(Poll(256), all);
    }
}

TEST_F(ModulePtyTest, NewSetsTheHandshakesAndKeepsTheLine) {
    Open();
    EXPECT_EQ(Set("SetCommBaudRate", 57600), Value::Integer(1));
    Open();  // opening again keeps the line's rate
    EXPECT_EQ(Call("GetCommBaudRate"), Value::Integer(57600));
    EXPECT_EQ(Call("GetCommDataBits"), Value::Integer(8));
    EXPECT_EQ(Call("GetCommStopBits"), Value::Integer(0));
    EXPECT_EQ(Call("GetCommParity"), Value::Integer(0));
    EXPECT_EQ(Call("GetCommCTS"), Value::Integer(1));
    EXPECT_EQ(Call("GetCommDSR"), Value::Integer(1));
}

TEST_F(ModulePtyTest, LineSettingsThroughEveryMethod) {
    Open();
    EXPECT_EQ(Set("SetCommBaudRate", 250000), Value::Integer(1));
    EXPECT_EQ(Call("GetCommBaudRate"), Value::Integer(250000));
    EXPECT_EQ(Set("SetCommStopBits", 2), Value::Integer(1));
    EXPECT_EQ(Call("GetCommStopBits"), Value::Integer(2));
    // A pty keeps 8 data bits and no parity: the honest answer is a refusal.
    EXPECT_EQ(Set("SetCommDataBits", 7), Value::Integer(0));
    EXPECT_EQ(Call("GetCommDataBits"), Value::Integer(8));
    EXPECT_EQ(Set("SetCommParity", 2), Value::Integer(0));
    EXPECT_EQ(Call("GetCommParity"), Value::Integer(0));
    EXPECT_EQ(Set("SetCommDataBits", 9), Value::Integer(0));
    EXPECT_EQ(Set("SetCommCTS", 0), Value::Integer(1));
    EXPECT_EQ(Call("GetCommCTS"), Value::Integer(0));
    EXPECT_EQ(Set("SetCommDSR", 0), Value::Integer(1));
    EXPECT_EQ(Call("GetCommDSR"), Value::Integer(0));
    for (const std::int32_t type : {1, 2, 0}) {
        EXPECT_EQ(Set("SetCommFlowControl", type), Value::Integer(1)) << type;
        EXPECT_EQ(Call("GetCommCTS"), Value::Integer(type == 1));
        EXPECT_EQ(Call("GetCommDSR"), Value::Integer(type == 1));
    }
    EXPECT_EQ(Set("SetCommFlowControl", 3), Value::Integer(0));
    EXPECT_EQ(Set("SetCommTimeOut", 100), Value::Integer(1));
    EXPECT_EQ(Call("FlushComm"), Value::Integer(1));
    EXPECT_EQ(Call("GetCommError"), Value::Integer(0));
}

TEST_F(ModulePtyTest, EscapeFunctionsOnAPty) {
    Open();
    Set("SetCommTimeOut", 100);
    EXPECT_EQ(Set("EscapeComm", 6), Value::Integer(1));  // SETXOFF
    EXPECT_EQ(Call("WriteComm", {Value::Text("x")}), Value::Integer(0));
    EXPECT_EQ(Set("EscapeComm", 5), Value::Integer(1));  // SETXON
    EXPECT_EQ(Call("WriteComm", {Value::Text("y")}), Value::Integer(1));
    EXPECT_EQ(pty.Receive(1), "y");
    // A pty has no DTR or RTS to drive.
    for (const std::int32_t f : {1, 2, 3, 4}) EXPECT_EQ(Set("EscapeComm", f), Value::Integer(0));
    EXPECT_EQ(Set("EscapeComm", 0), Value::Integer(0));
    EXPECT_EQ(Set("EscapeComm", 9), Value::Integer(0));
}

TEST_F(ModulePtyTest, SecondObjectIsRefusedAnOpenPortAndTheFirstCanReopen) {
    Open();
    auto second = host->NewObject();
    const auto refused =
        second->Call("new", {Value::Text(pty.path()), Value::Integer(16), Value::Integer(16)});
    EXPECT_EQ(refused.result, Value::Integer(0));
    second.reset();
    Open();  // the same object opening its own port again: closed first, then reopened
    EXPECT_EQ(Call("WriteComm", {Value::Text("ok")}), Value::Integer(2));
}

TEST_F(ModulePtyTest, DisposingAnObjectGivesItsPortBack) {
    Open();
    object = host->NewObject();
    Open();
}

TEST_F(ModulePtyTest, AVanishedDeviceAnswersZeroEverywhere) {
    Open();
    pty.Unplug();
    for (const char* getter :
         {"ReadComm", "FlushComm", "GetCommBaudRate", "GetCommDataBits", "GetCommCTS"}) {
        EXPECT_EQ(Call(getter), Value::Integer(0)) << getter;
    }
    EXPECT_EQ(Call("WriteComm", {Value::Text("lost")}), Value::Integer(0));
    EXPECT_EQ(Set("SetCommBaudRate", 9600), Value::Integer(0));
    EXPECT_EQ(Call("forget"), Value::Integer(1));
}

}  // namespace
}  // namespace velmora::testing
