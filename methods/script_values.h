// How every method reads its arguments and answers the script.
#pragma once

#include "methods/port_instance.h"

namespace velmora {

// Argument k as an integer. The host's status is not looked at; a value it cannot
// convert reads as 0 rather than as whatever the stack held.
inline std::int32_t IntegerArgument(const PortInstance& self, const CallInfo& call, int k) {
    ScriptValue value = call.args[k];
    std::int32_t number = 0;
    self.values->ops->ToInteger(self.values, &value, &number);
    return number;
}

inline void AnswerInteger(PortInstance& self, CallInfo& call, std::int32_t number) {
    self.values->ops->FromInteger(self.values, number, &call.result);
}

// Argument k's characters, locked for as long as this object lives. The lock has
// failed when the host answers a non-zero status or no pointer; then nothing is
// unlocked.
class LockedText {
  public:
    LockedText(const PortInstance& self, const CallInfo& call, int k)
        : values_(self.values), value_(call.args[k]) {
        if (values_->ops->LockText(values_, &value_, &text_) != kOk) text_ = nullptr;
    }
    ~LockedText() {
        if (text_ != nullptr) values_->ops->UnlockText(values_, &value_);
    }
    LockedText(const LockedText&) = delete;
    LockedText& operator=(const LockedText&) = delete;

    bool locked() const { return text_ != nullptr; }
    const char* text() const { return text_; }
    ScriptValue& value() { return value_; }

  private:
    IValueService* values_;
    ScriptValue value_;
    const char* text_ = nullptr;
};

}  // namespace velmora
