// A 32-bit Windows module file loaded into a Linux i386 process: sections mapped, base
// relocations applied, imports bound to small stand-ins for the few KERNEL32 and msvcrt
// functions a statically linked MinGW DLL calls, thread block in %fs, TLS and entry point run.
// It lets the linux build drive the windows build's own machine code, where wine cannot run.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace grindlet::host {

class PeImage {
public:
    // True when the file starts like a Windows executable image.
    static bool looksLikePe(const std::string& path);
    // Loads and starts the image; null with a message on failure (a corrupt file included).
    // One image at a time per process: a second load while one is loaded is refused.
    static std::unique_ptr<PeImage> load(const std::string& path, std::string& error);
    // Detaches the module and unmaps the image.
    ~PeImage();
    PeImage(const PeImage&) = delete;
    PeImage& operator=(const PeImage&) = delete;

    // The address of an export by name, or null.
    void* findExport(const char* name) const;

private:
    PeImage() = default;
    bool mapSections(const uint8_t* fileBytes, uint32_t fileSize, uint32_t sectionTable,
                     uint16_t sectionCount);
    bool relocate(uint32_t rva, uint32_t length, uint32_t delta);
    bool bindImports(uint32_t rva, std::string& why);
    bool startTls(uint32_t rva, std::vector<uint32_t>& callbacks);

    uint8_t* base = nullptr;
    uint32_t size = 0;
    uint32_t entryRva = 0;
    std::vector<uint32_t> tlsCallbacks;
    // [begin, end) of each executable section, relative to base: the only places the entry
    // point and the exports may be.
    std::vector<std::pair<uint32_t, uint32_t>> executable;
    bool attached = false;  // the entry point accepted DLL_PROCESS_ATTACH
};

}  // namespace grindlet::host
