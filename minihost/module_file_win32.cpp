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

// Beside the program, whatever the current folder: velmora.exe ships in the same
// folder as the module.
std::string DefaultModulePath() {
    const std::string file = sizeof(void*) == 4 ? "VELMORA.x32" : "VELMORA.x64";
    char self[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
    if (n == 0 || n >= sizeof self) return file;
    std::string dir(self, n);
    const std::size_t slash = dir.find_last_of("\\/");
    if (slash == std::string::npos) return file;
    dir.erase(slash + 1);
    return dir + file;
}

}  // namespace velmora::minihost
