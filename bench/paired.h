// Two ways of writing measured in alternating blocks within one run, so that whatever
// else the machine does falls on both alike: a raw one and the module's. Throughput is
// bytes over the wall-clock time of each side's blocks.
#pragma once

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstddef>

namespace velmora::bench {

// `raw()` and `module()` each write one piece of `size` bytes; false ends the run.
template <typename Raw, typename Module>
void PairedBlocks(benchmark::State& state, std::size_t size, Raw raw, Module module) {
    using Clock = std::chrono::steady_clock;
    constexpr int kBlock = 32;
    Clock::duration rawTime{}, moduleTime{};
    const auto block = [&](auto& write, Clock::duration& time) {
        const auto start = Clock::now();
        for (int i = 0; i < kBlock; ++i) {
            if (!write()) return false;
        }
        time += Clock::now() - start;
        return true;
    };
    bool rawFirst = true;  // the order alternates, so neither side always follows the other
    for (auto _ : state) {
        const bool ok = rawFirst ? block(raw, rawTime) && block(module, moduleTime)
                                 : block(module, moduleTime) && block(raw, rawTime);
        if (!ok) return state.SkipWithError("short write");
        rawFirst = !rawFirst;
    }
    const double bytes =
        static_cast<double>(state.iterations()) * kBlock * static_cast<double>(size);
    const auto seconds = [](Clock::duration d) { return std::chrono::duration<double>(d).count(); };
    state.counters["raw_MBps"] = bytes / seconds(rawTime) / 1e6;
    state.counters["module_MBps"] = bytes / seconds(moduleTime) / 1e6;
    state.counters["ratio"] = seconds(rawTime) / seconds(moduleTime);
}

}  // namespace velmora::bench
