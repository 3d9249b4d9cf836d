#include "pe_image.h"

#include "pe_format.h"
#include "pe_runtime.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

namespace grindlet::host {

namespace {

using u8 = uint8_t;
using u16 = uint16_t;
using u32 = uint32_t;

// A name from the file, fit for a message: bytes outside printable ASCII shown as \xNN.
std::string printable(const std::string& text) {
    std::string shown;
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7F) {
            shown += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            shown += escaped;
        }
    }
    return shown;
}

std::string lowercase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

constexpr u32 DLL_PROCESS_ATTACH = 1;
constexpr u32 DLL_PROCESS_DETACH = 0;
using EntryPoint = int(__attribute__((stdcall)) *)(void* instance, u32 reason, void* reserved);

}  // namespace

// Every offset, size and address the loader reads from the file is checked against the file
// or the mapped image before it is used: a corrupt module file is refused, never followed.
namespace {

// Where the loader reads one field at a time (each read checked, in the order the checks
// need), the field's offset comes from the records of pe_format.h.
using pe::DOS_PE_OFFSET;
constexpr u32 COFF_MACHINE = offsetof(pe::FileHeader, machine);
constexpr u32 COFF_SECTION_COUNT = offsetof(pe::FileHeader, sectionCount);
constexpr u32 COFF_OPTIONAL_SIZE = offsetof(pe::FileHeader, optionalSize);
constexpr u32 COFF_SIZE = sizeof(pe::FileHeader);
constexpr u32 OPT_MAGIC = offsetof(pe::OptionalHeader, magic);
constexpr u32 OPT_ENTRY = offsetof(pe::OptionalHeader, entryPoint);
constexpr u32 OPT_IMAGE_BASE = offsetof(pe::OptionalHeader, imageBase);
constexpr u32 OPT_IMAGE_SIZE = offsetof(pe::OptionalHeader, imageSize);
constexpr u32 OPT_SECTION_ALIGNMENT = offsetof(pe::OptionalHeader, sectionAlignment);
constexpr u32 OPT_FILE_ALIGNMENT = offsetof(pe::OptionalHeader, fileAlignment);
constexpr u32 OPT_HEADERS_SIZE = offsetof(pe::OptionalHeader, headersSize);
constexpr u32 OPT_CHECKSUM = offsetof(pe::OptionalHeader, checksum);
constexpr u32 OPT_DIRECTORY_COUNT = offsetof(pe::OptionalHeader, directoryCount);
constexpr u32 OPT_DIRECTORIES = sizeof(pe::OptionalHeader);
using pe::DIRECTORY_EXPORT;
using pe::DIRECTORY_IMPORT;
using pe::DIRECTORY_RELOCATION;
using pe::DIRECTORY_SLOTS;
using pe::DIRECTORY_TLS;
constexpr u16 MACHINE_I386 = 0x14C, MAGIC_PE32 = 0x10B;
constexpr u32 LARGEST_IMAGE = 64u << 20;  // far above any module; refuses absurd sizes
constexpr u32 LARGEST_TLS = 1u << 20;

// A span of bytes with checked reads: the file as read, or the mapped image.
struct Bytes {
    const u8* data;
    u32 size;
    bool holds(u32 offset, u32 length) const { return uint64_t{offset} + length <= size; }
    template <class T>
    bool read(u32 offset, T& value) const {
        if (!holds(offset, sizeof value)) return false;
        std::memcpy(&value, data + offset, sizeof value);
        return true;
    }
    // A NUL-terminated name that lies wholly inside.
    bool name(u32 offset, std::string& text) const {
        if (offset >= size) return false;
        const void* end = std::memchr(data + offset, 0, size - offset);
        if (end == nullptr) return false;
        text.assign(reinterpret_cast<const char*>(data + offset),
                    static_cast<size_t>(static_cast<const u8*>(end) - (data + offset)));
        return true;
    }
};

// The image checksum of the optional header: 16-bit words summed with end-around carry, the
// field itself counted as zero, plus the file's length.
u32 imageChecksum(const Bytes& data, u32 field) {
    uint64_t total = 0;
    for (u32 at = 0; at < data.size; at += 2) {
        u32 word = data.data[at];
        if (at + 1 < data.size) word |= u32{data.data[at + 1]} << 8;
        if (at == field || at == field + 2) word = 0;
        total += word;
        total = (total & 0xFFFF) + (total >> 16);
    }
    return static_cast<u32>(total & 0xFFFF) + data.size;
}

// Only one image at a time: the thread block, its TLS slot and the stand-ins' state are
// process-wide (PeImage::load refuses a second image while one is loaded).
bool imageLoaded = false;

}  // namespace

