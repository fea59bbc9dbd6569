// The module's two interfaces, IRegistration and IScripting, each carried by the frame's
// interface object over its own table of operations.
#pragma once

#include "host/services.h"

namespace velmora {

Status CreateRegistrationObject(void* instance, void** out);
Status CreateScriptingObject(void* instance, void** out);

}  // namespace velmora
