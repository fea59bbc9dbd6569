// WriteComm, ReadComm, FlushComm and GetCommError over the fake serial layer.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>

#include "tests/support/host_fixture.h"

namespace velmora::testing {
namespace {

class TransferTest : public HostTest {};

TEST_F(TransferTest, WriteSendsEveryByteAsItStands) {
    Open();
    const std::string data("AT\r\n\0\xFF\x7F end", 11);
    EXPECT_EQ(Answer("WriteComm", {Value::Text(data)}), Value::Integer(11));
    EXPECT_EQ(serial().written, data);
    EXPECT_EQ(Answer("WriteComm", {Value::Text("")}), Value::Integer(0));
    EXPECT_EQ(serial().Last("WriteFile")->args, std::vector<std::uint64_t>{0});
}

TEST_F(TransferTest, WriteAnswersTheCountTheDeviceTook) {
    Open();
    serial().writeLimit = 3;
    EXPECT_EQ(Answer("WriteComm", {Value::Text("abcdef")}), Value::Integer(3));
    serial().failing = {"WriteFile"};
    EXPECT_EQ(Answer("WriteComm", {Value::Text("abcdef")}), Value::Integer(0));
}

TEST_F(TransferTest, HostsFrom85MeasureTheTextThemselves) {
    host->SetVersion("8.5");
    Open();
    const std::string data("a\0b", 3);
    EXPECT_EQ(Answer("WriteComm", {Value::Text(data)}), Value::Integer(3));
    EXPECT_EQ(serial().written, data);
    host->faults().negativeTextLength = true;  // the module counts up to the first NUL
    EXPECT_EQ(Answer("WriteComm", {Value::Text(data)}), Value::Integer(1));
    // Nothing delivered: the text is not measured, so none of it goes out.
    host->faults().failTextLength = true;
    EXPECT_EQ(Answer("WriteComm", {Value::Text("xyz")}), Value::Integer(0));
    EXPECT_EQ(serial().Last("WriteFile")->args, std::vector<std::uint64_t>{0});
}

TEST_F(TransferTest, OldHostsHandleSizesBelowOneCountToTheFirstNul) {
    host->SetVersion("8.4");
    Open();
    const std::string data("a\0b", 3);
    host->faults().oddHandleSize = true;
    for (const std::int32_t size : {0, -1, INT32_MIN}) {
        host->faults().handleSizeAnswer = size;
        EXPECT_EQ(Answer("WriteComm", {Value::Text(data)}), Value::Integer(1)) << size;
        EXPECT_EQ(serial().Last("WriteFile")->text, "a") << size;
    }
}

TEST_F(TransferTest, AVersionTooLargeForADoubleIsANewHost) {
    host->SetVersion("1e400");
    Open();
    EXPECT_EQ(Answer("WriteComm", {Value::Text(std::string("a\0b", 3))}), Value::Integer(3));
    EXPECT_EQ(Port().hostVersion, HUGE_VAL);
}

TEST_F(TransferTest, OlderHostsMeasureByTheTextHandle) {
    for (const char* version : {"8.4", "7.0.2"}) {
        host->SetVersion(version);
        Open();
        const std::string data("a\0b", 3);
        serial().written.clear();
        EXPECT_EQ(Answer("WriteComm", {Value::Text(data)}), Value::Integer(3)) << version;
        EXPECT_EQ(serial().written, data);
    }
}

TEST_F(TransferTest, WriteToAPortNotOpenLocksNothing) {
    EXPECT_EQ(Answer("WriteComm", {Value::Text("x")}), Value::Integer(0));
    Answer("new", {Value::Text("missing"), Value::Integer(1), Value::Integer(1)});
    EXPECT_EQ(Answer("WriteComm", {Value::Text("x")}), Value::Integer(0));
    EXPECT_EQ(serial().Count("WriteFile"), 0);
}

TEST_F(TransferTest, WriteWithAFailedLockWritesNothing) {
    Open();
    host->faults().lockTextGivesNull = true;
    EXPECT_EQ(Answer("WriteComm", {Value::Text("x")}), Value::Integer(0));
    host->faults().lockTextGivesNull = false;
    EXPECT_EQ(Object().CallNumber(2, {Value::Integer(5)}).result, Value::Integer(0));
    EXPECT_EQ(serial().Count("WriteFile"), 0);
}

TEST_F(TransferTest, ReadAnswersExactlyTheBytesWaiting) {
    Open();
    EXPECT_EQ(Answer("ReadComm"), Value::Text(""));  // an empty text, not 0
    const std::string data("\0\x01\xFEhello\r\n\xFF", 10);
    serial().input = data;
    EXPECT_EQ(Answer("ReadComm"), Value::Text(data));
    EXPECT_EQ(serial().Last("ReadFile")->args, std::vector<std::uint64_t>{10});
    EXPECT_EQ(serial().Ops(), (std::vector<std::string>{"ClearCommError", "ReadFile",
                                                        "ClearCommError", "ReadFile"}));
}

TEST_F(TransferTest, ShortReadKeepsEveryByteReadAndItsClosingZero) {
    Open();
    serial().input = "abcdef";
    serial().readLimit = 4;
    // The host's text rule: size = length + 1 with a closing 0 (checked by the host).
    EXPECT_EQ(Answer("ReadComm"), Value::Text("abcd"));
    serial().readLimit = 0;
    EXPECT_EQ(Answer("ReadComm"), Value::Text(""));
}

TEST_F(TransferTest, ReadFailuresAnswerZeroAndLeaveNoHandle) {
    Open();
    serial().input = "abc";
    serial().failing = {"ReadFile"};
    EXPECT_EQ(Answer("ReadComm"), Value::Integer(0));
    serial().failing = {"ClearCommError"};
    EXPECT_EQ(Answer("ReadComm"), Value::Integer(0));
    serial().failing.clear();
    host->faults().failAllocHandle = true;
    EXPECT_EQ(Answer("ReadComm"), Value::Integer(0));
    EXPECT_EQ(host->accounting().liveHandles, 0);
}

// The host checks its text rule (size = length + 1, last byte 0) on every handle it
// receives; the fixture fails the test on any handle handed over that breaks it.
TEST_F(TransferTest, AHandleWhoseReadFailedReachesTheHostAsAnEmptyText) {
    Open();
    serial().input = "abc";
    serial().failing = {"ReadFile"};
    EXPECT_EQ(Answer("ReadComm"), Value::Integer(0));
    EXPECT_EQ(host->accounting().liveHandles, 0);
}

// A refused lock leaves nothing behind: the block goes back to the host as an empty
// text. Only a host that refuses to lock even one byte keeps the block it made.
TEST_F(TransferTest, AHandleThatCannotBeLockedGoesBackToTheHost) {
    Open();
    serial().input = "abc";
    host->faults().failLockHandle = 1;
    EXPECT_EQ(Answer("ReadComm"), Value::Integer(0));
    EXPECT_EQ(serial().Count("ReadFile"), 0);
    EXPECT_EQ(host->accounting().liveHandles, 0);
    EXPECT_EQ(Answer("ReadComm"), Value::Text("abc")) << "the bytes wait for the next call";

    serial().input = "def";
    host->faults().failLockHandle = -1;
    EXPECT_EQ(Answer("ReadComm"), Value::Integer(0));
    host->faults().failLockHandle = 0;
    EXPECT_EQ(host->ReclaimAbandonedHandles(), 1);
}

TEST_F(TransferTest, WaitingCountTooLargeForAHandleReadsNothing) {
    Open();
    serial().reportedWaiting = 0x7FFFFFFF;
    EXPECT_EQ(Answer("ReadComm"), Value::Integer(0));
    EXPECT_EQ(serial().Count("ReadFile"), 0);
}

TEST_F(TransferTest, FlushAnswersOneOnSuccess) {
    Open();
    EXPECT_EQ(Answer("FlushComm"), Value::Integer(1));
    serial().failing = {"FlushFileBuffers"};
    EXPECT_EQ(Answer("FlushComm"), Value::Integer(0));
}

TEST_F(TransferTest, ErrorCodesFollowTheirOrderNotTheirBits) {
    Open();
    const std::pair<std::uint32_t, std::int32_t> cases[] = {
        {serial::kCeRxOver | serial::kCeFrame, -1},
        {serial::kCeOverrun | serial::kCeRxParity, -2},
        {serial::kCeOverrun | serial::kCeFrame | serial::kCeBreak, -3},
        {serial::kCeFrame | serial::kCeBreak, -4},
        {serial::kCeBreak, -5},
        {serial::kCeTxFull, 0},
        {0x1F, -1},
    };
    for (const auto& [flags, code] : cases) {
        serial().errors = flags;
        EXPECT_EQ(Answer("GetCommError"), Value::Integer(code)) << std::hex << flags;
        EXPECT_EQ(Answer("GetCommError"), Value::Integer(0));  // reported once
    }
    EXPECT_EQ(serial().Last("ClearCommError")->args, std::vector<std::uint64_t>{0});
}

TEST_F(TransferTest, ReadClearsErrorsBeforeGetCommErrorSeesThem) {
    Open();
    serial().errors = serial::kCeFrame;
    Answer("ReadComm");
    EXPECT_EQ(Answer("GetCommError"), Value::Integer(0));
}

TEST_F(TransferTest, AllFourAnswerZeroOnAClosedOrFailedPort) {
    Answer("new", {Value::Text("missing"), Value::Integer(1), Value::Integer(1)});
    for (int round = 0; round < 2; ++round) {
        serial().errors = serial::kCeBreak;
        EXPECT_EQ(Answer("WriteComm", {Value::Text("x")}), Value::Integer(0));
        EXPECT_EQ(Answer("ReadComm"), Value::Integer(0));
        EXPECT_EQ(Answer("FlushComm"), Value::Integer(0));
        EXPECT_EQ(Answer("GetCommError"), Value::Integer(0));
        Open();
        Answer("forget");
    }
}

}  // namespace
}  // namespace velmora::testing
