// What a script pays per call and how fast data moves, next to the raw system calls the
// module has to make, measured in the same run.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "bench/paired.h"
#include "bench/rig.h"

namespace velmora::bench {
namespace {

using minihost::PreparedCall;
using minihost::Value;

std::string ModulePath() {
    return VELMORA_MODULE_FILE;
}

// Checks that received bytes continue the far end's sequence.
// Raw writes and WriteComm in alternating blocks (bench/paired.h), each to its own pty
// pair drained by one far-end thread.
void BM_Paired_Write(benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    RawPort raw;
    RawPort forModule;
    forModule.CloseTerminalEnd();
    ModuleRig rig(ModulePath());
    if (!rig.Open(rig.object(), forModule.path())) return state.SkipWithError("port refused");
    FarEnd drain({raw.device(), forModule.device()});
    const std::string data(size, 'w');
    PreparedCall write(rig.object(), 2, {Value::Text(data)});
    PairedBlocks(
        state, size, [&] { return RawWriteAll(raw.fd(), data.data(), size); },
        [&] { return write.Run().IsInteger(static_cast<std::int32_t>(size)); });
}

// The far end writes the sequence in chunks of the given size as fast as the port
// takes them; the reader polls, asking only for what is waiting, as a script does each
// frame. Bytes are checked, not only counted.
void BM_Raw_ReadPoll(benchmark::State& state) {
    RawPort port;
    FarEnd feed(port.device(), FarEnd::Mode::kFeed, static_cast<std::size_t>(state.range(0)));
    std::vector<unsigned char> buffer(1 << 20);
    SequenceCheck check;
    std::int64_t bytes = 0;
    for (auto _ : state) {
        int waiting = 0;
        ioctl(port.fd(), FIONREAD, &waiting);
        if (waiting == 0) continue;
        const ssize_t n = read(port.fd(), buffer.data(), static_cast<std::size_t>(waiting));
        if (n <= 0) continue;
        if (!check.Take(buffer.data(), static_cast<std::size_t>(n))) {
            return state.SkipWithError("bytes changed");
        }
        bytes += n;
    }
    state.SetBytesProcessed(bytes);
}

void BM_Module_ReadComm(benchmark::State& state) {
    RawPort port;
    port.CloseTerminalEnd();
    ModuleRig rig(ModulePath());
    if (!rig.Open(rig.object(), port.path())) return state.SkipWithError("port refused");
    FarEnd feed(port.device(), FarEnd::Mode::kFeed, static_cast<std::size_t>(state.range(0)));
    PreparedCall read(rig.object(), 3, {});
    SequenceCheck check;
    std::int64_t bytes = 0;
    for (auto _ : state) {
        const Value& got = read.Run();
        if (!check.TakeText(got)) return state.SkipWithError("bytes changed");
        bytes += static_cast<std::int64_t>(got.text.size());
    }
    state.SetBytesProcessed(bytes);
}

// Per call. `ports` ports are open at once (the object measured is the last one).
struct PerCallRig {
    explicit PerCallRig(int ports) : rig(ModulePath()) {
        for (int i = 0; i < ports; ++i) {
            raw.push_back(std::make_unique<RawPort>());
            raw.back()->CloseTerminalEnd();
            objects.push_back(rig.NewObject());
            if (!rig.Open(*objects.back(), raw.back()->path())) ok = false;
        }
    }
    minihost::ScriptObject& measured() { return *objects.back(); }
    ModuleRig rig;
    std::vector<std::unique_ptr<RawPort>> raw;
    std::vector<std::unique_ptr<minihost::ScriptObject>> objects;
    bool ok = true;
};

void BM_Module_GetCommBaudRate(benchmark::State& state) {
    PerCallRig r(static_cast<int>(state.range(0)));
    PreparedCall call(r.measured(), 4, {});
    for (auto _ : state) benchmark::DoNotOptimize(call.Run());
}

void BM_Raw_tcgetattr(benchmark::State& state) {
    RawPort port;
    termios line{};
    for (auto _ : state) benchmark::DoNotOptimize(tcgetattr(port.fd(), &line));
}

void BM_Module_SetCommBaudRate(benchmark::State& state) {
    PerCallRig r(static_cast<int>(state.range(0)));
    PreparedCall slow(r.measured(), 5, {Value::Integer(9600)});
    PreparedCall fast(r.measured(), 5, {Value::Integer(19200)});
    bool flip = false;
    for (auto _ : state) benchmark::DoNotOptimize((flip = !flip) ? slow.Run() : fast.Run());
}

void BM_Raw_tcgetattr_tcsetattr(benchmark::State& state) {
    RawPort port;
    termios line{};
    bool flip = false;
    for (auto _ : state) {
        tcgetattr(port.fd(), &line);
        cfsetspeed(&line, (flip = !flip) ? B9600 : B19200);
        benchmark::DoNotOptimize(tcsetattr(port.fd(), TCSANOW, &line));
    }
}

void BM_Module_ReadCommEmpty(benchmark::State& state) {
    PerCallRig r(static_cast<int>(state.range(0)));
    PreparedCall call(r.measured(), 3, {});
    for (auto _ : state) benchmark::DoNotOptimize(call.Run());
}

void BM_Raw_FIONREAD(benchmark::State& state) {
    RawPort port;
    int waiting = 0;
    for (auto _ : state) benchmark::DoNotOptimize(ioctl(port.fd(), FIONREAD, &waiting));
}

void BM_Module_ClosedPort(benchmark::State& state) {
    ModuleRig rig(ModulePath());
    PreparedCall call(rig.object(), 4, {});
    for (auto _ : state) benchmark::DoNotOptimize(call.Run());
}

void BM_Module_NumberAbove20(benchmark::State& state) {
    ModuleRig rig(ModulePath());
    PreparedCall call(rig.object(), 21, {});
    for (auto _ : state) benchmark::DoNotOptimize(call.Run());
}

constexpr std::int64_t kSizes[] = {64, 1024, 4096};

// Throughput is measured on the wall clock: the far end's work counts too.
BENCHMARK(BM_Paired_Write)->Arg(kSizes[0])->Arg(kSizes[1])->Arg(kSizes[2])->MinTime(1.0);
BENCHMARK(BM_Raw_ReadPoll)
    ->Arg(kSizes[0])
    ->Arg(kSizes[1])
    ->Arg(kSizes[2])
    ->MinTime(0.5)
    ->UseRealTime();
BENCHMARK(BM_Module_ReadComm)
    ->Arg(kSizes[0])
    ->Arg(kSizes[1])
    ->Arg(kSizes[2])
    ->MinTime(0.5)
    ->UseRealTime();
BENCHMARK(BM_Raw_tcgetattr);
BENCHMARK(BM_Module_GetCommBaudRate)->Arg(1)->Arg(64);
BENCHMARK(BM_Raw_tcgetattr_tcsetattr);
BENCHMARK(BM_Module_SetCommBaudRate)->Arg(1)->Arg(64);
BENCHMARK(BM_Raw_FIONREAD);
BENCHMARK(BM_Module_ReadCommEmpty)->Arg(1)->Arg(64);
BENCHMARK(BM_Module_ClosedPort);
BENCHMARK(BM_Module_NumberAbove20);

}  // namespace
}  // namespace velmora::bench

int main(int argc, char** argv) {
    velmora::bench::PinMeasuredThread();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
