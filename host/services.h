// The host's services as the module sees them: tables of operations called by
// position. Positions the module never calls are placeholders (HostSlot) that keep the
// others where the host puts them. Every table starts with QueryInterface, AddRef and
// Release, each taking the interface itself first.
#pragma once

#include "host/abi.h"

namespace velmora {

// NOLINTBEGIN(bugprone-macro-parentheses): Self names a type
#define VELMORA_UNKNOWN_OPS(Self)                                             \
    Status(VELMORA_CALL* QueryInterface)(Self*, const Guid* iid, void** out); \
    RefCount(VELMORA_CALL* AddRef)(Self*);                                    \
    RefCount(VELMORA_CALL* Release)(Self*)
// NOLINTEND(bugprone-macro-parentheses)

#define VELMORA_ASSERT_POSITION(Ops, op, k) \
    static_assert(offsetof(Ops, op) == (k) * sizeof(void*), #Ops "::" #op " is at position " #k)

#define VELMORA_ASSERT_UNKNOWN(Ops)                  \
    VELMORA_ASSERT_POSITION(Ops, QueryInterface, 0); \
    VELMORA_ASSERT_POSITION(Ops, AddRef, 1);         \
    VELMORA_ASSERT_POSITION(Ops, Release, 2)

// The host's own table for an instance: the instance itself is the first argument.
struct InstanceOps {
    VELMORA_UNKNOWN_OPS(void);
};
VELMORA_ASSERT_UNKNOWN(InstanceOps);

struct ICallbackService;
struct ICallbackServiceOps {
    VELMORA_UNKNOWN_OPS(ICallbackService);
};
struct ICallbackService {
    const ICallbackServiceOps* ops;
};
VELMORA_ASSERT_UNKNOWN(ICallbackServiceOps);

struct IAllocatorService;
struct IAllocatorServiceOps {
    VELMORA_UNKNOWN_OPS(IAllocatorService);
    void*(VELMORA_CALL* Alloc)(IAllocatorService*, std::uint32_t size);
    Status(VELMORA_CALL* Free)(IAllocatorService*, void* block);
};
struct IAllocatorService {
    const IAllocatorServiceOps* ops;
};
VELMORA_ASSERT_UNKNOWN(IAllocatorServiceOps);
VELMORA_ASSERT_POSITION(IAllocatorServiceOps, Alloc, 3);
VELMORA_ASSERT_POSITION(IAllocatorServiceOps, Free, 4);

struct IRegistryEntry;
struct IRegistryEntryOps {
    VELMORA_UNKNOWN_OPS(IRegistryEntry);
    HostSlot slot3, slot4, slot5;
    Status(VELMORA_CALL* PutEntry)(IRegistryEntry*, std::int32_t type, const void* data,
                                   std::int32_t size, const char* key);
};
struct IRegistryEntry {
    const IRegistryEntryOps* ops;
};
VELMORA_ASSERT_UNKNOWN(IRegistryEntryOps);
VELMORA_ASSERT_POSITION(IRegistryEntryOps, PutEntry, 6);

struct IRegistryCache;
struct IRegistryCacheOps {
    VELMORA_UNKNOWN_OPS(IRegistryCache);
    HostSlot slot3, slot4, slot5, slot6;
    Status(VELMORA_CALL* AddEntry)(IRegistryCache*, void* hostEntry, const Guid* classId,
                                   const Guid* iid, IRegistryEntry** out);
};
struct IRegistryCache {
    const IRegistryCacheOps* ops;
};
VELMORA_ASSERT_UNKNOWN(IRegistryCacheOps);
VELMORA_ASSERT_POSITION(IRegistryCacheOps, AddEntry, 7);

struct IAppInfoService;
struct IAppInfoServiceOps {
    VELMORA_UNKNOWN_OPS(IAppInfoService);
    Status(VELMORA_CALL* QueryInfo)(IAppInfoService*, std::int32_t item, char* buffer,
                                    std::int32_t size);
};
struct IAppInfoService {
    const IAppInfoServiceOps* ops;
};
VELMORA_ASSERT_UNKNOWN(IAppInfoServiceOps);
VELMORA_ASSERT_POSITION(IAppInfoServiceOps, QueryInfo, 3);

struct IValueService;
struct IValueServiceOps {
    VELMORA_UNKNOWN_OPS(IValueService);
    HostSlot slot3, slot4, slot5, slot6, slot7, slot8, slot9, slot10, slot11, slot12;
    Status(VELMORA_CALL* ToInteger)(IValueService*, const ScriptValue* value, std::int32_t* out);
    HostSlot slot14, slot15;
    Status(VELMORA_CALL* TextLength)(IValueService*, const ScriptValue* value,
                                     std::int32_t* length);
    HostSlot slot17;
    Status(VELMORA_CALL* LockText)(IValueService*, const ScriptValue* value, const char** text);
    Status(VELMORA_CALL* UnlockText)(IValueService*, const ScriptValue* value);
    HostSlot slot20, slot21;
    Status(VELMORA_CALL* FromInteger)(IValueService*, std::int32_t number, ScriptValue* out);
    HostSlot slot23, slot24, slot25;
    Status(VELMORA_CALL* FromTextHandle)(IValueService*, MemHandle text, ScriptValue* out);
};
struct IValueService {
    const IValueServiceOps* ops;
};
VELMORA_ASSERT_UNKNOWN(IValueServiceOps);
VELMORA_ASSERT_POSITION(IValueServiceOps, ToInteger, 13);
VELMORA_ASSERT_POSITION(IValueServiceOps, TextLength, 16);
VELMORA_ASSERT_POSITION(IValueServiceOps, LockText, 18);
VELMORA_ASSERT_POSITION(IValueServiceOps, UnlockText, 19);
VELMORA_ASSERT_POSITION(IValueServiceOps, FromInteger, 22);
VELMORA_ASSERT_POSITION(IValueServiceOps, FromTextHandle, 26);

struct IHandleService;
struct IHandleServiceOps {
    VELMORA_UNKNOWN_OPS(IHandleService);
    HostSlot slot3;
    MemHandle(VELMORA_CALL* AllocHandle)(IHandleService*, std::int32_t size);
    HostSlot slot5;
    std::int32_t(VELMORA_CALL* HandleSize)(IHandleService*, MemHandle handle);
    Status(VELMORA_CALL* ResizeHandle)(IHandleService*, MemHandle handle, std::int32_t size);
    void*(VELMORA_CALL* LockHandle)(IHandleService*, MemHandle handle);
    Status(VELMORA_CALL* UnlockHandle)(IHandleService*, MemHandle handle);
};
struct IHandleService {
    const IHandleServiceOps* ops;
};
VELMORA_ASSERT_UNKNOWN(IHandleServiceOps);
VELMORA_ASSERT_POSITION(IHandleServiceOps, AllocHandle, 4);
VELMORA_ASSERT_POSITION(IHandleServiceOps, HandleSize, 6);
VELMORA_ASSERT_POSITION(IHandleServiceOps, ResizeHandle, 7);
VELMORA_ASSERT_POSITION(IHandleServiceOps, LockHandle, 8);
VELMORA_ASSERT_POSITION(IHandleServiceOps, UnlockHandle, 9);

// The module's two interfaces, as a host calls them.
struct IRegistration;
struct IRegistrationOps {
    VELMORA_UNKNOWN_OPS(IRegistration);
    Status(VELMORA_CALL* RegisterEntries)(IRegistration*, IRegistryCache* cache, void* hostEntry);
};
struct IRegistration {
    const IRegistrationOps* ops;
};
VELMORA_ASSERT_UNKNOWN(IRegistrationOps);
VELMORA_ASSERT_POSITION(IRegistrationOps, RegisterEntries, 3);

struct IScripting;
struct IScriptingOps {
    VELMORA_UNKNOWN_OPS(IScripting);
    Status(VELMORA_CALL* RunMethod)(IScripting*, CallInfo* call);
};
struct IScripting {
    const IScriptingOps* ops;
};
VELMORA_ASSERT_UNKNOWN(IScriptingOps);
VELMORA_ASSERT_POSITION(IScriptingOps, RunMethod, 3);

// The first 24 (32-bit) or 48 (64-bit) bytes of every instance a host allocates.
struct InstanceHeader {
    const InstanceOps* ops;
    void* host1;
    ICallbackService* callback;
    IAllocatorService* allocator;
    void* host4;
    void* host5;
};
static_assert(sizeof(InstanceHeader) == 6 * sizeof(void*));
static_assert(offsetof(InstanceHeader, callback) == 2 * sizeof(void*));
static_assert(offsetof(InstanceHeader, allocator) == 3 * sizeof(void*));

}  // namespace velmora
