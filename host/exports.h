// The five functions every build of the module exports under their plain names.
#pragma once

#include "host/export_types.h"

#if defined(_WIN32)
#define VELMORA_EXPORT
#else
#define VELMORA_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {
VELMORA_EXPORT velmora::Status VELMORA_CALL DllGetClassObject(const velmora::Guid* classId,
                                                              const velmora::Guid* iid, void** out);
VELMORA_EXPORT velmora::Status VELMORA_CALL DllCanUnloadNow();
VELMORA_EXPORT velmora::Status VELMORA_CALL DllGetClassInfo(velmora::IAllocatorService* allocator,
                                                            velmora::ClassInfoEntry** list);
VELMORA_EXPORT velmora::Status VELMORA_CALL DllGetClassForm(const velmora::Guid* classId,
                                                            std::int32_t* instanceSize,
                                                            velmora::CreateInstanceFn* create,
                                                            velmora::DestroyInstanceFn* destroy);
VELMORA_EXPORT velmora::Status VELMORA_CALL DllGetInterface(void* instance,
                                                            const velmora::Guid* classId,
                                                            const velmora::Guid* iid, void** out);
}
