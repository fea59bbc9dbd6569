// Calls that the kernel may make wait, made by a child task that is stopped at a bound: a
// read that nothing answers stands in for a close or a break held by a device. The bound
// must hold however the host is placed: in a container whose seccomp profile refuses
// clone3, under a pids limit, with signals arriving, and at the very moment it passes.
// Linked with the ioctl stand-in (tests/support/ioctl_faults.h), which counts what the
// host itself asks of the device.
#include "serial/bounded_call.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/sched.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <stddef.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/elapsed.h"
#include "tests/support/ioctl_faults.h"
#include "tests/support/pty_pair.h"

namespace velmora::testing {
namespace {

using namespace velmora::serial::bounded_call;
using Clock = std::chrono::steady_clock;
using serial::Micros;

// What a process of the test's own may not do: clone3 answers ENOSYS as in a container;
// "pids" also has every clone that asks for a pidfd (never a thread's) answer EAGAIN, and
// "tasks" every clone at all, as a pids limit does.
enum class Refused { kClone3, kChildren, kTasks };

bool InstallFilter(Refused refused) {
    const unsigned clone3Error = refused == Refused::kTasks ? EAGAIN : ENOSYS;
    std::vector<sock_filter> program = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_clone3, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | clone3Error),
    };
    if (refused != Refused::kClone3) {
        const unsigned mask = refused == Refused::kTasks ? 0xFFFFFFFFu : CLONE_PIDFD;
        program.insert(program.end(),
                       {BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_clone, 0, 3),
                        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
                        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, mask, 0, 1),
                        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EAGAIN)});
    }
    program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    const sock_fprog fprog{static_cast<unsigned short>(program.size()), program.data()};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &fprog) == 0;
}

// Runs `body` in a forked process under the filter; an alarm ends a call that never
// returns. The body's answer: 0, or the number of the check that failed.
int UnderFilter(Refused refused, const std::function<int()>& body) {
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(10);
        _exit(InstallFilter(refused) ? body() : 100);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    // The fork's own SIGCHLD, which the fixture holds pending, is not the bounded call's.
    sigset_t child;
    sigemptyset(&child);
    sigaddset(&child, SIGCHLD);
    const timespec now{};
    sigtimedwait(&child, nullptr, &now);
    if (WIFSIGNALED(status)) return 200 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

bool ReadsAtItsEnd(int fd) {
    char byte = 0;
    return read(fd, &byte, 1) == 0;
}

// The children of this process, as the kernel lists them.
std::vector<pid_t> Children() {
    std::vector<pid_t> children;
    const std::string path = "/proc/self/task/" + std::to_string(getpid()) + "/children";
    if (FILE* file = std::fopen(path.c_str(), "r")) {
        int pid = 0;
        while (std::fscanf(file, "%d", &pid) == 1) children.push_back(pid);
        std::fclose(file);
    }
    return children;
}

int signalled[2] = {-1, -1};
void NoteSignal(int) {
    const char mark = 's';
    (void)!write(signalled[1], &mark, 1);
}

class BoundedCallTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
        ASSERT_EQ(fcntl(ends[0], F_SETFL, O_NONBLOCK), 0);
        // The host never hears of the child: no SIGCHLD when it ends.
        sigset_t child;
        sigemptyset(&child);
        sigaddset(&child, SIGCHLD);
        ASSERT_EQ(sigprocmask(SIG_BLOCK, &child, &before), 0);
    }
    void TearDown() override {
        sigset_t pending;
        sigpending(&pending);
        EXPECT_FALSE(sigismember(&pending, SIGCHLD)) << "the host was sent SIGCHLD";
        sigprocmask(SIG_SETMASK, &before, nullptr);
        for (const int fd : ends) {
            if (fd >= 0) close(fd);
        }
    }
    // A read that nothing answers: cut short at the bound, and taking nothing.
    int CutShortAtTheBound() {
        char byte = 0;
        const auto start = Clock::now();
        const Outcome outcome =
            SyscallWithin(SYS_read, ends[0], reinterpret_cast<long>(&byte), 1, 200'000);
        const auto took = MsSince(start);
        if (outcome != Outcome::kCutShort) return 1;
        if (took < 190 || took > 1000) return 2;
        return 0;
    }
    int ends[2] = {-1, -1};
    sigset_t before{};
};

TEST_F(BoundedCallTest, ACallThatWaitsTooLongIsCutShortAtItsBound) {
    ASSERT_EQ(fcntl(ends[0], F_SETFL, 0), 0);  // a read that waits
    EXPECT_EQ(CutShortAtTheBound(), 0);
    ASSERT_EQ(write(ends[1], "x", 1), 1);
    char byte = 0;
    EXPECT_EQ(read(ends[0], &byte, 1), 1) << "the cut-short read took nothing";
}

TEST_F(BoundedCallTest, ACallThatEndsInTimeAnswersAsItDid) {
    ASSERT_EQ(write(ends[1], "x", 1), 1);
    char byte = 0;
    EXPECT_EQ(SyscallWithin(SYS_read, ends[0], reinterpret_cast<long>(&byte), 1, 5'000'000),
              Outcome::kFailed)
        << "read answers a count, not 0";
    EXPECT_EQ(SyscallWithin(SYS_fsync, -1, 0, 0, 5'000'000), Outcome::kFailed);
    EXPECT_EQ(SyscallWithin(SYS_fsync, ends[1], 0, 0, 5'000'000), Outcome::kFailed);
    EXPECT_EQ(SyscallWithin(SYS_close_range, 1000, 1000, 0, 5'000'000), Outcome::kDone);
}

