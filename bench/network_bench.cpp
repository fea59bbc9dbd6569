// Ports on device servers beside local ports and raw sockets, in the same run: a getter
// asks the server nothing, a setter costs one round trip, bulk data moves about as fast
// as over a raw socket, and a paced write keeps the server's line busy.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "bench/net_rig.h"
#include "bench/paired.h"
#include "bench/rig.h"

namespace velmora::bench {
namespace {

using minihost::PreparedCall;
using minihost::Value;
using Mode = LoopbackServer::Mode;

// Polls `first` until it reports the first bytes of the server's flood, which begins a
// moment after the connection: the time before it is no part of the measurement.
template <typename First>
bool FeedStarted(First first) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (std::chrono::steady_clock::now() < until) {
        if (first()) return true;
    }
    return false;
}

// The module with `name` open, flow control off.
struct NetworkRig {
    explicit NetworkRig(const std::string& name) : rig(VELMORA_MODULE_FILE) {
        ok = rig.Open(rig.object(), name);
    }
    ModuleRig rig;
    bool ok = false;
};

void BM_Network_GetCommBaudRate(benchmark::State& state) {
    LoopbackServer server(Mode::kDrain, true);
    NetworkRig r(server.Name());
    if (!r.ok) return state.SkipWithError("port refused");
    PreparedCall call(r.rig.object(), 4, {});
    for (auto _ : state) benchmark::DoNotOptimize(call.Run());
}

void BM_Network_SetCommBaudRate(benchmark::State& state) {
    LoopbackServer server(Mode::kDrain, true);
    NetworkRig r(server.Name());
    if (!r.ok) return state.SkipWithError("port refused");
    PreparedCall slow(r.rig.object(), 5, {Value::Integer(9600)});
    PreparedCall fast(r.rig.object(), 5, {Value::Integer(19200)});
    bool flip = false;
    for (auto _ : state) {
        if (!((flip = !flip) ? slow.Run() : fast.Run()).IsInteger(1)) {
            return state.SkipWithError("the setter failed");
        }
    }
}

// One question and its answer over a raw socket, to the same server: what a setter's
// round trip costs at least.
void BM_Raw_SocketRoundTrip(benchmark::State& state) {
    LoopbackServer server(Mode::kDrain, true);
    const int fd = ConnectRaw(server.port());
    unsigned char reply[256];
    std::size_t offered = 0;  // the server's offer of options comes first
    while (offered < 9) {
        pollfd p{fd, POLLIN, 0};
        poll(&p, 1, 1000);
        const ssize_t n = read(fd, reply, sizeof reply);
        if (n <= 0) return state.SkipWithError("no offer");
        offered += static_cast<std::size_t>(n);
    }
    const unsigned char ask[2][10] = {{255, 250, 44, 1, 0, 0, 0x25, 0x80, 255, 240},
                                      {255, 250, 44, 1, 0, 0, 0x4B, 0x00, 255, 240}};
    bool flip = false;
    for (auto _ : state) {
        RawWriteAll(fd, reinterpret_cast<const char*>(ask[flip = !flip]), 10);
        for (std::size_t got = 0; got < 10;) {
            pollfd p{fd, POLLIN, 0};
            poll(&p, 1, 1000);
            const ssize_t n = read(fd, reply, sizeof reply);
            if (n <= 0) return state.SkipWithError("no answer");
            got += static_cast<std::size_t>(n);
        }
    }
    close(fd);
}

// Raw sends and WriteComm in alternating blocks (bench/paired.h), each to a server of its
// own. Argument: 0 socket://, 1 rfc2217:// whose server does not tell its rate (nothing
// to pace by: the encoding's own cost).
void BM_Paired_NetworkWrite(benchmark::State& state) {
    const bool telnet = state.range(0) == 1;
    LoopbackServer forModule(Mode::kDrain, telnet, false);
    LoopbackServer forRaw(Mode::kDrain, false);
    NetworkRig r(forModule.Name());
    const int raw = ConnectRaw(forRaw.port());
    if (!r.ok || raw < 0) return state.SkipWithError("port refused");
    const std::string data(4096, 'w');
    PreparedCall write(r.rig.object(), 2, {Value::Text(data)});
    PairedBlocks(
        state, data.size(), [&] { return RawWriteAll(raw, data.data(), data.size()); },
        [&] { return write.Run().IsInteger(static_cast<std::int32_t>(data.size())); });
    close(raw);
}

// ReadComm polled while the server sends as fast as the port takes it. Argument: 0
// socket://, 1 rfc2217://.
void BM_Network_ReadComm(benchmark::State& state) {
    LoopbackServer server(Mode::kFeed, state.range(0) == 1);
    NetworkRig r(server.Name());
    if (!r.ok) return state.SkipWithError("port refused");
    PreparedCall read(r.rig.object(), 3, {});
    SequenceCheck check(/*fromAnywhere=*/true);  // the open purges what came before
    std::int64_t bytes = 0;
    if (!FeedStarted([&] {
            const Value& got = read.Run();
            return got.IsText() && !got.text.empty() && check.TakeText(got);
        })) {
        return state.SkipWithError("nothing arrived");
    }
    for (auto _ : state) {
        const Value& got = read.Run();
        if (!check.TakeText(got)) return state.SkipWithError("bytes changed");
        bytes += static_cast<std::int64_t>(got.text.size());
    }
    state.SetBytesProcessed(bytes);
}

void BM_Raw_SocketReadPoll(benchmark::State& state) {
    LoopbackServer server(Mode::kFeed, false);
    const int fd = ConnectRaw(server.port());
    std::vector<unsigned char> buffer(1 << 20);
    SequenceCheck check(/*fromAnywhere=*/true);  // the open purges what came before
    std::int64_t bytes = 0;
    if (!FeedStarted([&] {
            const ssize_t n = read(fd, buffer.data(), buffer.size());
            return n > 0 && check.Take(buffer.data(), static_cast<std::size_t>(n));
        })) {
        return state.SkipWithError("nothing arrived");
    }
    for (auto _ : state) {
        int waiting = 0;
        ioctl(fd, FIONREAD, &waiting);
        if (waiting == 0) continue;
        const ssize_t n = read(fd, buffer.data(), std::min(buffer.size(), std::size_t(waiting)));
        if (n <= 0) continue;
        if (!check.Take(buffer.data(), static_cast<std::size_t>(n))) {
            return state.SkipWithError("bytes changed");
        }
        bytes += n;
    }
    close(fd);
    state.SetBytesProcessed(bytes);
}

// WriteComm on an rfc2217:// line at 921600 baud (8N1: 92160 bytes a second): how much
// of the line's rate the paced writes keep.
void BM_Network_PacedWrite(benchmark::State& state) {
    LoopbackServer server(Mode::kDrain, true);
    NetworkRig r(server.Name());
    if (!r.ok) return state.SkipWithError("port refused");
    if (!PreparedCall(r.rig.object(), 5, {Value::Integer(921600)}).Run().IsInteger(1)) {
        return state.SkipWithError("the rate was refused");
    }
    const std::string data(4096, 'w');
    PreparedCall write(r.rig.object(), 2, {Value::Text(data)});
    std::int64_t bytes = 0;
    for (auto _ : state) {
        if (!write.Run().IsInteger(4096)) return state.SkipWithError("short write");
        bytes += 4096;
    }
    state.SetBytesProcessed(bytes);
    state.counters["line_Bps"] = 92160;
}

BENCHMARK(BM_Network_GetCommBaudRate);
BENCHMARK(BM_Network_SetCommBaudRate);
BENCHMARK(BM_Raw_SocketRoundTrip);
BENCHMARK(BM_Paired_NetworkWrite)->Arg(0)->Arg(1)->MinTime(1.0);
BENCHMARK(BM_Network_ReadComm)->Arg(0)->Arg(1)->MinTime(0.5)->UseRealTime();
BENCHMARK(BM_Raw_SocketReadPoll)->MinTime(0.5)->UseRealTime();
BENCHMARK(BM_Network_PacedWrite)->MinTime(2.0)->UseRealTime();

}  // namespace
}  // namespace velmora::bench
