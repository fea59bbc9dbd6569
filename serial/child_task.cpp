#include "serial/child_task.h"

#include <errno.h>
#include <linux/sched.h>  // clone_args
#include <poll.h>
#include <pthread.h>
#include <sched.h>  // clone()
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstring>

#include "serial/poll_until.h"

namespace velmora::serial {

namespace {

// The job first, then the stack, which grows down towards it. A child makes a few
// system calls and nothing else; a sanitizer's instrumentation needs more than that.
constexpr std::size_t kMemorySize = 64 * 1024;
constexpr std::size_t kJobRoom = 256;

// How long a killed child may take to end before it is left to be reaped later: long
// enough for the kernel to finish any call that a kill ends at once.
constexpr Micros kAfterTheKill = 100'000;

// Children that the kernel kept busy after their kill (a USB control transfer cannot be
// interrupted), reaped by the next child's start. A full table is waited on.
struct Straggler {
    pid_t pid = -1;
    int pidfd = -1;
    void* memory = nullptr;
};
pthread_mutex_t stragglersLock = PTHREAD_MUTEX_INITIALIZER;
std::array<Straggler, 16> stragglers;

bool TryReap(pid_t pid, int pidfd, bool wait, siginfo_t* info) {
    const int options = WEXITED | __WALL | (wait ? 0 : WNOHANG);
    for (;;) {
        *info = siginfo_t{};
        const int r = pidfd >= 0 ? waitid(P_PIDFD, static_cast<id_t>(pidfd), info, options)
                                 : waitid(P_PID, static_cast<id_t>(pid), info, options);
        if (r == 0) return info->si_pid != 0;
        if (errno == EINTR) continue;
        // Gone already (ECHILD): nothing is left to reap.
        return true;
    }
}

void Free(pid_t, int pidfd, void* memory) {
    if (pidfd >= 0) close(pidfd);
    munmap(memory, kMemorySize);
}

void ReapStragglers(bool makeRoom) {
    pthread_mutex_lock(&stragglersLock);
    bool full = true;
    for (Straggler& s : stragglers) {
        siginfo_t info;
        if (s.memory != nullptr && TryReap(s.pid, s.pidfd, false, &info)) {
            Free(s.pid, s.pidfd, s.memory);
            s = Straggler{};
        }
        if (s.memory == nullptr) full = false;
    }
    if (makeRoom && full) {
        siginfo_t info;
        TryReap(stragglers[0].pid, stragglers[0].pidfd, true, &info);
        Free(stragglers[0].pid, stragglers[0].pidfd, stragglers[0].memory);
        stragglers[0] = Straggler{};
    }
    pthread_mutex_unlock(&stragglersLock);
}

void LeaveToBeReaped(pid_t pid, int pidfd, void* memory) {
    pthread_mutex_lock(&stragglersLock);
    for (Straggler& s : stragglers) {
        if (s.memory == nullptr) {
            s = Straggler{pid, pidfd, memory};
            pthread_mutex_unlock(&stragglersLock);
            return;
        }
    }
    pthread_mutex_unlock(&stragglersLock);
    siginfo_t info;  // cannot happen: the start made room
    TryReap(pid, pidfd, true, &info);
    Free(pid, pidfd, memory);
}

#if defined(__x86_64__)
// clone3 with a stack of the caller's: the child starts on that stack with nothing of
// the caller's frame, so it cannot return into C++; it calls work(job) and exits with
// its answer. The kernel keeps every register but rax, rcx and r11 across the call, and
// the child's copy of them, so work and job ride in r8 and r9.
extern "C" long velmora_clone3_call(clone_args* args, std::size_t size, ChildWork work, void* job)
    __attribute__((visibility("hidden")));
asm(R"(
    .pushsection .text
    .p2align 4
    .globl velmora_clone3_call
    .hidden velmora_clone3_call
    .type velmora_clone3_call, @function
velmora_clone3_call:
    mov %rdx, %r8
    mov %rcx, %r9
    mov $435, %eax
    syscall
    test %rax, %rax
    jnz 1f
    xor %ebp, %ebp
    mov %r9, %rdi
    call *%r8
    mov %eax, %edi
    mov $60, %eax
    syscall
    hlt
1:  ret
    .size velmora_clone3_call, .-velmora_clone3_call
    .popsection
)");
static_assert(SYS_clone3 == 435 && SYS_exit == 60);

long Clone3(ChildWork work, void* job, void* stack, std::size_t stackSize, int* pidfd) {
    clone_args args{};
    args.flags = CLONE_VM | CLONE_PIDFD;
    args.pidfd = reinterpret_cast<std::uintptr_t>(pidfd);
    args.exit_signal = 0;
    args.stack = reinterpret_cast<std::uintptr_t>(stack);
    args.stack_size = stackSize;
    return velmora_clone3_call(&args, sizeof args, work, job);
}
#else
// Elsewhere the C library's clone(2) wrapper does what the trampoline above does.
long Clone3(ChildWork, void*, void*, std::size_t, int*) {
    return -ENOSYS;
}
#endif

long Clone(ChildWork work, void* job, void* stack, std::size_t stackSize, int* pidfd) {
    // Exit signal 0, in the flags' low byte: nothing is sent when the child ends.
    const int pid =
        clone(work, static_cast<char*>(stack) + stackSize, CLONE_VM | CLONE_PIDFD, job, pidfd);
    return pid >= 0 ? pid : -errno;
}

}  // namespace

long RawSyscall(long number, long a, long b, long c, long d) {
#if defined(__x86_64__)
    long result;
    register long r10 asm("r10") = d;
    asm volatile("syscall"
                 : "=a"(result)
                 : "a"(number), "D"(a), "S"(b), "d"(c), "r"(r10)
                 : "rcx", "r11", "memory");
    return result;
#else
    // The C library's wrapper sets errno on failure, which the child shares with the
    // thread that made it: that thread only waits meanwhile and reads errno after its
    // own calls, so at worst it retries a wait.
    const long result = syscall(number, a, b, c, d);
    return result < 0 ? -errno : result;
#endif
}

ChildTask::~ChildTask() {
    if (pid_ > 0) Finish(Deadline::At(0));
}

bool ChildTask::Start(ChildWork work, const void* job, std::size_t jobSize) {
    if (jobSize > kJobRoom) return false;
    ReapStragglers(true);
    void* memory = mmap(nullptr, kMemorySize, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK | MAP_NORESERVE, -1, 0);
    if (memory == MAP_FAILED) return false;
    std::memcpy(memory, job, jobSize);
    auto* stack = static_cast<char*>(memory) + kJobRoom;
    const std::size_t stackSize = kMemorySize - kJobRoom;

    sigset_t all;
    sigset_t before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    int pidfd = -1;
    long pid = Clone3(work, memory, stack, stackSize, &pidfd);
    if (pid < 0) pid = Clone(work, memory, stack, stackSize, &pidfd);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);

