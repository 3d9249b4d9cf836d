#include "pe_image.h"

#include <asm/ldt.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <map>
#include <vector>

namespace grindlet::host {

namespace {

#define WINAPI_CALL __attribute__((stdcall))
using u8 = uint8_t;
using u16 = uint16_t;
using u32 = uint32_t;


// ---- The Windows thread block that MinGW's start-up code reads through %fs.
struct ThreadBlock {
    u32 words[1024];
};
ThreadBlock threadBlock;
u32 processBlock[256];
void* tlsSlots[64];

bool installThreadBlock(std::string& error) {
    static bool installed = false;
    if (installed) return true;
    threadBlock.words[0x00 / 4] = 0xFFFFFFFFu;  // no exception handler registered
    threadBlock.words[0x04 / 4] = reinterpret_cast<u32>(&threadBlock.words[1023]);  // stack base
    threadBlock.words[0x08 / 4] = reinterpret_cast<u32>(&threadBlock.words[512]);   // stack limit
    threadBlock.words[0x18 / 4] = reinterpret_cast<u32>(&threadBlock);              // self
    threadBlock.words[0x24 / 4] = 1;                                                // thread id
    threadBlock.words[0x2C / 4] = reinterpret_cast<u32>(tlsSlots);                  // TLS array
    threadBlock.words[0x30 / 4] = reinterpret_cast<u32>(processBlock);
    user_desc segment{};
    segment.entry_number = static_cast<unsigned>(-1);
    segment.base_addr = reinterpret_cast<u32>(&threadBlock);
    segment.limit = sizeof threadBlock - 1;
    segment.seg_32bit = 1;
    segment.useable = 1;
    if (syscall(SYS_set_thread_area, &segment) != 0) {
        error = std::string("cannot set up a thread block segment: ") + std::strerror(errno);
        return false;
    }
    const u16 selector = static_cast<u16>((segment.entry_number << 3) | 3);
    asm volatile("movw %0, %%fs" : : "r"(selector));
    installed = true;
    return true;
}

// ---- KERNEL32 stand-ins (stdcall). One thread, no real synchronisation needed.
u32 lastError = 0;
u32 tlsValues[64];
u32 tlsUsed = 0;

int WINAPI_CALL k32CloseHandle(void*) { return 1; }
void* WINAPI_CALL k32CreateSemaphoreW(void*, long, long, const void*) {
    return reinterpret_cast<void*>(0x5E3A);
}
void WINAPI_CALL k32CriticalSection(void*) {}
int WINAPI_CALL k32FreeLibrary(void*) { return 1; }
void* WINAPI_CALL k32LoadLibraryA(const char*) { return nullptr; }
void* WINAPI_CALL k32GetModuleHandle(const void*) { return nullptr; }
void* WINAPI_CALL k32GetProcAddress(void*, const char*) { return nullptr; }
u32 WINAPI_CALL k32GetCurrentThreadId() { return 1; }
u32 WINAPI_CALL k32GetLastError() { return lastError; }
void WINAPI_CALL k32SetLastError(u32 code) { lastError = code; }
int WINAPI_CALL k32IsDBCSLeadByteEx(u32, u8) { return 0; }
int WINAPI_CALL k32MultiByteToWideChar(u32, u32, const char*, int, void*, int) { return 0; }
int WINAPI_CALL k32WideCharToMultiByte(u32, u32, const void*, int, char*, int, const char*,
                                       int*) {
    return 0;
}
int WINAPI_CALL k32ReleaseSemaphore(void*, long, long*) { return 1; }
u32 WINAPI_CALL k32WaitForSingleObject(void*, u32) { return 0; }
void WINAPI_CALL k32Sleep(u32) {}
u32 WINAPI_CALL k32TlsAlloc() { return tlsUsed < 64 ? tlsUsed++ : 0xFFFFFFFFu; }
int WINAPI_CALL k32TlsFree(u32) { return 1; }
void* WINAPI_CALL k32TlsGetValue(u32 index) {
    return index < 64 ? reinterpret_cast<void*>(tlsValues[index]) : nullptr;
}
int WINAPI_CALL k32TlsSetValue(u32 index, void* value) {
    if (index >= 64) return 0;
    tlsValues[index] = reinterpret_cast<u32>(value);
    return 1;
}
constexpr u32 PAGE_EXECUTE_READWRITE = 0x40;
int WINAPI_CALL k32VirtualProtect(void*, u32, u32, u32* oldProtect) {
    if (oldProtect) *oldProtect = PAGE_EXECUTE_READWRITE;  // the whole image is mapped so
    return 1;
}
u8* currentImage = nullptr;
u32 currentImageSize = 0;
u32 WINAPI_CALL k32VirtualQuery(const void* address, u32* info, u32 length) {
    if (info == nullptr || length < 28) return 0;
    const u32 page = reinterpret_cast<u32>(address) & ~0xFFFu;
    info[0] = page;                                        // BaseAddress
    info[1] = reinterpret_cast<u32>(currentImage);         // AllocationBase
    info[2] = PAGE_EXECUTE_READWRITE;                      // AllocationProtect
    info[3] = 0x1000;                                      // RegionSize
    info[4] = 0x1000;                                      // State: MEM_COMMIT
    info[5] = PAGE_EXECUTE_READWRITE;                      // Protect
    info[6] = 0x1000000;                                   // Type: MEM_IMAGE
    return 28;
}

// ---- msvcrt stand-ins (cdecl, as Linux i386 calls by default).
int mbCurMax = 1;
u8 iobFiles[3 * 32];  // stdin, stdout, stderr as msvcrt lays them out; only compared
FILE* hostStream(void* file) {
    return file == iobFiles + 32 ? stdout : stderr;
}
// The module's heap: every block it allocates is linked into one list, so that what its
// runtime never frees (it expects the process to end) is freed when the image is unloaded.
struct BlockHeader {
    BlockHeader* previous;
    BlockHeader* next;
    size_t size;
    u32 padding;  // keeps the caller's block 16-byte aligned
};
static_assert(sizeof(BlockHeader) == 16, "the header keeps blocks aligned");
BlockHeader liveBlocks{&liveBlocks, &liveBlocks, 0, 0};

void linkBlock(BlockHeader* block) {
    block->previous = &liveBlocks;
    block->next = liveBlocks.next;
    liveBlocks.next->previous = block;
    liveBlocks.next = block;
}
void unlinkBlock(BlockHeader* block) {
    block->previous->next = block->next;
    block->next->previous = block->previous;
}
void* crtMalloc(size_t size) {
    if (size > SIZE_MAX - sizeof(BlockHeader)) return nullptr;
    auto* block = static_cast<BlockHeader*>(std::malloc(sizeof(BlockHeader) + size));
    if (block == nullptr) return nullptr;
    block->size = size;
    linkBlock(block);
    return block + 1;
}
void crtFree(void* pointer) {
    if (pointer == nullptr) return;
    BlockHeader* block = static_cast<BlockHeader*>(pointer) - 1;
    unlinkBlock(block);
    std::free(block);
}
void* crtCalloc(size_t count, size_t size) {
    if (size != 0 && count > SIZE_MAX / size) return nullptr;
    void* pointer = crtMalloc(count * size);
    if (pointer != nullptr) std::memset(pointer, 0, count * size);
    return pointer;
}
void* crtRealloc(void* pointer, size_t size) {
    if (pointer == nullptr) return crtMalloc(size);
    if (size == 0) {
        crtFree(pointer);
        return nullptr;
    }
    if (size > SIZE_MAX - sizeof(BlockHeader)) return nullptr;
    BlockHeader* block = static_cast<BlockHeader*>(pointer) - 1;
    unlinkBlock(block);
    auto* moved = static_cast<BlockHeader*>(std::realloc(block, sizeof(BlockHeader) + size));
    if (moved == nullptr) {
        linkBlock(block);
        return nullptr;
    }
    moved->size = size;
    linkBlock(moved);
    return moved + 1;
}
void freeModuleHeap() {
    while (liveBlocks.next != &liveBlocks) {
        BlockHeader* block = liveBlocks.next;
        unlinkBlock(block);
        std::free(block);
    }
}

void crtSetUserMathErr(void*) {}
void crtAmsgExit(int code) {
    std::fprintf(stderr, "module runtime error %d\n", code);
    std::abort();
}
int* crtErrno() { return &errno; }
void crtInitTerm(void (**begin)(), void (**end)()) {
    for (; begin < end; ++begin) {
        if (*begin != nullptr) (*begin)();
    }
}
void crtLock(int) {}
int crtFputc(int c, void* file) { return std::fputc(c, hostStream(file)); }
int crtFputs(const char* s, void* file) { return std::fputs(s, hostStream(file)); }
size_t crtFwrite(const void* data, size_t size, size_t count, void* file) {
    return std::fwrite(data, size, count, hostStream(file));
}
int crtVfprintf(void* file, const char* format, va_list args) {
    return std::vfprintf(hostStream(file), format, args);
}
char* crtSetlocale(int, const char*) { return const_cast<char*>("C"); }
size_t crtWcslen(const u16* text) {
    size_t n = 0;
    while (text[n] != 0) ++n;
    return n;
}

using Address = void*;
template <class F>
Address addressOf(F* function) {
    return reinterpret_cast<Address>(function);
}

const std::map<std::string, Address>& importTable() {
    static const std::map<std::string, Address> table = {
        {"kernel32.dll!CloseHandle", addressOf(k32CloseHandle)},
        {"kernel32.dll!CreateSemaphoreW", addressOf(k32CreateSemaphoreW)},
        {"kernel32.dll!DeleteCriticalSection", addressOf(k32CriticalSection)},
        {"kernel32.dll!EnterCriticalSection", addressOf(k32CriticalSection)},
        {"kernel32.dll!InitializeCriticalSection", addressOf(k32CriticalSection)},
        {"kernel32.dll!LeaveCriticalSection", addressOf(k32CriticalSection)},
        {"kernel32.dll!FreeLibrary", addressOf(k32FreeLibrary)},
        {"kernel32.dll!LoadLibraryA", addressOf(k32LoadLibraryA)},
        {"kernel32.dll!GetModuleHandleA", addressOf(k32GetModuleHandle)},
        {"kernel32.dll!GetModuleHandleW", addressOf(k32GetModuleHandle)},
        {"kernel32.dll!GetProcAddress", addressOf(k32GetProcAddress)},
        {"kernel32.dll!GetCurrentThreadId", addressOf(k32GetCurrentThreadId)},
        {"kernel32.dll!GetLastError", addressOf(k32GetLastError)},
        {"kernel32.dll!SetLastError", addressOf(k32SetLastError)},
        {"kernel32.dll!IsDBCSLeadByteEx", addressOf(k32IsDBCSLeadByteEx)},
        {"kernel32.dll!MultiByteToWideChar", addressOf(k32MultiByteToWideChar)},
        {"kernel32.dll!WideCharToMultiByte", addressOf(k32WideCharToMultiByte)},
        {"kernel32.dll!ReleaseSemaphore", addressOf(k32ReleaseSemaphore)},
        {"kernel32.dll!WaitForSingleObject", addressOf(k32WaitForSingleObject)},
        {"kernel32.dll!Sleep", addressOf(k32Sleep)},
        {"kernel32.dll!TlsAlloc", addressOf(k32TlsAlloc)},
        {"kernel32.dll!TlsFree", addressOf(k32TlsFree)},
        {"kernel32.dll!TlsGetValue", addressOf(k32TlsGetValue)},
        {"kernel32.dll!TlsSetValue", addressOf(k32TlsSetValue)},
        {"kernel32.dll!VirtualProtect", addressOf(k32VirtualProtect)},
        {"kernel32.dll!VirtualQuery", addressOf(k32VirtualQuery)},
        {"msvcrt.dll!__mb_cur_max", &mbCurMax},
        {"msvcrt.dll!_iob", iobFiles},
        {"msvcrt.dll!__setusermatherr", addressOf(crtSetUserMathErr)},
        {"msvcrt.dll!_amsg_exit", addressOf(crtAmsgExit)},
        {"msvcrt.dll!_errno", addressOf(crtErrno)},
        {"msvcrt.dll!_initterm", addressOf(crtInitTerm)},
        {"msvcrt.dll!_lock", addressOf(crtLock)},
        {"msvcrt.dll!_unlock", addressOf(crtLock)},
        {"msvcrt.dll!abort", addressOf(std::abort)},
        {"msvcrt.dll!atoi", addressOf(std::atoi)},
        {"msvcrt.dll!calloc", addressOf(crtCalloc)},
        {"msvcrt.dll!free", addressOf(crtFree)},
        {"msvcrt.dll!malloc", addressOf(crtMalloc)},
        {"msvcrt.dll!realloc", addressOf(crtRealloc)},
        {"msvcrt.dll!memcpy", addressOf(std::memcpy)},
        {"msvcrt.dll!memmove", addressOf(std::memmove)},
        {"msvcrt.dll!memset", addressOf(std::memset)},
        {"msvcrt.dll!strchr", addressOf(static_cast<const char* (*)(const char*, int)>(std::strchr))},
        {"msvcrt.dll!strcmp", addressOf(std::strcmp)},
        {"msvcrt.dll!strncmp", addressOf(std::strncmp)},
        {"msvcrt.dll!strerror", addressOf(std::strerror)},
        {"msvcrt.dll!strlen", addressOf(std::strlen)},
        {"msvcrt.dll!fputc", addressOf(crtFputc)},
        {"msvcrt.dll!fputs", addressOf(crtFputs)},
        {"msvcrt.dll!fwrite", addressOf(crtFwrite)},
        {"msvcrt.dll!vfprintf", addressOf(crtVfprintf)},
        {"msvcrt.dll!localeconv", addressOf(std::localeconv)},
        {"msvcrt.dll!setlocale", addressOf(crtSetlocale)},
        {"msvcrt.dll!wcslen", addressOf(crtWcslen)},
    };
    return table;
}

std::string lowercase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

constexpr u32 DLL_PROCESS_ATTACH = 1;
constexpr u32 DLL_PROCESS_DETACH = 0;
using EntryPoint = int(WINAPI_CALL*)(void* instance, u32 reason, void* reserved);

}  // namespace

// Every offset, size and address the loader reads from the file is checked against the file
// or the mapped image before it is used: a corrupt module file is refused, never followed.
namespace {

// Offsets in the headers (PE32, i386).
constexpr u32 DOS_PE_OFFSET = 0x3C;
constexpr u32 COFF_MACHINE = 4, COFF_SECTION_COUNT = 6, COFF_OPTIONAL_SIZE = 20, COFF_SIZE = 24;
constexpr u32 OPT_MAGIC = 0, OPT_ENTRY = 16, OPT_IMAGE_BASE = 28, OPT_IMAGE_SIZE = 56;
constexpr u32 OPT_HEADERS_SIZE = 60, OPT_CHECKSUM = 64, OPT_DIRECTORY_COUNT = 92, OPT_DIRECTORIES = 96;
constexpr u32 SECTION_SIZE = 40, SECTION_VIRTUAL_ADDRESS = 12, SECTION_RAW_SIZE = 16;
constexpr u32 SECTION_RAW_OFFSET = 20;
constexpr u16 MACHINE_I386 = 0x14C, MAGIC_PE32 = 0x10B;
constexpr u32 DIRECTORY_EXPORT = 0, DIRECTORY_IMPORT = 1, DIRECTORY_RELOCATION = 5, DIRECTORY_TLS = 9;
constexpr u32 IMPORT_DESCRIPTOR_SIZE = 20, IMPORT_NAME = 12, IMPORT_BOUND = 16;
constexpr u32 RELOCATION_HIGHLOW = 3;
constexpr u32 TLS_START = 0, TLS_END = 4, TLS_INDEX = 8, TLS_CALLBACKS = 12, TLS_ZERO_FILL = 16;
constexpr u32 EXPORT_COUNT = 24, EXPORT_FUNCTIONS = 28, EXPORT_NAMES = 32, EXPORT_ORDINALS = 36;
constexpr u32 LARGEST_IMAGE = 64u << 20;  // far above any module; refuses absurd sizes
constexpr u32 LARGEST_TLS = 1u << 20;

// A span of bytes with checked reads: the file as read, or the mapped image.
struct Bytes {
    const u8* data;
    u32 size;
    bool holds(u32 offset, u32 length) const {
        return uint64_t{offset} + length <= size;
    }
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
        text.assign(reinterpret_cast<const char*>(data + offset), static_cast<size_t>(static_cast<const u8*>(end) - (data + offset)));
        return true;
    }
};

struct Directory {
    u32 rva = 0;
    u32 size = 0;
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

bool PeImage::looksLikePe(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    char magic[2] = {};
    return file.read(magic, 2) && magic[0] == 'M' && magic[1] == 'Z';
}

std::unique_ptr<PeImage> PeImage::load(const std::string& path, std::string& error) {
    auto fail = [&](const std::string& why) {
        error = "not a loadable module: " + path + " (" + why + ")";
        return nullptr;
    };
    if (imageLoaded) return fail("another Windows module is loaded in this process");
    std::ifstream file(path, std::ios::binary);
    const std::vector<u8> contents((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (contents.size() > LARGEST_IMAGE) return fail("larger than any module");
    const Bytes data{contents.data(), static_cast<u32>(contents.size())};

    u32 pe = 0;
    u16 machine = 0, sectionCount = 0, optionalSize = 0, magic = 0;
    if (!data.holds(0, 2) || contents[0] != 'M' || contents[1] != 'Z' || !data.read(DOS_PE_OFFSET, pe)) {
        return fail("no MZ header");
    }
    if (!data.holds(pe, 4) || std::memcmp(&contents[pe], "PE\0\0", 4) != 0) return fail("no PE header");
    if (!data.read(pe + COFF_MACHINE, machine) || machine != MACHINE_I386) return fail("not an i386 image");
    const u32 optional = pe + COFF_SIZE;
    if (!data.read(pe + COFF_SECTION_COUNT, sectionCount) || !data.read(pe + COFF_OPTIONAL_SIZE, optionalSize) ||
        !data.read(optional + OPT_MAGIC, magic) || magic != MAGIC_PE32) {
        return fail("not a PE32 image");
    }
    u32 entryRva = 0, preferredBase = 0, imageSize = 0, headersSize = 0, directoryCount = 0;
    if (!data.read(optional + OPT_ENTRY, entryRva) || !data.read(optional + OPT_IMAGE_BASE, preferredBase) ||
        !data.read(optional + OPT_IMAGE_SIZE, imageSize) || !data.read(optional + OPT_HEADERS_SIZE, headersSize) ||
        !data.read(optional + OPT_DIRECTORY_COUNT, directoryCount)) {
        return fail("truncated optional header");
    }
    if (imageSize == 0 || imageSize > LARGEST_IMAGE || headersSize > imageSize || headersSize > data.size) {
        return fail("image or header size out of range");
    }
    // A file that carries a checksum is loaded only when it matches: a damaged byte anywhere,
    // code included, is refused rather than run.
    u32 checksum = 0;
    if (!data.read(optional + OPT_CHECKSUM, checksum)) return fail("truncated optional header");
    if (checksum != 0 && checksum != imageChecksum(data, optional + OPT_CHECKSUM)) {
        return fail("damaged: its checksum does not match");
    }
    const u32 sectionTable = optional + optionalSize;
    if (!data.holds(sectionTable, u32{SECTION_SIZE} * sectionCount)) return fail("truncated section table");
    auto directory = [&](u32 index, Directory& found) {
        if (index >= directoryCount) return true;  // absent
        return data.read(optional + OPT_DIRECTORIES + 8 * index, found.rva) &&
               data.read(optional + OPT_DIRECTORIES + 8 * index + 4, found.size);
    };
    Directory relocations, imports, tls;
    if (!directory(DIRECTORY_RELOCATION, relocations) || !directory(DIRECTORY_IMPORT, imports) ||
        !directory(DIRECTORY_TLS, tls)) {
        return fail("truncated data directories");
    }

    if (!installThreadBlock(error)) return nullptr;
    void* mapping = mmap(nullptr, imageSize, PROT_READ | PROT_WRITE | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) return fail("cannot map the image");
    // From here on the image unmaps itself on every failure.
    std::unique_ptr<PeImage> image(new PeImage());
    image->base = static_cast<u8*>(mapping);
    image->size = imageSize;
    u8* base = image->base;
    std::memcpy(base, contents.data(), headersSize);
    if (!image->mapSections(data.data, data.size, sectionTable, sectionCount) ||
        !image->relocate(relocations.rva, relocations.size, reinterpret_cast<u32>(base) - preferredBase)) {
        return fail("a section or relocation lies outside the file or image");
    }
    std::string why;
    if (!image->bindImports(imports.rva, why)) return fail(why);
    std::vector<u32> callbacks;
    if (tls.rva != 0 && !image->startTls(tls.rva, callbacks)) return fail("thread-local data outside the image");
    if (entryRva >= imageSize) return fail("entry point outside the image");
    currentImage = base;
    currentImageSize = imageSize;
    imageLoaded = true;
    image->entryRva = entryRva;
    image->tlsCallbacks = callbacks;
    for (u32 callback : callbacks) reinterpret_cast<EntryPoint>(callback)(base, DLL_PROCESS_ATTACH, nullptr);
    if (entryRva != 0 && !reinterpret_cast<EntryPoint>(base + entryRva)(base, DLL_PROCESS_ATTACH, nullptr)) {
        image->attached = false;
        return fail("its entry point refused to attach");
    }
    image->attached = true;
    return image;
}

bool PeImage::mapSections(const u8* fileBytes, u32 fileSize, u32 sectionTable, u16 sectionCount) {
    const Bytes data{fileBytes, fileSize};
    for (u16 s = 0; s < sectionCount; ++s) {
        const u32 header = sectionTable + SECTION_SIZE * s;
        u32 virtualAddress = 0, rawSize = 0, rawOffset = 0;
        if (!data.read(header + SECTION_VIRTUAL_ADDRESS, virtualAddress) ||
            !data.read(header + SECTION_RAW_SIZE, rawSize) || !data.read(header + SECTION_RAW_OFFSET, rawOffset)) {
            return false;
        }
        if (rawSize == 0) continue;
        if (!data.holds(rawOffset, rawSize) || uint64_t{virtualAddress} + rawSize > size) return false;
        std::memcpy(base + virtualAddress, data.data + rawOffset, rawSize);
    }
    return true;
}

// Base relocations: every 32-bit absolute address moves by the load offset.
bool PeImage::relocate(u32 rva, u32 length, u32 delta) {
    const Bytes image{base, size};
    if (!image.holds(rva, length)) return false;
    for (u32 at = rva; uint64_t{at} + 8 <= uint64_t{rva} + length;) {
        u32 page = 0, blockSize = 0;
        image.read(at, page);
        image.read(at + 4, blockSize);
        if (blockSize < 8 || uint64_t{at} + blockSize > uint64_t{rva} + length) return blockSize == 0;
        for (u32 entry = at + 8; entry + 2 <= at + blockSize; entry += 2) {
            u16 item = 0;
            image.read(entry, item);
            if ((item >> 12) != RELOCATION_HIGHLOW) continue;
            const uint64_t target = uint64_t{page} + (item & 0xFFFu);
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
    for (u32 descriptor = rva;; descriptor += IMPORT_DESCRIPTOR_SIZE) {
        u32 nameRva = 0, lookup = 0, bound = 0;
        if (!image.read(descriptor + IMPORT_NAME, nameRva) || !image.read(descriptor, lookup) ||
            !image.read(descriptor + IMPORT_BOUND, bound)) {
            why = "import table outside the image";
            return false;
        }
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
            if (thunk & 0x80000000u) {
                why = dll + " import by ordinal";
                return false;
            }
            std::string name;
            if (!image.name(thunk + 2, name)) {
                why = "import name outside the image";
                return false;
            }
            const auto found = importTable().find(dll + "!" + name);
            if (found == importTable().end()) {
                why = "imports " + dll + "!" + name;
                return false;
            }
            const u32 address = reinterpret_cast<u32>(found->second);
            std::memcpy(base + bound, &address, sizeof address);
        }
    }
}

// Thread-local data: one slot, a copy of the template. Its addresses are absolute (relocated).
bool PeImage::startTls(u32 rva, std::vector<u32>& callbacks) {
    const Bytes image{base, size};
    u32 start = 0, end = 0, indexAddress = 0, callbackArray = 0, zeroFill = 0;
    if (!image.read(rva + TLS_START, start) || !image.read(rva + TLS_END, end) ||
        !image.read(rva + TLS_INDEX, indexAddress) || !image.read(rva + TLS_CALLBACKS, callbackArray) ||
        !image.read(rva + TLS_ZERO_FILL, zeroFill)) {
        return false;
    }
    const u32 origin = reinterpret_cast<u32>(base);
    auto inside = [&](u32 address, u32 length) {
        return address >= origin && image.holds(address - origin, length);
    };
    if (end < start || end - start > LARGEST_TLS || zeroFill > LARGEST_TLS || !inside(start, end - start) ||
        !inside(indexAddress, 4)) {
        return false;
    }
    static std::vector<u8> tlsData;
    tlsData.assign(end - start + zeroFill, 0);
    std::memcpy(tlsData.data(), base + (start - origin), end - start);
    tlsSlots[0] = tlsData.data();
    std::memset(base + (indexAddress - origin), 0, 4);
    for (u32 at = callbackArray; at != 0; at += 4) {
        u32 callback = 0;
        if (!inside(at, 4)) return false;
        std::memcpy(&callback, base + (at - origin), 4);
        if (callback == 0) break;
        if (!inside(callback, 1)) return false;
        callbacks.push_back(callback);
    }
    return true;
}

PeImage::~PeImage() {
    if (base == nullptr) return;
    if (attached) {
        // The module's own destructors and exit handlers run on detach, then the image goes.
        if (entryRva != 0) reinterpret_cast<EntryPoint>(base + entryRva)(base, DLL_PROCESS_DETACH, nullptr);
        for (u32 callback : tlsCallbacks) reinterpret_cast<EntryPoint>(callback)(base, DLL_PROCESS_DETACH, nullptr);
    }
    if (currentImage == base) {
        currentImage = nullptr;
        currentImageSize = 0;
        imageLoaded = false;
        freeModuleHeap();
    }
    munmap(base, size);
}

void* PeImage::findExport(const char* name) const {
    const Bytes image{base, size};
    u32 pe = 0, exportRva = 0, count = 0, functions = 0, names = 0, ordinals = 0;
    if (!image.read(DOS_PE_OFFSET, pe) || !image.read(pe + COFF_SIZE + OPT_DIRECTORIES + 8 * DIRECTORY_EXPORT, exportRva) ||
        exportRva == 0 || !image.read(exportRva + EXPORT_COUNT, count) ||
        !image.read(exportRva + EXPORT_FUNCTIONS, functions) || !image.read(exportRva + EXPORT_NAMES, names) ||
        !image.read(exportRva + EXPORT_ORDINALS, ordinals)) {
        return nullptr;
    }
    for (u32 i = 0; i < count; ++i) {
        u32 nameRva = 0;
        std::string exportName;
        if (!image.read(names + 4 * i, nameRva) || !image.name(nameRva, exportName)) return nullptr;
        if (exportName != name) continue;
        u16 ordinal = 0;
        u32 function = 0;
        if (!image.read(ordinals + 2 * i, ordinal) || !image.read(functions + 4u * ordinal, function) ||
            function >= size) {
            return nullptr;
        }
        return base + function;
    }
    return nullptr;
}

}  // namespace grindlet::host
