#include "minihost/host.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <new>
#include <unordered_map>

#include "host/interface_ids.h"

namespace velmora::minihost {

namespace {

// Kinds in a ScriptValue's first word.
constexpr std::uint32_t kVoidTag = 0;
constexpr std::uint32_t kIntegerTag = 1;
constexpr std::uint32_t kTextTag = 2;
constexpr std::uint32_t kObjectTag = 3;
// From 8.5 on a text value's second word is not a handle; a module that reads it as one
// finds no such handle.
constexpr std::uint32_t kModernTextMark = 0x5A000000;
constexpr std::size_t kMinArguments = 4;  // me and up to three parameters

template <typename Interface>
struct Service {
    Interface iface;
    Host::Impl* host;
};

template <typename Interface>
Host::Impl& HostOf(Interface* self) {
    return *reinterpret_cast<Service<Interface>*>(self)->host;
}

struct InstanceRecord {
    int refs = 1;  // the host's own
    std::int32_t size = 0;
};

}  // namespace

struct Host::Impl {
    Host& owner;
    explicit Impl(Host& host) : owner(host) {}

    struct Block {
        std::vector<unsigned char> storage;  // never empty, so a lock always has a pointer
        std::int32_t size = 0;
        int locks = 0;
        bool live = false;
        bool heldByValue = false;
    };
    std::vector<Block> blocks;
    std::vector<std::uint32_t> freeBlocks;
    int liveHandles = 0, lockedHandles = 0, lockedTexts = 0, serviceRefs = 0;
    std::unordered_map<void*, std::uint32_t> allocations;
    std::uint32_t lastAllocationSize = 0;
    std::unordered_map<void*, InstanceRecord*> instances;
    std::vector<std::string> problems;
    bool modernText = true;
    std::string registeredKey;
    std::string messageTableText;
    Guid scriptingClass{};

    Service<ICallbackService> callback{};
    Service<IAllocatorService> allocator{};
    Service<IValueService> values{};
    Service<IHandleService> handles{};
    Service<IAppInfoService> appInfo{};
    Service<IRegistryCache> cache{};
    Service<IRegistryEntry> entry{};

    // Misuse is rare: kept out of the hot paths.
    __attribute__((noinline, cold)) void Problem(const char* what) { problems.emplace_back(what); }
    __attribute__((noinline, cold)) void Problem(const std::string& what) {
        problems.push_back(what);
    }
    Faults& faults() { return owner.faults_; }

    // --- memory handles -------------------------------------------------------------
    std::uint32_t NewBlock(std::int32_t size) {
        std::uint32_t id;
        if (!freeBlocks.empty()) {
            id = freeBlocks.back();
            freeBlocks.pop_back();
        } else {
            blocks.emplace_back();
            id = static_cast<std::uint32_t>(blocks.size());
        }
        Block& b = blocks[id - 1];
        const auto bytes = static_cast<std::size_t>(std::max(size, 1));
        if (b.storage.size() < bytes) b.storage.resize(bytes);
        // A closing byte the module forgets to write must not happen to be 0.
        b.storage[bytes - 1] = 0xAB;
        b.size = size;
        b.locks = 0;
        b.live = true;
        b.heldByValue = false;
        ++liveHandles;
        return id;
    }
    Block* Find(std::uintptr_t id) {
        if (id == 0 || id > blocks.size() || !blocks[id - 1].live) return nullptr;
        return &blocks[id - 1];
    }
    Block* Find(MemHandle handle, const char* op) {
        Block* b = Find(reinterpret_cast<std::uintptr_t>(handle));
        if (b == nullptr) UnknownHandle(op);
        return b;
    }
    __attribute__((noinline)) void UnknownHandle(const char* op) {
        Problem(std::string(op) + " on an unknown handle");
    }
    void FreeBlock(std::uint32_t id) {
        Block& b = blocks[id - 1];
        if (b.locks != 0) {
            Problem("a handle was dropped while locked");
            lockedHandles -= b.locks;
        }
        b.live = false;  // its storage stays allocated for the next handle
        --liveHandles;
        freeBlocks.push_back(id);
    }

