#include "minihost/service_tables.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "host/interface_ids.h"
#include "minihost/host.h"
#include "minihost/host_state.h"

namespace velmora::minihost {

namespace {

// What the host answers when it refuses an operation. The module treats every status
// but kOk alike.
constexpr Status kRefused = 1;

using Block = HandleStore::Block;

// --- shared unknown operations -------------------------------------------------------
template <typename Interface>
Status VELMORA_CALL NoInterface(Interface*, const Guid*, void** out) {
    if (out != nullptr) *out = nullptr;
    return ErrNoInterface;
}
template <typename Interface>
RefCount VELMORA_CALL AddRefService(Interface* self) {
    return ++HostOf(self).serviceRefs;
}
template <typename Interface>
RefCount VELMORA_CALL ReleaseService(Interface* self) {
    HostState& host = HostOf(self);
    if (host.serviceRefs == 0) host.Problem("a service was released more often than obtained");
    return --host.serviceRefs;
}
// The header's own services are not counted: the instance holds them.
template <typename Interface>
RefCount VELMORA_CALL Uncounted(Interface*) {
    return 1;
}

// --- ICallbackService ----------------------------------------------------------------
Status VELMORA_CALL ProvideService(ICallbackService* self, const Guid* iid, void** out) {
    HostState& host = HostOf(self);
    *out = nullptr;
    for (const Guid& refused : host.faults.refusedServices) {
        if (SameGuid(refused, *iid)) return ErrNoInterface;
    }
    if (SameGuid(*iid, kIidValueService)) {
        *out = &host.values;
    } else if (SameGuid(*iid, kIidHandleService)) {
        *out = &host.handles;
    } else if (SameGuid(*iid, kIidAppInfoService)) {
        *out = &host.appInfo;
    } else {
        return ErrNoInterface;
    }
    ++host.serviceRefs;
    return kOk;
}

// --- IAllocatorService -----------------------------------------------------------------
void* VELMORA_CALL Alloc(IAllocatorService* self, std::uint32_t size) {
    HostState& host = HostOf(self);
    host.lastAllocationSize = size;
    int& left = host.faults.allocsBeforeFailure;
    if (left == 0) return nullptr;
    if (left > 0) --left;
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) return nullptr;
    std::memset(block, 0xCD, size);  // nothing the module reads is left unwritten
    host.allocations.emplace(block, size);
    return block;
}
Status VELMORA_CALL Free(IAllocatorService* self, void* block) {
    HostState& host = HostOf(self);
    if (host.allocations.erase(block) == 0) {
        host.Problem("Free of a block the allocator did not hand out");
        return kRefused;
    }
    std::free(block);
    return kOk;
}

// --- IAppInfoService -----------------------------------------------------------------
Status VELMORA_CALL QueryInfo(IAppInfoService* self, std::int32_t item, char* buffer,
                              std::int32_t size) {
    HostState& host = HostOf(self);
    if (host.faults.failQueryInfo || item != kAppInfoVersion || size <= 0) return kRefused;
    const std::string& text = host.owner.version();
    const std::size_t n = std::min(text.size(), static_cast<std::size_t>(size) - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
    return kOk;
}

// --- IValueService -------------------------------------------------------------------
Status VELMORA_CALL ToInteger(IValueService*, const ScriptValue* value, std::int32_t* out) {
    if (value->word0 != kIntegerTag) return kRefused;
    *out = static_cast<std::int32_t>(value->word1);
    return kOk;
}
Status VELMORA_CALL TextLength(IValueService* self, const ScriptValue* value,
                               std::int32_t* length) {
    HostState& host = HostOf(self);
    if (host.faults.failTextLength) return kRefused;
    Block* b = host.store.TextBlock(value);
    if (b == nullptr) return kRefused;
    *length = host.faults.negativeTextLength ? -1 : b->size - 1;
    return kOk;
}
Status VELMORA_CALL LockText(IValueService* self, const ScriptValue* value, const char** text) {
    HostState& host = HostOf(self);
    if (host.faults.failLockText) return kRefused;
    if (host.faults.lockTextGivesNull) {
        *text = nullptr;
        return kOk;
    }
    Block* b = host.store.TextBlock(value);
    if (b == nullptr) return kRefused;
    host.store.CountLock(*b, true);
    *text = reinterpret_cast<const char*>(b->storage.data());
    return kOk;
}
Status VELMORA_CALL UnlockText(IValueService* self, const ScriptValue* value) {
    HostState& host = HostOf(self);
    Block* b = host.store.TextBlock(value);
    if (b == nullptr || b->locks == 0 || host.store.lockedTexts() == 0) {
        host.Problem("UnlockText without a lock");
        return kRefused;
    }
    host.store.CountUnlock(*b, true);
    return kOk;
}
Status VELMORA_CALL FromInteger(IValueService* self, std::int32_t number, ScriptValue* out) {
    if (out->word0 == kTextTag) HostOf(self).store.Drop(*out);
    *out = {kIntegerTag, static_cast<std::uint32_t>(number)};
    return kOk;
}
Status VELMORA_CALL FromTextHandle(IValueService* self, MemHandle handle, ScriptValue* out) {
    HostState& host = HostOf(self);
    const auto id = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(handle));
    Block* b = host.store.Find(handle, "FromTextHandle");
    if (b == nullptr) return kRefused;
    if (b->heldByValue) host.Problem("FromTextHandle with a handle a value already holds");
    if (b->locks != 0) host.Problem("FromTextHandle with a locked handle");
    // A host may measure a text the moment it receives it.
    if (b->size < 1 || b->storage[static_cast<std::size_t>(b->size) - 1] != 0)
        host.Problem("FromTextHandle with a handle that is not a text");
    b->heldByValue = true;
    if (out->word0 == kTextTag && host.store.TextId(*out) != id) host.store.Drop(*out);
    *out = host.store.TextValue(id);
    return kOk;
}

// --- IHandleService ------------------------------------------------------------------
MemHandle VELMORA_CALL AllocHandle(IHandleService* self, std::int32_t size) {
    HostState& host = HostOf(self);
    if (host.faults.failAllocHandle || size < 0) return nullptr;
    return reinterpret_cast<MemHandle>(static_cast<std::uintptr_t>(host.store.NewBlock(size)));
}
std::int32_t VELMORA_CALL HandleSize(IHandleService* self, MemHandle handle) {
    HostState& host = HostOf(self);
    Block* b = host.store.Find(handle, "HandleSize");
    if (b != nullptr && host.faults.oddHandleSize) return host.faults.handleSizeAnswer;
    return b == nullptr ? 0 : b->size;
}
Status VELMORA_CALL ResizeHandle(IHandleService* self, MemHandle handle, std::int32_t size) {
    HostState& host = HostOf(self);
    Block* b = host.store.Find(handle, "ResizeHandle");
    if (b == nullptr || size < 0) return kRefused;
    const auto want = static_cast<std::size_t>(std::max(size, 1));
    if (want > b->storage.size()) {
        if (b->locks != 0) return kRefused;  // a locked block cannot move
        b->storage.resize(want, 0xAB);
    }
    b->size = size;
    return kOk;
}
void* VELMORA_CALL LockHandle(IHandleService* self, MemHandle handle) {
    HostState& host = HostOf(self);
    int& refusals = host.faults.failLockHandle;
    if (refusals != 0) {
        if (refusals > 0) --refusals;
        return nullptr;
    }
    Block* b = host.store.Find(handle, "LockHandle");
    if (b == nullptr) return nullptr;
    host.store.CountLock(*b, false);
    return b->storage.data();
}
Status VELMORA_CALL UnlockHandle(IHandleService* self, MemHandle handle) {
    HostState& host = HostOf(self);
    Block* b = host.store.Find(handle, "UnlockHandle");
    if (b == nullptr) return kRefused;
    if (b->locks == 0) {
        host.Problem("UnlockHandle without a lock");
        return kRefused;
    }
    host.store.CountUnlock(*b, false);
    return kOk;
}

// --- IRegistryCache and IRegistryEntry ----------------------------------------------------
Status VELMORA_CALL AddEntry(IRegistryCache* self, void*, const Guid* classId, const Guid* iid,
                             IRegistryEntry** out) {
    HostState& host = HostOf(self);
    if (host.faults.addEntryStatus != kOk) return host.faults.addEntryStatus;
    if (!SameGuid(*iid, kIidScripting))
        host.Problem("AddEntry for an interface other than IScripting");
    host.scriptingClass = *classId;
    *out = &host.entry.iface;
    return kOk;
}
Status VELMORA_CALL PutEntry(IRegistryEntry* self, std::int32_t type, const void* data,
                             std::int32_t size, const char* key) {
    HostState& host = HostOf(self);
    if (host.faults.putEntryStatus != kOk) return host.faults.putEntryStatus;
    if (type != kEntryTypeText || size != 0)
        host.Problem("PutEntry with an unexpected type or size");
    host.registeredKey = key;
    host.messageTableText = static_cast<const char*>(data);
    return kOk;
}

// --- the instance's own table -------------------------------------------------------------
Status VELMORA_CALL InstanceQuery(void* instance, const Guid*, void** out) {
    auto* header = static_cast<InstanceHeader*>(instance);
    *out = nullptr;
    return HostOf(header->callback).faults.instanceQueryStatus;
}
RefCount VELMORA_CALL InstanceAddRef(void* instance) {
    return ++RecordOf(instance)->refs;
}
RefCount VELMORA_CALL InstanceRelease(void* instance) {
    InstanceRecord* record = RecordOf(instance);
    if (record->refs <= 1) {
        HostOf(static_cast<InstanceHeader*>(instance)->callback)
            .Problem("an instance was released more often than referenced");
    }
    return --record->refs;
}

}  // namespace

