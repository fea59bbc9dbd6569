// Debian's ser2net, started by the test on 127.0.0.1 alone, serving pseudo-terminals of
// the test's own: an RFC 2217 port and a plain TCP port, each on a free port. Its
// configuration is the test's only: the system's (which names the machine's serial
// ports) is never read. Stopped, and waited for, when the object goes.
#pragma once

#include <sys/types.h>

#include <string>

namespace velmora::testing {

class Ser2net {
  public:
    // Why the tests that need ser2net cannot run here, or "" when they can.
    static std::string Unavailable();

    // Serves `rfc2217Device` over RFC 2217 and, if given, `rawDevice` as a plain stream.
    explicit Ser2net(const std::string& rfc2217Device, const std::string& rawDevice = {});
    ~Ser2net();
    Ser2net(const Ser2net&) = delete;
    Ser2net& operator=(const Ser2net&) = delete;

    bool running() const { return pid_ > 0; }
    std::string Rfc2217Name() const;  // rfc2217://127.0.0.1:N
    std::string SocketName() const;   // socket://127.0.0.1:M
    void Stop();                      // at once, as a server that fails does (SIGKILL)
    bool Start();                     // again, on the same ports
    const std::string& log() const { return log_; }

  private:
    std::string rfc2217Device_, rawDevice_;
    int rfc2217Port_ = 0, rawPort_ = 0;
    std::string dir_, log_;
    pid_t pid_ = -1;
};

}  // namespace velmora::testing
