// The records of a 32-bit Windows module file (PE32, i386) that our loader reads: laid out as
// the file lays them out, little-endian, no padding. The layout is the contract: every size and
// offset is asserted. The loader reads them from untrusted bytes, never in place: a record is
// copied out only after the bytes it spans are known to lie inside the file or the image.
#pragma once

#include <cstddef>
#include <cstdint>

namespace grindlet::host::pe {

// Where the MS-DOS stub keeps the offset of the "PE\0\0" signature.
constexpr uint32_t DOS_PE_OFFSET = 0x3C;

// The signature and the file header.
struct FileHeader {
    uint8_t signature[4];      // "PE\0\0"
    uint16_t machine;          // 0x14C: i386
    uint16_t sectionCount;     // entries in the section table
    uint32_t timeDateStamp;    // when the linker wrote it (not read)
    uint32_t symbolTable;      // where an unstripped image keeps its symbols (tests only)
    uint32_t symbolCount;      // how many (tests only)
    uint16_t optionalSize;     // bytes of the optional header; the section table follows
    uint16_t characteristics;  // (not read)
};
static_assert(sizeof(FileHeader) == 24);
static_assert(offsetof(FileHeader, machine) == 4);
static_assert(offsetof(FileHeader, sectionCount) == 6);
static_assert(offsetof(FileHeader, optionalSize) == 20);

// One data directory: where a table lies in the image.
struct DataDirectory {
    uint32_t rva;   // its address relative to the image's base
    uint32_t size;  // its length in bytes (0: absent)
};
static_assert(sizeof(DataDirectory) == 8);

// The PE32 optional header; its data directories follow it.
struct OptionalHeader {
    uint16_t magic;               // 0x10B: PE32
    uint8_t linkerMajor;          // (not read)
    uint8_t linkerMinor;          // (not read)
    uint32_t codeSize;            // (not read)
    uint32_t initializedSize;     // (not read)
    uint32_t uninitializedSize;   // (not read)
    uint32_t entryPoint;          // the entry's address relative to the base; 0: none
    uint32_t codeBase;            // (not read)
    uint32_t dataBase;            // (not read)
    uint32_t imageBase;           // the base the image was linked for
    uint32_t sectionAlignment;    // sections start on multiples of this in the image
    uint32_t fileAlignment;       // and of this in the file
    uint16_t versions[6];         // operating system, image and subsystem versions (not read)
    uint32_t win32Version;        // (not read)
    uint32_t imageSize;           // the whole image, mapped
    uint32_t headersSize;         // the headers, copied to the base
    uint32_t checksum;            // 0, or the image checksum of the file
    uint16_t subsystem;           // (not read)
    uint16_t dllCharacteristics;  // (not read)
    uint32_t stackAndHeap[4];     // reserve and commit sizes (not read)
    uint32_t loaderFlags;         // (not read)
    uint32_t directoryCount;      // data directories that follow
};
static_assert(sizeof(OptionalHeader) == 96);
static_assert(offsetof(OptionalHeader, entryPoint) == 16);
static_assert(offsetof(OptionalHeader, imageBase) == 28);
static_assert(offsetof(OptionalHeader, sectionAlignment) == 32);
static_assert(offsetof(OptionalHeader, fileAlignment) == 36);
static_assert(offsetof(OptionalHeader, imageSize) == 56);
static_assert(offsetof(OptionalHeader, headersSize) == 60);
static_assert(offsetof(OptionalHeader, checksum) == 64);
static_assert(offsetof(OptionalHeader, directoryCount) == 92);

// The data directories a PE32 header may have, and the ones the loader uses.
constexpr uint32_t DIRECTORY_SLOTS = 16;
constexpr uint32_t DIRECTORY_EXPORT = 0, DIRECTORY_IMPORT = 1, DIRECTORY_CERTIFICATES = 4,
                   DIRECTORY_RELOCATION = 5, DIRECTORY_TLS = 9;

// One entry of the section table.
struct SectionHeader {
    char name[8];              // (not read)
    uint32_t virtualSize;      // bytes in the image
    uint32_t virtualAddress;   // where, relative to the base
    uint32_t rawSize;          // bytes in the file
    uint32_t rawOffset;        // where in the file; 0: zero-filled
    uint32_t relocations;      // (not read)
    uint32_t lineNumbers;      // (not read)
    uint16_t relocationCount;  // (not read)
    uint16_t lineNumberCount;  // (not read)
    uint32_t characteristics;  // SECTION_CODE, SECTION_EXECUTE, ...
};
static_assert(sizeof(SectionHeader) == 40);
static_assert(offsetof(SectionHeader, virtualSize) == 8);
static_assert(offsetof(SectionHeader, rawOffset) == 20);
static_assert(offsetof(SectionHeader, characteristics) == 36);
constexpr uint32_t SECTION_CODE = 0x20, SECTION_EXECUTE = 0x20000000, SECTION_READ = 0x40000000,
                   SECTION_WRITE = 0x80000000;

// One module a module imports from; a table of them ends with a zero name.
struct ImportDescriptor {
    uint32_t lookupTable;     // the names to bind, as thunks; 0: use addressTable's
    uint32_t timeDateStamp;   // (not read)
    uint32_t forwarderChain;  // (not read)
    uint32_t name;            // the module's name
    uint32_t addressTable;    // where the bound addresses go
};
static_assert(sizeof(ImportDescriptor) == 20);
static_assert(offsetof(ImportDescriptor, name) == 12);
static_assert(offsetof(ImportDescriptor, addressTable) == 16);
constexpr uint32_t IMPORT_BY_ORDINAL = 0x80000000u;

// A block of base relocations; 16-bit entries follow, the type in the top four bits.
struct RelocationBlock {
    uint32_t page;       // the page's address relative to the base
    uint32_t blockSize;  // bytes of the block, this header included
};
static_assert(sizeof(RelocationBlock) == 8);
constexpr uint16_t RELOCATION_ABSOLUTE = 0;  // padding: nothing to do
constexpr uint16_t RELOCATION_HIGHLOW = 3;   // a 32-bit absolute address

// The thread-local data's template; its addresses are absolute (relocated).
struct TlsDirectory {
    uint32_t start;            // the template's first byte
    uint32_t end;              // one past its last
    uint32_t indexAddress;     // where the slot index is written
    uint32_t callbacks;        // a zero-ended array of callbacks, or 0
    uint32_t zeroFill;         // zero bytes after the template
    uint32_t characteristics;  // (not read)
};
static_assert(sizeof(TlsDirectory) == 24);
static_assert(offsetof(TlsDirectory, zeroFill) == 16);

// The export table's directory.
struct ExportDirectory {
    uint32_t characteristics;  // (not read)
    uint32_t timeDateStamp;    // (not read)
    uint16_t majorVersion;     // (not read)
    uint16_t minorVersion;     // (not read)
    uint32_t name;             // (not read)
    uint32_t base;             // (not read)
    uint32_t functionCount;    // (not read)
    uint32_t nameCount;        // names, each with an ordinal
    uint32_t functions;        // the functions' addresses, by ordinal
    uint32_t names;            // the names' addresses
    uint32_t ordinals;         // each name's ordinal
};
static_assert(sizeof(ExportDirectory) == 40);
static_assert(offsetof(ExportDirectory, nameCount) == 24);
static_assert(offsetof(ExportDirectory, ordinals) == 36);

}  // namespace grindlet::host::pe
