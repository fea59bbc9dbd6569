#include "extension/interface_tables.h"

#include "extension/dispatch.h"
#include "extension/registration.h"
#include "module/interface_object.h"

namespace velmora {

namespace {

const IRegistrationOps kRegistrationOps = {
    QueryInterfaceOf<IRegistration>,
    AddRefOf<IRegistration>,
    ReleaseOf<IRegistration>,
    RegisterEntries,
};

const IScriptingOps kScriptingOps = {
    QueryInterfaceOf<IScripting>,
    AddRefOf<IScripting>,
    ReleaseOf<IScripting>,
    RunMethod,
};

}  // namespace

Status CreateRegistrationObject(void* instance, void** out) {
    return CreateInterfaceObject(instance, &kRegistrationOps, out);
}

Status CreateScriptingObject(void* instance, void** out) {
    return CreateInterfaceObject(instance, &kScriptingOps, out);
}

}  // namespace velmora
