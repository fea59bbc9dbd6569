#include "extension/dispatch.h"

#include <array>

#include "extension/port_instance.h"
#include "methods/method_list.h"
#include "methods/methods.h"
#include "methods/script_values.h"
#include "module/interface_object.h"

namespace velmora {

namespace {

// A method's number is its index here.
#define VELMORA_METHOD_FUNCTION(function, declaration) methods::function,
constexpr std::array<Method, methods::kMethodCount> kMethods = {
    VELMORA_METHOD_LIST(VELMORA_METHOD_FUNCTION)};
#undef VELMORA_METHOD_FUNCTION

}  // namespace

Status VELMORA_CALL RunMethod(IScripting* self, CallInfo* call) {
    auto& port = *reinterpret_cast<PortInstance*>(ObjectOf(self)->owner);
    const std::int32_t number = call->method;
    // `new` leaves the result as the host gave it unless the open fails.
    if (number != methods::kNew) AnswerInteger(port, *call, 0);
    if (static_cast<std::uint32_t>(number) >= kMethods.size()) return kOk;
    return kMethods[static_cast<std::uint32_t>(number)](port, *call);
}

}  // namespace velmora
