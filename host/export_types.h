// The types of the five exports, for hosts that look them up in a module file.
#pragma once

#include "host/services.h"

namespace velmora {

using CreateInstanceFn = Status(VELMORA_CALL*)(void* instance);
using DestroyInstanceFn = void(VELMORA_CALL*)(void* instance);

using DllGetClassObjectFn = Status(VELMORA_CALL*)(const Guid*, const Guid*, void**);
using DllCanUnloadNowFn = Status(VELMORA_CALL*)();
using DllGetClassInfoFn = Status(VELMORA_CALL*)(IAllocatorService*, ClassInfoEntry**);
using DllGetClassFormFn = Status(VELMORA_CALL*)(const Guid*, std::int32_t*, CreateInstanceFn*,
                                                DestroyInstanceFn*);
using DllGetInterfaceFn = Status(VELMORA_CALL*)(void*, const Guid*, const Guid*, void**);

}  // namespace velmora
