// A module file loaded into this process: dlopen on Linux, LoadLibrary on Windows.
#pragma once

#include <memory>
#include <string>

#include "binding/abi/module_abi.h"

namespace grindlet::host {

class ModuleLibrary {
public:
    // Loads a module file and resolves both exports; null with a message on failure.
    static std::unique_ptr<ModuleLibrary> load(const std::string& path, std::string& error);
    ~ModuleLibrary();
    ModuleLibrary(const ModuleLibrary&) = delete;
    ModuleLibrary& operator=(const ModuleLibrary&) = delete;

    GetModulePropertiesFn getModuleProperties() const { return properties; }
    MakeModuleFn makeModule() const { return make; }
    const std::string& path() const { return filePath; }

private:
    ModuleLibrary() = default;
    void* handle = nullptr;
    GetModulePropertiesFn properties = nullptr;
    MakeModuleFn make = nullptr;
    std::string filePath;
};

}  // namespace grindlet::host
