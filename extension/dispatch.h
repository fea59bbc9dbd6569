#pragma once

#include "host/services.h"

namespace velmora {

// Presets the result (every method but `new`), checks the number and runs the method.
Status VELMORA_CALL RunMethod(IScripting* self, CallInfo* call);

}  // namespace velmora
