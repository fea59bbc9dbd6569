#include "minihost/module_file.h"

namespace velmora::minihost {

namespace {
template <typename Fn>
bool Bind(void* (*lookup)(void*, const char*), void* library, const char* name, Fn* fn,
          std::string* error) {
    *fn = reinterpret_cast<Fn>(lookup(library, name));
    if (*fn == nullptr) *error = std::string("the module has no export ") + name;
    return *fn != nullptr;
}
}  // namespace

bool ModuleFile::BindExports(Lookup lookup, std::string* error) {
    ModuleExports& e = exports_;
    return Bind(lookup, library_, "DllGetClassObject", &e.getClassObject, error) &&
           Bind(lookup, library_, "DllCanUnloadNow", &e.canUnloadNow, error) &&
           Bind(lookup, library_, "DllGetClassInfo", &e.getClassInfo, error) &&
           Bind(lookup, library_, "DllGetClassForm", &e.getClassForm, error) &&
           Bind(lookup, library_, "DllGetInterface", &e.getInterface, error);
}

}  // namespace velmora::minihost
