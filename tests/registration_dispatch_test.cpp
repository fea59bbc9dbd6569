// The message table, registration, the port instance and RunMethod's dispatch.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

#include "extension/class_ids.h"
#include "extension/message_table.h"
#include "host/interface_ids.h"
#include "tests/support/host_fixture.h"

namespace velmora::testing {
namespace {

TEST(MessageTableTest, HasTwentyFiveLinesEndedByOneLineFeedEach) {
    const std::string text = kMessageTable;
    EXPECT_EQ(text.find('\r'), std::string::npos);
    ASSERT_EQ(text.back(), '\n');
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 25u);
    EXPECT_EQ(lines[0], "xtra Velmora");
    EXPECT_EQ(lines[1], "");
    EXPECT_EQ(lines[2].rfind("-- ", 0), 0u);
    EXPECT_EQ(lines[3], "");
    const char* declarations[] = {
        "new object me, string CommName, integer InQueue, integer OutQueue",
        "forget object me",
        "WriteComm object me, string Data",
        "ReadComm object me",
        "GetCommBaudRate object me",
        "SetCommBaudRate object me, integer BaudRate",
        "GetCommDataBits object me",
        "SetCommDataBits object me, integer DataBits",
        "GetCommStopBits object me",
        "SetCommStopBits object me, integer StopBits",
        "GetCommParity object me",
        "SetCommParity object me, integer Parity",
        "GetCommCTS object me",
        "SetCommCTS object me, integer CTS",
        "GetCommDSR object me",
        "SetCommDSR object me, integer DSR",
        "SetCommFlowControl object me, integer Type",
        "SetCommTimeOut object me, integer TimeOut",
        "EscapeComm object me, integer Function",
        "FlushComm object me",
        "GetCommError object me",
    };
    for (int i = 0; i < 21; ++i) EXPECT_EQ(lines[4 + i], declarations[i]) << "method " << i;
}

class RegistrationTest : public HostTest {};

TEST_F(RegistrationTest, HostReadsNameAndMethodNumbersFromTheRegisteredTable) {
    EXPECT_EQ(host->messageTableText(), kMessageTable);
    const minihost::MessageTable& table = host->table();
    EXPECT_EQ(table.extension, "Velmora");
    ASSERT_EQ(table.methods.size(), 21u);
    EXPECT_EQ(table.Find("new")->number, 0);
    EXPECT_EQ(table.Find("SetCommBaudRate")->number, 5);
    EXPECT_EQ(table.Find("GetCommError")->number, 20);
    ASSERT_EQ(table.Find("new")->params.size(), 3u);
    EXPECT_EQ(table.Find("new")->params[0].type, minihost::ParamDecl::Type::kString);
    EXPECT_EQ(table.Find("new")->params[2].name, "OutQueue");
}

TEST_F(RegistrationTest, AddEntryFailurePassesBackAndPutsNothing) {
    minihost::Host fresh(LinkedModule());
    fresh.faults().addEntryStatus = Status{0x0BAD};
    std::string error;
    EXPECT_EQ(fresh.Register(&error), Status{0x0BAD});
    EXPECT_EQ(fresh.messageTableText(), "");  // PutEntry never ran
    EXPECT_TRUE(fresh.accounting().Clean());
}

TEST_F(RegistrationTest, PutEntryStatusPassesBack) {
    minihost::Host fresh(LinkedModule());
    fresh.faults().putEntryStatus = Status{0x0FEE};
    std::string error;
    EXPECT_EQ(fresh.Register(&error), Status{0x0FEE});
    EXPECT_TRUE(fresh.accounting().Clean());
}

TEST_F(RegistrationTest, CreateFailsWithoutEitherService) {
    for (const Guid& refused : {kIidValueService, kIidHandleService}) {
        host->faults().refusedServices = {refused};
        Status status = kOk;
        EXPECT_EQ(host->NewObject(&status), nullptr);
        EXPECT_EQ(status, ErrNoInterface);
    }
    // A value service obtained before the handle service failed stays with the failed
    // instance: one reference the host sees outstanding.
    EXPECT_EQ(host->accounting().serviceRefs, 1);
    host = std::make_unique<minihost::Host>(LinkedModule());
    std::string error;
    ASSERT_EQ(host->Register(&error), kOk);
}

TEST_F(RegistrationTest, CreateStartsClosedAndDestroyReleasesBothServices) {
    EXPECT_EQ(Port().port, nullptr);
    EXPECT_EQ(Port().hostVersion, 0.0);
    EXPECT_EQ(host->accounting().serviceRefs, 2);
    object.reset();
    EXPECT_EQ(host->accounting().serviceRefs, 0);
}

TEST_F(RegistrationTest, DestroyClosesAPortStillOpen) {
    Open();
    object.reset();
    EXPECT_EQ(serial().Ops(), std::vector<std::string>{"CloseHandle"});
    EXPECT_TRUE(serial().open.empty());
}

TEST_F(RegistrationTest, EveryMethodButNewPresetsTheIntegerZero) {
    // On a closed port no method finds anything else to report.
    for (std::int32_t number = 1; number <= 20; ++number) {
        const auto outcome = Object().CallNumber(number, {}, Value::Integer(77));
        EXPECT_EQ(outcome.status, kOk) << number;
        EXPECT_EQ(outcome.result, Value::Integer(0)) << number;
    }
}

TEST_F(RegistrationTest, NewLeavesTheResultAsTheHostGaveIt) {
    const auto outcome = Object().CallNumber(
        0, {Value::Text("COM1"), Value::Integer(16), Value::Integer(16)}, Value::Integer(77));
    EXPECT_EQ(outcome.result, Value::Integer(77));
    const auto text = Object().CallNumber(
        0, {Value::Text("COM1"), Value::Integer(16), Value::Integer(16)}, Value::Text("kept"));
    EXPECT_EQ(text.result, Value::Text("kept"));
}

TEST_F(RegistrationTest, NumbersOutsideTheTableAnswerZeroAndCallNothing) {
    Open();
    for (const std::int32_t number : {21, 22, 1000, -1, INT32_MIN}) {
        const auto outcome = Object().CallNumber(number, {}, Value::Text("preset"));
        EXPECT_EQ(outcome.status, kOk);
        EXPECT_EQ(outcome.result, Value::Integer(0));
    }
    EXPECT_TRUE(serial().calls.empty());
}

TEST_F(RegistrationTest, MalformedCallsNeverReachTheModule) {
    EXPECT_FALSE(Object().Call("NoSuchMethod").called());
    EXPECT_FALSE(Object().Call("SetCommBaudRate").called());
    EXPECT_FALSE(Object().Call("SetCommBaudRate", {Value::Text("9600")}).called());
    EXPECT_FALSE(Object().Call("forget", {Value::Integer(1)}).called());
    EXPECT_TRUE(serial().calls.empty());
}

}  // namespace
}  // namespace velmora::testing
