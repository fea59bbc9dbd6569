// The scripting class's create and destroy: a script object's services and its port
// come and go with the host's instance.
#pragma once

#include "methods/port_instance.h"

namespace velmora {

Status VELMORA_CALL CreatePortInstance(void* instance);
void VELMORA_CALL DestroyPortInstance(void* instance);

}  // namespace velmora
