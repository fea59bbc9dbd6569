// The console's commands. Each returns the process's exit status.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

namespace velmora::console {

enum ExitCode {
    kExitOk = 0,
    kExitCheckFailed = 1,  // an expect (or a demo check) failed
    kExitUsage = 2,        // bad command line or script
    kExitNoModule = 3,     // the module could not be loaded or registered
    kExitNoPort = 4,       // the port could not be opened
};

// With `loopbackPort`, over that port with TX joined to RX; without, with the simulated
// instrument where the system can make a virtual cable for it.
int RunDemo(const std::string& modulePath, const std::string& loopbackPort, std::ostream& out,
            std::ostream& err);

struct RunOptions {
    std::string simulatedPort;  // when given, opened wherever `new` names the port "SIM"
    bool timed = false;         // each statement's line ends with the time it took
};
// Each statement's line is flushed as soon as the statement ends, so a log being followed
// shows how far the script has got.
int RunScript(const std::string& modulePath, std::istream& script, const std::string& scriptName,
              std::ostream& out, std::ostream& err, const RunOptions& options = {});
// The same with the simulated instrument of the demo on the far end of port "SIM".
int RunScriptWithInstrument(const std::string& modulePath, std::istream& script,
                            const std::string& scriptName, std::ostream& out, std::ostream& err,
                            bool timed = false);

// The module's version as its message table's comment line states it, or "".
std::string ModuleVersion(const std::string& messageTable);

struct TermOptions {
    std::string port;
    std::int32_t baud = 0;  // 0: keep the port's rate
    std::int32_t flow = 0;  // SetCommFlowControl's type
    bool hex = false;
};
int RunTerm(const std::string& modulePath, const TermOptions& options, std::ostream& err);

struct CheckOptions {
    std::string port;
    bool loopback = false;  // TX is joined to RX, or the device echoes
};
int RunCheck(const std::string& modulePath, const CheckOptions& options, std::ostream& out,
             std::ostream& err);

int ListPorts(std::ostream& out);
int ShowInfo(const std::string& modulePath, std::ostream& out, std::ostream& err);

}  // namespace velmora::console
