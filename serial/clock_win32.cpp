#include <windows.h>

#include "serial/deadline.h"

namespace velmora::serial {

// The performance counter is monotonic and its rate fixed at boot (Windows XP and later
// never fail these calls).
Micros MonotonicMicros() {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    const LONGLONG perSecond = frequency.QuadPart;
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<Micros>(now.QuadPart / perSecond * 1'000'000 +
                               now.QuadPart % perSecond * 1'000'000 / perSecond);
}

}  // namespace velmora::serial
