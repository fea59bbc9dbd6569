// A built module file opened the way a host application opens it: by the platform's
// loader, then its five exports by name.
#pragma once

#include <memory>
#include <string>

#include "host/export_types.h"

namespace velmora::minihost {

struct ModuleExports {
    DllGetClassObjectFn getClassObject = nullptr;
    DllCanUnloadNowFn canUnloadNow = nullptr;
    DllGetClassInfoFn getClassInfo = nullptr;
    DllGetClassFormFn getClassForm = nullptr;
    DllGetInterfaceFn getInterface = nullptr;
};

class ModuleFile {
  public:
    // Null, with the reason in *error, when the file cannot be loaded or lacks an export.
    static std::unique_ptr<ModuleFile> Open(const std::string& path, std::string* error);
    ~ModuleFile();
    ModuleFile(const ModuleFile&) = delete;
    ModuleFile& operator=(const ModuleFile&) = delete;

    const ModuleExports& exports() const { return exports_; }
    const std::string& path() const { return path_; }

  private:
    using Lookup = void* (*)(void* library, const char* name);
    ModuleFile(void* library, std::string path) : library_(library), path_(std::move(path)) {}
    // Looks the five exports up by name; false, with the missing one in *error.
    bool BindExports(Lookup lookup, std::string* error);
    void* library_;
    std::string path_;
    ModuleExports exports_;
};

// Where the module file of this build is, for programs that ship next to it.
std::string DefaultModulePath();

}  // namespace velmora::minihost
