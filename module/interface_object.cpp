#include "module/interface_object.h"

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

}  // namespace

Status ForwardQueryInterface(InterfaceObject* object, const Guid* iid, void** out) {
    InstanceHeader* owner = object->owner;
    return owner->ops->QueryInterface(owner, iid, out);
}

RefCount AddRefInterfaceObject(InterfaceObject* object) {
    AddRefOwner(object->owner);
    return ++object->count;
}

RefCount ReleaseInterfaceObject(InterfaceObject* object) {
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

Status CreateInterfaceObject(void* instance, const void* ops, void** out) {
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

}  // namespace velmora