    // --- script values -------------------------------------------------------------
    ScriptValue TextValue(std::uint32_t id) const {
        return {kTextTag, modernText ? (id ^ kModernTextMark) : id};
    }
    std::uint32_t TextId(const ScriptValue& v) const {
        return modernText ? (v.word1 ^ kModernTextMark) : v.word1;
    }
    Block* TextBlock(const ScriptValue* v) {
        if (v == nullptr || v->word0 != kTextTag) return nullptr;
        return Find(TextId(*v));
    }
    ScriptValue Make(const Value& value) {
        switch (value.kind) {
            case Value::Kind::kInteger:
                return {kIntegerTag, static_cast<std::uint32_t>(value.integer)};
            case Value::Kind::kText: {
                const std::uint32_t id = NewBlock(static_cast<std::int32_t>(value.text.size()) + 1);
                Block& b = blocks[id - 1];
                std::memcpy(b.storage.data(), value.text.data(), value.text.size());
                b.storage[value.text.size()] = 0;
                b.heldByValue = true;
                return TextValue(id);
            }
            case Value::Kind::kVoid:
                break;
        }
        return {kVoidTag, 0};
    }
    // Releases what a value holds. Kept out of line: the common calls carry integers.
    __attribute__((noinline)) void Drop(const ScriptValue& v) {
        if (v.word0 != kTextTag) return;
        const std::uint32_t id = TextId(v);
        Block* b = Find(id);
        if (b != nullptr && b->heldByValue) FreeBlock(id);
    }
    // Reads a value the module handed back into *into, and releases it. *into keeps its
    // text's storage, so a host polling every frame does not allocate for each answer.
    void Take(const ScriptValue& v, Value* into) {
        if (v.word0 == kIntegerTag) {
            into->kind = Value::Kind::kInteger;
            into->integer = static_cast<std::int32_t>(v.word1);
            into->text.clear();
            return;
        }
        TakeOther(v, into);
    }
    __attribute__((noinline)) void TakeOther(const ScriptValue& v, Value* into) {
        into->kind = Value::Kind::kVoid;
        into->integer = 0;
        into->text.clear();
        if (v.word0 != kTextTag) return;
        const std::uint32_t id = TextId(v);
        Block* b = Find(id);
        if (b == nullptr) {
            Problem("a text result without a live handle");
            return;
        }
        into->kind = Value::Kind::kText;
        if (b->size < 1 || b->storage[static_cast<std::size_t>(b->size) - 1] != 0) {
            Problem("a text handle without its closing 0");
        } else if (b->size > 1) {
            into->text.assign(reinterpret_cast<const char*>(b->storage.data()),
                              static_cast<std::size_t>(b->size) - 1);
        }
        if (b->heldByValue) FreeBlock(id);
    }

