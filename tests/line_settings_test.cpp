// Methods 4 to 18 over the fake serial layer.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/support/host_fixture.h"

namespace velmora::testing {
namespace {

using serial::Dcb;
namespace dcb = serial::dcb;

class LineSettingsTest : public HostTest {
  protected:
    void SetUp() override {
        HostTest::SetUp();
        Open();
    }
    Value Set(const std::string& method, std::int32_t value) {
        return Answer(method, {Value::Integer(value)});
    }
};

TEST_F(LineSettingsTest, GettersAnswerTheFieldsOfTheCurrentRecord) {
    Dcb& d = serial().dcb;
    d.BaudRate = 0xFFFFFFF0u;
    d.ByteSize = 200;
    d.StopBits = 2;
    d.Parity = 4;
    d.flags = dcb::kOutxCtsFlow;
    EXPECT_EQ(Answer("GetCommBaudRate"), Value::Integer(-16));
    EXPECT_EQ(Answer("GetCommDataBits"), Value::Integer(200));  // unsigned byte
    EXPECT_EQ(Answer("GetCommStopBits"), Value::Integer(2));
    EXPECT_EQ(Answer("GetCommParity"), Value::Integer(4));
    EXPECT_EQ(Answer("GetCommCTS"), Value::Integer(1));
    EXPECT_EQ(Answer("GetCommDSR"), Value::Integer(0));
    d.flags = ~dcb::kOutxCtsFlow;
    EXPECT_EQ(Answer("GetCommCTS"), Value::Integer(0));
    EXPECT_EQ(Answer("GetCommDSR"), Value::Integer(1));
}

TEST_F(LineSettingsTest, SettersStoreTheirReductionAndKeepEverythingElse) {
    struct Case {
        const char* method;
        std::int32_t value;
        void (*check)(const Dcb&);
    };
    const Case cases[] = {
        {"SetCommBaudRate", -1, [](const Dcb& d) { EXPECT_EQ(d.BaudRate, 0xFFFFFFFFu); }},
        {"SetCommDataBits", 264, [](const Dcb& d) { EXPECT_EQ(d.ByteSize, 8); }},
        {"SetCommDataBits", -1, [](const Dcb& d) { EXPECT_EQ(d.ByteSize, 255); }},
        {"SetCommStopBits", 0x102, [](const Dcb& d) { EXPECT_EQ(d.StopBits, 2); }},
        {"SetCommParity", 2, [](const Dcb& d) { EXPECT_EQ(d.Parity, 2); }},
        {"SetCommCTS", 2, [](const Dcb& d) { EXPECT_FALSE(dcb::Has(d, dcb::kOutxCtsFlow)); }},
        {"SetCommCTS", -1, [](const Dcb& d) { EXPECT_TRUE(dcb::Has(d, dcb::kOutxCtsFlow)); }},
        {"SetCommCTS", 3, [](const Dcb& d) { EXPECT_TRUE(dcb::Has(d, dcb::kOutxCtsFlow)); }},
        {"SetCommDSR", 2, [](const Dcb& d) { EXPECT_FALSE(dcb::Has(d, dcb::kOutxDsrFlow)); }},
        {"SetCommDSR", 3, [](const Dcb& d) { EXPECT_TRUE(dcb::Has(d, dcb::kOutxDsrFlow)); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + std::to_string(c.value));
        for (const std::uint32_t fill : {0u, 0xFFFFFFFFu}) {
            Dcb before{};
            std::memset(&before, static_cast<int>(fill & 0xFF), sizeof before);
            before.flags = fill;
            serial().dcb = before;
            EXPECT_EQ(Set(c.method, c.value), Value::Integer(1));
            const Dcb& after = serial().dcb;
            c.check(after);
            // Nothing else moved.
            EXPECT_EQ(after.XonLim, before.XonLim);
            EXPECT_EQ(after.XonChar, before.XonChar);
            EXPECT_EQ(after.EvtChar, before.EvtChar);
            EXPECT_EQ(after.flags & ~(dcb::kOutxCtsFlow | dcb::kOutxDsrFlow),
                      before.flags & ~(dcb::kOutxCtsFlow | dcb::kOutxDsrFlow));
        }
    }
}

TEST_F(LineSettingsTest, SetParityLeavesParityCheckingAlone) {
    serial().dcb.flags = 0;
    Set("SetCommParity", 2);
    EXPECT_FALSE(dcb::Has(serial().dcb, dcb::kParity));
    serial().dcb.flags = dcb::kParity;
    Set("SetCommParity", 0);
    EXPECT_TRUE(dcb::Has(serial().dcb, dcb::kParity));
}

TEST_F(LineSettingsTest, SettersConvertFirstThenReadThenWrite) {
    Set("SetCommBaudRate", 9600);
    EXPECT_EQ(serial().Ops(), (std::vector<std::string>{"GetCommState", "SetCommState"}));
}

TEST_F(LineSettingsTest, SetterAnswersTheDevicesVerdict) {
    serial().failing = {"SetCommState"};
    EXPECT_EQ(Set("SetCommDataBits", 7), Value::Integer(0));
}

TEST_F(LineSettingsTest, UnreadableSettingsAnswerZeroAndWriteNothing) {
    serial().failing = {"GetCommState"};
    for (const char* getter : {"GetCommBaudRate", "GetCommDataBits", "GetCommStopBits",
                               "GetCommParity", "GetCommCTS", "GetCommDSR"}) {
        EXPECT_EQ(Answer(getter), Value::Integer(0)) << getter;
    }
    for (const char* setter : {"SetCommBaudRate", "SetCommDataBits", "SetCommStopBits",
                               "SetCommParity", "SetCommCTS", "SetCommDSR", "SetCommFlowControl"}) {
        EXPECT_EQ(Set(setter, 1), Value::Integer(0)) << setter;
    }
    EXPECT_EQ(serial().Count("SetCommState"), 0);
}

TEST_F(LineSettingsTest, FlowControlSchemesSetAllSixFields) {
    struct Scheme {
        std::int32_t type;
        bool cts, dsr;
        std::uint32_t dtr, rts;
        bool outX, inX;
    };
    const Scheme schemes[] = {
        {0, false, false, 0, 0, false, false},
        {1, true, true, 1, 2, false, false},
        {2, false, false, 0, 0, true, true},
    };
    for (const Scheme& s : schemes) {
        for (const std::uint32_t fill : {0u, 0xFFFFFFFFu}) {
            serial().dcb.flags = fill;
            EXPECT_EQ(Set("SetCommFlowControl", s.type), Value::Integer(1));
            const Dcb& d = serial().dcb;
            EXPECT_EQ(dcb::Has(d, dcb::kOutxCtsFlow), s.cts) << s.type;
            EXPECT_EQ(dcb::Has(d, dcb::kOutxDsrFlow), s.dsr) << s.type;
            EXPECT_EQ(dcb::DtrControl(d), s.dtr) << s.type;
            EXPECT_EQ(dcb::RtsControl(d), s.rts) << s.type;
            EXPECT_EQ(dcb::Has(d, dcb::kOutX), s.outX) << s.type;
            EXPECT_EQ(dcb::Has(d, dcb::kInX), s.inX) << s.type;
            EXPECT_EQ(d.flags & ~dcb::kHandshakeFields, fill & ~dcb::kHandshakeFields);
            EXPECT_EQ(Answer("GetCommCTS"), Value::Integer(s.cts));
            EXPECT_EQ(Answer("GetCommDSR"), Value::Integer(s.dsr));
        }
    }
}

TEST_F(LineSettingsTest, FlowControlOutOfRangeReadsButWritesNothing) {
    for (const std::int32_t type : {3, -1}) {
        serial().calls.clear();
        EXPECT_EQ(Set("SetCommFlowControl", type), Value::Integer(0));
        EXPECT_EQ(serial().Ops(), std::vector<std::string>{"GetCommState"});
    }
}

TEST_F(LineSettingsTest, TimeOutFillsTheWholeRecord) {
    EXPECT_EQ(Set("SetCommTimeOut", 250), Value::Integer(1));
    EXPECT_EQ(serial().Last("SetCommTimeouts")->args,
              (std::vector<std::uint64_t>{0, 0, 250, 0, 250}));
    Set("SetCommTimeOut", 0);
    EXPECT_EQ(serial().Last("SetCommTimeouts")->args, (std::vector<std::uint64_t>{0, 0, 0, 0, 0}));
    Set("SetCommTimeOut", -1);
    EXPECT_EQ(serial().Last("SetCommTimeouts")->args,
              (std::vector<std::uint64_t>{0, 0, 4294967295u, 0, 4294967295u}));
    serial().failing = {"SetCommTimeouts"};
    EXPECT_EQ(Set("SetCommTimeOut", 5), Value::Integer(0));
}

TEST_F(LineSettingsTest, EscapeFunctionsMapToPlatformCodes) {
    const std::uint64_t codes[] = {6, 5, 4, 3, 2, 1, 9, 8};
    for (std::int32_t function = 1; function <= 8; ++function) {
        EXPECT_EQ(Set("EscapeComm", function), Value::Integer(1));
        EXPECT_EQ(serial().Last("EscapeCommFunction")->args,
                  std::vector<std::uint64_t>{codes[function - 1]});
    }
    serial().calls.clear();
    for (const std::int32_t function : {0, 9, -1, 7 + 256}) {
        EXPECT_EQ(Set("EscapeComm", function), Value::Integer(0));
    }
    EXPECT_TRUE(serial().calls.empty());
    serial().failing = {"EscapeCommFunction"};
    EXPECT_EQ(Set("EscapeComm", 8), Value::Integer(0));
}

TEST_F(LineSettingsTest, EverythingAnswersZeroAfterForget) {
    Answer("forget");
    for (std::int32_t number = 4; number <= 18; ++number) {
        EXPECT_EQ(Object().CallNumber(number, {Value::Integer(1)}).result, Value::Integer(0))
            << number;
    }
}

}  // namespace
}  // namespace velmora::testing
