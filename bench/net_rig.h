// What the network benchmarks measure against: a server on 127.0.0.1 in this process that
// drains, feeds the checkable sequence, or answers RFC 2217 as fast as it can, and a raw
// socket to it for the figures the module is compared with.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <thread>

namespace velmora::bench {

class LoopbackServer {
  public:
    enum class Mode {
        kDrain,  // reads and drops everything; answers COM-PORT-OPTION commands
        kFeed,   // writes the sequence (SequenceByte) as fast as the client takes it
    };
    // `telnet`: agrees to the COM-PORT-OPTION and answers its commands; `tellsRate`: it
    // answers the question for the baud rate (a server that does not leaves the module
    // nothing to pace by).
    LoopbackServer(Mode mode, bool telnet, bool tellsRate = true);
    ~LoopbackServer();
    int port() const { return port_; }
    std::string Name() const;

  private:
    void Run();
    void Serve(int client);
    Mode mode_;
    bool telnet_, tellsRate_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A raw TCP connection to 127.0.0.1:`port`, non-blocking.
int ConnectRaw(int port);

}  // namespace velmora::bench
