// libFuzzer target: the PE loader's checks on damaged copies of the built Windows module, the
// checksum not judged, so that damage reaches every structural check. Images it accepts are
// mapped, relocated and bound but never run: this checks the loader, not the module's code.
// What must hold: no crash, no sanitizer report, every read and write inside the file or the
// mapping.
//
// The input is a list of patches to the module file, not an image: a few hundred bytes that
// aim at the headers, at the tables the data directories point at, or anywhere, and can cut
// the file short. (Whole images as inputs fill a corpus with megabytes that an emulated 32-bit
// ASan process has no room for.)
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "host/pe_image.h"

namespace {

constexpr size_t HEADER_BYTES = 1024;  // DOS, PE and optional headers, the section table
constexpr size_t TABLE_BYTES = 256;    // how far into a directory's table a patch may land
constexpr size_t MOST_PATCH_BYTES = 16;
constexpr uint32_t DOS_PE_OFFSET = 0x3C;
constexpr uint32_t COFF_SECTION_COUNT = 6, COFF_OPTIONAL_SIZE = 20, COFF_SIZE = 24;
constexpr uint32_t OPT_DIRECTORIES = 96, SECTION_SIZE = 40;
constexpr uint32_t SECTION_VIRTUAL_ADDRESS = 12, SECTION_RAW_SIZE = 16, SECTION_RAW_OFFSET = 20;
constexpr uint32_t TARGET_DIRECTORIES[] = {0, 1, 5, 9};  // exports, imports, relocations, TLS

std::vector<uint8_t> original;                       // the module file as built
size_t tableOffsets[std::size(TARGET_DIRECTORIES)];  // where each directory's table is in it
std::vector<uint8_t> damaged;                        // reused: one buffer for every run

uint32_t read32(const std::vector<uint8_t>& data, size_t at) {
    uint32_t value = 0;
    if (at + 4 <= data.size()) std::memcpy(&value, &data[at], 4);
    return value;
}
uint16_t read16(const std::vector<uint8_t>& data, size_t at) {
    uint16_t value = 0;
    if (at + 2 <= data.size()) std::memcpy(&value, &data[at], 2);
    return value;
}

// The file offset of an address in the image, through the section table; 0 where none holds it.
size_t fileOffset(const std::vector<uint8_t>& data, uint32_t rva) {
    const uint32_t pe = read32(data, DOS_PE_OFFSET);
    const uint16_t sections = read16(data, size_t{pe} + COFF_SECTION_COUNT);
    const size_t table = size_t{pe} + COFF_SIZE + read16(data, size_t{pe} + COFF_OPTIONAL_SIZE);
    for (uint16_t s = 0; s < sections; ++s) {
        const size_t header = table + SECTION_SIZE * size_t{s};
        const uint32_t address = read32(data, header + SECTION_VIRTUAL_ADDRESS);
        const uint32_t rawSize = read32(data, header + SECTION_RAW_SIZE);
        if (rva >= address && rva - address < rawSize)
            return size_t{read32(data, header + SECTION_RAW_OFFSET)} + (rva - address);
    }
    return 0;
}

}  // namespace

// The module file: GRINDLET_PE_IMAGE, else the windows preset's build.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* path = std::getenv("GRINDLET_PE_IMAGE");
    std::ifstream file(path != nullptr ? path : GRINDLET_WINDOWS_MODULE_PATH, std::ios::binary);
    original.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    if (original.size() < HEADER_BYTES) {
        std::fprintf(stderr, "fuzz_pe_image: no module file (set GRINDLET_PE_IMAGE)\n");
        std::abort();
    }
    const uint32_t pe = read32(original, DOS_PE_OFFSET);
    for (size_t i = 0; i < std::size(TARGET_DIRECTORIES); ++i) {
        const uint32_t rva =
            read32(original, size_t{pe} + COFF_SIZE + OPT_DIRECTORIES + 8 * TARGET_DIRECTORIES[i]);
        tableOffsets[i] = fileOffset(original, rva);
    }
    damaged.reserve(original.size());
    return 0;
}

// Each patch: a kind byte, a 16-bit place, a length byte (at most 16), then that many bytes.
// Kind 0: in the headers; 1: in a directory's table; 2: anywhere; 3: the file cut short.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    damaged.assign(original.begin(), original.end());
    size_t length = damaged.size();
    for (size_t at = 0; at + 4 <= size;) {
        const uint8_t kind = data[at] % 4;
        const uint16_t place = static_cast<uint16_t>(data[at + 1] | data[at + 2] << 8);
        const size_t count = std::min<size_t>(data[at + 3] % (MOST_PATCH_BYTES + 1), size - at - 4);
        const uint8_t* bytes = data + at + 4;
        at += 4 + count;
        size_t where = 0;
        switch (kind) {
            case 0:
                where = place % HEADER_BYTES;
                break;
            case 1:
                where = tableOffsets[place % 4] + (place / 4) % TABLE_BYTES;
                break;
            case 2:
                where = (size_t{place} * 4) % original.size();
                break;
            default:
                length = std::min(length, size_t{place} * 4);
                continue;
        }
        for (size_t i = 0; i < count && where + i < damaged.size(); ++i)
            damaged[where + i] = bytes[i];
    }
    std::string why;
    grindlet::host::PeImage::inspectForTesting(damaged.data(), length, why);
    return 0;
}
