#pragma once

#include "minihost/module_file.h"

namespace velmora::testing {

// The module's exports as linked into the test program.
minihost::ModuleExports LinkedModule();

}  // namespace velmora::testing
