// Runs one call N times, for counting what each costs from outside: system calls with
// strace -c (the difference between N and 0 runs, divided by N), and user-space
// instructions with callgrind, which counts only inside velmora_measured_calls.
// Usage: velmora_call_count OPERATION N [PORTS]. The far end, where an operation needs
// one, is a thread of its own: strace without -f counts only this thread's calls.
#include <sys/ioctl.h>
#include <termios.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "bench/rig.h"

namespace {

using velmora::minihost::PreparedCall;
using velmora::minihost::Value;

}  // namespace

extern "C" __attribute__((noinline)) void velmora_measured_calls(const std::function<void()>& call,
                                                                 long count) {
    for (long i = 0; i < count; ++i) call();
}

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s OPERATION N [PORTS]\n", argv[0]);
        return 2;
    }
    const std::string op = argv[1];
    const long count = std::atol(argv[2]);
    const int ports = argc > 3 ? std::atoi(argv[3]) : 1;
    using namespace velmora::bench;

    ModuleRig rig(VELMORA_MODULE_FILE);
    std::vector<std::unique_ptr<RawPort>> raw;
    std::vector<std::unique_ptr<velmora::minihost::ScriptObject>> objects;
    for (int i = 0; i < ports; ++i) {
        raw.push_back(std::make_unique<RawPort>());
        if (op.rfind("raw-", 0) == 0 || op == "harness") continue;
        raw.back()->CloseTerminalEnd();
        objects.push_back(rig.NewObject());
        if (op != "closed-port" && !rig.Open(*objects.back(), raw.back()->path())) return 1;
    }
    velmora::minihost::ScriptObject& object = objects.empty() ? rig.object() : *objects.back();
    const int fd = raw.back()->fd();
    termios line{};
    int waiting = 0;
    bool flip = false;

    std::unique_ptr<FarEnd> farEnd;
    std::unique_ptr<PreparedCall> prepared, other;
    std::function<void()> call;
    if (op == "GetCommBaudRate" || op == "closed-port") {
        prepared = std::make_unique<PreparedCall>(object, 4, std::vector<Value>{});
    } else if (op == "SetCommBaudRate") {
        prepared =
            std::make_unique<PreparedCall>(object, 5, std::vector<Value>{Value::Integer(9600)});
        other =
            std::make_unique<PreparedCall>(object, 5, std::vector<Value>{Value::Integer(19200)});
    } else if (op == "ReadComm-empty") {
        prepared = std::make_unique<PreparedCall>(object, 3, std::vector<Value>{});
    } else if (op == "WriteComm-64") {
        farEnd = std::make_unique<FarEnd>(raw.back()->device(), FarEnd::Mode::kDrain, 0);
        prepared = std::make_unique<PreparedCall>(
            object, 2, std::vector<Value>{Value::Text(std::string(64, 'w'))});
    } else if (op == "ReadComm-fed") {
        farEnd = std::make_unique<FarEnd>(raw.back()->device(), FarEnd::Mode::kFeed, 64);
        prepared = std::make_unique<PreparedCall>(object, 3, std::vector<Value>{});
    } else if (op == "number-above-20") {
        prepared = std::make_unique<PreparedCall>(object, 21, std::vector<Value>{});
    }
    if (other) {
        call = [&] { ((flip = !flip) ? prepared : other)->Run(); };
    } else if (prepared) {
        call = [&] { prepared->Run(); };
    } else if (op == "raw-tcgetattr") {
        call = [&] { tcgetattr(fd, &line); };
    } else if (op == "raw-tcgetattr-tcsetattr") {
        call = [&] {
            tcgetattr(fd, &line);
            cfsetspeed(&line, (flip = !flip) ? B9600 : B19200);
            tcsetattr(fd, TCSANOW, &line);
        };
    } else if (op == "harness") {
        call = [] {};  // what the counting loop itself costs, to take away
    } else if (op == "raw-FIONREAD") {
        call = [&] { ioctl(fd, FIONREAD, &waiting); };
    } else {
        std::fprintf(stderr, "no operation %s\n", op.c_str());
        return 2;
    }
    call();  // the first call may set things up (a device's error counters are asked once)
    velmora_measured_calls(call, count);
    return 0;
}
