// The write rule's decisions on models of a UART and of a USB adapter on a virtual clock: which
// bytes a write counts, which it takes back, and when it returns, with the line flowing, held by
// the device, released, or gone.
#include "serial/output_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <string>
#include <vector>

namespace velmora::testing {
namespace {

using namespace velmora::serial;

constexpr std::int64_t k115200 = 86'806;  // ns a byte takes at 115200 baud, 8N1
constexpr std::int64_t k9600 = 1'041'667;
constexpr std::int64_t k921600 = 10'851;
constexpr Micros kMs = 1000;

// A driver's queue in front of a transmitter and a line, on a virtual clock. A UART's
// transmitter is its FIFO: loaded from the queue a load at a time whenever it runs
// empty, the loads counted, unless the device holds output. A USB adapter's is the
// chip's own buffer, which takes the driver's transfers whenever it has room, unless the
// device has stalled, and sends unless the device holds it (CTS low in the chip). Every
// call costs a microsecond, so no loop is free; dropping the queue takes longer, as an
// ioctl on a busy machine may, so that a FIFO load can come between the last look at
// the queue and the drop.
class ModelLine final : public OutputDevice {
  public:
    struct Shape {
        std::size_t transmitter;  // bytes the FIFO or the chip holds
        std::size_t load;         // bytes moved from the queue at once
        bool canDiscard;
        bool countsLoads;
    };
    static constexpr Shape kUart{16, 16, true, true};
    static constexpr Shape kAdapter{256, 64, false, false};

    explicit ModelLine(std::int64_t nanosPerByte, Shape shape = kUart)
        : shape_(shape), nanosPerByte_(nanosPerByte) {}

    void HoldFrom(Micros at) { changes_.push_back({at, true}); }
    void ReleaseAt(Micros at) { changes_.push_back({at, false}); }
    void GoneAt(Micros at) { goneAt_ = at; }

    long Write(const unsigned char* bytes, std::uint32_t count) override {
        Advance(now_ + 1);
        if (Gone()) return -1;
        const std::size_t take = std::min<std::size_t>(count, capacity - queue.size());
        queue.append(reinterpret_cast<const char*>(bytes), take);
        for (std::size_t left = take; bufferSize != 0 && left != 0;) {
            buffers.push_back(std::min(left, bufferSize));
            left -= buffers.back();
        }
        mostQueued = std::max(mostQueued, queue.size());
        return static_cast<long>(take);
    }
    long Queued() override {
        Advance(now_ + 1);
        ++queries;
        if (Gone()) return -1;
        return static_cast<long>(bufferSize != 0 ? buffers.size() * bufferSize : queue.size());
    }
    void Discard() override {
        Advance(now_ + discardTakes);
        ASSERT_TRUE(shape_.canDiscard) << "asked to drop a queue that cannot be dropped";
        discarded += queue;
        queue.clear();
    }
    std::int64_t Transmitted() override {
        Advance(now_ + 1);
        return shape_.countsLoads && !Gone() ? static_cast<std::int64_t>(loaded) : -1;
    }
    // As a tty's poll(): room once the queue is nearly empty.
    Wait AwaitRoom(Micros deadline) override {
        while (queue.size() >= kWakeUp) {
            if (Gone()) return Wait::kGone;
            if (deadline != kNoDeadline && now_ >= deadline) return Wait::kTimedOut;
            if (now_ > kGiveUp) return Wait::kGone;
            Advance(now_ + 100);
        }
        return Wait::kReady;
    }
    void Sleep(Micros duration) override {
        ASSERT_GT(duration, 0) << "a pause that does not pass time spins";
        Advance(now_ + duration);
    }
    Micros Now() override { return now_; }
    QueueKind kind() const { return shape_.canDiscard ? QueueKind::kTakesBack : QueueKind::kKeeps; }

    std::size_t capacity = 4096;
    // cdc-acm counts its queue as busy write buffers times their size, not in bytes.
    std::size_t bufferSize = 0;
    std::deque<std::size_t> buffers;
    bool stalled = false;  // the adapter takes no more transfers
    Micros discardTakes = 1;
    std::string queue, transmitter, wire, discarded;
    std::size_t mostQueued = 0;
    std::size_t loaded = 0;
    int queries = 0;
    Micros idle = 0;  // time the line spent waiting with bytes still to send

