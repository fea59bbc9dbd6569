// The tables of the services the host offers the module, and of the instance blocks it
// makes. Each service reaches the host's state through the interface it was called on
// (Service in host_state.h).
#pragma once

#include "host/services.h"

namespace velmora::minihost {

extern const ICallbackServiceOps kCallbackOps;
extern const IAllocatorServiceOps kAllocatorOps;
extern const IValueServiceOps kValueOps;
extern const IHandleServiceOps kHandleOps;
extern const IAppInfoServiceOps kAppInfoOps;
extern const IRegistryCacheOps kCacheOps;
extern const IRegistryEntryOps kEntryOps;
extern const InstanceOps kInstanceOps;

}  // namespace velmora::minihost