    if (pid < 0) {
        munmap(memory, kMemorySize);
        errno = static_cast<int>(-pid);
        return false;
    }
    pid_ = static_cast<pid_t>(pid);
    pidfd_ = pidfd;  // a kernel older than pidfds ignores the flag and leaves it -1
    memory_ = memory;
    return true;
}

void* ChildTask::Job() const {
    return memory_;
}

bool ChildTask::Ended(Deadline deadline) {
    if (pidfd_ >= 0) return PollUntil(pidfd_, POLLIN, deadline) != Wait::kTimedOut;
    for (;;) {
        siginfo_t info{};
        if (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT | __WALL) !=
                0 ||
            info.si_pid != 0) {
            return true;
        }
        if (deadline.PassedAt(MonotonicMicros())) return false;
        const timespec pause{0, 1'000'000};
        nanosleep(&pause, nullptr);
    }
}

ChildTask::End ChildTask::Reap() {
    siginfo_t info;
    TryReap(pid_, pidfd_, true, &info);
    Free(pid_, pidfd_, memory_);
    Release();
    if (info.si_code == CLD_EXITED) return info.si_status == 0 ? End::kSucceeded : End::kFailed;
    return End::kKilled;
}

void ChildTask::Release() {
    pid_ = -1;
    pidfd_ = -1;
    memory_ = nullptr;
}

ChildTask::End ChildTask::Finish(Deadline deadline) {
    if (Ended(deadline)) return Reap();
    if (pidfd_ < 0 || RawSyscall(SYS_pidfd_send_signal, pidfd_, SIGKILL, 0, 0) < 0) {
        kill(pid_, SIGKILL);  // not reaped yet, so the pid is still the child's
    }
    if (Ended(Deadline::After(MonotonicMicros(), kAfterTheKill))) return Reap();
    LeaveToBeReaped(pid_, pidfd_, memory_);
    Release();
    return End::kKilled;
}

}  // namespace velmora::serial
