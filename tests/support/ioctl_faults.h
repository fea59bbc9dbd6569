// Linked with -Wl,--wrap=ioctl: every ioctl the serial layer makes passes through here,
// where a test can make chosen requests fail and can stand in for what a pty lacks
// (modem lines, receive error counters).
#pragma once

#include <errno.h>
#include <linux/serial.h>

namespace velmora::testing::ioctls {

// From the `nth` next call of `request` on (1: the very next), `times` calls fail
// with `error`.
void Fail(unsigned long request, int nth = 1, int times = 1, int error = EIO);

// Calls of `request` made since the last Reset.
int Count(unsigned long request);

// What the stand-in device has. With modemLines, TIOCMGET, TIOCMBIS and TIOCMBIC work
// on `lines`; with counters, TIOCGICOUNT answers `icount`.
struct Device {
    bool modemLines = false;
    int lines = 0;
    bool counters = false;
    serial_icounter_struct icount{};
};
Device& StandIn();

void Reset();

}  // namespace velmora::testing::ioctls
