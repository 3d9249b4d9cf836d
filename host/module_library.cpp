#include "module_library.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <vector>

#include "pe_image.h"
#endif

namespace grindlet::host {

namespace {

// Larger than any module file: a file beyond it is refused before a byte of it is read.
constexpr long long MAX_MODULE_FILE_BYTES = 64LL << 20;

// A module file must be a readable, non-empty regular file of a module's size. Checked before
// anything reads it: a folder, a pipe (which would block), a device or a huge file is named for
// what it is instead.
bool usableModuleFile(const std::string& path, std::string& error) {
#if defined(_WIN32)
    struct _stat64 status {};
    if (_stat64(path.c_str(), &status) != 0) {
        error = errno == ENOENT ? "no such module file: " + path
                                : "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    const bool folder = (status.st_mode & _S_IFMT) == _S_IFDIR;
    const bool regular = (status.st_mode & _S_IFMT) == _S_IFREG;
    const char* kind = "not a regular file";
#else
    // Non-blocking: opening a pipe for reading would otherwise wait for a writer.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = errno == ENOENT ? "no such module file: " + path
                                : "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat status {};
    const bool described = fstat(fd, &status) == 0;
    const int statusError = errno;
    close(fd);
    if (!described) {
        error = "cannot read " + path + ": " + std::strerror(statusError);
        return false;
    }
    const bool folder = S_ISDIR(status.st_mode), regular = S_ISREG(status.st_mode);
    const char* kind = S_ISFIFO(status.st_mode)                             ? "a pipe (FIFO)"
                       : S_ISCHR(status.st_mode) || S_ISBLK(status.st_mode) ? "a device"
                       : S_ISSOCK(status.st_mode)                           ? "a socket"
                                                                            : "not a regular file";
#endif
    if (folder) {
        error = path + " is a folder, not a module file";
        return false;
    }
    if (!regular) {
        error = path + " is " + kind + ", not a module file";
        return false;
    }
    if (status.st_size == 0) {
        error = path + " is empty, not a module file";
        return false;
    }
    if (status.st_size > MAX_MODULE_FILE_BYTES) {
        error = path + " is " + std::to_string(static_cast<long long>(status.st_size)) +
                " bytes, more than any module file (" +
                std::to_string(MAX_MODULE_FILE_BYTES >> 20) + " MiB at most)";
        return false;
    }
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
// dlopen maps a module file's segments and touches them: a truncated file would fault (SIGBUS)
// instead of failing. So the ELF headers and every loadable segment must lie inside the file.
template <class Header, class ProgramHeader>
bool segmentsInsideFile(const std::vector<unsigned char>& file, std::string& why) {
    Header header;
    if (file.size() < sizeof header) {
        why = "truncated ELF header";
        return false;
    }
    std::memcpy(&header, file.data(), sizeof header);
    const uint64_t table = header.e_phoff;
    if (header.e_phentsize != sizeof(ProgramHeader) ||
        table + uint64_t{header.e_phnum} * sizeof(ProgramHeader) > file.size()) {
        why = "program headers outside the file";
        return false;
    }
    for (unsigned i = 0; i < header.e_phnum; ++i) {
        ProgramHeader segment;
        std::memcpy(&segment, file.data() + table + i * sizeof segment, sizeof segment);
        if ((segment.p_type == PT_LOAD || segment.p_type == PT_DYNAMIC) &&
            uint64_t{segment.p_offset} + segment.p_filesz > file.size()) {
            why = "a segment lies beyond the end of the file (truncated?)";
            return false;
        }
    }
    return true;
}

bool soundElfFile(const std::string& path, std::string& why) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<unsigned char> file((std::istreambuf_iterator<char>(in)),
                                          std::istreambuf_iterator<char>());
    if (file.size() < EI_NIDENT || std::memcmp(file.data(), ELFMAG, SELFMAG) != 0) {
        why = "not an ELF shared object";
        return false;
    }
    if (file[EI_CLASS] == ELFCLASS32) return segmentsInsideFile<Elf32_Ehdr, Elf32_Phdr>(file, why);
    if (file[EI_CLASS] == ELFCLASS64) return segmentsInsideFile<Elf64_Ehdr, Elf64_Phdr>(file, why);
    why = "unknown ELF class";
    return false;
}

void* openLibrary(const std::string& path, std::string& why) {
    if (!soundElfFile(path, why)) return nullptr;
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

std::unique_ptr<ModuleLibrary> ModuleLibrary::load(const std::string& name, std::string& error) {
    // A name without a slash is the file of that name here, not one on the library search path.
    const std::string path = name.find_first_of("/\\") == std::string::npos ? "./" + name : name;
    if (!usableModuleFile(path, error)) return nullptr;
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

std::unique_ptr<ModuleLibrary> ModuleLibrary::linkedIn(GetModulePropertiesFn properties,
                                                       MakeModuleFn make, const std::string& name) {
    std::unique_ptr<ModuleLibrary> library(new ModuleLibrary());
    library->properties = properties;
    library->make = make;
    library->filePath = name;
    return library;
}

ModuleLibrary::~ModuleLibrary() {
    if (handle != nullptr) closeLibrary(handle);
}

}  // namespace grindlet::host
