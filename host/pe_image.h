// A 32-bit Windows module file loaded into a Linux i386 process: sections mapped, base
// relocations applied, imports bound to small stand-ins for the few KERNEL32 and msvcrt
// functions a statically linked MinGW DLL calls, thread block in %fs, TLS and entry point run.
// It lets the linux build drive the windows build's own machine code, where wine cannot run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace grindlet::host {

namespace pe {
struct DataDirectory;
}

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

    // For tests and fuzz targets only: every check and step of load() on bytes in memory, the
    // checksum not judged (so that damage reaches the structural checks), and nothing of the
    // image run or installed. True when load() would go on to start the image.
    static bool inspectForTesting(const uint8_t* bytes, size_t length, std::string& why);
    // For tests only: the image mapped as load() maps it (nothing run), or null with why; and
    // where it lies.
    static std::unique_ptr<PeImage> mapForTesting(const uint8_t* bytes, size_t length,
                                                  std::string& why) {
        return prepare(bytes, length, false, why);
    }
    const uint8_t* imageBase() const { return base; }

private:
    PeImage() = default;
    // Checks the image and maps it: sections copied, relocated, imports bound, TLS read.
    static std::unique_ptr<PeImage> prepare(const uint8_t* bytes, size_t length, bool judgeChecksum,
                                            std::string& why);
    // Installs the thread block and TLS, then runs the TLS callbacks and the entry point.
    bool start(std::string& why);
    bool mapSections(const uint8_t* fileBytes, uint32_t fileSize, uint32_t sectionTable,
                     uint16_t sectionCount, uint32_t fileAlignment);
    bool protectSections(const uint8_t* fileBytes, uint32_t fileSize, uint32_t sectionTable,
                         uint16_t sectionCount, uint32_t sectionAlignment);
    bool relocate(uint32_t rva, uint32_t length, uint32_t delta, std::string& why);
    bool exportsWithin(const pe::DataDirectory& exports) const;
    bool bindImports(uint32_t rva, std::string& why);
    bool readTls(uint32_t rva);

    uint8_t* base = nullptr;
    uint32_t size = 0;
    uint32_t entryRva = 0;
    std::vector<uint32_t> tlsCallbacks;
    struct {
        bool present = false;   // the image has thread-local data
        uint32_t start = 0;     // the template, relative to base
        uint32_t length = 0;    // its bytes
        uint32_t zeroFill = 0;  // zeroed bytes after it
    } tls;
    // [begin, end) of each executable section, relative to base: the only places the entry
    // point and the exports may be.
    std::vector<std::pair<uint32_t, uint32_t>> executable;
    bool attached = false;  // the entry point accepted DLL_PROCESS_ATTACH
};

}  // namespace grindlet::host
