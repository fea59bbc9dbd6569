// Calls that the kernel may make wait, made by a child that is stopped at a bound: a
// read that nothing answers stands in for a close or a break held by a device.
#include "serial/bounded_call.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>

#include "tests/support/elapsed.h"

namespace velmora::testing {
namespace {

using namespace velmora::serial::bounded_call;
using Clock = std::chrono::steady_clock;

class BoundedCallTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(pipe(ends), 0);
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
        for (const int fd : ends) close(fd);
    }
    int ends[2] = {-1, -1};
    sigset_t before{};
};

TEST_F(BoundedCallTest, ACallThatWaitsTooLongIsCutShortAtItsBound) {
    char byte = 0;
    const auto start = Clock::now();
    EXPECT_EQ(SyscallWithin(SYS_read, ends[0], reinterpret_cast<long>(&byte), 1, 200'000),
              Outcome::kCutShort);
    const auto took = MsSince(start);
    EXPECT_GE(took, 190);
    EXPECT_LT(took, 1000);
    ASSERT_EQ(write(ends[1], "x", 1), 1);
    EXPECT_EQ(read(ends[0], &byte, 1), 1) << "the cut-short read took nothing";
}

TEST_F(BoundedCallTest, ACallThatEndsInTimeAnswersAsItDid) {
    ASSERT_EQ(write(ends[1], "x", 1), 1);
    char byte = 0;
    EXPECT_EQ(SyscallWithin(SYS_read, ends[0], reinterpret_cast<long>(&byte), 1, 5'000'000),
              Outcome::kFailed)
        << "read answers a count, not 0";
    EXPECT_EQ(SyscallWithin(SYS_fsync, -1, 0, 0, 5'000'000), Outcome::kFailed);
}

// The child's close is this process's close: the descriptor is gone afterwards.
TEST_F(BoundedCallTest, CloseWithinClosesTheCallersDescriptor) {
    const int fd = ends[1];
    EXPECT_EQ(CloseWithin(fd, 5'000'000), Outcome::kDone);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    ends[1] = -1;
    char byte = 0;
    EXPECT_EQ(read(ends[0], &byte, 1), 0) << "the write end is closed";
}

}  // namespace
}  // namespace velmora::testing
