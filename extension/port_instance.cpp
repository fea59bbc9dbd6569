#include "extension/port_instance.h"

#include "host/interface_ids.h"

namespace velmora {

Status VELMORA_CALL CreatePortInstance(void* instance) {
    auto* self = static_cast<PortInstance*>(instance);
    // A method called before `new` then finds a closed port, not whatever the host's
    // block happened to hold.
    self->port = nullptr;
    self->hostVersion = 0.0;
    self->values = nullptr;
    self->handles = nullptr;
    ICallbackService* callback = self->header.callback;
    if (callback == nullptr) return ErrNoInterface;
    if (callback->ops->QueryInterface(callback, &kIidValueService,
                                      reinterpret_cast<void**>(&self->values)) != kOk) {
        self->values = nullptr;  // not obtained: nothing for destroy to release
        return ErrNoInterface;
    }
    if (callback->ops->QueryInterface(callback, &kIidHandleService,
                                      reinterpret_cast<void**>(&self->handles)) != kOk) {
        self->handles = nullptr;
        return ErrNoInterface;
    }
    return kOk;
}

void VELMORA_CALL DestroyPortInstance(void* instance) {
    auto* self = static_cast<PortInstance*>(instance);
    // No script can reach the port once its object is gone: close it rather than
    // leave the device held until the host exits.
    if (serial::IsOpen(self->port)) serial::CloseHandle(self->port);
    self->port = nullptr;
    if (self->values != nullptr) self->values->ops->Release(self->values);
    if (self->handles != nullptr) self->handles->ops->Release(self->handles);
}

}  // namespace velmora
