// What the write rule for devices with an output queue costs when the device keeps up:
// raw write(), raw write() followed by tcdrain(), and the rule (write, then asking
// TIOCOUTQ until the queue is empty), in rotating blocks within one run, each on its
// own pty pair drained by one far-end thread. A pty empties its queue at once, so what
// shows is the rule's own cost in system calls and instructions, not line time.
#include <benchmark/benchmark.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <functional>
#include <string>

#include "bench/rig.h"
#include "serial/tty_output.h"
#include "serial/write_rule.h"

namespace velmora::bench {
namespace {

using Clock = std::chrono::steady_clock;

void BM_Paired_WriteModel(benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    // The line's time per byte: 0 queues the whole text at once; a rate splits it into
    // what that line sends within the rule's horizon.
    const std::int64_t nanosPerByte = state.range(1);
    RawPort raw, drained, model;
    FarEnd drain({raw.device(), drained.device(), model.device()});
    const std::string data(size, 'w');
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
    serial::tty_output::TtyOutput device(model.fd());
    serial::LinePace pace;
    const std::array<std::function<bool()>, 3> sides = {
        [&] { return RawWriteAll(raw.fd(), data.data(), size); },
        [&] { return RawWriteAll(drained.fd(), data.data(), size) && tcdrain(drained.fd()) == 0; },
        [&] {
            const serial::WriteOutcome out =
                serial::WriteThroughDriver(device, serial::OutputRule::kTakesBack, pace, bytes,
                                           static_cast<std::uint32_t>(size), 1000, nanosPerByte);
            return out.ok && out.sent == size;
        },
    };
    constexpr int kBlock = 32;
    std::array<Clock::duration, 3> spent{};
    int first = 0;  // rotates, so no side always follows the same other
    for (auto _ : state) {
        for (int k = 0; k < 3; ++k) {
            const int side = (first + k) % 3;
            const auto start = Clock::now();
            for (int i = 0; i < kBlock; ++i) {
                if (!sides[side]()) return state.SkipWithError("short write");
            }
            spent[side] += Clock::now() - start;
        }
        first = (first + 1) % 3;
    }
    const double total =
        static_cast<double>(state.iterations()) * kBlock * static_cast<double>(size);
    const auto mbps = [&](int side) {
        return total / std::chrono::duration<double>(spent[side]).count() / 1e6;
    };
    state.counters["raw_MBps"] = mbps(0);
    state.counters["drain_MBps"] = mbps(1);
    state.counters["model_MBps"] = mbps(2);
    state.counters["model_vs_raw"] = mbps(2) / mbps(0);
    state.counters["model_vs_drain"] = mbps(2) / mbps(1);
}

constexpr std::int64_t k115200 = 86'806;
BENCHMARK(BM_Paired_WriteModel)
    ->Args({64, 0})
    ->Args({1024, 0})
    ->Args({4096, 0})
    ->Args({4096, k115200})
    ->MinTime(1.0);

}  // namespace
}  // namespace velmora::bench
