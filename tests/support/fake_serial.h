// A serial layer that lives in memory, linked in place of the platform's: it records
// every call with its arguments, and can fail any operation, report error flags, and
// cut reads and writes short.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "serial/comm.h"

namespace velmora::fake {

struct SerialCall {
    std::string op;
    std::vector<std::uint64_t> args;  // the integer arguments after the handle
    std::string text;                 // CreateFileA's name, WriteFile's bytes
    serial::PortHandle port = nullptr;
};

struct FakeSerial {
    std::vector<SerialCall> calls;
    std::set<std::string> failing;          // operations that answer 0
    std::string missingPrefix = "missing";  // names CreateFileA finds no device for
    serial::Dcb dcb{};                      // the port's settings
    serial::CommTimeouts timeouts{};
    std::uint32_t errors = 0;                    // error flags waiting for ClearCommError
    std::string input;                           // bytes received, not yet read
    std::string written;                         // bytes the port took
    std::uint32_t writeLimit = UINT32_MAX;       // a write takes at most this many bytes
    std::uint32_t readLimit = UINT32_MAX;        // a read delivers at most this many bytes
    std::uint32_t reportedWaiting = UINT32_MAX;  // cbInQue to report instead of input's size
    std::set<serial::PortHandle> open;
    std::uintptr_t nextHandle = 0x100;

    static FakeSerial& Get();
    void Reset();
    std::vector<std::string> Ops() const;  // the operations called, in order
    int Count(const std::string& op) const;
    const SerialCall* Last(const std::string& op) const;
};

}  // namespace velmora::fake
