// The write rule's decisions on a model of a UART on a virtual clock: which bytes a
// write counts, which it takes back, and when it returns, with the line flowing, held by
// the device, released, or gone.
#include "serial/output_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace velmora::testing {
namespace {

using namespace velmora::serial;

constexpr std::int64_t k115200 = 86'806;  // ns a byte takes at 115200 baud, 8N1
constexpr std::int64_t k9600 = 1'041'667;
constexpr Micros kMs = 1000;

// A driver queue in front of a line that sends one byte every `nanosPerByte` unless
// the device holds it. Every call costs a microsecond, so no loop is free.
class ModelUart final : public OutputDevice {
  public:
    explicit ModelUart(std::int64_t nanosPerByte) : nanosPerByte_(nanosPerByte) {}

    void HoldFrom(Micros at) { changes_.push_back({at, true}); }
    void ReleaseAt(Micros at) { changes_.push_back({at, false}); }
    void GoneAt(Micros at) { goneAt_ = at; }

    long Write(const unsigned char* bytes, std::uint32_t count) override {
        Advance(now_ + 1);
        if (Gone()) return -1;
        const std::size_t take = std::min<std::size_t>(count, capacity - queue.size());
        queue.append(reinterpret_cast<const char*>(bytes), take);
        mostQueued = std::max(mostQueued, queue.size());
        return static_cast<long>(take);
    }
    long Queued() override {
        Advance(now_ + 1);
        ++queries;
        return Gone() ? -1 : static_cast<long>(queue.size());
    }
    void Discard() override {
        if (!canDiscard) return;
        discarded += queue;
        queue.clear();
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

    std::size_t capacity = 4096;
    bool canDiscard = true;
    std::string queue, wire, discarded;
    std::size_t mostQueued = 0;
    int queries = 0;

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
    // Moves time on one microsecond at a time, sending while the line is free.
    void Advance(Micros to) {
        for (; now_ < to; ++now_) {
            if (HeldAt(now_) || queue.empty() || Gone()) {
                progress_ = 0;
                continue;
            }
            progress_ += 1000;
            if (progress_ >= nanosPerByte_) {
                progress_ -= nanosPerByte_;
                wire += queue.front();
                queue.erase(0, 1);
            }
        }
    }

    std::int64_t nanosPerByte_;
    Micros now_ = 0;
    std::int64_t progress_ = 0;
    Micros goneAt_ = -1;
    std::vector<std::pair<Micros, bool>> changes_;
};

std::string Text(std::size_t size) {
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + i % 26);
    return text;
}

WriteOutcome Write(ModelUart& uart, const std::string& text, Micros deadline,
                   std::int64_t nanosPerByte = k115200) {
    return WriteThroughQueue(uart, reinterpret_cast<const unsigned char*>(text.data()),
                             static_cast<std::uint32_t>(text.size()), deadline, nanosPerByte);
}

TEST(OutputQueueTest, ADeviceThatKeepsUpHasEveryByteCountedOnceItHasLeft) {
    ModelUart uart(k115200);
    const std::string text = Text(64);
    const WriteOutcome out = Write(uart, text, 300 * kMs);
    EXPECT_TRUE(out.ok);
    EXPECT_EQ(out.sent, 64u);
    EXPECT_EQ(uart.wire, text);
    // Returns about when the last byte has left, not at the time-out, and asks little.
    EXPECT_GE(uart.Now(), 64 * k115200 / 1000);
    EXPECT_LT(uart.Now(), 64 * k115200 / 1000 + 2 * kMs);
    EXPECT_LE(uart.queries, 8);
}

TEST(OutputQueueTest, OutputHeldThroughoutIsNeitherCountedNorSentLater) {
    ModelUart uart(k115200);
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

TEST(OutputQueueTest, WhatLeftBeforeTheHoldOrAfterTheReleaseIsCountedExactly) {
    for (const auto& [holdAt, releaseAt] : std::vector<std::pair<Micros, Micros>>{
             {20 * kMs, 1000 * kMs}, {0, 100 * kMs}, {50 * kMs, 120 * kMs}}) {
        ModelUart uart(k115200);
        uart.HoldFrom(holdAt);
        uart.ReleaseAt(releaseAt);
        const std::string text = Text(8192);
        const WriteOutcome out = Write(uart, text, 300 * kMs);
        EXPECT_TRUE(out.ok);
        EXPECT_GT(out.sent, 0u) << holdAt;
        EXPECT_EQ(uart.wire, text.substr(0, out.sent)) << holdAt;
        EXPECT_TRUE(uart.queue.empty());
        uart.Sleep(1000 * kMs);
        EXPECT_EQ(uart.wire.size(), out.sent) << "nothing uncounted goes out later";
    }
}

TEST(OutputQueueTest, ASlowLineIsNeverQueuedMoreThanItCanSendSoon) {
    ModelUart uart(k9600);
    const std::string text = Text(1000);  // about 1 s of line time
    const WriteOutcome out = Write(uart, text, 300 * kMs, k9600);
    EXPECT_TRUE(out.ok);
    EXPECT_NEAR(out.sent, 288, 20);
    EXPECT_EQ(uart.wire, text.substr(0, out.sent));
    EXPECT_LE(uart.mostQueued, static_cast<std::size_t>(kQueueHorizon * 1000 / k9600 + 16));
    EXPECT_LE(uart.discarded.size(), 16u) << "only the last moment's bytes are taken back";
}

TEST(OutputQueueTest, ADriverThatCannotTakeBytesBackLeavesOnlyAFewUncounted) {
    ModelUart uart(k115200);
    uart.canDiscard = false;
    uart.HoldFrom(0);
    const WriteOutcome out = Write(uart, Text(8192), 300 * kMs);
    EXPECT_TRUE(out.ok);
    EXPECT_EQ(out.sent, 0u);
    EXPECT_LE(uart.queue.size(), static_cast<std::size_t>(kQueueHorizon * 1000 / k115200 + 16));
}

TEST(OutputQueueTest, WithoutATimeOutAWriteWaitsForTheReleaseAndCountsEverything) {
    ModelUart uart(k115200);
    uart.HoldFrom(10 * kMs);
    uart.ReleaseAt(2000 * kMs);
    const std::string text = Text(8192);
    const WriteOutcome out = Write(uart, text, kNoDeadline);
    EXPECT_TRUE(out.ok);
    EXPECT_EQ(out.sent, 8192u);
    EXPECT_EQ(uart.wire, text);
    EXPECT_GE(uart.Now(), 2000 * kMs);
}

TEST(OutputQueueTest, ADeviceThatGoesAwayFailsAndCountsNoMoreThanLeft) {
    ModelUart uart(k115200);
    uart.GoneAt(500 * kMs);
    const WriteOutcome out = Write(uart, Text(16384), kNoDeadline);
    EXPECT_FALSE(out.ok);
    EXPECT_GT(out.sent, 0u) << "what left before is counted";
    EXPECT_LE(out.sent, uart.wire.size());
    EXPECT_LT(uart.Now(), 525 * kMs) << "noticed at the next look at the queue";
}

TEST(OutputQueueTest, UnknownLineRateQueuesEverythingAtOnce) {
    ModelUart uart(k115200);
    const WriteOutcome out = Write(uart, Text(1000), 300 * kMs, 0);
    EXPECT_EQ(out.sent, 1000u);
    EXPECT_EQ(uart.mostQueued, 1000u);
}

TEST(OutputQueueTest, AwaitingAnEmptyQueueEndsAtTheDeadline) {
    ModelUart held(k115200);
    held.HoldFrom(0);
    const std::string text = Text(10);
    ASSERT_EQ(held.Write(reinterpret_cast<const unsigned char*>(text.data()), 10), 10);
    EXPECT_EQ(AwaitEmptyQueue(held, 100 * kMs, k115200), Drain::kTimedOut);
    EXPECT_LT(held.Now(), 101 * kMs);
    held.ReleaseAt(held.Now());
    EXPECT_EQ(AwaitEmptyQueue(held, kNoDeadline, k115200), Drain::kEmpty);
    EXPECT_EQ(held.wire, text);

    ModelUart gone(k115200);
    gone.GoneAt(0);
    EXPECT_EQ(AwaitEmptyQueue(gone, kNoDeadline, k115200), Drain::kFailed);
}

}  // namespace
}  // namespace velmora::testing
