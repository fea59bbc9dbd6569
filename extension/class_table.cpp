#include "module/class_table.h"

#include <array>

#include "extension/class_ids.h"
#include "extension/interface_tables.h"
#include "extension/port_instance.h"
#include "extension/registration.h"
#include "host/interface_ids.h"

namespace velmora {

const Guid kRegistrationClassId = {
    0x5A1E0C3D, 0x7B21, 0x4E58, {0x9C, 0x0A, 0x2F, 0x6D, 0x4B, 0x8E, 0x1A, 0x01}};
const Guid kScriptingClassId = {
    0x5A1E0C3D, 0x7B21, 0x4E58, {0x9C, 0x0A, 0x2F, 0x6D, 0x4B, 0x8E, 0x1A, 0x02}};

namespace {

const std::array<ClassEntry, 2> kClasses = {{
    {kRegistrationClassId, kClassVersion, static_cast<std::int32_t>(sizeof(InstanceHeader)),
     CreateRegistrationInstance, DestroyRegistrationInstance, kIidRegistration, kClassVersion,
     CreateRegistrationObject},
    {kScriptingClassId, kClassVersion, static_cast<std::int32_t>(sizeof(PortInstance)),
     CreatePortInstance, DestroyPortInstance, kIidScripting, kClassVersion, CreateScriptingObject},
}};

}  // namespace

const ClassTable kModuleClasses = {kClasses.data(), kClasses.size()};

}  // namespace velmora
