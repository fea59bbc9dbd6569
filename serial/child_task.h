// A short-lived child task for one system call that the kernel may make wait too long.
//
// The child shares this process's memory, so making it copies no page tables however
// large the host is, and runs on a small stack of its own; it gets a copy of the
// descriptor table, so it can hold the last reference to a file that this process has
// already closed. It is made with every signal blocked, so it runs none of the host's
// handlers (a Ctrl-C or a service manager's SIGTERM to the process group stays pending in
// it until it ends), and it raises no SIGCHLD: its end is seen through a pidfd, or, on a
// kernel without pidfds, by asking. It is made with clone3, else with clone(2) (seccomp
// profiles of container runtimes answer clone3 with ENOSYS so that programs fall back).
// Linux only; internal to serial/.
#pragma once

#include <sys/types.h>

#include <cstddef>

#include "serial/deadline.h"

namespace velmora::serial {

// The child's work: it may make system calls only through RawSyscall (it shares this
// process's memory and its thread's TLS, errno included), and answers its exit status.
using ChildWork = int (*)(void* job);

// A system call made without touching errno: the result, or -errno.
long RawSyscall(long number, long a = 0, long b = 0, long c = 0, long d = 0);

class ChildTask {
  public:
    enum class End { kSucceeded, kFailed, kKilled };

    ChildTask() = default;
    ChildTask(const ChildTask&) = delete;
    ChildTask& operator=(const ChildTask&) = delete;
    // A child still running is killed and reaped.
    ~ChildTask();

    // Starts work(copy of job) in a child. False, with nothing started, when no child can
    // be made here (a pids limit, a filter that refuses both clones, no memory).
    bool Start(ChildWork work, const void* job, std::size_t jobSize);

    // The child's job as it sees it, in the memory it runs on (valid until the end).
    void* Job() const;

    // Waits for the child to end until `deadline`; past it, kills the child. The end
    // is the child's own exit status, whenever the kill came: a child that finished its
    // call just as the bound passed has succeeded. A child the kernel keeps busy after the
    // kill (a USB transfer it cannot interrupt) is reaped later, so this never waits much
    // past the deadline.
    End Finish(Deadline deadline);

  private:
    bool Ended(Deadline deadline);
    End Reap();
    void Release();

    pid_t pid_ = -1;
    int pidfd_ = -1;  // -1 on a kernel without pidfds
    void* memory_ = nullptr;
};

}  // namespace velmora::serial
