// A 32-bit Windows module file loaded into a Linux i386 process: sections mapped, base
// relocations applied, imports bound to small stand-ins for the few KERNEL32 and msvcrt
// functions a statically linked MinGW DLL calls, thread block in %fs, TLS and entry point run.
// It lets the linux build drive the windows build's own machine code, where wine cannot run.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace grindlet::host {

class PeImage {
public:
    // True when the file starts like a Windows executable image.
    static bool looksLikePe(const std::string& path);
    // Loads and starts the image; null with a message on failure.
    static std::unique_ptr<PeImage> load(const std::string& path, std::string& error);
    ~PeImage();
    PeImage(const PeImage&) = delete;
    PeImage& operator=(const PeImage&) = delete;

    // The address of an export by name, or null.
    void* findExport(const char* name) const;

private:
    PeImage() = default;
    uint8_t* base = nullptr;
    uint32_t size = 0;
};

}  // namespace grindlet::host
