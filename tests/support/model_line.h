// A driver's queue in front of a transmitter and a line, on a virtual clock, for trying
// the write rule's decisions. A UART's transmitter is its FIFO: loaded from the queue a
// load at a time whenever it runs empty, the loads counted, unless the device holds
// output; one that moves its queue by DMA loads the whole queue as one transfer, which
// the queue's count includes until it is done, and counts it only then. A USB adapter's
// transmitter is the chip's own buffer, which takes the driver's transfers whenever it
// has room, unless the device has stalled, and sends unless the device holds it (CTS low
// in the chip). An adapter can be unplugged: its chip stops and what it held is lost, and
// until the kernel notices, the driver takes bytes and its queue empties at once (each
// transfer fails). Every call costs a microsecond, so no loop is free; dropping the queue
// takes longer, as an ioctl on a busy machine may, so that a FIFO load can come between
// the last look at the queue and the drop.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "serial/write_rule.h"

namespace velmora::testing {

using serial::Micros;

inline constexpr std::int64_t k115200 = 86'806;  // ns a byte takes at 115200 baud, 8N1
inline constexpr std::int64_t k9600 = 1'041'667;
inline constexpr std::int64_t k921600 = 10'851;
inline constexpr Micros kMs = 1000;

class ModelLine final : public serial::OutputDevice {
  public:
    struct Shape {
        std::size_t transmitter;  // bytes the FIFO or the chip holds
        std::size_t load;         // bytes moved from the queue at once
        bool canDiscard;
        bool countsLoads;
        bool dma;
    };
    static constexpr Shape kUart{16, 16, true, true, false};
    static constexpr Shape kDmaUart{4096, 4096, true, true, true};
    static Shape Adapter(std::size_t chip = 256) { return {chip, 64, false, false, false}; }

    explicit ModelLine(std::int64_t nanosPerByte, Shape shape = kUart)
        : shape_(shape), nanosPerByte_(nanosPerByte) {}

    void HoldFrom(Micros at) { changes_.push_back({at, true}); }
    void ReleaseAt(Micros at) { changes_.push_back({at, false}); }
    void GoneAt(Micros at) { UnplugAt(at, 0); }
    // Pulled out at `at`; the kernel notices `noticedAfter` later.
    void UnplugAt(Micros at, Micros noticedAfter) {
        unpluggedAt_ = at;
        noticedAt_ = at + noticedAfter;
    }

    long Write(const unsigned char* bytes, std::uint32_t count) override {
        Advance(now_ + 1);
        if (Noticed()) return -1;
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
        if (Noticed()) return -1;
        if (bufferSize != 0) return static_cast<long>(buffers.size() * bufferSize);
        return static_cast<long>(queue.size() + (shape_.dma ? transmitter.size() : 0));
    }
    void Discard() override {
        Advance(now_ + discardTakes);
        ASSERT_TRUE(shape_.canDiscard) << "asked to drop a queue that cannot be dropped";
        discarded += queue;
        queue.clear();
        if (shape_.dma) {  // the transfer in flight is cancelled where it stands
            discarded += transmitter;
            transmitter.clear();
        }
    }
    std::int64_t Transmitted() override {
        Advance(now_ + 1);
        return shape_.countsLoads && !Noticed() ? static_cast<std::int64_t>(loaded) : -1;
    }
    // As a tty's poll(): room once the queue is nearly empty.
    serial::Wait AwaitRoom(serial::Deadline deadline) override {
        while (queue.size() >= kWakeUp) {
            if (Noticed()) return serial::Wait::kGone;
            if (deadline.PassedAt(now_)) return serial::Wait::kTimedOut;
            if (now_ > kGiveUp) return serial::Wait::kGone;
            Advance(now_ + 100);
        }
        return serial::Wait::kReady;
    }
    void Sleep(Micros duration) override {
        ASSERT_GT(duration, 0) << "a pause that does not pass time spins";
        Advance(now_ + duration);
    }
    Micros Now() override { return now_; }
    serial::OutputRule rule() const {
        return shape_.canDiscard ? serial::OutputRule::kTakesBack
                                 : serial::OutputRule::kCannotTakeBack;
    }

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
    bool Unplugged() const { return unpluggedAt_ >= 0 && now_ >= unpluggedAt_; }
    bool Noticed() const { return noticedAt_ >= 0 && now_ >= noticedAt_; }
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
        // A UART refills its FIFO, or starts its next transfer, once it has run empty;
        // an adapter's chip takes a transfer whenever it has room for it.
        const bool takes = IsAdapter() ? !stalled && room >= std::min(shape_.load, queue.size())
                                       : !held && transmitter.empty();
        if (!takes) return;
        const std::size_t n = std::min({shape_.load, queue.size(), room});
        transmitter += queue.substr(0, n);
        queue.erase(0, n);
        if (!shape_.dma) loaded += n;
        for (std::size_t left = n; !buffers.empty() && left != 0;) {
            const std::size_t part = std::min(left, buffers.front());
            left -= part;
            if ((buffers.front() -= part) == 0) buffers.pop_front();
        }
    }
    // Moves time on one microsecond at a time, loading and sending as the device lets.
    void Advance(Micros to) {
        for (; now_ < to; ++now_) {
            if (Unplugged()) {
                // Each transfer fails at once; the chip and what it held are gone.
                queue.clear();
                buffers.clear();
                transmitter.clear();
                continue;
            }
            const bool held = HeldAt(now_);
            Load(held);
            // A UART's FIFO sends what it holds whatever the flow control, but a hold
            // stops a DMA transfer where it stands; the chip of an adapter stops sending
            // while the device holds it.
            const bool sending = !transmitter.empty() && !((IsAdapter() || shape_.dma) && held);
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
                if (shape_.dma && transmitter.empty()) loaded = wire.size();
            }
        }
    }

    Shape shape_;
    std::int64_t nanosPerByte_;
    Micros now_ = 0;
    std::int64_t progress_ = 0;
    Micros unpluggedAt_ = -1;
    Micros noticedAt_ = -1;
    std::vector<std::pair<Micros, bool>> changes_;
};

inline std::string Text(std::size_t size, char first = 'a') {
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>(first + i % 26);
    return text;
}

}  // namespace velmora::testing
