// The binary boundary shared by the module and every host that loads it.
//
// Everything that crosses it is a plain record or a table of operations called by
// position, COM-style: an interface is a pointer to a record whose first member points
// at its table, and every operation takes that interface pointer first. On 32-bit
// Windows every such function is __stdcall; elsewhere the platform's default applies.
// Nothing is thrown across it: every failure is a status.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(_WIN32) && !defined(_WIN64)
#define VELMORA_CALL __stdcall
#else
#define VELMORA_CALL
#endif

namespace velmora {

using Status = std::int32_t;
using RefCount = std::int32_t;

inline constexpr Status kOk = 0;
inline constexpr Status ErrOutOfMemory = static_cast<Status>(0x80040002u);
inline constexpr Status ErrInUse = static_cast<Status>(0x80040003u);
inline constexpr Status ErrNoInterface = static_cast<Status>(0x80040004u);
inline constexpr Status ErrNoClass = static_cast<Status>(0x80040005u);

// Windows in-memory layout; two GUIDs are equal when all four 32-bit words are.
struct Guid {
    std::uint32_t data1;
    std::uint16_t data2;
    std::uint16_t data3;
    std::uint8_t data4[8];
};
static_assert(sizeof(Guid) == 16);

inline bool SameGuid(const Guid& a, const Guid& b) {
    return std::memcmp(&a, &b, sizeof(Guid)) == 0;
}

// A memory handle of IHandleService: opaque and pointer-sized. A host hands out text
// handles below 2^32, because hosts older than 8.5 carry them in a 32-bit word.
using MemHandle = void*;

// The host's script value. Its content belongs to the host; the module copies it and
// passes it back, and reads only the second word of a text value on old hosts.
struct ScriptValue {
    std::uint32_t word0;
    std::uint32_t word1;
};
static_assert(sizeof(ScriptValue) == 8 && alignof(ScriptValue) == 4);

// One script call. Argument 0 is the object itself; argument k the k-th declared
// parameter. The host's own fields (its argument count among them) are never read.
struct CallInfo {
    std::uint32_t host0;
    std::uint32_t host1;
    std::int32_t method;
    ScriptValue result;
    std::int32_t hostArgCount;
    ScriptValue* args;
};
static_assert(offsetof(CallInfo, method) == 8);
static_assert(offsetof(CallInfo, result) == 12);
static_assert(offsetof(CallInfo, hostArgCount) == 20);
static_assert(offsetof(CallInfo, args) == 24);
static_assert(sizeof(CallInfo) == (sizeof(void*) == 4 ? 28 : 32));

// The host's description of one class or one interface, as DllGetClassInfo lists them.
struct ClassInfoEntry {
    Guid classId;
    std::uint32_t classVersion;
    Guid interfaceId;
    std::uint32_t interfaceVersion;
};
static_assert(sizeof(ClassInfoEntry) == 40);
static_assert(offsetof(ClassInfoEntry, classVersion) == 16);
static_assert(offsetof(ClassInfoEntry, interfaceId) == 20);
static_assert(offsetof(ClassInfoEntry, interfaceVersion) == 36);

// Table slots the module never calls keep their position with a placeholder.
using HostSlot = void*;

}  // namespace velmora
