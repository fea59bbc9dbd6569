// The frame's view of the module's classes: what an entry holds and the walk that every
// export uses to consult them. The frame only declares the table; the extension defines
// it (extension/class_table.cpp), so the frame knows no class of its own.
#pragma once

#include <cstddef>
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

struct ClassTable {
    const ClassEntry* entries;
    std::size_t count;
};

// Defined by the extension: every class the module offers, each with exactly one
// interface, in the order the host is told of them.
extern const ClassTable kModuleClasses;

// Walks the table in order, skipping classes other than *filter (a null filter matches
// every class). Each visitor is called with the class entry; a non-zero answer ends the
// walk and is its result. Either visitor may be nullptr.
template <typename ClassVisitor, typename InterfaceVisitor>
int WalkClassTable(const Guid* filter, ClassVisitor&& onClass, InterfaceVisitor&& onInterface) {
    for (std::size_t i = 0; i < kModuleClasses.count; ++i) {
        const ClassEntry& entry = kModuleClasses.entries[i];
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
