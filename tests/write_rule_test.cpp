// The write rule's decisions on models of a UART and of a USB adapter on a virtual clock:
// which bytes a write counts, which it takes back, and when it returns, with the line
// flowing, held by the device, released, unplugged, or gone.
#include "serial/write_rule.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "tests/support/model_line.h"

namespace velmora::testing {
namespace {

using namespace velmora::serial;

class WriteRuleTest : public ::testing::Test {
  protected:
    WriteOutcome Write(ModelLine& line, const std::string& text, std::uint64_t timeoutMs,
                       std::int64_t nanosPerByte) {
        return WriteThroughDriver(line, line.rule(), pace,
                                  reinterpret_cast<const unsigned char*>(text.data()),
                                  static_cast<std::uint32_t>(text.size()), timeoutMs, nanosPerByte);
    }
    LinePace pace;
};

// --- a driver that takes bytes back (a UART) ---------------------------------------------

using UartWriteRuleTest = WriteRuleTest;

TEST_F(UartWriteRuleTest, ADeviceThatKeepsUpHasEveryByteCountedOnceItHasLeft) {
    ModelLine uart(k115200);
    const std::string text = Text(64);
    const WriteOutcome out = Write(uart, text, 300, k115200);
    EXPECT_TRUE(out.ok);
    EXPECT_EQ(out.sent, 64u);
    // Returns about when the last byte has left the queue, not at the time-out, and
    // asks little.
    EXPECT_GE(uart.Now(), (64 - 16) * k115200 / 1000);
    EXPECT_LT(uart.Now(), 64 * k115200 / 1000 + 2 * kMs);
    EXPECT_LE(uart.queries, 8);
    uart.Sleep(10 * kMs);
    EXPECT_EQ(uart.wire, text);
}

TEST_F(UartWriteRuleTest, OutputHeldThroughoutIsNeitherCountedNorSentLater) {
    ModelLine uart(k115200);
    uart.HoldFrom(0);
    const WriteOutcome out = Write(uart, Text(8192), 300, k115200);
    EXPECT_TRUE(out.ok) << "a time-out is not a failure";
    EXPECT_EQ(out.sent, 0u);
    EXPECT_GE(uart.Now(), 300 * kMs);
    EXPECT_LT(uart.Now(), 301 * kMs);
    EXPECT_TRUE(uart.queue.empty()) << "what did not leave is taken back";
    EXPECT_FALSE(uart.discarded.empty());
    uart.ReleaseAt(uart.Now());
    uart.Sleep(1000 * kMs);
    EXPECT_EQ(uart.wire, "") << "nothing uncounted goes out later";
}

// What the transmitter loads between the last look at the queue and the drop goes out:
// the transmit counter has it counted, however slow the drop. Without a counter the
// count misses what is loaded in that moment: a FIFO's load at most, for a quick drop.
TEST_F(UartWriteRuleTest, WhatLeftBeforeTheHoldOrAfterTheReleaseIsCountedExactly) {
    for (const bool counted : {true, false}) {
        for (const auto& [holdAt, releaseAt] : std::vector<std::pair<Micros, Micros>>{
                 {20 * kMs, 1000 * kMs}, {0, 100 * kMs}, {50 * kMs, 120 * kMs}, {0, 299 * kMs}}) {
            SCOPED_TRACE(::testing::Message() << "counter " << counted << ", hold at " << holdAt);
            ModelLine uart(k115200, {16, 16, true, counted, false});
            uart.discardTakes = counted ? 2 * kMs : 150;
            uart.HoldFrom(holdAt);
            uart.ReleaseAt(releaseAt);
            const std::string text = Text(8192);
            const WriteOutcome out = Write(uart, text, 300, k115200);
            EXPECT_TRUE(out.ok);
            EXPECT_GT(out.sent, 0u);
            EXPECT_TRUE(uart.queue.empty());
            uart.Sleep(1000 * kMs);
            EXPECT_EQ(uart.wire.substr(0, out.sent), text.substr(0, out.sent));
            if (counted) {
                EXPECT_EQ(uart.wire.size(), out.sent) << "nothing uncounted goes out later";
            } else {
                EXPECT_LE(uart.wire.size(), out.sent + 16);
            }
        }
    }
}

// A UART that moves its queue by DMA counts a transfer only once it is done, and the drop
// at the deadline cancels the one in flight. A line that runs to the deadline has none in
// flight then, so its count is exact; a hold that stops a transfer half-way costs the
// count no more than that transfer, which the rule keeps within the queue's horizon.
TEST_F(UartWriteRuleTest, ADmaTransferCutByTheDeadlineIsSmallOrNone) {
    for (const std::int64_t rate : {k9600, k115200}) {
        SCOPED_TRACE(rate);
        ModelLine running(rate, ModelLine::kDmaUart);
        const std::string text = Text(65536);
        const WriteOutcome out = Write(running, text, 300, rate);
        running.Sleep(1000 * kMs);
        EXPECT_EQ(running.wire, text.substr(0, out.sent)) << "the flowing line's count is exact";
        EXPECT_TRUE(running.discarded.empty()) << "nothing was in flight at the drop";

        for (const Micros holdAt : {Micros{40 * kMs}, Micros{287 * kMs}, Micros{296 * kMs}}) {
            ModelLine held(rate, ModelLine::kDmaUart);
            held.HoldFrom(holdAt);
            held.ReleaseAt(400 * kMs);
            const WriteOutcome cut = Write(held, text, 300, rate);
            held.Sleep(1000 * kMs);
            const auto error = static_cast<long>(held.wire.size()) - static_cast<long>(cut.sent);
            EXPECT_GE(error, 0) << "the cancelled transfer's sent part is what goes uncounted";
            EXPECT_LE(error, kQueueHorizon * 1000 / rate) << "hold at " << holdAt;
        }
    }
}

TEST_F(UartWriteRuleTest, ASlowLineIsNeverQueuedMoreThanItCanSendSoon) {
    ModelLine uart(k9600);
    const std::string text = Text(1000);  // about 1 s of line time
    const WriteOutcome out = Write(uart, text, 300, k9600);
    EXPECT_TRUE(out.ok);
    EXPECT_NEAR(out.sent, 288, 20);
    EXPECT_LE(uart.mostQueued, static_cast<std::size_t>(kQueueHorizon * 1000 / k9600 + 16));
    EXPECT_LE(uart.discarded.size(), 16u) << "only the last moment's bytes are taken back";
    uart.Sleep(1000 * kMs);
    EXPECT_EQ(uart.wire, text.substr(0, out.sent));
}

TEST_F(UartWriteRuleTest, WithoutATimeOutAWriteWaitsForTheReleaseAndCountsEverything) {
    for (const ModelLine::Shape shape : {ModelLine::kUart, ModelLine::Adapter()}) {
        ModelLine line(k115200, shape);
        line.HoldFrom(10 * kMs);
        line.ReleaseAt(2000 * kMs);
        const std::string text = Text(8192);
        const WriteOutcome out = Write(line, text, 0, k115200);
        EXPECT_TRUE(out.ok);
        EXPECT_EQ(out.sent, 8192u);
        EXPECT_GE(line.Now(), 2000 * kMs);
        line.Sleep(1000 * kMs);
        EXPECT_EQ(line.wire, text);
    }
}

TEST_F(UartWriteRuleTest, ADeviceThatGoesAwayFailsAndCountsNoMoreThanLeft) {
    ModelLine uart(k115200);
    uart.GoneAt(500 * kMs);
    const WriteOutcome out = Write(uart, Text(16384), 0, k115200);
    EXPECT_FALSE(out.ok);
    EXPECT_GT(out.sent, 0u) << "what left before is counted";
    EXPECT_LE(out.sent, uart.wire.size() + 16);
    EXPECT_LT(uart.Now(), 525 * kMs) << "noticed at the next look at the queue";
}

TEST_F(UartWriteRuleTest, UnknownLineRateQueuesEverythingAtOnce) {
    ModelLine uart(k115200);
    const WriteOutcome out = Write(uart, Text(1000), 300, 0);
    EXPECT_EQ(out.sent, 1000u);
    EXPECT_EQ(uart.mostQueued, 1000u);
}

TEST_F(UartWriteRuleTest, AwaitingAnEmptyQueueEndsAtTheDeadline) {
    ModelLine held(k115200);
    held.HoldFrom(0);
    const std::string text = Text(10);
    ASSERT_EQ(held.Write(reinterpret_cast<const unsigned char*>(text.data()), 10), 10);
    EXPECT_EQ(AwaitEmptyQueue(held, Deadline::At(100 * kMs), k115200), Drain::kTimedOut);
    EXPECT_LT(held.Now(), 101 * kMs);
    held.ReleaseAt(held.Now());
    EXPECT_EQ(AwaitEmptyQueue(held, Deadline::Never(), k115200), Drain::kEmpty);
    held.Sleep(10 * kMs);
    EXPECT_EQ(held.wire, text);

    ModelLine gone(k115200);
    gone.GoneAt(0);
    EXPECT_EQ(AwaitEmptyQueue(gone, Deadline::Never(), k115200), Drain::kFailed);
}

// --- a driver that cannot take bytes back (a USB adapter) --------------------------------

using AdapterWriteRuleTest = WriteRuleTest;

// A script that writes again until its text is counted: on an adapter held by its
// device, every write counts what will go out once the device lets it, and no more.
TEST_F(AdapterWriteRuleTest, AHeldAdapterCountsExactlyWhatWillGoOutAndNothingPilesUp) {
    for (const std::size_t buffers : {0, 1280}) {
        ModelLine adapter(k9600, ModelLine::Adapter());
        adapter.bufferSize = buffers;  // cdc-acm counts busy buffers of 1280, not bytes
        adapter.HoldFrom(0);
        std::string expected;
        std::uint32_t counted = 0;
        for (int i = 0; i < 10; ++i) {
            const std::string text = Text(200, static_cast<char>('A' + i));
            const Micros start = adapter.Now();
            const WriteOutcome out = Write(adapter, text, 300, k9600);
            EXPECT_TRUE(out.ok);
            EXPECT_LE(adapter.Now(), start + 301 * kMs);
            expected += text.substr(0, out.sent);
            counted += out.sent;
            EXPECT_LE(adapter.mostQueued, PieceSize(k9600));
        }
        EXPECT_GT(counted, 0u);
        EXPECT_LE(counted, 256 + PieceSize(k9600)) << "the chip's buffer and one piece, no more";
        adapter.ReleaseAt(adapter.Now());
        adapter.Sleep(2000 * kMs);
        EXPECT_EQ(adapter.wire, expected) << "what went out is exactly what was counted";
    }
}

// A device that takes nothing more (its firmware stopped reading): the driver is given
// one piece, which is counted, and nothing after it.
TEST_F(AdapterWriteRuleTest, AStalledAdapterIsGivenOnePieceAndNoMore) {
    ModelLine adapter(k9600, ModelLine::Adapter());
    adapter.stalled = true;
    const WriteOutcome first = Write(adapter, Text(200), 300, k9600);
    EXPECT_TRUE(first.ok);
    EXPECT_EQ(first.sent, PieceSize(k9600));
    const WriteOutcome second = Write(adapter, Text(200), 300, k9600);
    EXPECT_EQ(second.sent, 0u);
    EXPECT_EQ(adapter.queue.size(), PieceSize(k9600));
    adapter.stalled = false;
    adapter.Sleep(1000 * kMs);
    EXPECT_EQ(adapter.wire, Text(200).substr(0, first.sent));
}

// A flowing line never waits for the rule, whether the driver counts its queue in bytes
// or in buffers, and the rule looks at the queue no more often than the line needs: each
// look is a system call, and a write to a slow device lasts long.
TEST_F(AdapterWriteRuleTest, PiecesKeepAFlowingAdapterLineBusy) {
    for (const std::size_t buffers : {0, 1280}) {
        for (const std::int64_t rate : {k9600, k115200, k921600}) {
            SCOPED_TRACE(::testing::Message() << "buffers " << buffers << ", rate " << rate);
            ModelLine adapter(rate, ModelLine::Adapter());
            adapter.bufferSize = buffers;
            const std::string text = Text(rate == k9600 ? 2000 : 65536);
            const WriteOutcome out = Write(adapter, text, 0, rate);
            EXPECT_EQ(out.sent, text.size());
            EXPECT_LE(adapter.queries * 1000 * kMs / adapter.Now(), rate == k9600 ? 30 : 200)
                << "looks a second";
            adapter.Sleep(1000 * kMs);
            EXPECT_EQ(adapter.wire, text);
            EXPECT_LT(adapter.idle, 2 * kMs) << "the line waited for the rule";
        }
    }
}

// The chip takes each transfer as soon as it has room, so the driver's queue reads empty
// while the chip's own buffer fills; paced by the line's rate as well, the bytes counted
// but not yet sent stay about one piece, whatever the chip holds, and so does what is
// lost should the port be closed and reopened (ftdi_sio resets the chip then).
TEST_F(AdapterWriteRuleTest, WhatIsCountedRunsNoMoreThanAPieceAheadOfTheLine) {
    for (const std::size_t chip : {256, 640, 4096}) {
        for (const std::int64_t rate : {k9600, k115200}) {
            SCOPED_TRACE(::testing::Message() << "chip " << chip << ", rate " << rate);
            ModelLine adapter(rate, ModelLine::Adapter(chip));
            const std::string text = Text(65536);
            const WriteOutcome out = Write(adapter, text, 300, rate);
            EXPECT_TRUE(out.ok);
            const long lead = static_cast<long>(out.sent) - static_cast<long>(adapter.wire.size());
            EXPECT_LE(lead, static_cast<long>(PieceSize(rate) * 3 / 2));
            EXPECT_LT(adapter.idle, 2 * kMs) << "the line waited for the rule";
            adapter.Sleep(2000 * kMs);
            EXPECT_EQ(adapter.wire, text.substr(0, out.sent)) << "and all of it goes out";
        }
    }
}

// Unplugged in the middle of a write, the count never falls behind what arrived (a script
// that resends what was not counted would send it twice), and runs ahead of it by no more
// than the line could have carried while the kernel had not yet noticed (behind a hub up
// to about a quarter of a second: until then the driver takes bytes and fails them), and
// until the next look found it gone (a piece of line at most).
TEST_F(AdapterWriteRuleTest, AnUnpluggedAdapterCountsWhatTheLineCouldHaveCarried) {
    for (const Micros noticed : {Micros{0}, 100 * kMs, 256 * kMs}) {
        for (const std::int64_t rate : {k9600, k115200}) {
            for (const std::size_t chip : {256, 640, 4096}) {
                for (const std::size_t buffers : {0, 1280}) {
                    SCOPED_TRACE(::testing::Message()
                                 << "noticed after " << noticed << " us, rate " << rate << ", chip "
                                 << chip << ", buffers " << buffers);
                    ModelLine adapter(rate, ModelLine::Adapter(chip));
                    adapter.bufferSize = buffers;
                    adapter.UnplugAt(1000 * kMs, noticed);
                    const WriteOutcome out = Write(adapter, Text(400000), 0, rate);
                    EXPECT_FALSE(out.ok);
                    const auto arrived = static_cast<long>(adapter.wire.size());
                    const auto counted = static_cast<long>(out.sent);
                    EXPECT_GE(counted, arrived);
                    EXPECT_LE(counted - arrived, (noticed + kQueueHorizon) * 1000 / rate + 1);
                    EXPECT_LT(adapter.Now(), 1000 * kMs + noticed + kQueueHorizon + kMs);
                }
            }
        }
    }
}

}  // namespace
}  // namespace velmora::testing
