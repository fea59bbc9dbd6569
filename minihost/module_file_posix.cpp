#include <dlfcn.h>
#include <unistd.h>

#include "minihost/module_file.h"

namespace velmora::minihost {

std::unique_ptr<ModuleFile> ModuleFile::Open(const std::string& path, std::string* error) {
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        *error = dlerror();
        return nullptr;
    }
    std::unique_ptr<ModuleFile> file(new ModuleFile(library, path));
    if (!file->BindExports([](void* handle, const char* name) { return dlsym(handle, name); },
                           error)) {
        return nullptr;
    }
    return file;
}

ModuleFile::~ModuleFile() {
    dlclose(library_);
}

std::string DefaultModulePath() {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        std::string dir(self, static_cast<std::size_t>(n));
        dir.erase(dir.find_last_of('/') + 1);
        // Beside the program in a build tree; in ../lib as the release installs it.
        for (const std::string& candidate : {dir + "libvelmora.so", dir + "../lib/libvelmora.so"}) {
            if (access(candidate.c_str(), R_OK) == 0) return candidate;
        }
    }
    return "libvelmora.so";
}

}  // namespace velmora::minihost
