#include "serial/bounded_call.h"

#include <asm/termbits.h>
#include <linux/futex.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdint>

#include "serial/child_task.h"

namespace velmora::serial::bounded_call {

namespace {

struct SyscallJob {
    long number, a, b, c;
};

int MakeSyscall(void* job) {
    const auto* j = static_cast<SyscallJob*>(job);
    return RawSyscall(j->number, j->a, j->b, j->c) == 0 ? 0 : 1;
}

// The child's close must be the last one: it waits until this process has let go of its
// own descriptor. It drops its copies of every other descriptor first, so that it holds
// no other file of the host's a moment longer than it must.
struct CloseJob {
    int fd;
    std::atomic<int> released;
};

int CloseLast(void* job) {
    auto* j = static_cast<CloseJob*>(job);
    if (j->fd > 0) RawSyscall(SYS_close_range, 0, j->fd - 1, 0);
    RawSyscall(SYS_close_range, j->fd + 1, UINT_MAX, 0);
    while (j->released.load() == 0) {
        RawSyscall(SYS_futex, reinterpret_cast<long>(&j->released), FUTEX_WAIT, 0, 0);
    }
    return RawSyscall(SYS_close, j->fd) == 0 ? 0 : 1;
}

Outcome OutcomeOf(ChildTask::End end) {
    switch (end) {
        case ChildTask::End::kSucceeded:
            return Outcome::kDone;
        case ChildTask::End::kFailed:
            return Outcome::kFailed;
        case ChildTask::End::kKilled:
            break;
    }
    return Outcome::kCutShort;
}

void* CloseOnThisThread(void* fd) {
    close(static_cast<int>(reinterpret_cast<std::intptr_t>(fd)));
    return nullptr;
}

// Without a child, a thread of its own waits for the close; it runs none of the host's
// signal handlers either. The descriptor stays taken until then, so it is never reused
// under the close.
Outcome CloseOnAThread(int fd) {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    sigset_t all;
    sigset_t before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    pthread_t thread;
    const bool started =
        pthread_create(&thread, &attributes, CloseOnThisThread,
                       reinterpret_cast<void*>(static_cast<std::intptr_t>(fd))) == 0;
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    pthread_attr_destroy(&attributes);
    if (started) return Outcome::kCutShort;
    // No task at all can be made here (a pids limit reached): the one wait left.
    return close(fd) == 0 ? Outcome::kDone : Outcome::kFailed;
}

}  // namespace

Outcome SyscallWithin(long number, long a, long b, long c, Micros bound) {
    const Deadline deadline = Deadline::After(MonotonicMicros(), bound);
    const SyscallJob job{number, a, b, c};
    ChildTask child;
    if (!child.Start(MakeSyscall, &job, sizeof job)) return Outcome::kRefused;
    return OutcomeOf(child.Finish(deadline));
}

Outcome CloseWithin(int fd, Micros bound) {
    const Deadline deadline = Deadline::After(MonotonicMicros(), bound);
    CloseJob job{fd, {0}};
    ChildTask child;
    if (!child.Start(CloseLast, &job, sizeof job)) return CloseOnAThread(fd);
    close(fd);  // the child's copy is now the last reference
    auto* released = &static_cast<CloseJob*>(child.Job())->released;
    released->store(1);
    RawSyscall(SYS_futex, reinterpret_cast<long>(released), FUTEX_WAKE, 1, 0);
    return OutcomeOf(child.Finish(deadline));
}

Outcome StartBreakWithin(int fd, Micros bound) {
    const Outcome outcome = SyscallWithin(SYS_ioctl, fd, TIOCSBRK, 0, bound);
    // Killed after the driver set the break (a USB control transfer runs to its end),
    // the child never reports it: the break is ended again, so that 0 is the truth.
    if (outcome == Outcome::kCutShort) ioctl(fd, TIOCCBRK, nullptr);
    return outcome;
}

}  // namespace velmora::serial::bounded_call
