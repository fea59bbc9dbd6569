#include <windows.h>

#include "minihost/module_file.h"

namespace velmora::minihost {

std::unique_ptr<ModuleFile> ModuleFile::Open(const std::string& path, std::string* error) {
    HMODULE library = LoadLibraryA(path.c_str());
    if (library == nullptr) {
        *error = "cannot load " + path + " (error " + std::to_string(GetLastError()) + ")";
        return nullptr;
    }
    std::unique_ptr<ModuleFile> file(new ModuleFile(library, path));
    if (!file->BindExports(
            [](void* handle, const char* name) {
                return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), name));
            },
            error)) {
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
