// A bench instrument at the far end of a virtual cable: it answers a few queries the
// way a real one does, reports an error for queries it does not know, and echoes any
// other line it is sent.
#pragma once

#include <atomic>
#include <string>
#include <thread>

namespace velmora::console {

// The instrument's answer to one line, empty for none.
std::string InstrumentAnswer(const std::string& line);

class SimulatedInstrument {
  public:
    explicit SimulatedInstrument(int device);  // the master side of a pty; not taken over
    ~SimulatedInstrument();
    SimulatedInstrument(const SimulatedInstrument&) = delete;
    SimulatedInstrument& operator=(const SimulatedInstrument&) = delete;

  private:
    void Run();
    int device_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace velmora::console
