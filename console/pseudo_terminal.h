// A pseudo-terminal pair, the virtual cable of the console's demo, the tests and the
// benchmarks: the port's end has a path, the device's end a non-blocking descriptor.
#pragma once

#include <string>

namespace velmora::console {

class PseudoTerminal {
  public:
    PseudoTerminal();  // ok() is false when the system has no pair to give
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    bool ok() const { return device_ >= 0; }
    int device() const { return device_; }
    const std::string& path() const { return path_; }  // the terminal end, /dev/pts/N
    void Close();                                      // the device goes away

  private:
    int device_ = -1;
    std::string path_;
};

}  // namespace velmora::console
