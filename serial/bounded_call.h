// Calls on a tty that the kernel makes wait for output, with a bound of the caller's.
//
// close() waits up to the port's closing_wait (30 s unless an administrator changed it)
// for the driver's queue and the device's own buffer to empty; TIOCSBRK first waits for
// the same without any limit. A device that takes no more bytes, or holds them behind
// CTS, holds either call, and only a privileged process may shorten closing_wait. Both
// waits end early on a signal, though, so the call is made by a short-lived child
// process that shares this process's descriptors and is killed when the bound passes:
// the kernel then finishes the close (the driver drops what it still held) or gives
// the break up. The child leaves the host's signal handlers alone and raises no SIGCHLD.
#pragma once

#include "serial/output_queue.h"

namespace velmora::serial::bounded_call {

enum class Outcome { kDone, kCutShort, kFailed };

// The system call `number` with three arguments, made by such a child: kDone when it
// answered 0, kFailed when it answered an error, kCutShort when `bound` passed first.
Outcome SyscallWithin(long number, long a, long b, long c, Micros bound);

// Closes `fd`; kCutShort when the bound passed first (the descriptor is closed all the
// same). Where no child can be made, closes here and waits as long as the kernel does.
Outcome CloseWithin(int fd, Micros bound);

// Starts a break on `fd`; kCutShort when the output did not drain within the bound,
// and the break was not started.
Outcome StartBreakWithin(int fd, Micros bound);

}  // namespace velmora::serial::bounded_call
