// The module's carrier of its interfaces: the generic part, the same for every interface.
//
// Identity belongs to the host's instance: QueryInterface is forwarded to it. While the
// object exists it holds count + 1 references on its owner: one for its existence and
// one for each reference it counts. Its memory comes from, and goes back to, the owner's
// allocator; the owner's last references are returned only after that memory is gone.
// The extension supplies each interface's table, its first three entries from the
// templates below.
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

// A new object with a count of 1 over `ops`, owned by `instance`.
Status CreateInterfaceObject(void* instance, const void* ops, void** out);

Status ForwardQueryInterface(InterfaceObject* object, const Guid* iid, void** out);
RefCount AddRefInterfaceObject(InterfaceObject* object);
RefCount ReleaseInterfaceObject(InterfaceObject* object);

template <typename Interface>
InterfaceObject* ObjectOf(Interface* self) {
    return reinterpret_cast<InterfaceObject*>(self);
}

template <typename Interface>
Status VELMORA_CALL QueryInterfaceOf(Interface* self, const Guid* iid, void** out) {
    return ForwardQueryInterface(ObjectOf(self), iid, out);
}

template <typename Interface>
RefCount VELMORA_CALL AddRefOf(Interface* self) {
    return AddRefInterfaceObject(ObjectOf(self));
}

template <typename Interface>
RefCount VELMORA_CALL ReleaseOf(Interface* self) {
    return ReleaseInterfaceObject(ObjectOf(self));
}

}  // namespace velmora
