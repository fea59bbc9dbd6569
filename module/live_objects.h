#pragma once

#include <cstdint>

namespace velmora {

// Interface objects in existence, module-wide; the host may unload the module only
// while it is 0. Hosts call the module from one thread, so a plain integer suffices.
extern std::int32_t LiveObjects;

}  // namespace velmora
