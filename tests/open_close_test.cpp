// `new` and `forget` over the fake serial layer.
#include <gtest/gtest.h>

#include "host/interface_ids.h"
#include "tests/support/host_fixture.h"

namespace velmora::testing {
namespace {

using serial::Dcb;
namespace dcb = serial::dcb;

// Output waits for CTS and DSR, DTR and RTS raised, no XON/XOFF.
constexpr std::uint32_t kHandshakeOnOpen = dcb::kOutxCtsFlow | dcb::kOutxDsrFlow |
                                           (dcb::kControlEnable << dcb::kDtrControlShift) |
                                           (dcb::kControlEnable << dcb::kRtsControlShift);

class OpenCloseTest : public HostTest {
  protected:
    Value New(const std::string& name, std::int32_t in = 4096, std::int32_t out = 2048) {
        return Answer("new", {Value::Text(name), Value::Integer(in), Value::Integer(out)});
    }
};

TEST_F(OpenCloseTest, OpensConfiguresAndKeepsTheHostsResult) {
    EXPECT_EQ(New("COM3", 4096, 2048), Value::Void());
    EXPECT_EQ(serial().Ops(), (std::vector<std::string>{"CreateFileA", "SetupComm", "GetCommState",
                                                        "PurgeComm", "SetCommState"}));
    const auto* open = serial().Last("CreateFileA");
    EXPECT_EQ(open->text, "COM3");
    EXPECT_EQ(open->args, (std::vector<std::uint64_t>{0xC0000000u, 0, 3, 0}));
    EXPECT_EQ(serial().Last("SetupComm")->args, (std::vector<std::uint64_t>{4096, 2048}));
    EXPECT_EQ(serial().Last("PurgeComm")->args, std::vector<std::uint64_t>{0x0F});
    EXPECT_TRUE(serial::IsOpen(Port().port));
}

TEST_F(OpenCloseTest, HandshakeBitsChangeAndEveryOtherFieldIsKept) {
    // Run once with every flag bit set and once with none, so that a bit wrongly
    // written or wrongly left alone shows either way.
    for (const std::uint32_t before : {0xFFFFFFFFu, 0x00000000u}) {
        serial().Reset();
        Dcb& dcb = serial().dcb;
        dcb.flags = before;
        dcb.BaudRate = 19200;
        dcb.ByteSize = 7;
        dcb.Parity = serial::kEvenParity;
        dcb.StopBits = serial::kTwoStopBits;
        object.reset();
        New("COM1");
        EXPECT_EQ(serial().dcb.flags, (before & ~dcb::kHandshakeFields) | kHandshakeOnOpen)
            << std::hex << before;
        EXPECT_EQ(serial().dcb.BaudRate, 19200u);
        EXPECT_EQ(serial().dcb.ByteSize, 7);
        EXPECT_EQ(serial().dcb.Parity, serial::kEvenParity);
        EXPECT_EQ(serial().dcb.StopBits, serial::kTwoStopBits);
    }
}

TEST_F(OpenCloseTest, MissingDeviceAnswersZeroAndRecordsTheFailedOpen) {
    EXPECT_EQ(New("missing-port"), Value::Integer(0));
    EXPECT_EQ(Port().port, serial::InvalidPort());
    EXPECT_EQ(serial().Ops(), std::vector<std::string>{"CreateFileA"});
}

TEST_F(OpenCloseTest, FailedStateReadLeavesThePortOpenWithoutHandshakes) {
    serial().failing = {"GetCommState"};
    EXPECT_EQ(New("COM1"), Value::Void());
    EXPECT_TRUE(serial::IsOpen(Port().port));
    EXPECT_EQ(serial().Ops(),
              (std::vector<std::string>{"CreateFileA", "SetupComm", "GetCommState"}));
}

TEST_F(OpenCloseTest, UnnoticedFailuresStillLookLikeSuccess) {
    serial().failing = {"SetupComm", "PurgeComm", "SetCommState"};
    EXPECT_EQ(New("COM1"), Value::Void());
    EXPECT_EQ(serial().Count("SetCommState"), 1);
}

TEST_F(OpenCloseTest, NoAppInfoServiceFailsTheCallAndChangesNothing) {
    host->faults().refusedServices = {kIidAppInfoService};
    const auto outcome = Object().CallNumber(
        0, {Value::Text("COM1"), Value::Integer(1), Value::Integer(1)}, Value::Integer(5));
    EXPECT_EQ(outcome.status, ErrNoInterface);
    EXPECT_EQ(outcome.result, Value::Integer(5));
    EXPECT_TRUE(serial().calls.empty());
    EXPECT_EQ(Port().port, nullptr);
}

TEST_F(OpenCloseTest, FailedNameLockActsAsAFailedOpen) {
    for (const bool nullPointer : {false, true}) {
        host->faults().failLockText = !nullPointer;
        host->faults().lockTextGivesNull = nullPointer;
        EXPECT_EQ(New("COM1"), Value::Integer(0));
        EXPECT_EQ(Port().port, serial::InvalidPort());
        EXPECT_EQ(serial().Count("CreateFileA"), 0);
    }
}

TEST_F(OpenCloseTest, NameThatIsNotATextIsAFailedOpen) {
    EXPECT_EQ(
        Object().CallNumber(0, {Value::Integer(3), Value::Integer(1), Value::Integer(1)}).result,
        Value::Integer(0));
    EXPECT_EQ(Port().port, serial::InvalidPort());
}

TEST_F(OpenCloseTest, QueueSizesThatAreNotIntegersReadAsZero) {
    Object().CallNumber(0, {Value::Text("COM1"), Value::Text("x")});
    EXPECT_EQ(serial().Last("SetupComm")->args, (std::vector<std::uint64_t>{0, 0}));
}

TEST_F(OpenCloseTest, SecondNewClosesThePortItStillHolds) {
    New("COM1");
    const serial::PortHandle first = Port().port;
    serial().calls.clear();
    New("COM1");
    EXPECT_EQ(serial().Ops().front(), "CloseHandle");
    EXPECT_EQ(serial().calls.front().port, first);
    EXPECT_EQ(serial().open.size(), 1u);
}

TEST_F(OpenCloseTest, ForgetClosesOnceAndAlwaysLeavesZero) {
    Open();
    const serial::PortHandle port = Port().port;
    EXPECT_EQ(Answer("forget"), Value::Integer(1));
    EXPECT_EQ(serial().Last("CloseHandle")->port, port);
    EXPECT_EQ(Port().port, nullptr);
    serial().calls.clear();
    EXPECT_EQ(Answer("forget"), Value::Integer(0));
    EXPECT_TRUE(serial().calls.empty());  // nothing to close
    EXPECT_EQ(Port().port, nullptr);
}

TEST_F(OpenCloseTest, ForgetAfterAFailedOpenCallsNothing) {
    New("missing");
    serial().calls.clear();
    EXPECT_EQ(Answer("forget"), Value::Integer(0));
    EXPECT_TRUE(serial().calls.empty());
    EXPECT_EQ(Port().port, nullptr);
}

TEST_F(OpenCloseTest, FailingCloseAnswersZeroAndStillForgets) {
    Open();
    serial().failing = {"CloseHandle"};
    EXPECT_EQ(Answer("forget"), Value::Integer(0));
    EXPECT_EQ(Port().port, nullptr);
}

TEST_F(OpenCloseTest, HostVersionIsReadOnEveryNewEvenWhenTheOpenFails) {
    const std::pair<const char*, double> cases[] = {
        {"8.5", 8.5},   {"7.0.2", 7.0}, {"10.0.1", 10.0}, {"", 0.0},
        {"  8.5", 8.5}, {"11", 11.0},   {"v8", 0.0},
    };
    for (const auto& [text, number] : cases) {
        host->SetVersion(text);
        New("missing");
        EXPECT_EQ(Port().hostVersion, number) << '"' << text << '"';
    }
    host->faults().failQueryInfo = true;
    New("missing");
    EXPECT_EQ(Port().hostVersion, 0.0);
}

}  // namespace
}  // namespace velmora::testing
