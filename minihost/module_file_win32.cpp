#include <windows.h>

#include "minihost/module_file.h"

namespace velmora::minihost {

namespace {
template <typename Fn>
bool Bind(void* library, const char* name, Fn* fn, std::string* error) {
    *fn = reinterpret_cast<Fn>(
        reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name)));
    if (*fn == nullptr) *error = std::string("the module has no export ") + name;
    return *fn != nullptr;
}
}  // namespace

std::unique_ptr<ModuleFile> ModuleFile::Open(const std::string& path, std::string* error) {
    HMODULE library = LoadLibraryA(path.c_str());
    if (library == nullptr) {
        *error = "cannot load " + path + " (error " + std::to_string(GetLastError()) + ")";
        return nullptr;
    }
    std::unique_ptr<ModuleFile> file(new ModuleFile(library, path));
    ModuleExports& e = file->exports_;
    if (!Bind(library, "DllGetClassObject", &e.getClassObject, error) ||
        !Bind(library, "DllCanUnloadNow", &e.canUnloadNow, error) ||
        !Bind(library, "DllGetClassInfo", &e.getClassInfo, error) ||
        !Bind(library, "DllGetClassForm", &e.getClassForm, error) ||
        !Bind(library, "DllGetInterface", &e.getInterface, error)) {
        return nullptr;
    }
    return file;
}

ModuleFile::~ModuleFile() {
    FreeLibrary(static_cast<HMODULE>(library_));
}

std::string DefaultModulePath() {
    return sizeof(void*) == 4 ? "VELMORA.x32" : "VELMORA.x64";
}

}  // namespace velmora::minihost
