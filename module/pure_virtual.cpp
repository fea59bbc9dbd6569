// A call through a pure virtual function can only be a bug. The C++ runtime's handler
// for it is the one piece of that runtime an abstract class's table refers to; the
// module file has its own, which ends the process as the runtime's would, without
// bringing the runtime into the host's process. Linked into the module file alone.
#include <cstdlib>

extern "C" void __cxa_pure_virtual() {
    std::abort();
}
