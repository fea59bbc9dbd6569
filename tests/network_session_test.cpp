// A port on a device server as a state machine, fed bytes as a server sends them: no
// sockets. What it sends back is read from its outbox.
#include "serial/network_session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "serial/com_port_option.h"
#include "serial/line_pacer.h"

namespace velmora::testing {
namespace {

using namespace velmora::serial;
using network::Session;

std::string Bytes(std::initializer_list<int> bytes) {
    std::string s;
    for (const int b : bytes) s += static_cast<char>(b);
    return s;
}
std::string Answer(int command, std::initializer_list<int> value) {
    std::string s = Bytes({255, 250, 44, command});
    for (const int v : value) s += (v == 255 ? Bytes({255, 255}) : Bytes({v}));
    return s + Bytes({255, 240});
}
const std::string kAgreed = Bytes({255, 253, 44, 255, 251, 0, 255, 253, 0});

void Feed(Session& s, const std::string& wire) {
    std::size_t at = 0;
    while (at < wire.size()) {
        std::size_t room = 0;
        std::uint8_t* space = s.ReceiveSpace(&room);
        const std::size_t n = std::min(room, wire.size() - at);
        ASSERT_GT(n, 0u) << "the input is full";
        std::copy_n(wire.data() + at, n, space);
        s.Received(n);
        at += n;
    }
}
std::string TakeOutgoing(Session& s) {
    std::string out(reinterpret_cast<const char*>(s.outgoing()), s.outgoingSize());
    s.Sent(out.size());
    return out;
}
std::string Read(Session& s) {
    std::string got(s.waiting(), '\0');
    s.Read(reinterpret_cast<std::uint8_t*>(got.data()), got.size());
    return got;
}

// A session opened against a server that answered every question.
Session Opened(std::uint32_t baud = 9600, int flow = 1) {
    Session s(network::Scheme::kRfc2217);
    s.Offer();
    Feed(s, kAgreed);
    s.AskEverything();
    Feed(s, Answer(101, {0, static_cast<int>(baud >> 16 & 255), static_cast<int>(baud >> 8 & 255),
                         static_cast<int>(baud & 255)}) +
                Answer(102, {8}) + Answer(103, {1}) + Answer(104, {1}) + Answer(105, {flow}) +
                Answer(105, {6}) + Answer(105, {8}) + Answer(105, {11}));
    EXPECT_FALSE(s.Awaiting(network::kLineSettings));
    s.Settle();
    TakeOutgoing(s);
    return s;
}

TEST(NetworkSessionTest, OptionsAreAgreedOnceAndWhatItDoesNotTakePartInIsRefusedOnce) {
    Session s(network::Scheme::kRfc2217);
    s.Offer();
    EXPECT_EQ(TakeOutgoing(s),
              Bytes({255, 251, 0, 255, 251, 3, 255, 251, 44, 255, 253, 0, 255, 253, 3}));
    // A server's greeting: its ECHO would bounce the port's output back as input.
    Feed(s, Bytes({255, 251, 3,   255, 253, 3,   255, 251, 1,   255, 254,
                   1,   255, 253, 0,   255, 251, 0,   255, 253, 44}));
    EXPECT_EQ(s.comPort(), Session::Agreement::kAgreed);
    EXPECT_EQ(TakeOutgoing(s), Bytes({255, 254, 1}));
    Feed(s, Bytes({255, 251, 1, 255, 253, 99, 255, 253, 99, 255, 253, 3}));
    EXPECT_EQ(TakeOutgoing(s), Bytes({255, 252, 99}));  // ECHO and SGA need no second answer

    Session refused(network::Scheme::kRfc2217);
    refused.Offer();
    Feed(refused, Bytes({255, 254, 44}));
    EXPECT_EQ(refused.comPort(), Session::Agreement::kRefused);
}

TEST(NetworkSessionTest, TheRecordIsWhatTheServerConfirmedAndGettersNeedNoQuestion) {
    Session s = Opened(115200, 3);
    Dcb d = s.State();
    EXPECT_EQ(d.BaudRate, 115200u);
    EXPECT_EQ(d.ByteSize, 8);
    EXPECT_EQ(d.Parity, kNoParity);
    EXPECT_TRUE(dcb::Has(d, dcb::kOutxCtsFlow));
    EXPECT_EQ(dcb::RtsControl(d), dcb::kControlHandshake);
    EXPECT_EQ(s.outgoingSize(), 0u);
    // A later notice of the server's own changes shows at once.
    Feed(s, Answer(102, {7}) + Answer(103, {3}) + Answer(104, {2}));
    d = s.State();
    EXPECT_EQ(d.ByteSize, 7);
    EXPECT_EQ(d.Parity, kEvenParity);
    EXPECT_EQ(d.StopBits, kTwoStopBits);
}

TEST(NetworkSessionTest, AChangeAsksForWhatDiffersAndIsConfirmedOnlyAsAsked) {
    Session s = Opened();
    Dcb wanted = s.State();
    wanted.BaudRate = 19200;
    wanted.Parity = kOddParity;
    Session::Plan plan;
    ASSERT_TRUE(s.PlanChange(wanted, &plan));
    ASSERT_TRUE(s.Ask(plan));
    EXPECT_EQ(TakeOutgoing(s), Answer(1, {0, 0, 0x4B, 0}) + Answer(3, {2}));
    EXPECT_TRUE(s.Awaiting(plan));
    // The server keeps 9600 and takes the parity: not confirmed, and the undo asks for
    // the parity back alone.
    Feed(s, Answer(101, {0, 0, 0x25, 0x80}) + Answer(103, {2}));
    EXPECT_FALSE(s.Awaiting(plan));
    EXPECT_FALSE(s.Confirmed(plan));
    const Session::Plan undo = s.Undo(plan);
    ASSERT_EQ(undo.size, 1u);
    EXPECT_EQ(undo.items[0].setting, network::kParity);
    EXPECT_EQ(undo.items[0].value, 1u);

    Session::Plan none;
    ASSERT_TRUE(s.PlanChange(s.State(), &none));
    EXPECT_EQ(none.size, 0u);  // nothing changes: no round trip
}

TEST(NetworkSessionTest, RecordsNoPortCouldTakeAreRefusedBeforeAnythingIsSent) {
    Session s = Opened();
    const Dcb now = s.State();
    Session::Plan plan;
    const auto refused = [&](auto change) {
        Dcb d = now;
        change(d);
        return !s.PlanChange(d, &plan);
    };
    EXPECT_TRUE(refused([](Dcb& d) { d.BaudRate = 0; }));
    EXPECT_TRUE(refused([](Dcb& d) { d.ByteSize = 9; }));
    EXPECT_TRUE(refused([](Dcb& d) { d.Parity = 5; }));
    EXPECT_TRUE(refused([](Dcb& d) { d.StopBits = kOne5StopBits; }));  // not with 8 data bits
    EXPECT_TRUE(refused([](Dcb& d) { dcb::SetDtrControl(d, dcb::kControlHandshake); }));
    EXPECT_TRUE(refused([](Dcb& d) {  // one flow-control value on the wire
        dcb::Put(d, dcb::kOutX, true);
        dcb::Put(d, dcb::kOutxCtsFlow, true);
    }));
    EXPECT_TRUE(refused([](Dcb& d) { dcb::SetRtsControl(d, dcb::kControlHandshake); }));
    EXPECT_EQ(s.outgoingSize(), 0u);
}

// ser2net on a pseudo-terminal answers "what is DTR?" with the question itself: DTR is
// then kept locally, as on a port without the line, and never sent.
TEST(NetworkSessionTest, ALineTheServerDoesNotReportIsNeverSent) {
    Session s(network::Scheme::kRfc2217);
    s.Offer();
    Feed(s, kAgreed);
    s.AskEverything();
    Feed(s, Answer(101, {0, 0, 0x25, 0x80}) + Answer(102, {8}) + Answer(103, {1}) +
                Answer(104, {1}) + Answer(105, {1}) + Answer(105, {5}) + Answer(105, {7}) +
                Answer(105, {10}));
    s.Settle();
    EXPECT_FALSE(s.Reports(network::kDtr));
    EXPECT_FALSE(s.Reports(network::kRts));
    EXPECT_TRUE(s.Reports(network::kBreak));
    Dcb d = s.State();
    dcb::SetDtrControl(d, dcb::kControlDisable);
    dcb::SetRtsControl(d, dcb::kControlDisable);
    Session::Plan plan;
    ASSERT_TRUE(s.PlanChange(d, &plan));
    EXPECT_EQ(plan.size, 0u);
}

TEST(NetworkSessionTest, LineStateNoticesBecomeTheLocalErrorFlagsOnce) {
    Session s = Opened();
    Feed(s, Answer(106, {0x02 | 0x04}) + Answer(106, {0x08 | 0x10 | 0x01 | 0x60}));
    EXPECT_EQ(s.TakeErrors(), kCeOverrun | kCeRxParity | kCeFrame | kCeBreak);
    EXPECT_EQ(s.TakeErrors(), 0u);
    // Parity errors count only where the record asks for parity checking.
    Dcb d = s.State();
    dcb::Put(d, dcb::kParity, false);
    s.Commit(d);
    Feed(s, Answer(106, {0x04}));
    EXPECT_EQ(s.TakeErrors(), 0u);
}

TEST(NetworkSessionTest, OutputWaitsForTheInputsTheHandshakesNameAndForTheServersSuspend) {
    Session s = Opened(9600, 3);   // hardware flow: the CTS wait
    EXPECT_FALSE(s.OutputHeld());  // no modem state reported yet: nothing to wait for
    Feed(s, Answer(107, {0x20}));  // DSR up, CTS down
    EXPECT_TRUE(s.OutputHeld());
    Feed(s, Answer(107, {0x31}));
    EXPECT_FALSE(s.OutputHeld());
    Feed(s, Answer(108, {}));
    EXPECT_TRUE(s.OutputHeld());
    Feed(s, Answer(109, {}));
    EXPECT_FALSE(s.OutputHeld());
    s.SetXoffHold(true);
    EXPECT_TRUE(s.OutputHeld());
    EXPECT_EQ(s.HoldFlags(), 8u);
}

TEST(NetworkSessionTest, AFullInputLosesDataAsAnOverflowButStillHearsTheServer) {
    Session s = Opened();
    Feed(s, std::string(Session::kInputCapacity, 'x'));
    std::size_t room = 1;
    s.ReceiveSpace(&room);
    EXPECT_EQ(room, 0u);
    std::string more = "lost" + Answer(106, {0x08});
    s.ReceivedBeyondRoom(reinterpret_cast<std::uint8_t*>(more.data()), more.size());
    EXPECT_EQ(s.waiting(), Session::kInputCapacity);
    EXPECT_EQ(s.TakeErrors(), kCeRxOver | kCeFrame);
}

TEST(NetworkSessionTest, APurgeDropsWhatTheServerSentBeforeItsAnswer) {
    Session s = Opened();
    Feed(s, "old");
    s.DiscardInput();
    ASSERT_TRUE(s.AskPurge(rfc2217::kPurgeBoth));
    EXPECT_EQ(TakeOutgoing(s), Answer(12, {3}));
    Feed(s, "in flight" + Answer(112, {3}) + "new");
    EXPECT_EQ(Read(s), "new");
    EXPECT_FALSE(s.Awaiting(network::Bit(network::kPurge)));
}

TEST(NetworkSessionTest, APlainStreamIsAllDataAndItsRecordIsItsOwn) {
    Session s(network::Scheme::kSocket);
    s.Offer();
    s.AskEverything();
    EXPECT_EQ(s.outgoingSize(), 0u);
    Feed(s, Bytes({255, 253, 44, 13, 0}));
    EXPECT_EQ(Read(s), Bytes({255, 253, 44, 13, 0}));
    Dcb d = s.State();
    d.BaudRate = 300;
    d.ByteSize = 7;
    Session::Plan plan;
    ASSERT_TRUE(s.PlanChange(d, &plan));
    EXPECT_EQ(plan.size, 0u);
    EXPECT_EQ(s.NanosPerByte(), 0);
}

TEST(LinePacerTest, BookingsRunAheadOfTheLineByTheLeadAndNoMore) {
    Session s = Opened(9600);
    network::LinePacer pacer;
    pacer.SetNanosPerByte(s.NanosPerByte());  // 8N1: 10 bits, 1041666 ns a byte
    EXPECT_EQ(s.NanosPerByte(), 1'041'666);
    EXPECT_EQ(pacer.leadBytes(), 64);
    Micros now = 1'000'000;
    EXPECT_EQ(pacer.Allowed(now, 1000), 64u);
    pacer.Spent(now, 64);
    EXPECT_EQ(pacer.Allowed(now, 1000), 0u);
    // A tenth of a second later the line has sent 96 bytes: as many may follow.
    now += 100'000;
    EXPECT_EQ(pacer.Allowed(now, 1000), 64u);
    EXPECT_LE(pacer.When(now, 10), now);
    pacer.Spent(now, 64);
    EXPECT_GT(pacer.When(now, 10), now);
    EXPECT_LE(pacer.When(now, 10), now + 11'000);
}

}  // namespace
}  // namespace velmora::testing
