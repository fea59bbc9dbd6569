// `velmora term`: keys go out through WriteComm, what the device sends comes back
// through ReadComm. Ctrl-] quits; the terminal is restored on every way out.
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ostream>

#include "console/commands.h"
#include "console/session.h"

namespace velmora::console {

namespace {

using minihost::Value;

constexpr char kQuitKey = 0x1D;  // Ctrl-]

termios savedTerminal;
volatile sig_atomic_t terminalSaved = 0;

void RestoreTerminal() {
    if (terminalSaved) tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal);
}

void RestoreAndDie(int number) {
    RestoreTerminal();
    std::signal(number, SIG_DFL);
    raise(number);
}

void RawKeyboard() {
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &savedTerminal) != 0) return;
    terminalSaved = 1;
    std::atexit(RestoreTerminal);
    for (const int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) std::signal(s, RestoreAndDie);
    termios raw = savedTerminal;
    cfmakeraw(&raw);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &raw);
}

void Show(const std::string& bytes, bool hex) {
    std::string shown;
    if (!hex) {
        shown = bytes;
    } else {
        for (const char c : bytes) {
            char cell[4];
            std::snprintf(cell, sizeof cell, "%02X ", static_cast<unsigned char>(c));
            shown += cell;
        }
    }
    if (write(STDOUT_FILENO, shown.data(), shown.size()) < 0) return;
}

void Say(const std::string& text) {
    const std::string line = "\r\n[velmora: " + text + "]\r\n";
    if (write(STDOUT_FILENO, line.data(), line.size()) < 0) return;
}

}  // namespace

int RunTerm(const std::string& modulePath, const TermOptions& options, std::ostream& err) {
    std::unique_ptr<Session> session = Session::Open(modulePath, err);
    if (!session) return kExitNoModule;
    const Value opened =
        session
            ->Quiet("new", {Value::Text(options.port), Value::Integer(4096), Value::Integer(4096)})
            .result;
    if (opened.IsInteger(0)) {
        err << "velmora term: cannot open " << options.port << " (no such port, or busy)\n";
        return kExitNoPort;
    }
    if (options.baud != 0 &&
        !session->Quiet("SetCommBaudRate", {Value::Integer(options.baud)}).result.IsInteger(1)) {
        err << "velmora term: " << options.port << " does not take " << options.baud << " baud\n";
        session->Quiet("forget");
        return kExitNoPort;
    }
    session->Quiet("SetCommFlowControl", {Value::Integer(options.flow)});
    // A write must never hang the terminal: a device that holds CTS low gets 1 s.
    session->Quiet("SetCommTimeOut", {Value::Integer(1000)});

    RawKeyboard();
    Say("connected to " + options.port + "; Ctrl-] quits");
    bool open = true;
    while (open) {
        pollfd keys{STDIN_FILENO, POLLIN, 0};
        if (poll(&keys, 1, 5) > 0) {
            char buffer[256];
            const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
            if (n <= 0) break;  // the keyboard went away
            std::string typed(buffer, static_cast<std::size_t>(n));
            const std::size_t quit = typed.find(kQuitKey);
            if (quit != std::string::npos) {
                typed.erase(quit);
                open = false;
            }
            if (!typed.empty()) session->Quiet("WriteComm", {Value::Text(typed)});
        }
        const Value got = session->Quiet("ReadComm").result;
        if (!got.IsText()) {
            Say("the port stopped answering");
            break;
        }
        if (!got.text.empty()) Show(got.text, options.hex);
    }
    session->Quiet("forget");
    Say("closed " + options.port);
    RestoreTerminal();
    return kExitOk;
}

}  // namespace velmora::console
