#include "console/simulated_bench.h"

namespace velmora::console {

std::unique_ptr<SimulatedBench> OpenSimulatedBench(std::string* why) {
    *why = "the simulated instrument's virtual cable needs Linux pseudo-terminals";
    return nullptr;
}

}  // namespace velmora::console
