#pragma once

#include "host/services.h"

namespace velmora {

// The registration class keeps no state: its create and destroy do nothing.
Status VELMORA_CALL CreateRegistrationInstance(void* instance);
void VELMORA_CALL DestroyRegistrationInstance(void* instance);

// Adds the scripting class to the host's registry cache and stores the message table
// in the new entry under "msgTable". Statuses from the host pass back unchanged.
Status VELMORA_CALL RegisterEntries(IRegistration* self, IRegistryCache* cache, void* hostEntry);

}  // namespace velmora
