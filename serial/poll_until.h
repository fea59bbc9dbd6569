// The one wait on a descriptor in the Linux backend. Internal to serial/.
#pragma once

#include "serial/deadline.h"

namespace velmora::serial {

// Waits until `fd` is ready for `events` or has gone (POLLHUP, POLLERR), at most until
// `deadline`. With no events it waits only for the device to go. A signal does not end it.
Wait PollUntil(int fd, short events, Deadline deadline);

}  // namespace velmora::serial
