// The module's two classes, each with exactly one interface, and the walk that every
// export uses to consult them.
#pragma once

#include <array>
#include <type_traits>

#include "host/exports.h"
#include "module/interface_object.h"

namespace velmora {

struct ClassEntry {
    Guid classId;
    std::uint32_t classVersion;
    std::int32_t instanceSize;
    CreateInstanceFn create;
    DestroyInstanceFn destroy;
    Guid interfaceId;
    std::uint32_t interfaceVersion;
    InterfaceCreator createInterface;
};

// The version both classes and both interfaces are listed with.
inline constexpr std::uint32_t kClassVersion = 0x01000040;

extern const Guid kRegistrationClassId;
extern const Guid kScriptingClassId;
extern const std::array<ClassEntry, 2> kClassTable;

// Walks the table in order, skipping classes other than *filter (a null filter matches
// every class). Each visitor is called with the class entry; a non-zero answer ends the
// walk and is its result. Either visitor may be nullptr.
template <typename ClassVisitor, typename InterfaceVisitor>
int WalkClassTable(const Guid* filter, ClassVisitor&& onClass, InterfaceVisitor&& onInterface) {
    for (const ClassEntry& entry : kClassTable) {
        if (filter != nullptr && !SameGuid(*filter, entry.classId)) continue;
        if constexpr (!std::is_null_pointer_v<std::decay_t<ClassVisitor>>) {
            if (const int stop = onClass(entry)) return stop;
        }
        if constexpr (!std::is_null_pointer_v<std::decay_t<InterfaceVisitor>>) {
            if (const int stop = onInterface(entry)) return stop;
        }
    }
    return 0;
}

}  // namespace velmora
