#include "minihost/script_object.h"

#include <algorithm>
#include <array>

#include "minihost/call_check.h"
#include "minihost/handle_store.h"
#include "minihost/host.h"

namespace velmora::minihost {

namespace {
constexpr std::size_t kMinArguments = 4;  // me and up to three parameters
}  // namespace

ScriptObject::~ScriptObject() {
    scripting_->ops->Release(scripting_);
    destroy_(instance_);
    host_.DeleteInstance(instance_);
}

CallOutcome ScriptObject::Call(const std::string& method, const std::vector<Value>& args) {
    std::string error;
    const MethodDecl* decl = CheckCall(host_.table(), method, args, &error);
    if (decl == nullptr) {
        CallOutcome refused;
        refused.error = error;
        return refused;
    }
    return CallNumber(decl->number, args);
}

CallOutcome ScriptObject::CallNumber(std::int32_t number, const std::vector<Value>& args,
                                     const Value& preset) {
    HandleStore& h = store_;
    std::array<ScriptValue, 8> small{};
    std::vector<ScriptValue> large;
    const std::size_t count = std::max(args.size() + 1, kMinArguments);
    ScriptValue* values = small.data();
    if (count > small.size()) {
        large.assign(count, ScriptValue{kVoidTag, 0});
        values = large.data();
    }
    values[0] = {kObjectTag, 1};
    for (std::size_t i = 0; i < args.size(); ++i) values[i + 1] = h.Make(args[i]);

    CallInfo call{};
    call.method = number;
    call.result = h.Make(preset);
    call.hostArgCount = static_cast<std::int32_t>(args.size() + 1);
    call.args = values;
    CallOutcome outcome;
    outcome.status = scripting_->ops->RunMethod(scripting_, &call);
    h.Take(call.result, &outcome.result);
    for (std::size_t i = 1; i <= args.size(); ++i) h.Drop(values[i]);
    return outcome;
}

PreparedCall::PreparedCall(ScriptObject& object, std::int32_t number,
                           const std::vector<Value>& args)
    : object_(object) {
    HandleStore& h = object.store_;
    args_.assign(std::max(args.size() + 1, kMinArguments), ScriptValue{kVoidTag, 0});
    args_[0] = {kObjectTag, 1};
    for (std::size_t i = 0; i < args.size(); ++i) args_[i + 1] = h.Make(args[i]);
    call_.method = number;
    call_.hostArgCount = static_cast<std::int32_t>(args.size() + 1);
    call_.args = args_.data();
}

PreparedCall::~PreparedCall() {
    for (const ScriptValue& v : args_) object_.store_.Drop(v);
}

const Value& PreparedCall::Run() {
    call_.result = {kVoidTag, 0};
    object_.scripting_->ops->RunMethod(object_.scripting_, &call_);
    object_.store_.Take(call_.result, &result_);
    return result_;
}

}  // namespace velmora::minihost