  private:
    static constexpr Micros kGiveUp = 3600 * 1000 * kMs;
    static constexpr std::size_t kWakeUp = 256;
    bool Gone() const { return goneAt_ >= 0 && now_ >= goneAt_; }
    bool HeldAt(Micros t) const {
        bool held = false;
        Micros latest = -1;
        for (const auto& [at, hold] : changes_) {
            if (at <= t && at >= latest) {
                latest = at;
                held = hold;
            }
        }
        return held;
    }
    bool IsAdapter() const { return !shape_.canDiscard; }
    void Load(bool held) {
        if (queue.empty()) return;
        const std::size_t room = shape_.transmitter - transmitter.size();
        // A UART refills its FIFO once it has run empty; an adapter's chip takes a
        // transfer whenever it has room for it.
        const bool takes = IsAdapter() ? !stalled && room >= std::min(shape_.load, queue.size())
                                       : !held && transmitter.empty();
        if (!takes) return;
        const std::size_t n = std::min({shape_.load, queue.size(), room});
        transmitter += queue.substr(0, n);
        queue.erase(0, n);
        loaded += n;
        for (std::size_t left = n; !buffers.empty() && left != 0;) {
            const std::size_t part = std::min(left, buffers.front());
            left -= part;
            if ((buffers.front() -= part) == 0) buffers.pop_front();
        }
    }
    // Moves time on one microsecond at a time, loading and sending as the device lets.
    void Advance(Micros to) {
        for (; now_ < to; ++now_) {
            if (Gone()) continue;
            const bool held = HeldAt(now_);
            Load(held);
            // A UART's FIFO sends what it holds whatever the flow control; the chip of
            // an adapter stops sending while the device holds it.
            const bool sending = !transmitter.empty() && !(IsAdapter() && held);
            if (!sending) {
                if (!held && !queue.empty()) ++idle;
                progress_ = 0;
                continue;
            }
            progress_ += 1000;
            if (progress_ >= nanosPerByte_) {
                progress_ -= nanosPerByte_;
                wire += transmitter.front();
                transmitter.erase(0, 1);
            }
        }
    }

