// A script object of the project's host, and a call prepared once and run often.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/export_types.h"
#include "host/services.h"
#include "minihost/value.h"

namespace velmora::minihost {

class Host;
class HandleStore;

struct CallOutcome {
    Status status = kOk;
    Value result;
    std::string error;  // set when the call was refused before reaching the module
    bool called() const { return error.empty(); }
};

// One script object: an instance of the scripting class and its IScripting.
class ScriptObject {
  public:
    ~ScriptObject();
    ScriptObject(const ScriptObject&) = delete;
    ScriptObject& operator=(const ScriptObject&) = delete;

    // By the message table's name, with arguments checked against its declaration.
    CallOutcome Call(const std::string& method, const std::vector<Value>& args = {});
    // By number, unchecked: missing arguments reach the module as void values.
    CallOutcome CallNumber(std::int32_t number, const std::vector<Value>& args,
                           const Value& preset = Value::Void());

    void* instance() const { return instance_; }
    IScripting* scripting() const { return scripting_; }

  private:
    friend class Host;          // the one that makes script objects
    friend class PreparedCall;  // makes its values in the same store
    ScriptObject(Host& host, HandleStore& store, void* instance, IScripting* scripting,
                 DestroyInstanceFn destroy)
        : host_(host),
          store_(store),
          instance_(instance),
          scripting_(scripting),
          destroy_(destroy) {}
    Host& host_;
    HandleStore& store_;
    void* instance_;
    IScripting* scripting_;
    DestroyInstanceFn destroy_;
};

// One call made again and again with the same arguments, as a host runs a script line
// every frame: the argument values are made once, not on every run.
class PreparedCall {
  public:
    PreparedCall(ScriptObject& object, std::int32_t number, const std::vector<Value>& args);
    ~PreparedCall();
    PreparedCall(const PreparedCall&) = delete;
    PreparedCall& operator=(const PreparedCall&) = delete;

    // Runs the call; the result is read and released as after any call.
    const Value& Run();

  private:
    ScriptObject& object_;
    Value result_;
    std::vector<ScriptValue> args_;
    CallInfo call_{};
};

}  // namespace velmora::minihost
