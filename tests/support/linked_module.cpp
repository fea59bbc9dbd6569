#include "tests/support/linked_module.h"

#include "host/exports.h"

namespace velmora::testing {

minihost::ModuleExports LinkedModule() {
    minihost::ModuleExports e;
    e.getClassObject = DllGetClassObject;
    e.canUnloadNow = DllCanUnloadNow;
    e.getClassInfo = DllGetClassInfo;
    e.getClassForm = DllGetClassForm;
    e.getInterface = DllGetInterface;
    return e;
}

}  // namespace velmora::testing
