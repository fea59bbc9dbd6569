// What a bounded close costs in a large host. The close is made by a child that shares
// the host's memory, so making it copies no page tables however much is resident; beside
// it, a fork() of the same host (a child with memory of its own, whose page tables are
// copied) and a plain close().
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "serial/bounded_call.h"

namespace velmora::bench {
namespace {

// `mebibytes` of memory, resident (every page written) for as long as it lives.
class Resident {
  public:
    explicit Resident(std::size_t mebibytes) : size_(mebibytes << 20) {
        if (size_ == 0) return;
        memory_ = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (memory_ == MAP_FAILED) {
            memory_ = nullptr;
            return;
        }
        std::memset(memory_, 1, size_);
    }
    ~Resident() {
        if (memory_ != nullptr) munmap(memory_, size_);
    }
    bool ok() const { return size_ == 0 || memory_ != nullptr; }

  private:
    std::size_t size_;
    void* memory_ = nullptr;
};

void BM_BoundedClose(benchmark::State& state) {
    Resident resident(static_cast<std::size_t>(state.range(0)));
    if (!resident.ok()) return state.SkipWithError("no memory");
    for (auto _ : state) {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) return state.SkipWithError("pipe");
        const auto outcome = serial::bounded_call::CloseWithin(ends[1], 500'000);
        close(ends[0]);
        if (outcome != serial::bounded_call::Outcome::kDone) return state.SkipWithError("close");
    }
}

void BM_ForkedChild(benchmark::State& state) {
    Resident resident(static_cast<std::size_t>(state.range(0)));
    if (!resident.ok()) return state.SkipWithError("no memory");
    for (auto _ : state) {
        const pid_t pid = fork();
        if (pid == 0) _exit(0);
        int status = 0;
        waitpid(pid, &status, 0);
    }
}

void BM_Raw_Close(benchmark::State& state) {
    for (auto _ : state) {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) return state.SkipWithError("pipe");
        close(ends[1]);
        close(ends[0]);
    }
}

BENCHMARK(BM_BoundedClose)->Arg(0)->Arg(2048)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ForkedChild)->Arg(2048)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Raw_Close)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace velmora::bench
