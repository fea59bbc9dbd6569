#include "minihost/host.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "host/interface_ids.h"
#include "minihost/host_state.h"
#include "minihost/service_tables.h"

namespace velmora::minihost {

HostState::HostState(Host& host)
    : owner(host),
      faults(host.faults()),
      callback{{&kCallbackOps}, this},
      allocator{{&kAllocatorOps}, this},
      values{{&kValueOps}, this},
      handles{{&kHandleOps}, this},
      appInfo{{&kAppInfoOps}, this},
      cache{{&kCacheOps}, this},
      entry{{&kEntryOps}, this} {}

std::string Describe(const Accounting& a) {
    return "blocks " + std::to_string(a.liveBlocks) + ", handles " + std::to_string(a.liveHandles) +
           ", locked handles " + std::to_string(a.lockedHandles) + ", locked texts " +
           std::to_string(a.lockedTexts) + ", service refs " + std::to_string(a.serviceRefs) +
           ", instance refs " + std::to_string(a.instanceRefs);
}

Host::Host(const ModuleExports& module)
    : module_(module), state_(std::make_unique<HostState>(*this)) {
    SetVersion(versionText_);
}

Host::~Host() = default;

void Host::SetVersion(const std::string& text) {
    versionText_ = text;
    state_->store.SetModernText(std::strtod(text.c_str(), nullptr) >= 8.5);
}

const std::string& Host::messageTableText() const {
    return state_->messageTableText;
}

std::uint32_t Host::LastAllocationSize() const {
    return state_->lastAllocationSize;
}

bool Host::TextHandlesInValues() const {
    return !state_->store.modernText();
}

Accounting Host::accounting() const {
    const HostState& h = *state_;
    Accounting a;
    a.liveBlocks = static_cast<int>(h.allocations.size());
    a.liveHandles = h.store.liveHandles();
    a.lockedHandles = h.store.lockedHandles();
    a.lockedTexts = h.store.lockedTexts();
    a.serviceRefs = h.serviceRefs;
    for (const auto& [block, record] : h.instances) a.instanceRefs += record->refs - 1;
    return a;
}

int Host::ReclaimAbandonedHandles() {
    return state_->store.ReclaimAbandoned();
}

std::vector<std::string> Host::TakeProblems() {
    return state_->problems.Take();
}

void* Host::NewInstance(std::int32_t size) {
    const auto bytes =
        static_cast<std::size_t>(std::max<std::int32_t>(size, sizeof(InstanceHeader)));
    void* block = ::operator new (bytes, std::align_val_t{16});
    std::memset(block, 0xCD, bytes);  // what create leaves alone stays visibly unwritten
    auto* header = static_cast<InstanceHeader*>(block);
    auto* record = new InstanceRecord{1, size};
    *header = InstanceHeader{
        &kInstanceOps, record, &state_->callback.iface, &state_->allocator.iface, nullptr, nullptr};
    state_->instances.emplace(block, record);
    return block;
}

void Host::DeleteInstance(void* instance) {
    InstanceRecord* record = RecordOf(instance);
    if (record->refs != 1)
        state_->Problem("an instance was freed while the module held references");
    state_->instances.erase(instance);
    delete record;
    ::operator delete (instance, std::align_val_t{16});
}

Status Host::ListClasses(std::vector<ClassInfoEntry>* entries) {
    ClassInfoEntry* list = nullptr;
    const Status status = module_.getClassInfo(&state_->allocator.iface, &list);
    if (status != kOk) return status;
    entries->clear();
    const Guid none{};
    for (const ClassInfoEntry* e = list;
         !(SameGuid(e->classId, none) && SameGuid(e->interfaceId, none)); ++e) {
        entries->push_back(*e);
    }
    IAllocatorService* allocator = &state_->allocator.iface;
    allocator->ops->Free(allocator, list);
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
        status = iface->ops->RegisterEntries(iface, &state_->cache.iface, &state_->entry);
        iface->ops->Release(iface);
    }
    destroy(instance);
    DeleteInstance(instance);
    if (status != kOk) {
        *error = "registration failed";
        return status;
    }
    if (state_->registeredKey != "msgTable") {
        *error = "the message table was stored under another key";
        return ErrNoClass;
    }
    return ParseMessageTable(state_->messageTableText, &table_, error) ? kOk : ErrNoClass;
}

std::unique_ptr<ScriptObject> Host::NewObject(Status* status) {
    std::int32_t size = 0;
    CreateInstanceFn create = nullptr;
    DestroyInstanceFn destroy = nullptr;
    Status s = module_.getClassForm(&state_->scriptingClass, &size, &create, &destroy);
    void* instance = nullptr;
    if (s == kOk) {
        instance = NewInstance(size);
        s = create(instance);
    }
    IScripting* scripting = nullptr;
    if (s == kOk) {
        s = module_.getInterface(instance, &state_->scriptingClass, &kIidScripting,
                                 reinterpret_cast<void**>(&scripting));
        if (s != kOk) destroy(instance);
    }
    if (status != nullptr) *status = s;
    if (s != kOk) {
        if (instance != nullptr) DeleteInstance(instance);
        return nullptr;
    }
    return std::unique_ptr<ScriptObject>(
        new ScriptObject(*this, state_->store, instance, scripting, destroy));
}

}  // namespace velmora::minihost