// The descriptor is gone from the caller at once, and the open file with the child,
// whenever the bound passes: even a bound that has passed before the child has run
// leaves nothing open (no descriptor, no file, no lock for the next open to meet).
TEST_F(BoundedCallTest, AClosedDescriptorAndItsFileAreGoneWhateverTheBound) {
    for (const Micros bound : {Micros{5'000'000}, Micros{1}}) {
        for (int i = 0; i < (bound == 1 ? 300 : 1); ++i) {
            int pair[2];
            ASSERT_EQ(pipe2(pair, O_CLOEXEC | O_NONBLOCK), 0);
            const Outcome outcome = CloseWithin(pair[1], bound);
            if (bound > 1) {
                EXPECT_EQ(outcome, Outcome::kDone);
            }
            EXPECT_EQ(fcntl(pair[1], F_GETFD), -1) << "the caller's descriptor is closed";
            EXPECT_TRUE(ReadsAtItsEnd(pair[0])) << "close " << i << " left the file open";
            close(pair[0]);
        }
    }
}

// The bound passing as the driver sets the break (a USB control transfer runs to its end
// after the kill) must not leave the line in break behind an answer of 0: every break
// cut short is ended again.
TEST_F(BoundedCallTest, ABreakCutShortIsEndedAgain) {
    PtyPair pty;
    const int fd = open(pty.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    int cutShort = 0;
    for (const Micros bound : {Micros{1}, Micros{5'000'000}}) {
        for (int i = 0; i < (bound == 1 ? 100 : 3); ++i) {
            const int ended = ioctls::Count(TIOCCBRK);
            const Outcome outcome = StartBreakWithin(fd, bound);
            ASSERT_TRUE(outcome == Outcome::kDone || outcome == Outcome::kCutShort);
            cutShort += outcome == Outcome::kCutShort;
            EXPECT_EQ(ioctls::Count(TIOCCBRK) > ended, outcome == Outcome::kCutShort)
                << "bound " << bound;
        }
    }
    EXPECT_GT(cutShort, 0) << "no break was cut short";
    close(fd);
}

// Containers' default seccomp profiles answer clone3 with ENOSYS: clone(2) serves.
TEST_F(BoundedCallTest, InAContainerThatRefusesClone3TheBoundHolds) {
    ASSERT_EQ(fcntl(ends[0], F_SETFL, 0), 0);
    EXPECT_EQ(UnderFilter(Refused::kClone3, [&] { return CutShortAtTheBound(); }), 0);
}

// With no child to be had, a break is refused at once rather than left to wait; a close
// is finished on a thread, and the call returns.
TEST_F(BoundedCallTest, WithoutAChildABreakIsRefusedAndACloseGoesOnAThread) {
    // The pipe is the forked process's own: the test's copy of a descriptor would keep
    // the file open whatever the close did.
    EXPECT_EQ(UnderFilter(Refused::kChildren,
                          [] {
                              int pair[2];
                              if (pipe2(pair, O_NONBLOCK) != 0) return 9;
                              const auto start = Clock::now();
                              if (StartBreakWithin(pair[1], 200'000) != Outcome::kRefused) return 1;
                              if (MsSince(start) > 100) return 2;
                              if (CloseWithin(pair[1], 200'000) != Outcome::kCutShort) return 3;
                              for (int i = 0; i < 100 && !ReadsAtItsEnd(pair[0]); ++i) {
                                  usleep(10'000);
                              }
                              return ReadsAtItsEnd(pair[0]) ? 0 : 4;
                          }),
              0);
    EXPECT_EQ(UnderFilter(Refused::kTasks,
                          [] {
                              int pair[2];
                              if (pipe2(pair, O_NONBLOCK) != 0) return 9;
                              if (CloseWithin(pair[1], 200'000) != Outcome::kDone) return 1;
                              return ReadsAtItsEnd(pair[0]) ? 0 : 2;
                          }),
              0);
}

// A signal sent to the child (as a Ctrl-C or a service manager's SIGTERM reaches the whole
// process group) runs none of the host's handlers there.
TEST_F(BoundedCallTest, TheChildRunsNoneOfTheHostsHandlers) {
    ASSERT_EQ(pipe2(signalled, O_CLOEXEC | O_NONBLOCK), 0);
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = NoteSignal;
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    ASSERT_EQ(fcntl(ends[0], F_SETFL, 0), 0);
    int signalledChildren = 0;
    std::thread sender([&] {
        for (int i = 0; i < 100 && signalledChildren == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            for (const pid_t child : Children()) signalledChildren += kill(child, SIGUSR1) == 0;
        }
    });
    EXPECT_EQ(CutShortAtTheBound(), 0);
    sender.join();
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_GT(signalledChildren, 0) << "the child was never seen";
    char mark = 0;
    EXPECT_EQ(read(signalled[0], &mark, 1), -1) << "a handler ran in the child";
    close(signalled[0]);
    close(signalled[1]);
}

}  // namespace
}  // namespace velmora::testing
