// What the host keeps behind its services: the state every service table reaches
// through the interface it was called on. Private to minihost/.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

#include "host/services.h"
#include "minihost/handle_store.h"
#include "minihost/problem_log.h"

namespace velmora::minihost {

class Host;
struct Faults;
class HostState;

// A service as the module holds it: the interface first, then the host behind it.
template <typename Interface>
struct Service {
    Interface iface;
    HostState* host;
};

template <typename Interface>
HostState& HostOf(Interface* self) {
    return *reinterpret_cast<Service<Interface>*>(self)->host;
}

// What the host keeps of an instance block it made, in the header's host1 word.
struct InstanceRecord {
    int refs = 1;  // the host's own
    std::int32_t size = 0;
};
inline InstanceRecord* RecordOf(void* instance) {
    return static_cast<InstanceRecord*>(static_cast<InstanceHeader*>(instance)->host1);
}

class HostState {
  public:
    explicit HostState(Host& host);
    HostState(const HostState&) = delete;
    HostState& operator=(const HostState&) = delete;

    // First, so that a service reaches the store at the address of the state itself:
    // the handle operations run on every call that answers a text.
    HandleStore store{problems};
    Host& owner;
    Faults& faults;  // the owner's, which a test changes between calls
    ProblemLog problems;
    int serviceRefs = 0;
    std::unordered_map<void*, std::uint32_t> allocations;
    std::uint32_t lastAllocationSize = 0;
    std::unordered_map<void*, InstanceRecord*> instances;
    std::string registeredKey;
    std::string messageTableText;
    Guid scriptingClass{};

    Service<ICallbackService> callback;
    Service<IAllocatorService> allocator;
    Service<IValueService> values;
    Service<IHandleService> handles;
    Service<IAppInfoService> appInfo;
    Service<IRegistryCache> cache;
    Service<IRegistryEntry> entry;

    void Problem(const char* what) { problems.Add(what); }
};

}  // namespace velmora::minihost
