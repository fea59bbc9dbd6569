// `velmora term`: keys go out through WriteComm, what the device sends comes back
// through ReadComm, as a script would send and read them. Ctrl-] quits.
#include <cstdio>
#include <ostream>

#include "console/commands.h"
#include "console/keyboard.h"
#include "console/session.h"

namespace velmora::console {

namespace {

using minihost::Value;

constexpr char kQuitKey = 0x1D;  // Ctrl-]

void Show(const std::string& bytes, bool hex) {
    if (!hex) {
        ShowOnScreen(bytes);
        return;
    }
    std::string shown;
    for (const char c : bytes) {
        char cell[4];
        std::snprintf(cell, sizeof cell, "%02X ", static_cast<unsigned char>(c));
        shown += cell;
    }
    ShowOnScreen(shown);
}

// The keyboard is raw: a line ends with CR LF of our own making.
void Say(const std::string& text) {
    ShowOnScreen("\r\n[velmora: " + text + "]\r\n");
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

    {
        Keyboard keyboard;
        Say("connected to " + options.port + "; Ctrl-] quits");
        bool open = true;
        while (open) {
            std::string typed;
            if (!keyboard.Read(&typed, 5)) break;  // the keyboard went away
            const std::size_t quit = typed.find(kQuitKey);
            if (quit != std::string::npos) {
                typed.erase(quit);
                open = false;
            }
            if (!typed.empty()) session->Quiet("WriteComm", {Value::Text(typed)});
            const Value got = session->Quiet("ReadComm").result;
            if (!got.IsText()) {
                Say("the port stopped answering");
                break;
            }
            if (!got.text.empty()) Show(got.text, options.hex);
        }
        session->Quiet("forget");
        Say("closed " + options.port);
    }
    return kExitOk;
}

}  // namespace velmora::console
