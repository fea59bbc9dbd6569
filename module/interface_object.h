// The module's carrier of IRegistration and IScripting.
//
// Identity belongs to the host's instance: QueryInterface is forwarded to it. While the
// object exists it holds count + 1 references on its owner: one for its existence and
// one for each reference it counts. Its memory comes from, and goes back to, the owner's
// allocator; the owner's last references are returned only after that memory is gone.
#pragma once

#include "host/services.h"

namespace velmora {

struct InterfaceObject {
    const void* ops;
    InstanceHeader* owner;
    std::int32_t count;
};
static_assert(sizeof(InterfaceObject) == (sizeof(void*) == 4 ? 12 : 24));
static_assert(offsetof(InterfaceObject, owner) == sizeof(void*));
static_assert(offsetof(InterfaceObject, count) == 2 * sizeof(void*));

// The interface creators of the class table: (owner instance, out interface) -> status.
using InterfaceCreator = Status (*)(void* instance, void** out);
Status CreateRegistrationObject(void* instance, void** out);
Status CreateScriptingObject(void* instance, void** out);

template <typename Interface>
InterfaceObject* ObjectOf(Interface* self) {
    return reinterpret_cast<InterfaceObject*>(self);
}

}  // namespace velmora
