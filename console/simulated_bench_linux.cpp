#include "console/instrument.h"
#include "console/pseudo_terminal.h"
#include "console/simulated_bench.h"

namespace velmora::console {

namespace {

class CableWithInstrument : public SimulatedBench {
  public:
    CableWithInstrument() : instrument_(cable_.device()) {}
    bool ok() const { return cable_.ok(); }
    const std::string& port() const override { return cable_.path(); }

  private:
    PseudoTerminal cable_;  // made before the instrument starts on its far end
    SimulatedInstrument instrument_;
};

}  // namespace

std::unique_ptr<SimulatedBench> OpenSimulatedBench(std::string* why) {
    auto bench = std::make_unique<CableWithInstrument>();
    if (bench->ok()) return bench;
    *why = "no pseudo-terminal to make a virtual cable with";
    return nullptr;
}

}  // namespace velmora::console
