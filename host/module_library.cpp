#include "module_library.h"

#include <cstdio>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>

#include "pe_image.h"
#endif

namespace grindlet::host {

namespace {

bool fileExists(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    std::fclose(file);
    return true;
}

#if defined(_WIN32)
void* openLibrary(const std::string& path, std::string& why) {
    HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr) why = "LoadLibrary error " + std::to_string(GetLastError());
    return reinterpret_cast<void*>(module);
}
void* findSymbol(void* handle, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), name));
}
void closeLibrary(void* handle) { FreeLibrary(static_cast<HMODULE>(handle)); }
#else
void* openLibrary(const std::string& path, std::string& why) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* message = dlerror();
        why = message != nullptr ? message : "dlopen failed";
    }
    return handle;
}
void* findSymbol(void* handle, const char* name) { return dlsym(handle, name); }
void closeLibrary(void* handle) { dlclose(handle); }
#endif

}  // namespace

std::unique_ptr<ModuleLibrary> ModuleLibrary::load(const std::string& path, std::string& error) {
    if (!fileExists(path)) {
        error = "no such module file: " + path;
        return nullptr;
    }
#if !defined(_WIN32)
    if (PeImage::looksLikePe(path)) {
        std::unique_ptr<ModuleLibrary> library(new ModuleLibrary());
        library->peImage = PeImage::load(path, error);
        if (!library->peImage) return nullptr;
        library->filePath = path;
        library->properties = reinterpret_cast<GetModulePropertiesFn>(
            library->peImage->findExport("getModuleProperties"));
        library->make = reinterpret_cast<MakeModuleFn>(library->peImage->findExport("makeModule"));
        if (library->properties == nullptr || library->make == nullptr) {
            error = "not a module: " + path + " does not export both entry points";
            return nullptr;
        }
        return library;
    }
#endif
    std::string why;
    void* handle = openLibrary(path, why);
    if (handle == nullptr) {
        error = "not a loadable module: " + path + " (" + why + ")";
        return nullptr;
    }
    std::unique_ptr<ModuleLibrary> library(new ModuleLibrary());
    library->handle = handle;
    library->filePath = path;
    library->properties =
        reinterpret_cast<GetModulePropertiesFn>(findSymbol(handle, "getModuleProperties"));
    library->make = reinterpret_cast<MakeModuleFn>(findSymbol(handle, "makeModule"));
    if (library->properties == nullptr || library->make == nullptr) {
        error = std::string("not a module: ") + path + " does not export " +
                (library->properties == nullptr ? "getModuleProperties" : "makeModule");
        return nullptr;
    }
    return library;
}

ModuleLibrary::~ModuleLibrary() {
    if (handle != nullptr) closeLibrary(handle);
}

}  // namespace grindlet::host
