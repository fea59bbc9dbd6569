#include "extension/registration.h"

#include "extension/class_ids.h"
#include "extension/message_table.h"
#include "host/interface_ids.h"

namespace velmora {

namespace {
constexpr char kMessageTableKey[] = "msgTable";
}  // namespace

Status VELMORA_CALL CreateRegistrationInstance(void*) {
    return kOk;
}

void VELMORA_CALL DestroyRegistrationInstance(void*) {}

Status VELMORA_CALL RegisterEntries(IRegistration*, IRegistryCache* cache, void* hostEntry) {
    IRegistryEntry* entry = nullptr;
    const Status added =
        cache->ops->AddEntry(cache, hostEntry, &kScriptingClassId, &kIidScripting, &entry);
    if (added != kOk) return added;
    // The entry stays the host's: the module takes no reference of its own to release.
    return entry->ops->PutEntry(entry, kEntryTypeText, kMessageTable, 0, kMessageTableKey);
}

}  // namespace velmora
