#include <cstring>

#include "host/abi.h"

namespace velmora {

bool SameGuid(const Guid& a, const Guid& b) { return std::memcmp(&a, &b, sizeof(Guid)) == 0; }

}  // namespace velmora
