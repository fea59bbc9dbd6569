// `velmora run`: a script of calls, checked whole before the first call is made.
#include <chrono>
#include <cstdio>
#include <istream>
#include <ostream>
#include <sstream>
#include <thread>

#include "console/call_syntax.h"
#include "console/commands.h"
#include "console/session.h"
#include "minihost/call_check.h"

namespace velmora::console {

namespace {

struct Line {
    int number;
    Statement statement;
};

// Checks a call against the message table the module registered.
bool CheckCall(const minihost::MessageTable& table, const Statement& s, std::string* error) {
    return minihost::CheckCall(table, s.method, s.args, error) != nullptr;
}

// A statement's line as shown, with the time it took when `start` is given.
void ShowLine(std::string line, const std::chrono::steady_clock::time_point* start,
              std::ostream& out) {
    if (start != nullptr) {
        const auto took = std::chrono::duration_cast<std::chrono::microseconds>(
            std::chrono::steady_clock::now() - *start);
        if (!line.empty() && line.back() == '\n') line.pop_back();
        char ms[32];
        std::snprintf(ms, sizeof ms, " [%.1f ms]\n", static_cast<double>(took.count()) / 1000.0);
        line += ms;
    }
    out << line << std::flush;
}

}  // namespace

int RunScript(const std::string& modulePath, std::istream& script, const std::string& scriptName,
              std::ostream& out, std::ostream& err, const RunOptions& options) {
    const std::string& simulatedPort = options.simulatedPort;
    std::vector<Line> lines;
    int errors = 0;
    std::string text;
    for (int number = 1; std::getline(script, text); ++number) {
        Statement statement;
        std::string error;
        if (!ParseStatement(text, &statement, &error)) {
            err << scriptName << ":" << number << ": " << error << "\n";
            ++errors;
        } else if (statement.kind != Statement::Kind::kNothing) {
            if (!simulatedPort.empty() && statement.method == "new" && !statement.args.empty() &&
                statement.args[0] == minihost::Value::Text("SIM")) {
                statement.args[0] = minihost::Value::Text(simulatedPort);
            }
            lines.push_back({number, std::move(statement)});
        }
    }
    if (errors != 0) return kExitUsage;

    std::unique_ptr<Session> session = Session::Open(modulePath, err);
    if (!session) return kExitNoModule;
    for (const Line& line : lines) {
        std::string error;
        if (line.statement.kind == Statement::Kind::kCall &&
            !CheckCall(session->host().table(), line.statement, &error)) {
            err << scriptName << ":" << line.number << ": " << error << "\n";
            ++errors;
        }
    }
    if (errors != 0) return kExitUsage;

    int failedExpects = 0;
    for (const Line& line : lines) {
        const Statement& s = line.statement;
        std::ostringstream shown;
        const auto start = std::chrono::steady_clock::now();
        switch (s.kind) {
            case Statement::Kind::kCall:
                session->Call(s.method, s.args, shown);
                break;
            case Statement::Kind::kWait:
                shown << "wait " << s.milliseconds << "\n";
                std::this_thread::sleep_for(std::chrono::milliseconds(s.milliseconds));
                break;
            case Statement::Kind::kExpect:
                if (!session->Expect(s.text, s.milliseconds, shown)) {
                    err << scriptName << ":" << line.number << ": expect failed\n";
                    ++failedExpects;
                }
                break;
            case Statement::Kind::kNothing:
                break;
        }
        ShowLine(shown.str(), options.timed ? &start : nullptr, out);
    }
    return failedExpects == 0 ? kExitOk : kExitCheckFailed;
}

}  // namespace velmora::console

namespace velmora::console {

std::string ModuleVersion(const std::string& messageTable) {
    const std::string mark = "\n-- Velmora ";
    const std::size_t at = messageTable.find(mark);
    if (at == std::string::npos) return {};
    const std::size_t start = at + mark.size();
    const std::size_t end = messageTable.find_first_of(": \n", start);
    return messageTable.substr(start, end - start);
}

}  // namespace velmora::console
