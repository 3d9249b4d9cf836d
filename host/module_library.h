// A module file loaded into this process: dlopen on Linux, LoadLibrary on Windows.
#pragma once

#include <memory>
#include <string>

#include "binding/abi/module_abi.h"

namespace grindlet::host {

class PeImage;

// On Linux a Windows module file (a PE DLL) is loaded by PeImage instead of dlopen, so the
// linux tools can run the windows build's code too.
class ModuleLibrary {
public:
    // Loads a module file and resolves both exports; null with a message on failure, a broken
    // file included. A name without a slash means the file of that name in this folder.
    static std::unique_ptr<ModuleLibrary> load(const std::string& path, std::string& error);
    // A module whose entry points are linked into this program (tests and fuzz targets).
    static std::unique_ptr<ModuleLibrary> linkedIn(GetModulePropertiesFn properties,
                                                   MakeModuleFn make, const std::string& name);
    ~ModuleLibrary();
    ModuleLibrary(const ModuleLibrary&) = delete;
    ModuleLibrary& operator=(const ModuleLibrary&) = delete;

    GetModulePropertiesFn getModuleProperties() const { return properties; }
    MakeModuleFn makeModule() const { return make; }
    const std::string& path() const { return filePath; }
    // True when a Windows module file was loaded into this Linux process.
#if !defined(_WIN32)
    bool isForeignImage() const { return peImage != nullptr; }
#else
    bool isForeignImage() const { return false; }
#endif

private:
    ModuleLibrary() = default;
    void* handle = nullptr;
#if !defined(_WIN32)
    std::unique_ptr<PeImage> peImage;
#endif
    GetModulePropertiesFn properties = nullptr;
    MakeModuleFn make = nullptr;
    std::string filePath;
};

}  // namespace grindlet::host