namespace {

bool powerOfTwo(u32 value) { return value != 0 && (value & (value - 1)) == 0; }

// Where a section's bytes come from in the file, as the system loader takes them: the offset
// rounded down to the file alignment, and no more bytes than the section has in the image
// (its virtual size, where one is given). Size 0: zero-filled.
struct RawSpan {
    u32 offset = 0;
    u32 size = 0;
};
RawSpan rawSpanOf(const pe::SectionHeader& section, u32 fileAlignment) {
    const u32 rawOffset = section.rawOffset, rawSize = section.rawSize,
              virtualSize = section.virtualSize;
    if (rawOffset == 0 || rawSize == 0) return {};
    return {rawOffset & ~(fileAlignment - 1),
            virtualSize != 0 ? std::min(rawSize, virtualSize) : rawSize};
}

// The protection a section's characteristics give it. Always readable: x86 pages that can be
// written or run can be read, and the loader itself reads the export table wherever it lies.
int protectionOf(const pe::SectionHeader& section) {
    const u32 flags = section.characteristics;
    return PROT_READ | ((flags & pe::SECTION_WRITE) ? PROT_WRITE : 0) |
           ((flags & pe::SECTION_EXECUTE) ? PROT_EXEC : 0);
}

bool insideAny(const std::vector<std::pair<u32, u32>>& ranges, u32 rva) {
    for (const auto& [begin, end] : ranges) {
        if (rva >= begin && rva < end) return true;
    }
    return false;
}

// What the headers say must fit together, the way the system's own loader demands it: sane
// alignments, directories that cover the exports and lie inside the image, and sections that
// lie inside the image, past the headers, on the section alignment, and overlap nothing.
// Collects the executable sections' ranges. False with the reason.
bool consistentLayout(const Bytes& data, u32 optional, u16 optionalSize, u32 directoryCount,
                      u32 sectionTable, u16 sectionCount, u32 headersSize, u32 imageSize,
                      std::vector<std::pair<u32, u32>>& executable, std::string& why) {
    u32 sectionAlignment = 0, fileAlignment = 0;
    if (!data.read(optional + OPT_SECTION_ALIGNMENT, sectionAlignment) ||
        !data.read(optional + OPT_FILE_ALIGNMENT, fileAlignment) || !powerOfTwo(sectionAlignment) ||
        !powerOfTwo(fileAlignment) || fileAlignment > sectionAlignment) {
        why = "inconsistent section and file alignments";
        return false;
    }
    if (directoryCount == 0 || directoryCount > DIRECTORY_SLOTS ||
        OPT_DIRECTORIES + sizeof(pe::DataDirectory) * directoryCount > optionalSize) {
        why = "a data-directory count that does not fit the optional header or lacks the exports";
        return false;
    }
    for (u32 index = 0; index < directoryCount; ++index) {
        pe::DataDirectory directory{};
        if (!data.read(optional + OPT_DIRECTORIES + sizeof directory * index, directory) ||
            (index != pe::DIRECTORY_CERTIFICATES && directory.size != 0 &&
             uint64_t{directory.rva} + directory.size > imageSize)) {
            // (directory 4, the certificates, is addressed in the file, not the image)
            why = "a data directory outside the image";
            return false;
        }
    }
    std::vector<std::pair<u32, u32>> spans;
    for (u16 s = 0; s < sectionCount; ++s) {
        pe::SectionHeader section{};
        if (!data.read(sectionTable + sizeof section * s, section)) {
            why = "truncated section table";
            return false;
        }
        const u32 virtualSize = section.virtualSize, virtualAddress = section.virtualAddress;
        const RawSpan raw = rawSpanOf(section, fileAlignment);
        const u32 mapped = raw.size;
        const uint64_t end = uint64_t{virtualAddress} + std::max(virtualSize, mapped);
        if (virtualAddress < headersSize || virtualAddress % sectionAlignment != 0 ||
            end > imageSize) {
            why = "a section outside the image, over the headers or off its alignment";
            return false;
        }
        if (mapped != 0 && (!data.holds(raw.offset, raw.size) || raw.offset < headersSize)) {
            why = "a section's data outside the file or over the headers";
            return false;
        }
        for (const auto& [begin, finish] : spans) {
            if (virtualAddress < finish && end > begin) {
                why = "two sections overlap";
                return false;
            }
        }
        spans.emplace_back(virtualAddress, static_cast<u32>(end));
        // Executable where the system loader makes it so: marked code but not executable, a
        // section's code cannot run.
        if (section.characteristics & pe::SECTION_EXECUTE)
            executable.emplace_back(virtualAddress, static_cast<u32>(end));
    }
    return true;
}

}  // namespace

