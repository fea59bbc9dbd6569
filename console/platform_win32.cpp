// The console's commands that need Linux, and `ports` the Windows way.
#include <windows.h>

#include <ostream>

#include "console/commands.h"

namespace velmora::console {

int RunDemo(const std::string&, std::ostream&, std::ostream& err) {
    err << "velmora demo: the virtual cable needs Linux pseudo-terminals; run the demo there\n";
    return kExitUsage;
}

int RunScriptWithInstrument(const std::string&, std::istream&, const std::string&, std::ostream&,
                            std::ostream& err, bool) {
    err << "velmora run --instrument: the virtual cable needs Linux pseudo-terminals\n";
    return kExitUsage;
}

int RunTerm(const std::string&, const TermOptions&, std::ostream& err) {
    err << "velmora term: not available in this build; use run with expect lines\n";
    return kExitUsage;
}

int ListPorts(std::ostream& out) {
    int shown = 0;
    char target[1024];
    for (int n = 1; n <= 255; ++n) {
        const std::string name = "COM" + std::to_string(n);
        if (QueryDosDeviceA(name.c_str(), target, sizeof target) == 0) continue;
        out << name << "  " << target << "\n";
        ++shown;
    }
    if (shown == 0) out << "no serial ports found\n";
    return kExitOk;
}

}  // namespace velmora::console
