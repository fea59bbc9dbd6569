#include "extension/dispatch.h"

#include <array>

#include "extension/message_table.h"
#include "extension/port_instance.h"
#include "methods/methods.h"
#include "methods/script_values.h"
#include "module/interface_object.h"

namespace velmora {

namespace {

// In message-table order: a method's number is its index here.
constexpr std::array<Method, kMethodCount> kMethods = {
    methods::New,
    methods::Forget,
    methods::WriteComm,
    methods::ReadComm,
    methods::GetCommBaudRate,
    methods::SetCommBaudRate,
    methods::GetCommDataBits,
    methods::SetCommDataBits,
    methods::GetCommStopBits,
    methods::SetCommStopBits,
    methods::GetCommParity,
    methods::SetCommParity,
    methods::GetCommCTS,
    methods::SetCommCTS,
    methods::GetCommDSR,
    methods::SetCommDSR,
    methods::SetCommFlowControl,
    methods::SetCommTimeOut,
    methods::EscapeComm,
    methods::FlushComm,
    methods::GetCommError,
};

constexpr std::int32_t kNew = 0;

}  // namespace

Status VELMORA_CALL RunMethod(IScripting* self, CallInfo* call) {
    auto& port = *reinterpret_cast<PortInstance*>(ObjectOf(self)->owner);
    const std::int32_t number = call->method;
    // `new` leaves the result as the host gave it unless the open fails.
    if (number != kNew) AnswerInteger(port, *call, 0);
    if (static_cast<std::uint32_t>(number) >= kMethods.size()) return kOk;
    return kMethods[static_cast<std::uint32_t>(number)](port, *call);
}

}  // namespace velmora