bool PeImage::looksLikePe(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    char magic[2] = {};
    return file.read(magic, 2) && magic[0] == 'M' && magic[1] == 'Z';
}

std::unique_ptr<PeImage> PeImage::load(const std::string& path, std::string& error) {
    auto fail = [&](const std::string& reason) {
        error = "not a loadable module: " + path + " (" + reason + ")";
        return nullptr;
    };
    if (imageLoaded) return fail("another Windows module is loaded in this process");
    std::ifstream file(path, std::ios::binary);
    const std::vector<u8> contents((std::istreambuf_iterator<char>(file)),
                                   std::istreambuf_iterator<char>());
    std::string why;
    std::unique_ptr<PeImage> image = prepare(contents.data(), contents.size(), true, why);
    if (!image) return fail(why);
    if (!image->start(why)) return fail(why);
    return image;
}

bool PeImage::inspectForTesting(const uint8_t* bytes, size_t length, std::string& why) {
    std::unique_ptr<PeImage> image = prepare(bytes, length, false, why);
    // Reading the exports walks the mapped export table as a host's lookup would.
    return image &&
           (image->findExport("getModuleProperties"), image->findExport("makeModule"), true);
}

std::unique_ptr<PeImage> PeImage::prepare(const uint8_t* bytes, size_t length, bool judgeChecksum,
                                          std::string& why) {
    auto fail = [&](const std::string& reason) {
        why = reason;
        return nullptr;
    };
    if (length > LARGEST_IMAGE) return fail("larger than any module");
    const Bytes data{bytes, static_cast<u32>(length)};
    const u8* contents = bytes;

    u32 pe = 0;
    u16 machine = 0, sectionCount = 0, optionalSize = 0, magic = 0;
    if (!data.holds(0, 2) || contents[0] != 'M' || contents[1] != 'Z' ||
        !data.read(DOS_PE_OFFSET, pe)) {
        return fail("no MZ header");
    }
    if (!data.holds(pe, 4) || std::memcmp(&contents[pe], "PE\0\0", 4) != 0)
        return fail("no PE header");
    if (!data.read(pe + COFF_MACHINE, machine) || machine != MACHINE_I386)
        return fail("not an i386 image");
    const u32 optional = pe + COFF_SIZE;
    if (!data.read(pe + COFF_SECTION_COUNT, sectionCount) ||
        !data.read(pe + COFF_OPTIONAL_SIZE, optionalSize) ||
        !data.read(optional + OPT_MAGIC, magic) || magic != MAGIC_PE32) {
        return fail("not a PE32 image");
    }
    u32 entryRva = 0, preferredBase = 0, imageSize = 0, headersSize = 0, directoryCount = 0;
    if (!data.read(optional + OPT_ENTRY, entryRva) ||
        !data.read(optional + OPT_IMAGE_BASE, preferredBase) ||
        !data.read(optional + OPT_IMAGE_SIZE, imageSize) ||
        !data.read(optional + OPT_HEADERS_SIZE, headersSize) ||
        !data.read(optional + OPT_DIRECTORY_COUNT, directoryCount)) {
        return fail("truncated optional header");
    }
    if (imageSize == 0 || imageSize > LARGEST_IMAGE || headersSize > imageSize ||
        headersSize > data.size) {
        return fail("image or header size out of range");
    }
    // A file that carries a checksum is loaded only when it matches: a damaged byte anywhere,
    // code included, is refused rather than run.
    u32 checksum = 0;
    if (!data.read(optional + OPT_CHECKSUM, checksum)) return fail("truncated optional header");
    if (judgeChecksum && checksum != 0 &&
        checksum != imageChecksum(data, optional + OPT_CHECKSUM)) {
        return fail("damaged: its checksum does not match");
    }
    const u32 sectionTable = optional + optionalSize;
    if (!data.holds(sectionTable, u32{sizeof(pe::SectionHeader)} * sectionCount))
        return fail("truncated section table");
    auto directory = [&](u32 index, pe::DataDirectory& found) {
        if (index >= directoryCount) return true;  // absent
        return data.read(optional + OPT_DIRECTORIES + sizeof found * index, found);
    };
    pe::DataDirectory relocations{}, imports{}, tls{};
    if (!directory(DIRECTORY_RELOCATION, relocations) || !directory(DIRECTORY_IMPORT, imports) ||
        !directory(DIRECTORY_TLS, tls)) {
        return fail("truncated data directories");
    }

    // The image must be consistent before a byte of it is mapped or runs.
    std::vector<std::pair<u32, u32>> executable;
    std::string inconsistency;
    if (!consistentLayout(data, optional, optionalSize, directoryCount, sectionTable, sectionCount,
                          headersSize, imageSize, executable, inconsistency)) {
        return fail(inconsistency);
    }
    if (entryRva != 0 && !insideAny(executable, entryRva))
        return fail("entry point outside every executable section");

    void* mapping = mmap(nullptr, imageSize, PROT_READ | PROT_WRITE | PROT_EXEC,
                         MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) return fail("cannot map the image");
    // From here on the image unmaps itself on every failure.
    std::unique_ptr<PeImage> image(new PeImage());
    image->base = static_cast<u8*>(mapping);
    image->size = imageSize;
    u8* base = image->base;
    image->executable = executable;
    std::memcpy(base, contents, headersSize);
    const u32 delta = reinterpret_cast<u32>(base) - preferredBase;
    // Where it cannot sit at its preferred base, an image needs relocations to run anywhere.
    if (delta != 0 && relocations.size == 0)
        return fail("no relocations, and its preferred base is not free");
    u32 fileAlignment = 0, sectionAlignment = 0;
    data.read(optional + OPT_FILE_ALIGNMENT, fileAlignment);  // read before, by the layout check
    data.read(optional + OPT_SECTION_ALIGNMENT, sectionAlignment);
    if (!image->mapSections(data.data, data.size, sectionTable, sectionCount, fileAlignment))
        return fail("a section or relocation lies outside the file or image");
    if (!image->relocate(relocations.rva, relocations.size, delta, why)) return nullptr;
    if (!image->bindImports(imports.rva, why)) return nullptr;
    if (tls.rva != 0 && !image->readTls(tls.rva))
        return fail("thread-local data outside the image");
    if (entryRva >= imageSize) return fail("entry point outside the image");
    pe::DataDirectory exports{};
    if (!directory(DIRECTORY_EXPORT, exports) || !image->exportsWithin(exports))
        return fail("an export table that runs past its directory");
    if (!image->protectSections(data.data, data.size, sectionTable, sectionCount,
                                sectionAlignment)) {
        return fail("cannot give the sections their protections");
    }
    image->entryRva = entryRva;
    return image;
}

