// A script object on a loaded module, with every call shown as it is made.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "minihost/host.h"

namespace velmora::console {

class Session {
  public:
    // Loads the module file, registers it and makes one script object. Null, with the
    // reason written to `errors`, when any step fails.
    static std::unique_ptr<Session> Open(const std::string& modulePath, std::ostream& errors);

    // Calls a method by name and shows "call -> result" on `out`.
    minihost::CallOutcome Call(const std::string& method, const std::vector<minihost::Value>& args,
                               std::ostream& out);
    // The same without showing it.
    minihost::CallOutcome Quiet(const std::string& method,
                                const std::vector<minihost::Value>& args = {});
    // Polls ReadComm until `text` has arrived or `ms` have passed. What arrived up to the
    // end of the match is consumed; the rest stays for the next expect.
    bool Expect(const std::string& text, std::int32_t ms, std::ostream& out);

    // The port handle the module keeps in its instance, where the binary contract places
    // it: after the host's six header slots and the two services.
    void* PortHandle() const { return static_cast<void* const*>(object_->instance())[8]; }

    minihost::Host& host() { return *host_; }
    const minihost::ModuleFile& file() const { return *file_; }

  private:
    Session() = default;
    std::unique_ptr<minihost::ModuleFile> file_;
    std::unique_ptr<minihost::Host> host_;
    std::unique_ptr<minihost::ScriptObject> object_;
    std::string received_;  // read by expect and not yet matched
};

}  // namespace velmora::console
