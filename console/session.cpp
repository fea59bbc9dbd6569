#include "console/session.h"

#include <chrono>
#include <ostream>
#include <thread>

#include "console/call_syntax.h"
#include "minihost/poll_until.h"

namespace velmora::console {

using minihost::Value;

std::unique_ptr<Session> Session::Open(const std::string& modulePath, std::ostream& errors) {
    std::unique_ptr<Session> session(new Session);
    std::string error;
    session->file_ = minihost::ModuleFile::Open(modulePath, &error);
    if (!session->file_) {
        errors << "velmora: cannot load the module " << modulePath << ": " << error << "\n";
        return nullptr;
    }
    session->host_ = std::make_unique<minihost::Host>(session->file_->exports());
    if (session->host_->Register(&error) != kOk) {
        errors << "velmora: " << modulePath << " did not register: " << error << "\n";
        return nullptr;
    }
    Status status = kOk;
    session->object_ = session->host_->NewObject(&status);
    if (!session->object_) {
        errors << "velmora: the module made no script object (status 0x" << std::hex << status
               << std::dec << ")\n";
        return nullptr;
    }
    return session;
}

minihost::CallOutcome Session::Call(const std::string& method, const std::vector<Value>& args,
                                    std::ostream& out) {
    minihost::CallOutcome outcome = Quiet(method, args);
    out << FormatCall(method, args) << " -> " << minihost::Describe(outcome.result);
    if (outcome.status != kOk)
        out << " (status 0x" << std::hex << outcome.status << std::dec << ")";
    out << "\n";
    return outcome;
}

minihost::CallOutcome Session::Quiet(const std::string& method, const std::vector<Value>& args) {
    return object_->Call(method, args);
}

bool Session::Expect(const std::string& text, std::int32_t ms, std::ostream& out) {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    minihost::PollUntil(
        [&] { return Quiet("ReadComm").result; },
        [&](const std::string& received) { return received.find(text) != std::string::npos; },
        received_, std::chrono::milliseconds(ms), std::chrono::milliseconds(2));
    const std::size_t at = received_.find(text);
    if (at != std::string::npos) {
        received_.erase(0, at + text.size());
        const auto took =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
        out << "expect " << minihost::Describe(Value::Text(text)) << " -> ok (" << took.count()
            << " ms)\n";
        return true;
    }
    out << "expect " << minihost::Describe(Value::Text(text)) << " -> FAILED after " << ms
        << " ms; received " << minihost::Describe(Value::Text(received_)) << "\n";
    return false;
}

}  // namespace velmora::console