bool PeImage::start(std::string& why) {
    if (!pe_runtime::installThreadBlock(why)) return false;
    if (tls.present) pe_runtime::setTlsTemplate(base + tls.start, tls.length, tls.zeroFill);
    pe_runtime::setImage(base, size);
    imageLoaded = true;
    for (u32 callback : tlsCallbacks)
        reinterpret_cast<EntryPoint>(callback)(base, DLL_PROCESS_ATTACH, nullptr);
    if (entryRva != 0 &&
        !reinterpret_cast<EntryPoint>(base + entryRva)(base, DLL_PROCESS_ATTACH, nullptr)) {
        why = "its entry point refused to attach";
        return false;
    }
    attached = true;
    return true;
}

bool PeImage::mapSections(const u8* fileBytes, u32 fileSize, u32 sectionTable, u16 sectionCount,
                          u32 fileAlignment) {
    const Bytes data{fileBytes, fileSize};
    for (u16 s = 0; s < sectionCount; ++s) {
        pe::SectionHeader section{};
        if (!data.read(sectionTable + sizeof section * s, section)) return false;
        const u32 virtualAddress = section.virtualAddress;
        const RawSpan raw = rawSpanOf(section, fileAlignment);
        if (raw.size == 0) continue;  // no raw data: zero-filled
        if (!data.holds(raw.offset, raw.size) || uint64_t{virtualAddress} + raw.size > size)
            return false;
        std::memcpy(base + virtualAddress, data.data + raw.offset, raw.size);
    }
    return true;
}

