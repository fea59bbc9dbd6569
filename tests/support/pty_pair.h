// A virtual null-modem cable: a pseudo-terminal pair. The module opens the far end's
// twin by its path; the test plays the device on the master side.
#pragma once

#include <string>

#include "console/pseudo_terminal.h"

namespace velmora::testing {

class PtyPair {
  public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    const std::string& path() const { return pair_.path(); }  // the terminal end, /dev/pts/N
    int device() const { return pair_.device(); }

    void Send(const std::string& bytes);  // from the device to the port
    // What the port sent, up to `count` bytes, waiting at most `timeoutMs` for them.
    std::string Receive(std::size_t count, int timeoutMs = 2000);
    std::string ReceiveAvailable();  // whatever has arrived, without waiting
    void Unplug();                   // the device goes away

  private:
    console::PseudoTerminal pair_;
};

}  // namespace velmora::testing
