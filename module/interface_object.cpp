#include "module/interface_object.h"

#include "extension/dispatch.h"
#include "extension/registration.h"
#include "module/live_objects.h"

namespace velmora {

std::int32_t LiveObjects = 0;

namespace {

void AddRefOwner(InstanceHeader* owner) {
    owner->ops->AddRef(owner);
}
void ReleaseOwner(InstanceHeader* owner) {
    owner->ops->Release(owner);
}

template <typename Interface>
Status VELMORA_CALL ForwardQueryInterface(Interface* self, const Guid* iid, void** out) {
    InstanceHeader* owner = ObjectOf(self)->owner;
    return owner->ops->QueryInterface(owner, iid, out);
}

template <typename Interface>
RefCount VELMORA_CALL AddRefObject(Interface* self) {
    InterfaceObject* object = ObjectOf(self);
    AddRefOwner(object->owner);
    return ++object->count;
}

template <typename Interface>
RefCount VELMORA_CALL ReleaseObject(Interface* self) {
    InterfaceObject* object = ObjectOf(self);
    InstanceHeader* const owner = object->owner;
    const RefCount count = --object->count;
    if (count == 0) {
        owner->allocator->ops->Free(owner->allocator, object);
        --LiveObjects;
        ReleaseOwner(owner);
    }
    ReleaseOwner(owner);
    return count;
}

const IRegistrationOps kRegistrationOps = {
    ForwardQueryInterface<IRegistration>,
    AddRefObject<IRegistration>,
    ReleaseObject<IRegistration>,
    RegisterEntries,
};

const IScriptingOps kScriptingOps = {
    ForwardQueryInterface<IScripting>,
    AddRefObject<IScripting>,
    ReleaseObject<IScripting>,
    RunMethod,
};

Status CreateObject(void* instance, const void* ops, void** out) {
    auto* owner = static_cast<InstanceHeader*>(instance);
    auto* object = static_cast<InterfaceObject*>(
        owner->allocator->ops->Alloc(owner->allocator, sizeof(InterfaceObject)));
    if (object == nullptr) {
        *out = nullptr;
        return ErrOutOfMemory;
    }
    object->owner = owner;
    object->count = 1;
    AddRefOwner(owner);  // for the object's existence
    AddRefOwner(owner);  // for the count of 1
    ++LiveObjects;
    object->ops = ops;
    *out = object;
    return kOk;
}

}  // namespace

Status CreateRegistrationObject(void* instance, void** out) {
    return CreateObject(instance, &kRegistrationOps, out);
}

Status CreateScriptingObject(void* instance, void** out) {
    return CreateObject(instance, &kScriptingOps, out);
}

}  // namespace velmora
