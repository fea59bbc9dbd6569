// velmora: try a device and a script's calls through the module, as the host makes them.
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "console/commands.h"
#include "minihost/module_file.h"
#include "velmora_version.h"

namespace {

using namespace velmora::console;

const char kUsage[] =
    "usage: velmora [--module PATH] COMMAND [ARGS]\n"
    "\n"
    "commands:\n"
    "  demo [--port PORT]   a session with a simulated instrument on a virtual cable,\n"
    "                       or over PORT with a loopback plug\n"
    "  run [FILE]           a script of calls, one a line (standard input without FILE)\n"
    "  term PORT [OPTIONS]  an interactive terminal on PORT (Ctrl-] quits)\n"
    "  check PORT [--loopback]\n"
    "                       what PORT takes; with a loopback plug, whether bytes get through\n"
    "  ports                the serial ports present\n"
    "  info                 the module's classes and message table\n"
    "\n"
    "options:\n"
    "  --module PATH        the module file (default: the one beside this program)\n"
    "  --version            the version\n"
    "  --help               this text; COMMAND --help for a command's own\n"
    "\n"
    "exit status: 0 done, 1 an expect or check failed, 2 bad usage or script,\n"
    "             3 the module could not be loaded, 4 the port could not be opened\n";

const char kRunUsage[] =
    "usage: velmora run [--instrument] [--timed] [FILE]\n"
    "\n"
    "One statement a line; empty lines and lines starting with # or -- are skipped.\n"
    "  new \"/dev/ttyUSB0\", 4096, 4096   a method by its message-table name, with its\n"
    "  SetCommBaudRate 9600              arguments: integers (or 0x hex) and \"texts\"\n"
    "  WriteComm \"AT\\r\\n\"                with the escapes \\r \\n \\t \\\\ \\\" \\xNN\n"
    "  ReadComm\n"
    "  wait 100                          pause for 100 ms\n"
    "  expect \"OK\" 2000                  poll ReadComm until OK arrives (default 1000 ms)\n"
    "A # outside a text starts a comment. The whole script is checked before the first\n"
    "call; each call's result is printed.\n"
    "  --instrument  a simulated bench instrument answers on a virtual cable; the script\n"
    "                opens it as new \"SIM\", 4096, 4096\n"
    "  --timed       each line ends with the time its statement took, as [12.3 ms]\n";

const char kTermUsage[] =
    "usage: velmora term PORT [--baud N] [--flow none|hw|xon] [--hex]\n"
    "\n"
    "PORT is a port's name, or a device server's: rfc2217://HOST:PORT or socket://HOST:PORT.\n"
    "Keys typed go to the port; what the device sends is shown, as text or with --hex as\n"
    "hexadecimal bytes. Ctrl-] quits. Flow control is none unless --flow says otherwise.\n";

const char kDemoUsage[] =
    "usage: velmora demo [--port PORT]\n"
    "\n"
    "Runs a short session through every family of methods, printing each call and its\n"
    "result. Without --port (Linux only) a simulated bench instrument answers on a virtual\n"
    "null-modem cable (a pseudo-terminal pair): no hardware needed. With --port the session\n"
    "runs over PORT with a loopback plug on it (TX joined to RX), each line coming back as\n"
    "it was sent.\n";

const char kCheckUsage[] =
    "usage: velmora check PORT [--loopback]\n"
    "\n"
    "Opens PORT as a script does (new \"PORT\", 4096, 4096) and reports what it takes: each\n"
    "baud rate, data bits, parity and stop bits (the setter's answer and what the getter\n"
    "reads back), each flow-control type and each EscapeComm answer. With --loopback and a\n"
    "loopback plug on the port (TX joined to RX), or a device that echoes what it is sent,\n"
    "it also checks that bytes come back intact at each setting the port takes. The last\n"
    "line is the verdict. Exit status 0 when the port works, 1 when bytes did not get\n"
    "through, 4 when it does not open. On a device server's port (rfc2217://HOST:PORT,\n"
    "socket://HOST:PORT) it also reports what the server tells of itself.\n";

int Usage(const char* text, int status) {
    (status == 0 ? std::cout : std::cerr) << text;
    return status;
}

bool WantsHelp(const std::vector<std::string>& args) {
    for (const std::string& a : args) {
        if (a == "--help" || a == "-h") return true;
    }
    return false;
}

int Term(const std::string& module, const std::vector<std::string>& args) {
    TermOptions options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool hasValue = i + 1 < args.size();
        if (a == "--hex") {
            options.hex = true;
        } else if (a == "--baud" && hasValue) {
            try {
                options.baud = std::stoi(args[++i]);
            } catch (...) {
                options.baud = -1;
            }
            if (options.baud <= 0) {
                std::cerr << "velmora term: --baud needs a positive number\n";
                return kExitUsage;
            }
        } else if (a == "--flow" && hasValue) {
            const std::string& flow = args[++i];
            if (flow == "none") {
                options.flow = 0;
            } else if (flow == "hw") {
                options.flow = 1;
            } else if (flow == "xon") {
                options.flow = 2;
            } else {
                std::cerr << "velmora term: --flow is none, hw or xon\n";
                return kExitUsage;
            }
        } else if (a.rfind("--", 0) != 0 && options.port.empty()) {
            options.port = a;
        } else {
            return Usage(kTermUsage, kExitUsage);
        }
    }
    if (options.port.empty()) return Usage(kTermUsage, kExitUsage);
    return RunTerm(module, options, std::cerr);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string module = velmora::minihost::DefaultModulePath();
    while (!args.empty() && args[0].rfind("--", 0) == 0) {
        if (args[0] == "--version") {
            std::cout << "velmora " << VELMORA_VERSION << "\n";
            return kExitOk;
        }
        if (args[0] == "--help") return Usage(kUsage, kExitOk);
        if (args[0] == "--module" && args.size() > 1) {
            module = args[1];
            args.erase(args.begin(), args.begin() + 2);
            continue;
        }
        return Usage(kUsage, kExitUsage);
    }
    if (args.empty()) return Usage(kUsage, kExitUsage);
    const std::string command = args[0];
    args.erase(args.begin());