// The tables, each by the names of its operations. The HostSlot positions left out
// between them are null, as the module never calls them: leaving them out is the point,
// which GCC's warning about members without an initializer does not know.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
const ICallbackServiceOps kCallbackOps = {
    .QueryInterface = ProvideService,
    .AddRef = Uncounted<ICallbackService>,
    .Release = Uncounted<ICallbackService>,
};
const IAllocatorServiceOps kAllocatorOps = {
    .QueryInterface = NoInterface<IAllocatorService>,
    .AddRef = Uncounted<IAllocatorService>,
    .Release = Uncounted<IAllocatorService>,
    .Alloc = Alloc,
    .Free = Free,
};
const IValueServiceOps kValueOps = {
    .QueryInterface = NoInterface<IValueService>,
    .AddRef = AddRefService<IValueService>,
    .Release = ReleaseService<IValueService>,
    .ToInteger = ToInteger,
    .TextLength = TextLength,
    .LockText = LockText,
    .UnlockText = UnlockText,
    .FromInteger = FromInteger,
    .FromTextHandle = FromTextHandle,
};
const IHandleServiceOps kHandleOps = {
    .QueryInterface = NoInterface<IHandleService>,
    .AddRef = AddRefService<IHandleService>,
    .Release = ReleaseService<IHandleService>,
    .AllocHandle = AllocHandle,
    .HandleSize = HandleSize,
    .ResizeHandle = ResizeHandle,
    .LockHandle = LockHandle,
    .UnlockHandle = UnlockHandle,
};
const IAppInfoServiceOps kAppInfoOps = {
    .QueryInterface = NoInterface<IAppInfoService>,
    .AddRef = AddRefService<IAppInfoService>,
    .Release = ReleaseService<IAppInfoService>,
    .QueryInfo = QueryInfo,
};
const IRegistryCacheOps kCacheOps = {
    .QueryInterface = NoInterface<IRegistryCache>,
    .AddRef = Uncounted<IRegistryCache>,
    .Release = Uncounted<IRegistryCache>,
    .AddEntry = AddEntry,
};
const IRegistryEntryOps kEntryOps = {
    .QueryInterface = NoInterface<IRegistryEntry>,
    .AddRef = Uncounted<IRegistryEntry>,
    .Release = Uncounted<IRegistryEntry>,
    .PutEntry = PutEntry,
};
const InstanceOps kInstanceOps = {
    .QueryInterface = InstanceQuery,
    .AddRef = InstanceAddRef,
    .Release = InstanceRelease,
};
#pragma GCC diagnostic pop

}  // namespace velmora::minihost
