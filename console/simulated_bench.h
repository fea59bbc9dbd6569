// The demo's simulated bench instrument on a virtual cable, where the system can make
// one (Linux: a pseudo-terminal pair; simulated_bench_linux.cpp). Windows has no such
// cable, so there the demo and scripts need a real port (simulated_bench_win32.cpp).
#pragma once

#include <memory>
#include <string>

namespace velmora::console {

class SimulatedBench {
  public:
    virtual ~SimulatedBench() = default;
    // The name a script's `new` opens the cable's near end by.
    virtual const std::string& port() const = 0;
};

// Null, with the reason in *why, where no virtual cable can be made.
std::unique_ptr<SimulatedBench> OpenSimulatedBench(std::string* why);

}  // namespace velmora::console
