// One script object, as the methods see it: the host's header, the two services every
// method needs, the object's port and the host version that decides how texts are
// measured.
#pragma once

#include "host/services.h"
#include "serial/comm.h"

namespace velmora {

struct PortInstance {
    InstanceHeader header;
    IValueService* values;
    IHandleService* handles;
    serial::PortHandle port;  // 0 closed, INVALID_HANDLE_VALUE after a failed open
    alignas(8) double hostVersion;
};
static_assert(sizeof(void*) == 4 ? sizeof(PortInstance) == 48 : sizeof(PortInstance) == 80);
static_assert(offsetof(PortInstance, values) == (sizeof(void*) == 4 ? 24 : 48));
static_assert(offsetof(PortInstance, handles) == (sizeof(void*) == 4 ? 28 : 56));
static_assert(offsetof(PortInstance, port) == (sizeof(void*) == 4 ? 32 : 64));
static_assert(offsetof(PortInstance, hostVersion) == (sizeof(void*) == 4 ? 40 : 72));

}  // namespace velmora