    if (command == "demo") {
        if (WantsHelp(args)) return Usage(kDemoUsage, kExitOk);
        std::string port;
        if (args.size() == 2 && args[0] == "--port") {
            port = args[1];
        } else if (!args.empty()) {
            return Usage(kDemoUsage, kExitUsage);
        }
        return RunDemo(module, port, std::cout, std::cerr);
    }
    if (command == "run") {
        if (WantsHelp(args)) return Usage(kRunUsage, kExitOk);
        bool instrument = false;
        bool timed = false;
        while (!args.empty() && (args[0] == "--instrument" || args[0] == "--timed")) {
            (args[0] == "--instrument" ? instrument : timed) = true;
            args.erase(args.begin());
        }
        if (args.size() > 1) return Usage(kRunUsage, kExitUsage);
        const auto run = [&](std::istream& in, const std::string& name) {
            if (instrument)
                return RunScriptWithInstrument(module, in, name, std::cout, std::cerr, timed);
            RunOptions options;
            options.timed = timed;
            return RunScript(module, in, name, std::cout, std::cerr, options);
        };
        if (args.empty() || args[0] == "-") return run(std::cin, "<stdin>");
        std::ifstream file(args[0]);
        if (!file) {
            std::cerr << "velmora run: cannot read " << args[0] << "\n";
            return kExitUsage;
        }
        return run(file, args[0]);
    }
    if (command == "term") {
        if (WantsHelp(args)) return Usage(kTermUsage, kExitOk);
        return Term(module, args);
    }
    if (command == "check") {
        if (WantsHelp(args)) return Usage(kCheckUsage, kExitOk);
        CheckOptions options;
        for (const std::string& a : args) {
            if (a == "--loopback") {
                options.loopback = true;
            } else if (a.rfind("--", 0) != 0 && options.port.empty()) {
                options.port = a;
            } else {
                return Usage(kCheckUsage, kExitUsage);
            }
        }
        if (options.port.empty()) return Usage(kCheckUsage, kExitUsage);
        return RunCheck(module, options, std::cout, std::cerr);
    }
    if (command == "ports") {
        if (WantsHelp(args))
            return Usage(
                "usage: velmora ports\n\nThe serial ports present, with their drivers and USB "
                "IDs (Linux) or the names Device Manager gives them (Windows).\n",
                kExitOk);
        return ListPorts(std::cout);
    }
    if (command == "info") {
        if (WantsHelp(args))
            return Usage(
                "usage: velmora info\n\nThe module file, its target, its classes and its message "
                "table.\n",
                kExitOk);
        return ShowInfo(module, std::cout, std::cerr);
    }
    std::cerr << "velmora: no command \"" << command << "\"\n";
    return Usage(kUsage, kExitUsage);
}