// Each section gets the protections its characteristics give it, the headers read-only, as the
// system loader maps them; where sections are aligned finer than a page, the image stays as it
// is (the system loader maps such an image whole).
bool PeImage::protectSections(const u8* fileBytes, u32 fileSize, u32 sectionTable, u16 sectionCount,
                              u32 sectionAlignment) {
    const u32 page = static_cast<u32>(sysconf(_SC_PAGESIZE));
    if (sectionAlignment % page != 0) return true;
    if (mprotect(base, size, PROT_READ) != 0) return false;
    const Bytes data{fileBytes, fileSize};
    for (u16 s = 0; s < sectionCount; ++s) {
        pe::SectionHeader section{};
        if (!data.read(sectionTable + sizeof section * s, section)) return false;
        const u32 length = std::max<u32>(section.virtualSize, section.rawSize);
        const u32 end =
            std::min<u32>(size, (section.virtualAddress + length + page - 1) / page * page);
        if (end > section.virtualAddress &&
            mprotect(base + section.virtualAddress, end - section.virtualAddress,
                     protectionOf(section)) != 0) {
            return false;
        }
    }
    return true;
}

// Base relocations: every 32-bit absolute address moves by the load offset.
bool PeImage::relocate(u32 rva, u32 length, u32 delta, std::string& why) {
    const Bytes image{base, size};
    why = "a section or relocation lies outside the file or image";
    if (!image.holds(rva, length)) return false;
    for (u32 at = rva; uint64_t{at} + sizeof(pe::RelocationBlock) <= uint64_t{rva} + length;) {
        pe::RelocationBlock block{};
        image.read(at, block);
        const u32 blockSize = block.blockSize;
        if (blockSize < sizeof block || uint64_t{at} + blockSize > uint64_t{rva} + length)
            return blockSize == 0;
        for (u32 entry = at + sizeof block; entry + 2 <= at + blockSize; entry += 2) {
            u16 item = 0;
            image.read(entry, item);
            const u16 type = static_cast<u16>(item >> 12);
            if (type == pe::RELOCATION_ABSOLUTE) continue;
            if (type != pe::RELOCATION_HIGHLOW) {
                why = "a relocation of type " + std::to_string(type) + ", which i386 code has not";
                return false;
            }
            const uint64_t target = uint64_t{block.page} + (item & 0xFFFu);
            u32 value = 0;
            if (target > UINT32_MAX || !image.read(static_cast<u32>(target), value)) return false;
            value += delta;
            std::memcpy(base + target, &value, sizeof value);
        }
        at += blockSize;
    }
    return true;
}

// Imports, bound by name to the stand-ins above.
bool PeImage::bindImports(u32 rva, std::string& why) {
    const Bytes image{base, size};
    if (rva == 0) return true;
    for (u32 at = rva;; at += sizeof(pe::ImportDescriptor)) {
        pe::ImportDescriptor descriptor{};
        if (!image.read(at, descriptor)) {
            why = "import table outside the image";
            return false;
        }
        const u32 nameRva = descriptor.name;
        u32 lookup = descriptor.lookupTable, bound = descriptor.addressTable;
        if (nameRva == 0) return true;
        std::string dll;
        if (!image.name(nameRva, dll)) {
            why = "import name outside the image";
            return false;
        }
        dll = lowercase(dll);
        if (lookup == 0) lookup = bound;
        for (;; lookup += 4, bound += 4) {
            u32 thunk = 0;
            if (!image.read(lookup, thunk) || !image.holds(bound, 4)) {
                why = "import thunks outside the image";
                return false;
            }
            if (thunk == 0) break;
            if (thunk & pe::IMPORT_BY_ORDINAL) {
                why = printable(dll) + " import by ordinal";
                return false;
            }
            std::string name;
            if (!image.name(thunk + 2, name)) {
                why = "import name outside the image";
                return false;
            }
            void* const standIn = pe_runtime::standIn(dll + "!" + name);
            if (standIn == nullptr) {
                why = "imports " + printable(dll + "!" + name);
                return false;
            }
            const u32 address = reinterpret_cast<u32>(standIn);
            std::memcpy(base + bound, &address, sizeof address);
        }
    }
}

