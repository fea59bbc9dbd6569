#include <time.h>

#include "serial/deadline.h"

namespace velmora::serial {

Micros MonotonicMicros() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<Micros>(now.tv_sec) * 1'000'000 + now.tv_nsec / 1000;
}

}  // namespace velmora::serial
