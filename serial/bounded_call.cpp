#include "serial/bounded_call.h"

#include <asm/termbits.h>
#include <errno.h>
#include <linux/sched.h>  // clone_args, CLONE_FILES, CLONE_PIDFD
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

namespace velmora::serial::bounded_call {

namespace {

Micros Now() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<Micros>(now.tv_sec) * 1'000'000 + now.tv_nsec / 1000;
}

// Waits until the child behind `pidfd` has ended, or `deadline` has passed.
bool AwaitEnd(int pidfd, Micros deadline) {
    for (;;) {
        const Micros left = deadline - Now();
        if (left <= 0) return false;
        pollfd p{pidfd, POLLIN, 0};
        const int n = poll(&p, 1, static_cast<int>(std::min<Micros>((left + 999) / 1000, 60'000)));
        if (n > 0) return true;
        if (n < 0 && errno != EINTR) return false;
    }
}

}  // namespace

Outcome SyscallWithin(long number, long a, long b, long c, Micros bound) {
    int pidfd = -1;
    clone_args args{};
    // The child shares the descriptor table, so a close it makes is this process's
    // close, and the last one; it has memory of its own, so nothing it does can touch
    // this process's; and it sends no signal when it ends.
    args.flags = CLONE_FILES | CLONE_PIDFD;
    args.pidfd = reinterpret_cast<std::uintptr_t>(&pidfd);
    args.exit_signal = 0;
    const Micros deadline = Now() + bound;
    const long child = syscall(SYS_clone3, &args, sizeof args);
    if (child == 0) {
        // The child: nothing but system calls from here to its end.
        const long result = syscall(number, a, b, c);
        syscall(SYS_exit, result == 0 ? 0 : 1);
    }
    if (child < 0) {
        // No child to be had (an old kernel, a sandbox): the call is made here, and
        // waits as long as the kernel makes it.
        return syscall(number, a, b, c) == 0 ? Outcome::kDone : Outcome::kFailed;
    }
    const bool ended = AwaitEnd(pidfd, deadline);
    if (!ended) syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0);
    // Killed, the child is gone as soon as the kernel has finished the call's work.
    siginfo_t info{};
    while (waitid(P_PIDFD, static_cast<id_t>(pidfd), &info, WEXITED | __WALL) < 0 &&
           errno == EINTR) {
    }
    close(pidfd);
    if (!ended) return Outcome::kCutShort;
    return info.si_code == CLD_EXITED && info.si_status == 0 ? Outcome::kDone : Outcome::kFailed;
}

Outcome CloseWithin(int fd, Micros bound) {
    return SyscallWithin(SYS_close, fd, 0, 0, bound);
}

Outcome StartBreakWithin(int fd, Micros bound) {
    return SyscallWithin(SYS_ioctl, fd, TIOCSBRK, 0, bound);
}

}  // namespace velmora::serial::bounded_call