// Thread-local data: one slot, a copy of the template. Its addresses are absolute (relocated).
bool PeImage::readTls(u32 rva) {
    const Bytes image{base, size};
    // Up to zeroFill, the last field read: a directory cut after it is still whole enough.
    pe::TlsDirectory directory{};
    constexpr u32 READ = offsetof(pe::TlsDirectory, zeroFill) + sizeof directory.zeroFill;
    if (!image.holds(rva, READ)) return false;
    std::memcpy(&directory, image.data + rva, READ);
    const u32 start = directory.start, end = directory.end, indexAddress = directory.indexAddress,
              callbackArray = directory.callbacks, zeroFill = directory.zeroFill;
    const u32 origin = reinterpret_cast<u32>(base);
    auto inside = [&](u32 address, u32 length) {
        return address >= origin && image.holds(address - origin, length);
    };
    if (end < start || end - start > LARGEST_TLS || zeroFill > LARGEST_TLS ||
        !inside(start, end - start) || !inside(indexAddress, 4)) {
        return false;
    }
    tls = {true, start - origin, end - start, zeroFill};
    std::memset(base + (indexAddress - origin), 0, 4);
    for (u32 at = callbackArray; at != 0; at += 4) {
        u32 callback = 0;
        if (!inside(at, 4)) return false;
        std::memcpy(&callback, base + (at - origin), 4);
        if (callback == 0) break;
        if (!inside(callback, 1)) return false;
        tlsCallbacks.push_back(callback);
    }
    return true;
}

PeImage::~PeImage() {
    if (base == nullptr) return;
    if (attached) {
        // The module's own destructors and exit handlers run on detach, then the image goes.
        if (entryRva != 0)
            reinterpret_cast<EntryPoint>(base + entryRva)(base, DLL_PROCESS_DETACH, nullptr);
        for (u32 callback : tlsCallbacks)
            reinterpret_cast<EntryPoint>(callback)(base, DLL_PROCESS_DETACH, nullptr);
    }
    if (pe_runtime::imageBase() == base) {
        pe_runtime::clearImage();
        imageLoaded = false;
        pe_runtime::freeModuleHeap();
    }
    munmap(base, size);
}

// The export directory's tables (names, their ordinals, the functions) lie inside the export
// directory's own range, as the system loader requires; none at all is fine.
bool PeImage::exportsWithin(const pe::DataDirectory& exports) const {
    if (exports.rva == 0 && exports.size == 0) return true;
    const Bytes image{base, size};
    pe::ExportDirectory directory{};
    if (!image.read(exports.rva, directory)) return false;
    const uint64_t begin = exports.rva, end = uint64_t{exports.rva} + exports.size;
    const auto within = [&](u32 at, uint64_t bytes) {
        return at >= begin && uint64_t{at} + bytes <= end;
    };
    return within(exports.rva, sizeof directory) &&
           within(directory.names, uint64_t{4} * directory.nameCount) &&
           within(directory.ordinals, uint64_t{2} * directory.nameCount) &&
           within(directory.functions, uint64_t{4} * directory.functionCount);
}

void* PeImage::findExport(const char* name) const {
    const Bytes image{base, size};
    u32 header = 0;
    pe::DataDirectory exports{};
    pe::ExportDirectory directory{};
    if (!image.read(DOS_PE_OFFSET, header) ||
        !image.read(header + COFF_SIZE + OPT_DIRECTORIES + sizeof exports * DIRECTORY_EXPORT,
                    exports) ||
        exports.rva == 0 || !image.read(exports.rva, directory)) {
        return nullptr;
    }
    const u32 count = directory.nameCount, functions = directory.functions, names = directory.names,
              ordinals = directory.ordinals;
    for (u32 i = 0; i < count; ++i) {
        u32 nameRva = 0;
        std::string exportName;
        if (!image.read(names + 4 * i, nameRva) || !image.name(nameRva, exportName)) return nullptr;
        if (exportName != name) continue;
        u16 ordinal = 0;
        u32 function = 0;
        if (!image.read(ordinals + 2 * i, ordinal) || ordinal >= directory.functionCount ||
            !image.read(functions + 4u * ordinal, function) || function >= size) {
            return nullptr;
        }
        // An export that is not code is not called.
        return insideAny(executable, function) ? base + function : nullptr;
    }
    return nullptr;
}

}  // namespace grindlet::host
