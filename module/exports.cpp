// The five entry points of the host's component protocol.
#include "host/exports.h"

#include "host/interface_ids.h"
#include "module/class_table.h"
#include "module/live_objects.h"

using namespace velmora;

extern "C" {

Status VELMORA_CALL DllGetClassObject(const Guid*, const Guid*, void**) {
    return ErrNoClass;
}

Status VELMORA_CALL DllCanUnloadNow() {
    return LiveObjects != 0 ? ErrInUse : kOk;
}

Status VELMORA_CALL DllGetClassForm(const Guid* classId, std::int32_t* instanceSize,
                                    CreateInstanceFn* create, DestroyInstanceFn* destroy) {
    const int found = WalkClassTable(
        classId,
        [&](const ClassEntry& entry) {
            *instanceSize = entry.instanceSize;
            *create = entry.create;
            *destroy = entry.destroy;
            return 1;
        },
        nullptr);
    return found ? kOk : ErrNoClass;
}

Status VELMORA_CALL DllGetInterface(void* instance, const Guid* classId, const Guid* iid,
                                    void** out) {
    InterfaceCreator creator = nullptr;
    WalkClassTable(classId, nullptr, [&](const ClassEntry& entry) {
        if (!SameGuid(entry.interfaceId, *iid)) return 0;
        creator = entry.createInterface;
        return 1;
    });
    return creator != nullptr ? creator(instance, out) : ErrNoInterface;
}

Status VELMORA_CALL DllGetClassInfo(IAllocatorService* allocator, ClassInfoEntry** list) {
    std::uint32_t count = 0;
    const auto countOne = [&](const ClassEntry&) {
        ++count;
        return 0;
    };
    WalkClassTable(nullptr, countOne, countOne);

    auto* entries = static_cast<ClassInfoEntry*>(
        allocator->ops->Alloc(allocator, (count + 1) * sizeof(ClassInfoEntry)));
    *list = entries;
    if (entries == nullptr) return ErrOutOfMemory;

    ClassInfoEntry* next = entries;
    WalkClassTable(
        nullptr,
        [&](const ClassEntry& entry) {
            *next++ = {entry.classId, entry.classVersion, kIidClassFactory, 1};
            return 0;
        },
        [&](const ClassEntry& entry) {
            *next++ = {entry.classId, entry.classVersion, entry.interfaceId,
                       entry.interfaceVersion};
            return 0;
        });
    // The terminator: both IDs zero; its version fields are left as they are.
    next->classId = Guid{};
    next->interfaceId = Guid{};
    return kOk;
}

}  // extern "C"
