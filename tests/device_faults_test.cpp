// What a device can do to a session: vanish, flood it, stop reading, or be held by
// someone else. The module must answer, never hang, and lose nothing.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <thread>

#include "tests/support/elapsed.h"
#include "tests/support/module_file_fixture.h"
#include "tests/support/pty_pair.h"

namespace velmora::testing {
namespace {

using minihost::Value;
using Clock = std::chrono::steady_clock;

class DeviceFaultsTest : public ModuleFileTest {
  protected:
    void SetUp() override {
        ModuleFileTest::SetUp();
        ASSERT_EQ(
            Call("new", {Value::Text(pty.path()), Value::Integer(4096), Value::Integer(4096)}),
            Value::Void());
        Call("SetCommFlowControl", {Value::Integer(0)});
    }

    PtyPair pty;
};

TEST_F(DeviceFaultsTest, FarEndClosingMidSessionMakesEveryMethodAnswerZeroAtOnce) {
    EXPECT_EQ(Call("WriteComm", {Value::Text("before")}), Value::Integer(6));
    pty.Unplug();
    const auto start = Clock::now();
    ExpectEveryCallAnswersZero();
    EXPECT_LT(MsSince(start), 1000) << "nothing may wait on a vanished device";
    EXPECT_EQ(Call("forget"), Value::Integer(1));  // the handle itself still closes
}

TEST_F(DeviceFaultsTest, TenMebibytesPouredInArriveCompleteAndInOrder) {
    std::string data(10 << 20, '\0');
    std::mt19937 random(20261209);
    for (char& c : data) c = static_cast<char>(random());
    std::thread device([&] { pty.Send(data); });
    std::string got;
    got.reserve(data.size());
    const auto start = Clock::now();
    while (got.size() < data.size() && MsSince(start) < 60000) {
        const Value v = Call("ReadComm");
        ASSERT_TRUE(v.IsText());
        got += v.text;
    }
    device.join();
    ASSERT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == data) << "the bytes arrived changed or out of order";
}

TEST_F(DeviceFaultsTest, WriteToAFarEndThatNeverReadsEndsWithinItsTimeOut) {
    EXPECT_EQ(Call("SetCommTimeOut", {Value::Integer(200)}), Value::Integer(1));
    const auto start = Clock::now();
    const Value written = Call("WriteComm", {Value::Text(std::string(1 << 20, 'w'))});
    const auto took = MsSince(start);
    ASSERT_EQ(written.kind, Value::Kind::kInteger);
    EXPECT_GT(written.integer, 0);
    EXPECT_LT(written.integer, 1 << 20);
    EXPECT_GE(took, 190);
    EXPECT_LT(took, 1500);
    EXPECT_EQ(pty.Receive(static_cast<std::size_t>(written.integer)).size(),
              static_cast<std::size_t>(written.integer));
}

TEST_F(DeviceFaultsTest, AnOpenPortIsRefusedToAnotherObjectAndAnotherProcess) {
    auto second = host->NewObject();
    EXPECT_EQ(
        second->Call("new", {Value::Text(pty.path()), Value::Integer(1), Value::Integer(1)}).result,
        Value::Integer(0));
    second.reset();

    const pid_t child = fork();
    if (child == 0) {
        std::string error;
        auto otherFile = minihost::ModuleFile::Open(VELMORA_MODULE_FILE, &error);
        minihost::Host other(otherFile->exports());
        if (other.Register(&error) != kOk) _exit(2);
        auto intruder = other.NewObject();
        const Value v =
            intruder->Call("new", {Value::Text(pty.path()), Value::Integer(1), Value::Integer(1)})
                .result;
        _exit(v.IsInteger(0) ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "another process opened it";
    EXPECT_EQ(Call("WriteComm", {Value::Text("still mine")}), Value::Integer(10));
}

}  // namespace
}  // namespace velmora::testing