    Shape shape_;
    std::int64_t nanosPerByte_;
    Micros now_ = 0;
    std::int64_t progress_ = 0;
    Micros goneAt_ = -1;
    std::vector<std::pair<Micros, bool>> changes_;
};

std::string Text(std::size_t size, char first = 'a') {
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>(first + i % 26);
    return text;
}

WriteOutcome Write(ModelLine& line, const std::string& text, Micros deadline,
                   std::int64_t nanosPerByte = k115200) {
    return WriteThroughQueue(line, line.kind(), reinterpret_cast<const unsigned char*>(text.data()),
                             static_cast<std::uint32_t>(text.size()), deadline, nanosPerByte);
}

// --- a driver that takes bytes back (a UART) ---------------------------------------------

TEST(OutputQueueTest, ADeviceThatKeepsUpHasEveryByteCountedOnceItHasLeft) {
    ModelLine uart(k115200);
    const std::string text = Text(64);
    const WriteOutcome out = Write(uart, text, 300 * kMs);
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

TEST(OutputQueueTest, OutputHeldThroughoutIsNeitherCountedNorSentLater) {
    ModelLine uart(k115200);
    uart.HoldFrom(0);
    const WriteOutcome out = Write(uart, Text(8192), 300 * kMs);
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
TEST(OutputQueueTest, WhatLeftBeforeTheHoldOrAfterTheReleaseIsCountedExactly) {
    for (const bool counted : {true, false}) {
        for (const auto& [holdAt, releaseAt] : std::vector<std::pair<Micros, Micros>>{
                 {20 * kMs, 1000 * kMs}, {0, 100 * kMs}, {50 * kMs, 120 * kMs}, {0, 299 * kMs}}) {
            SCOPED_TRACE(::testing::Message() << "counter " << counted << ", hold at " << holdAt);
            ModelLine uart(k115200, {16, 16, true, counted});
            uart.discardTakes = counted ? 2 * kMs : 150;
            uart.HoldFrom(holdAt);
            uart.ReleaseAt(releaseAt);
            const std::string text = Text(8192);
            const WriteOutcome out = Write(uart, text, 300 * kMs);
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

TEST(OutputQueueTest, ASlowLineIsNeverQueuedMoreThanItCanSendSoon) {
    ModelLine uart(k9600);
    const std::string text = Text(1000);  // about 1 s of line time
    const WriteOutcome out = Write(uart, text, 300 * kMs, k9600);
    EXPECT_TRUE(out.ok);
    EXPECT_NEAR(out.sent, 288, 20);
    EXPECT_LE(uart.mostQueued, static_cast<std::size_t>(kQueueHorizon * 1000 / k9600 + 16));
    EXPECT_LE(uart.discarded.size(), 16u) << "only the last moment's bytes are taken back";
    uart.Sleep(1000 * kMs);
    EXPECT_EQ(uart.wire, text.substr(0, out.sent));
}

TEST(OutputQueueTest, WithoutATimeOutAWriteWaitsForTheReleaseAndCountsEverything) {
    for (const ModelLine::Shape shape : {ModelLine::kUart, ModelLine::kAdapter}) {
        ModelLine line(k115200, shape);
        line.HoldFrom(10 * kMs);
        line.ReleaseAt(2000 * kMs);
        const std::string text = Text(8192);
        const WriteOutcome out = Write(line, text, kNoDeadline);
        EXPECT_TRUE(out.ok);
        EXPECT_EQ(out.sent, 8192u);
        EXPECT_GE(line.Now(), 2000 * kMs);
        line.Sleep(1000 * kMs);
        EXPECT_EQ(line.wire, text);
    }
}

TEST(OutputQueueTest, ADeviceThatGoesAwayFailsAndCountsNoMoreThanLeft) {
    ModelLine uart(k115200);
    uart.GoneAt(500 * kMs);
    const WriteOutcome out = Write(uart, Text(16384), kNoDeadline);
    EXPECT_FALSE(out.ok);
    EXPECT_GT(out.sent, 0u) << "what left before is counted";
    EXPECT_LE(out.sent, uart.wire.size() + 16);
    EXPECT_LT(uart.Now(), 525 * kMs) << "noticed at the next look at the queue";
}

TEST(OutputQueueTest, UnknownLineRateQueuesEverythingAtOnce) {
    ModelLine uart(k115200);
    const WriteOutcome out = Write(uart, Text(1000), 300 * kMs, 0);
    EXPECT_EQ(out.sent, 1000u);
    EXPECT_EQ(uart.mostQueued, 1000u);
}

TEST(OutputQueueTest, AwaitingAnEmptyQueueEndsAtTheDeadline) {
    ModelLine held(k115200);
    held.HoldFrom(0);
    const std::string text = Text(10);
    ASSERT_EQ(held.Write(reinterpret_cast<const unsigned char*>(text.data()), 10), 10);
    EXPECT_EQ(AwaitEmptyQueue(held, 100 * kMs, k115200), Drain::kTimedOut);
    EXPECT_LT(held.Now(), 101 * kMs);
    held.ReleaseAt(held.Now());
    EXPECT_EQ(AwaitEmptyQueue(held, kNoDeadline, k115200), Drain::kEmpty);
    held.Sleep(10 * kMs);
    EXPECT_EQ(held.wire, text);

    ModelLine gone(k115200);
    gone.GoneAt(0);
    EXPECT_EQ(AwaitEmptyQueue(gone, kNoDeadline, k115200), Drain::kFailed);
}

// --- a driver that keeps its bytes (a USB adapter) ----------------------------------------

// A script that writes again until its text is counted: on an adapter held by its
// device, every write counts what will go out once the device lets it, and no more.
TEST(OutputQueueTest, AHeldAdapterCountsExactlyWhatWillGoOutAndNothingPilesUp) {
    ModelLine adapter(k9600, ModelLine::kAdapter);
    adapter.HoldFrom(0);
    std::string expected;
    std::uint32_t counted = 0;
    for (int i = 0; i < 10; ++i) {
        const std::string text = Text(200, static_cast<char>('A' + i));
        const Micros start = adapter.Now();
        const WriteOutcome out = Write(adapter, text, start + 300 * kMs, k9600);
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

// A device that takes nothing more (its firmware stopped reading): the driver is given
// one piece, which is counted, and nothing after it.
TEST(OutputQueueTest, AStalledAdapterIsGivenOnePieceAndNoMore) {
    ModelLine adapter(k9600, ModelLine::kAdapter);
    adapter.stalled = true;
    const WriteOutcome first = Write(adapter, Text(200), 300 * kMs, k9600);
    EXPECT_TRUE(first.ok);
    EXPECT_EQ(first.sent, PieceSize(k9600));
    const WriteOutcome second = Write(adapter, Text(200), adapter.Now() + 300 * kMs, k9600);
    EXPECT_EQ(second.sent, 0u);
    EXPECT_EQ(adapter.queue.size(), PieceSize(k9600));
    adapter.stalled = false;
    adapter.Sleep(1000 * kMs);
    EXPECT_EQ(adapter.wire, Text(200).substr(0, first.sent));
}

// ... and looks at the queue no more often than the line needs: each look is a system
// call, and a write to a slow device lasts long.
TEST(OutputQueueTest, PiecesKeepAFlowingAdapterLineBusy) {
    for (const std::int64_t rate : {k9600, k115200, k921600}) {
        SCOPED_TRACE(rate);
        ModelLine adapter(rate, ModelLine::kAdapter);
        const std::string text = Text(rate == k9600 ? 2000 : 65536);
        const WriteOutcome out = Write(adapter, text, kNoDeadline, rate);
        EXPECT_EQ(out.sent, text.size());
        EXPECT_LE(adapter.queries * 1000 * kMs / adapter.Now(), rate == k9600 ? 100 : 200)
            << "looks a second";
        adapter.Sleep(1000 * kMs);
        EXPECT_EQ(adapter.wire, text);
        EXPECT_LT(adapter.idle, 2 * kMs) << rate << " ns a byte: the line waited for the rule";
    }
}

// An adapter unplugged in the middle of a write: the count is off by no more than the
// bytes the driver and the chip held at that moment, whether the driver counts its queue
// in bytes or, as cdc-acm does, in whole buffers of 1280.
TEST(OutputQueueTest, AnUnpluggedAdapterCountsWithinWhatWasInFlight) {
    for (const std::size_t buffers : {0, 1280}) {
        for (const std::int64_t rate : {k9600, k921600}) {
            SCOPED_TRACE(::testing::Message() << "buffers " << buffers << ", rate " << rate);
            ModelLine adapter(rate, ModelLine::kAdapter);
            adapter.bufferSize = buffers;
            adapter.GoneAt(300 * kMs);
            const WriteOutcome out = Write(adapter, Text(65536), kNoDeadline, rate);
            EXPECT_FALSE(out.ok);
            const auto arrived = static_cast<long>(adapter.wire.size());
            EXPECT_GT(arrived, 0);
            EXPECT_NEAR(static_cast<long>(out.sent), arrived, PieceSize(rate) + 256);
            EXPECT_LT(adapter.Now(), 325 * kMs);
        }
    }
}

// cdc-acm's count of busy buffers keeps a flowing line busy all the same, and a held one
// from piling up.
TEST(OutputQueueTest, AnAdapterThatCountsBuffersIsPacedAndCountedInBytes) {
    for (const std::int64_t rate : {k115200, k921600}) {
        ModelLine adapter(rate, ModelLine::kAdapter);
        adapter.bufferSize = 1280;
        const std::string text = Text(65536);
        EXPECT_EQ(Write(adapter, text, kNoDeadline, rate).sent, text.size());
        EXPECT_LT(adapter.idle, 2 * kMs) << rate;
    }
    ModelLine held(k9600, ModelLine::kAdapter);
    held.bufferSize = 1280;
    held.HoldFrom(0);
    std::uint32_t counted = 0;
    for (int i = 0; i < 5; ++i) {
        counted += Write(held, Text(200), held.Now() + 300 * kMs, k9600).sent;
    }
    EXPECT_LE(counted, 256 + PieceSize(k9600));
    held.ReleaseAt(held.Now());
    held.Sleep(2000 * kMs);
    EXPECT_EQ(held.wire.size(), counted);
}

}  // namespace
}  // namespace velmora::testing