    Accounting Count() const {
        Accounting a;
        a.liveBlocks = static_cast<int>(allocations.size());
        a.liveHandles = liveHandles;
        a.lockedHandles = lockedHandles;
        a.lockedTexts = lockedTexts;
        a.serviceRefs = serviceRefs;
        for (const auto& [block, record] : instances) a.instanceRefs += record->refs - 1;
        return a;
    }
};

namespace {

using Impl = Host::Impl;

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
    Impl& host = HostOf(self);
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
    Impl& host = HostOf(self);
    *out = nullptr;
    for (const Guid& refused : host.faults().refusedServices) {
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
const ICallbackServiceOps kCallbackOps = {ProvideService, Uncounted<ICallbackService>,
                                          Uncounted<ICallbackService>};

// --- IAllocatorService -----------------------------------------------------------------
void* VELMORA_CALL Alloc(IAllocatorService* self, std::uint32_t size) {
    Impl& host = HostOf(self);
    host.lastAllocationSize = size;
    int& left = host.faults().allocsBeforeFailure;
    if (left == 0) return nullptr;
    if (left > 0) --left;
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) return nullptr;
    std::memset(block, 0xCD, size);  // nothing the module reads is left unwritten
    host.allocations.emplace(block, size);
    return block;
}
Status VELMORA_CALL Free(IAllocatorService* self, void* block) {
    Impl& host = HostOf(self);
    if (host.allocations.erase(block) == 0) {
        host.Problem("Free of a block the allocator did not hand out");
        return 1;
    }
    std::free(block);
    return kOk;
}
const IAllocatorServiceOps kAllocatorOps = {NoInterface<IAllocatorService>,
                                            Uncounted<IAllocatorService>,
                                            Uncounted<IAllocatorService>, Alloc, Free};

// --- IAppInfoService -----------------------------------------------------------------
Status VELMORA_CALL QueryInfo(IAppInfoService* self, std::int32_t item, char* buffer,
                              std::int32_t size) {
    Impl& host = HostOf(self);
    if (host.faults().failQueryInfo || item != kAppInfoVersion || size <= 0) return 1;
    const std::string& text = host.owner.version();
    const std::size_t n = std::min(text.size(), static_cast<std::size_t>(size) - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
    return kOk;
}
const IAppInfoServiceOps kAppInfoOps = {NoInterface<IAppInfoService>,
                                        AddRefService<IAppInfoService>,
                                        ReleaseService<IAppInfoService>, QueryInfo};

// --- IValueService -------------------------------------------------------------------
Status VELMORA_CALL ToInteger(IValueService*, const ScriptValue* value, std::int32_t* out) {
    if (value->word0 != kIntegerTag) return 1;
    *out = static_cast<std::int32_t>(value->word1);
    return kOk;
}
Status VELMORA_CALL TextLength(IValueService* self, const ScriptValue* value,
                               std::int32_t* length) {
    Impl& host = HostOf(self);
    if (host.faults().failTextLength) return 1;
    Impl::Block* b = host.TextBlock(value);
    if (b == nullptr) return 1;
    *length = host.faults().negativeTextLength ? -1 : b->size - 1;
    return kOk;
}
Status VELMORA_CALL LockText(IValueService* self, const ScriptValue* value, const char** text) {
    Impl& host = HostOf(self);
    if (host.faults().failLockText) return 1;
    if (host.faults().lockTextGivesNull) {
        *text = nullptr;
        return kOk;
    }
    Impl::Block* b = host.TextBlock(value);
    if (b == nullptr) return 1;
    ++b->locks;
    ++host.lockedHandles;
    ++host.lockedTexts;
    *text = reinterpret_cast<const char*>(b->storage.data());
    return kOk;
}
Status VELMORA_CALL UnlockText(IValueService* self, const ScriptValue* value) {
    Impl& host = HostOf(self);
    Impl::Block* b = host.TextBlock(value);
    if (b == nullptr || b->locks == 0 || host.lockedTexts == 0) {
        host.Problem("UnlockText without a lock");
        return 1;
    }
    --b->locks;
    --host.lockedHandles;
    --host.lockedTexts;
    return kOk;
}
Status VELMORA_CALL FromInteger(IValueService* self, std::int32_t number, ScriptValue* out) {
    if (out->word0 == kTextTag) HostOf(self).Drop(*out);
    *out = {kIntegerTag, static_cast<std::uint32_t>(number)};
    return kOk;
}
Status VELMORA_CALL FromTextHandle(IValueService* self, MemHandle handle, ScriptValue* out) {
    Impl& host = HostOf(self);
    const auto id = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(handle));
    Impl::Block* b = host.Find(handle, "FromTextHandle");
    if (b == nullptr) return 1;
    if (b->heldByValue) host.Problem("FromTextHandle with a handle a value already holds");
    if (b->locks != 0) host.Problem("FromTextHandle with a locked handle");
    // A host may measure a text the moment it receives it.
    if (b->size < 1 || b->storage[static_cast<std::size_t>(b->size) - 1] != 0)
        host.Problem("FromTextHandle with a handle that is not a text");
    b->heldByValue = true;
    if (out->word0 == kTextTag && host.TextId(*out) != id) host.Drop(*out);
    *out = host.TextValue(id);
    return kOk;
}
IValueServiceOps MakeValueOps() {
    IValueServiceOps ops{};
    ops.QueryInterface = NoInterface<IValueService>;
    ops.AddRef = AddRefService<IValueService>;
    ops.Release = ReleaseService<IValueService>;
    ops.ToInteger = ToInteger;
    ops.TextLength = TextLength;
    ops.LockText = LockText;
    ops.UnlockText = UnlockText;
    ops.FromInteger = FromInteger;
    ops.FromTextHandle = FromTextHandle;
    return ops;
}
const IValueServiceOps kValueOps = MakeValueOps();

// --- IHandleService ------------------------------------------------------------------
MemHandle VELMORA_CALL AllocHandle(IHandleService* self, std::int32_t size) {
    Impl& host = HostOf(self);
    if (host.faults().failAllocHandle || size < 0) return nullptr;
    return reinterpret_cast<MemHandle>(static_cast<std::uintptr_t>(host.NewBlock(size)));
}
std::int32_t VELMORA_CALL HandleSize(IHandleService* self, MemHandle handle) {
    Impl& host = HostOf(self);
    Impl::Block* b = host.Find(handle, "HandleSize");
    if (b != nullptr && host.faults().oddHandleSize) return host.faults().handleSizeAnswer;
    return b == nullptr ? 0 : b->size;
}
Status VELMORA_CALL ResizeHandle(IHandleService* self, MemHandle handle, std::int32_t size) {
    Impl& host = HostOf(self);
    Impl::Block* b = host.Find(handle, "ResizeHandle");
    if (b == nullptr || size < 0) return 1;
    const auto want = static_cast<std::size_t>(std::max(size, 1));
    if (want > b->storage.size()) {
        if (b->locks != 0) return 1;  // a locked block cannot move
        b->storage.resize(want, 0xAB);
    }
    b->size = size;
    return kOk;
}
void* VELMORA_CALL LockHandle(IHandleService* self, MemHandle handle) {
    Impl& host = HostOf(self);
    if (host.faults().failLockHandle) return nullptr;
    Impl::Block* b = host.Find(handle, "LockHandle");
    if (b == nullptr) return nullptr;
    ++b->locks;
    ++host.lockedHandles;
    return b->storage.data();
}
Status VELMORA_CALL UnlockHandle(IHandleService* self, MemHandle handle) {
    Impl& host = HostOf(self);
    Impl::Block* b = host.Find(handle, "UnlockHandle");
    if (b == nullptr) return 1;
    if (b->locks == 0) {
        host.Problem("UnlockHandle without a lock");
        return 1;
    }
    --b->locks;
    --host.lockedHandles;
    return kOk;
}
IHandleServiceOps MakeHandleOps() {
    IHandleServiceOps ops{};
    ops.QueryInterface = NoInterface<IHandleService>;
    ops.AddRef = AddRefService<IHandleService>;
    ops.Release = ReleaseService<IHandleService>;
    ops.AllocHandle = AllocHandle;
    ops.HandleSize = HandleSize;
    ops.ResizeHandle = ResizeHandle;
    ops.LockHandle = LockHandle;
    ops.UnlockHandle = UnlockHandle;
    return ops;
}
const IHandleServiceOps kHandleOps = MakeHandleOps();

// --- IRegistryCache and IRegistryEntry ----------------------------------------------------
Status VELMORA_CALL AddEntry(IRegistryCache* self, void*, const Guid* classId, const Guid* iid,
                             IRegistryEntry** out) {
    Impl& host = HostOf(self);
    if (host.faults().addEntryStatus != kOk) return host.faults().addEntryStatus;
    if (!SameGuid(*iid, kIidScripting))
        host.Problem("AddEntry for an interface other than IScripting");
    host.scriptingClass = *classId;
    *out = &host.entry.iface;
    return kOk;
}
Status VELMORA_CALL PutEntry(IRegistryEntry* self, std::int32_t type, const void* data,
                             std::int32_t size, const char* key) {
    Impl& host = HostOf(self);
    if (host.faults().putEntryStatus != kOk) return host.faults().putEntryStatus;
    if (type != kEntryTypeText || size != 0) host.Problem("PutEntry with an unexpected type or size");
    host.registeredKey = key;
    host.messageTableText = static_cast<const char*>(data);
    return kOk;
}
IRegistryCacheOps MakeCacheOps() {
    IRegistryCacheOps ops{};
    ops.QueryInterface = NoInterface<IRegistryCache>;
    ops.AddRef = Uncounted<IRegistryCache>;
    ops.Release = Uncounted<IRegistryCache>;
    ops.AddEntry = AddEntry;
    return ops;
}
IRegistryEntryOps MakeEntryOps() {
    IRegistryEntryOps ops{};
    ops.QueryInterface = NoInterface<IRegistryEntry>;
    ops.AddRef = Uncounted<IRegistryEntry>;
    ops.Release = Uncounted<IRegistryEntry>;
    ops.PutEntry = PutEntry;
    return ops;
}
const IRegistryCacheOps kCacheOps = MakeCacheOps();
const IRegistryEntryOps kEntryOps = MakeEntryOps();

// --- the instance's own table -------------------------------------------------------------
InstanceRecord* RecordOf(void* instance) {
    return static_cast<InstanceRecord*>(static_cast<InstanceHeader*>(instance)->host1);
}
Status VELMORA_CALL InstanceQuery(void* instance, const Guid*, void** out) {
    auto* header = static_cast<InstanceHeader*>(instance);
    *out = nullptr;
    return HostOf(header->callback).faults().instanceQueryStatus;
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
const InstanceOps kInstanceOps = {InstanceQuery, InstanceAddRef, InstanceRelease};

}  // namespace

std::string Describe(const Accounting& a) {
    return "blocks " + std::to_string(a.liveBlocks) + ", handles " + std::to_string(a.liveHandles) +
           ", locked handles " + std::to_string(a.lockedHandles) + ", locked texts " +
           std::to_string(a.lockedTexts) + ", service refs " + std::to_string(a.serviceRefs) +
           ", instance refs " + std::to_string(a.instanceRefs);
}

Host::Host(const ModuleExports& module) : module_(module), impl_(std::make_unique<Impl>(*this)) {
    Impl& h = *impl_;
    h.callback = {{&kCallbackOps}, &h};
    h.allocator = {{&kAllocatorOps}, &h};
    h.values = {{&kValueOps}, &h};
    h.handles = {{&kHandleOps}, &h};
    h.appInfo = {{&kAppInfoOps}, &h};
    h.cache = {{&kCacheOps}, &h};
    h.entry = {{&kEntryOps}, &h};
    SetVersion(versionText_);
}

Host::~Host() = default;

void Host::SetVersion(const std::string& text) {
    versionText_ = text;
    impl_->modernText = std::strtod(text.c_str(), nullptr) >= 8.5;
}

const std::string& Host::messageTableText() const {
    return impl_->messageTableText;
}

std::uint32_t Host::LastAllocationSize() const {
    return impl_->lastAllocationSize;
}

bool Host::TextHandlesInValues() const {
    return !impl_->modernText;
}

Accounting Host::accounting() const {
    return impl_->Count();
}

int Host::ReclaimAbandonedHandles() {
    int reclaimed = 0;
    for (std::size_t i = 0; i < impl_->blocks.size(); ++i) {
        const Impl::Block& b = impl_->blocks[i];
        if (!b.live || b.heldByValue || b.locks != 0) continue;
        impl_->FreeBlock(static_cast<std::uint32_t>(i + 1));
        ++reclaimed;
    }
    return reclaimed;
}

std::vector<std::string> Host::TakeProblems() {
    std::vector<std::string> problems;
    problems.swap(impl_->problems);
    return problems;
}

void* Host::NewInstance(std::int32_t size) {
    const auto bytes =
        static_cast<std::size_t>(std::max<std::int32_t>(size, sizeof(InstanceHeader)));
    void* block = ::operator new (bytes, std::align_val_t{16});
    std::memset(block, 0xCD, bytes);  // what create leaves alone stays visibly unwritten
    auto* header = static_cast<InstanceHeader*>(block);
    auto* record = new InstanceRecord{1, size};
    *header = InstanceHeader{&kInstanceOps,           record,  &impl_->callback.iface,
                             &impl_->allocator.iface, nullptr, nullptr};
    impl_->instances.emplace(block, record);
    return block;
}

void Host::DeleteInstance(void* instance) {
    InstanceRecord* record = RecordOf(instance);
    if (record->refs != 1) impl_->Problem("an instance was freed while the module held references");
    impl_->instances.erase(instance);
    delete record;
    ::operator delete (instance, std::align_val_t{16});
}

Status Host::ListClasses(std::vector<ClassInfoEntry>* entries) {
    ClassInfoEntry* list = nullptr;
    const Status status = module_.getClassInfo(&impl_->allocator.iface, &list);
    if (status != kOk) return status;
    entries->clear();
    const Guid none{};
    for (const ClassInfoEntry* e = list;
         !(SameGuid(e->classId, none) && SameGuid(e->interfaceId, none)); ++e) {
        entries->push_back(*e);
    }
    Free(&impl_->allocator.iface, list);
    return kOk;
}

Status Host::Register(std::string* error) {
    std::vector<ClassInfoEntry> entries;
    Status status = ListClasses(&entries);
    if (status != kOk) {
        *error = "the class list could not be had";
        return status;
    }
    const auto registration = std::find_if(entries.begin(), entries.end(), [](const auto& e) {
        return SameGuid(e.interfaceId, kIidRegistration);
    });
    if (registration == entries.end()) {
        *error = "the module offers no registration class";
        return ErrNoClass;
    }
    std::int32_t size = 0;
    CreateInstanceFn create = nullptr;
    DestroyInstanceFn destroy = nullptr;
    status = module_.getClassForm(&registration->classId, &size, &create, &destroy);
    if (status != kOk) {
        *error = "no class form for the registration class";
        return status;
    }
    void* instance = NewInstance(size);
    status = create(instance);
    IRegistration* iface = nullptr;
    if (status == kOk) {
        status = module_.getInterface(instance, &registration->classId, &kIidRegistration,
                                      reinterpret_cast<void**>(&iface));
    }
    if (status == kOk) {
        status = iface->ops->RegisterEntries(iface, &impl_->cache.iface, &impl_->entry);
        iface->ops->Release(iface);
    }
    destroy(instance);
    DeleteInstance(instance);
    if (status != kOk) {
        *error = "registration failed";
        return status;
    }
    if (impl_->registeredKey != "msgTable") {
        *error = "the message table was stored under another key";
        return ErrNoClass;
    }
    return ParseMessageTable(impl_->messageTableText, &table_, error) ? kOk : ErrNoClass;
}

std::unique_ptr<ScriptObject> Host::NewObject(Status* status) {
    std::int32_t size = 0;
    CreateInstanceFn create = nullptr;
    DestroyInstanceFn destroy = nullptr;
    Status s = module_.getClassForm(&impl_->scriptingClass, &size, &create, &destroy);
    void* instance = nullptr;
    if (s == kOk) {
        instance = NewInstance(size);
        s = create(instance);
    }
    IScripting* scripting = nullptr;
    if (s == kOk) {
        s = module_.getInterface(instance, &impl_->scriptingClass, &kIidScripting,
                                 reinterpret_cast<void**>(&scripting));
        if (s != kOk) destroy(instance);
    }
    if (status != nullptr) *status = s;
    if (s != kOk) {
        if (instance != nullptr) DeleteInstance(instance);
        return nullptr;
    }
    return std::unique_ptr<ScriptObject>(new ScriptObject(*this, instance, scripting, destroy));
}

ScriptObject::~ScriptObject() {
    scripting_->ops->Release(scripting_);
    destroy_(instance_);
    host_.DeleteInstance(instance_);
}

CallOutcome ScriptObject::Call(const std::string& method, const std::vector<Value>& args) {
    CallOutcome outcome;
    const MethodDecl* decl = host_.table_.Find(method);
    if (decl == nullptr) {
        outcome.error = "no method \"" + method + "\"";
        return outcome;
    }
    if (args.size() != decl->params.size()) {
        outcome.error = method + " takes " + std::to_string(decl->params.size()) + " argument" +
                        (decl->params.size() == 1 ? "" : "s") + ", not " +
                        std::to_string(args.size());
        return outcome;
    }
    for (std::size_t i = 0; i < args.size(); ++i) {
        const bool wantsText = decl->params[i].type == ParamDecl::Type::kString;
        const Value::Kind want = wantsText ? Value::Kind::kText : Value::Kind::kInteger;
        if (args[i].kind != want) {
            outcome.error = method + "'s " + decl->params[i].name + " must be " +
                            (wantsText ? "a text" : "an integer");
            return outcome;
        }
    }
    return CallNumber(decl->number, args);
}

CallOutcome ScriptObject::CallNumber(std::int32_t number, const std::vector<Value>& args,
                                     const Value& preset) {
    Host::Impl& h = *host_.impl_;
    std::array<ScriptValue, 8> small{};
    std::vector<ScriptValue> large;
    const std::size_t count = std::max(args.size() + 1, kMinArguments);
    ScriptValue* values = small.data();
    if (count > small.size()) {
        large.assign(count, ScriptValue{kVoidTag, 0});
        values = large.data();
    }
    values[0] = {kObjectTag, 1};
    for (std::size_t i = 0; i < args.size(); ++i) values[i + 1] = h.Make(args[i]);

    CallInfo call{};
    call.method = number;
    call.result = h.Make(preset);
    call.hostArgCount = static_cast<std::int32_t>(args.size() + 1);
    call.args = values;
    CallOutcome outcome;
    outcome.status = scripting_->ops->RunMethod(scripting_, &call);
    h.Take(call.result, &outcome.result);
    for (std::size_t i = 1; i <= args.size(); ++i) h.Drop(values[i]);
    return outcome;
}

}  // namespace velmora::minihost

namespace velmora::minihost {

PreparedCall::PreparedCall(ScriptObject& object, std::int32_t number,
                           const std::vector<Value>& args)
    : object_(object) {
    Host::Impl& h = *object.host_.impl_;
    args_.assign(std::max(args.size() + 1, kMinArguments), ScriptValue{kVoidTag, 0});
    args_[0] = {kObjectTag, 1};
    for (std::size_t i = 0; i < args.size(); ++i) args_[i + 1] = h.Make(args[i]);
    call_.method = number;
    call_.hostArgCount = static_cast<std::int32_t>(args.size() + 1);
    call_.args = args_.data();
}

PreparedCall::~PreparedCall() {
    for (const ScriptValue& v : args_) object_.host_.impl_->Drop(v);
}

const Value& PreparedCall::Run() {
    call_.result = {kVoidTag, 0};
    object_.scripting_->ops->RunMethod(object_.scripting_, &call_);
    object_.host_.impl_->Take(call_.result, &result_);
    return result_;
}

}  // namespace velmora::minihost
