// The module's two classes as the host knows them.
#pragma once

#include "host/abi.h"

namespace velmora {

extern const Guid kRegistrationClassId;
extern const Guid kScriptingClassId;

// The version both classes and both interfaces are listed with.
inline constexpr std::uint32_t kClassVersion = 0x01000040;

}  // namespace velmora
