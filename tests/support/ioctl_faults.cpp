#include "tests/support/ioctl_faults.h"

#include <asm/termbits.h>
#include <errno.h>
#include <sys/ioctl.h>

#include <cstdarg>
#include <map>
#include <vector>

extern "C" int __real_ioctl(int fd, unsigned long request, ...);

namespace velmora::testing::ioctls {

namespace {

struct Rule {
    unsigned long request;
    int skip;
    int times;
    int error;
};

struct State {
    std::vector<Rule> rules;
    std::map<unsigned long, int> counts;
    Device device;
};

State& Get() {
    static State state;
    return state;
}

// True when a rule makes this call fail.
bool Failing(unsigned long request) {
    for (Rule& rule : Get().rules) {
        if (rule.request != request || rule.times == 0) continue;
        if (rule.skip > 0) {
            --rule.skip;
            continue;
        }
        --rule.times;
        errno = rule.error;
        return true;
    }
    return false;
}

}  // namespace

void Fail(unsigned long request, int nth, int times, int error) {
    Get().rules.push_back({request, nth - 1, times, error});
}

int Count(unsigned long request) {
    return Get().counts[request];
}

Device& StandIn() {
    return Get().device;
}

void Reset() {
    Get() = State{};
}

}  // namespace velmora::testing::ioctls

using namespace velmora::testing::ioctls;

extern "C" int __wrap_ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    ++Get().counts[request];
    if (Failing(request)) return -1;
    Device& device = Get().device;
    if (device.modemLines) {
        int* lines = static_cast<int*>(arg);
        switch (request) {
            case TIOCMGET:
                *lines = device.lines;
                return 0;
            case TIOCMBIS:
                device.lines |= *lines;
                return 0;
            case TIOCMBIC:
                device.lines &= ~*lines;
                return 0;
            default:
                break;
        }
    }
    if (device.counters && request == TIOCGICOUNT) {
        *static_cast<serial_icounter_struct*>(arg) = device.icount;
        return 0;
    }
    return __real_ioctl(fd, request, arg);
}
