// Calls on a tty that the kernel makes wait for output, with a bound of the caller's.
//
// close() waits up to the port's closing_wait (30 s unless an administrator changed it)
// for the driver's queue and the device's own buffer to empty; TIOCSBRK first waits for
// the same without any limit. A device that takes no more bytes, or holds them behind
// CTS, holds either call, and only a privileged process may shorten closing_wait. Both
// waits end early on a signal, though, so the call is made by a child task
// (serial/child_task.h) that is killed when the bound passes: the kernel then finishes
// the close (the driver drops what it still held) or gives the break up.
#pragma once

#include "serial/deadline.h"

namespace velmora::serial::bounded_call {

enum class Outcome {
    kDone,      // the call answered 0 in time (or just as the bound passed)
    kCutShort,  // the bound passed first
    kFailed,    // the call answered an error
    kRefused,   // no child could be made, and the call was not made
};

// The system call `number` with three arguments, made by a child: kRefused when no
// child can be made.
Outcome SyscallWithin(long number, long a, long b, long c, Micros bound);

// Closes `fd`: this process's descriptor at once, the open file by a child that holds the
// last reference to it, so that the file is closed whatever becomes of the child (its end,
// or its kill, drops that reference). kCutShort when the bound passed first. Where no
// child can be made, the close is finished on a thread of its own while this returns
// (kCutShort), and where not even that can be made, here (as long as the kernel waits).
Outcome CloseWithin(int fd, Micros bound);

// Starts a break on `fd` by a child: kDone when the output drained and the break began
// in time. A break cut short is ended again (TIOCCBRK does not wait), so whatever the
// moment of the kill, the line is in break exactly when this answers kDone. Where no
// child can be made, the break is not started (kRefused).
Outcome StartBreakWithin(int fd, Micros bound);

}  // namespace velmora::serial::bounded_call
