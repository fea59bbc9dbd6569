// A device that holds output, through the built module on pseudo-terminal pairs. The
// port's own XON/XOFF flow control holds its output once the device sends XOFF, as a
// UART's would: then every call must still return within its bound, a write counts
// only what went out, and the escape functions keep their Win32 meaning.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <functional>

#include "tests/support/module_file_fixture.h"
#include "tests/support/pty_pair.h"

namespace velmora::testing {
namespace {

using minihost::Value;
using Clock = std::chrono::steady_clock;

constexpr int kTimeOut = 300;
constexpr long long kGrace = 500;  // what a call may take beyond its time-out
constexpr long long kCloseBound = 1000;
const std::string kXoff = "\x13", kXon = "\x11";

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class HeldOutputTest : public ModuleFileTest {
  protected:
    void SetUp() override {
        ModuleFileTest::SetUp();
        ASSERT_EQ(
            Call("new", {Value::Text(pty.path()), Value::Integer(4096), Value::Integer(4096)}),
            Value::Void());
        ASSERT_EQ(Call("SetCommTimeOut", {Value::Integer(kTimeOut)}), Value::Integer(1));
    }
    // The device holds the port's output with XOFF, as the far end of a line does.
    void HoldWithXoff() {
        ASSERT_EQ(Call("SetCommFlowControl", {Value::Integer(2)}), Value::Integer(1));
        pty.Send(kXoff);
        usleep(100'000);  // for the line discipline to take it
    }
    // Calls a method and checks that it returned within `boundMs`.
    Value Timed(const std::string& method, const std::vector<Value>& args, long long boundMs) {
        const auto start = Clock::now();
        Value v = Call(method, args);
        EXPECT_LT(MsSince(start), boundMs) << method << " waited on held output";
        return v;
    }
    Value Write(const std::string& text) {
        return Timed("WriteComm", {Value::Text(text)}, kTimeOut + kGrace);
    }
    Value Escape(int function) {
        return Timed("EscapeComm", {Value::Integer(function)}, kTimeOut + kGrace);
    }
    // Sends a probe and answers whether the device received it.
    bool OutputFlows() {
        const Value v = Call("WriteComm", {Value::Text("probe")});
        return v == Value::Integer(5) && pty.Receive(5, 500) == "probe";
    }

    PtyPair pty;
};

// The cases of a device that sent XOFF, each also after a 4 KiB text was written
// into the held port first.
TEST_F(HeldOutputTest, EveryCallReturnsInTimeAndCountsOnlyWhatWentOut) {
    const std::vector<std::pair<const char*, std::function<void()>>> cases = {
        {"SETXON releases what the device's XOFF holds",
         [this] {
             EXPECT_EQ(Write("A"), Value::Integer(0));
             EXPECT_EQ(Escape(5), Value::Integer(1));
             EXPECT_EQ(pty.Receive(1, 200), "") << "the A that timed out was taken back";
             EXPECT_TRUE(OutputFlows());
         }},
        {"SETBREAK does not wait for held output",
         [this] {
             EXPECT_EQ(Write("B"), Value::Integer(0));
             EXPECT_EQ(Escape(8), Value::Integer(1));
             EXPECT_EQ(Escape(7), Value::Integer(1));
         }},
        {"FlushComm finds nothing pending",
         [this] {
             EXPECT_EQ(Write("C"), Value::Integer(0));
             EXPECT_EQ(Timed("FlushComm", {}, kGrace), Value::Integer(1));
         }},
        {"forget does not wait for the device",
         [this] { EXPECT_EQ(Write("D"), Value::Integer(0)); }},
        {"a text larger than any queue counts nothing that did not leave",
         [this] { EXPECT_EQ(Write(std::string(8192, 'E')), Value::Integer(0)); }},
    };
    for (const bool queuedFirst : {false, true}) {
        for (const auto& [what, act] : cases) {
            SCOPED_TRACE(std::string(what) + (queuedFirst ? ", after 4 KiB" : ""));
            HoldWithXoff();
            if (queuedFirst) {
                EXPECT_EQ(Write(std::string(4096, 'Q')), Value::Integer(0));
            }
            act();
            EXPECT_EQ(Timed("forget", {}, kCloseBound), Value::Integer(1));
            EXPECT_EQ(pty.ReceiveAvailable().find_first_of("ABCDEQ"), std::string::npos)
                << "nothing uncounted went out";
            ASSERT_EQ(
                Call("new", {Value::Text(pty.path()), Value::Integer(4096), Value::Integer(4096)}),
                Value::Void());
            ASSERT_EQ(Call("SetCommTimeOut", {Value::Integer(kTimeOut)}), Value::Integer(1));
        }
    }
}

TEST_F(HeldOutputTest, SetXoffHoldsOutputUntilSetXonWhateverTheDeviceSends) {
    ASSERT_EQ(Call("SetCommFlowControl", {Value::Integer(0)}), Value::Integer(1));
    EXPECT_EQ(Escape(6), Value::Integer(1));
    EXPECT_EQ(Write("held"), Value::Integer(0));
    // Without XON/XOFF flow control the device's XON is data, and releases nothing.
    pty.Send(kXon);
    usleep(100'000);
    EXPECT_EQ(Write("held"), Value::Integer(0));
    EXPECT_EQ(pty.Receive(4, 100), "");
    EXPECT_EQ(Escape(5), Value::Integer(1));
    EXPECT_TRUE(OutputFlows());
    EXPECT_EQ(Call("ReadComm"), Value::Text(kXon));
}

TEST_F(HeldOutputTest, ABreakHoldsOutputUntilItEnds) {
    EXPECT_EQ(Escape(8), Value::Integer(1));
    EXPECT_EQ(Write("during"), Value::Integer(0));
    EXPECT_EQ(pty.Receive(6, 100), "");
    EXPECT_EQ(Escape(7), Value::Integer(1));
    EXPECT_TRUE(OutputFlows());
}

TEST_F(HeldOutputTest, ForgetAndDestroyReturnAtOnceWithoutATimeOut) {
    ASSERT_EQ(Call("SetCommTimeOut", {Value::Integer(0)}), Value::Integer(1));
    HoldWithXoff();
    EXPECT_EQ(Escape(6), Value::Integer(1));
    EXPECT_EQ(Escape(8), Value::Integer(1));
    EXPECT_EQ(Timed("FlushComm", {}, kGrace), Value::Integer(1));
    EXPECT_EQ(Timed("forget", {}, kCloseBound), Value::Integer(1));

    ASSERT_EQ(Call("new", {Value::Text(pty.path()), Value::Integer(4096), Value::Integer(4096)}),
              Value::Void());
    HoldWithXoff();
    const auto start = Clock::now();
    object.reset();  // destroy closes the port
    EXPECT_LT(MsSince(start), kCloseBound);
}

}  // namespace
}  // namespace velmora::testing
