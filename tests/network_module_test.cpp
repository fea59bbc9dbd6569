// The built module file with ports on device servers, as a script uses them: the
// stand-in server plays a server that drops the connection or sends garbage.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "tests/support/device_server.h"
#include "tests/support/elapsed.h"
#include "tests/support/module_file_fixture.h"

namespace velmora::testing {
namespace {

using minihost::Value;
using Clock = std::chrono::steady_clock;

class NetworkModuleTest : public ModuleFileTest {
  protected:
    Value New(const std::string& name) {
        return Call("new", {Value::Text(name), Value::Integer(4096), Value::Integer(4096)});
    }
    Value Set(const char* method, std::int32_t value) {
        return Call(method, {Value::Integer(value)});
    }
};

TEST_F(NetworkModuleTest, NamesThatDoNotParseOrFindNoServerAnswerZero) {
    for (const char* name : {"rfc2217://", "rfc2217://host", "socket://host:0", "socket://a b:1",
                             "RFC2217://[::1:7", "rfc2217://127.0.0.1:1"}) {
        EXPECT_EQ(New(name), Value::Integer(0)) << name;
        EXPECT_EQ(Call("GetCommBaudRate"), Value::Integer(0));
    }
    EXPECT_EQ(Call("forget"), Value::Integer(0));
}

// A dropped connection is an unplugged adapter: every call answers 0 at once, forget
// answers 1, and new connects again.
TEST_F(NetworkModuleTest, ADroppedConnectionAnswersZeroEverywhereAndNewConnectsAgain) {
    DeviceServer server;
    ASSERT_EQ(New(server.Name()), Value::Void());
    EXPECT_EQ(Set("SetCommFlowControl", 0), Value::Integer(1));
    EXPECT_EQ(Call("WriteComm", {Value::Text("before")}), Value::Integer(6));
    server.Drop();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto start = Clock::now();
    ExpectEveryCallAnswersZero();
    EXPECT_LT(MsSince(start), 1000) << "nothing may wait on a dropped connection";
    EXPECT_EQ(Call("forget"), Value::Integer(1));
    ASSERT_EQ(New(server.Name()), Value::Void());
    EXPECT_EQ(Call("GetCommBaudRate"), Value::Integer(9600));
}

TEST_F(NetworkModuleTest, NewOnAnObjectWithANetworkPortClosesItFirst) {
    DeviceServer server;
    ASSERT_EQ(New(server.Name()), Value::Void());
    ASSERT_EQ(New(server.Name()), Value::Void());  // the stand-in serves one client at a time
    EXPECT_EQ(server.connections(), 2);
}

TEST_F(NetworkModuleTest, NewSetsItsHandshakesOnTheServerAndPurgesIt) {
    DeviceServer server;
    ASSERT_EQ(New(server.Name()), Value::Void());
    EXPECT_EQ(server.line().flow, 3);  // the CTS handshake new switches on
    EXPECT_EQ(server.CountCommands(12), 1);
    EXPECT_EQ(Call("GetCommCTS"), Value::Integer(1));
    EXPECT_EQ(Call("GetCommDSR"), Value::Integer(1));
    EXPECT_EQ(Set("SetCommFlowControl", 2), Value::Integer(1));
    EXPECT_EQ(server.line().flow, 2);
    EXPECT_EQ(Set("SetCommFlowControl", 0), Value::Integer(1));
    EXPECT_EQ(server.line().flow, 1);
    EXPECT_EQ(server.line().dtr, 9);
    EXPECT_EQ(server.line().rts, 12);
}

TEST_F(NetworkModuleTest, ReadCommNeverWaitsAndGetCommErrorHasTheLocalCodes) {
    DeviceServer server;
    ASSERT_EQ(New(server.Name()), Value::Void());
    EXPECT_EQ(Set("SetCommTimeOut", 5000), Value::Integer(1));
    const auto start = Clock::now();
    EXPECT_EQ(Call("ReadComm"), Value::Text(""));
    EXPECT_LT(MsSince(start), 100);
    server.SendCommand(106, {0x08});  // framing
    server.SendCommand(106, {0x04});  // parity
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(Call("GetCommError"), Value::Integer(-2));
    EXPECT_EQ(Call("GetCommError"), Value::Integer(0));
    server.SendCommand(106, {0x10});
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(Call("GetCommError"), Value::Integer(-5));
}

}  // namespace
}  // namespace velmora::testing
