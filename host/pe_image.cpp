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

template <class T>
T readAt(const u8* image, u32 offset) {
    T value;
    std::memcpy(&value, image + offset, sizeof value);
    return value;
}

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
        {"msvcrt.dll!calloc", addressOf(std::calloc)},
        {"msvcrt.dll!free", addressOf(std::free)},
        {"msvcrt.dll!malloc", addressOf(std::malloc)},
        {"msvcrt.dll!realloc", addressOf(std::realloc)},
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

bool PeImage::looksLikePe(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    char magic[2] = {};
    return file.read(magic, 2) && magic[0] == 'M' && magic[1] == 'Z';
}

std::unique_ptr<PeImage> PeImage::load(const std::string& path, std::string& error) {
    std::ifstream file(path, std::ios::binary);
    const std::vector<u8> data((std::istreambuf_iterator<char>(file)),
                               std::istreambuf_iterator<char>());
    auto fail = [&](const std::string& why) {
        error = "not a loadable module: " + path + " (" + why + ")";
        return nullptr;
    };
    if (data.size() < 0x40 || data[0] != 'M' || data[1] != 'Z') return fail("no MZ header");
    const u32 pe = readAt<u32>(data.data(), 0x3C);
    if (pe > data.size() - 0xF8 || std::memcmp(&data[pe], "PE\0\0", 4) != 0) {
        return fail("no PE header");
    }
    if (readAt<u16>(data.data(), pe + 4) != 0x14C) return fail("not an i386 image");
    const u16 sectionCount = readAt<u16>(data.data(), pe + 6);
    const u16 optionalSize = readAt<u16>(data.data(), pe + 20);
    const u32 optional = pe + 24;
    if (readAt<u16>(data.data(), optional) != 0x10B) return fail("not a PE32 image");
    const u32 entryRva = readAt<u32>(data.data(), optional + 16);
    const u32 preferredBase = readAt<u32>(data.data(), optional + 28);
    const u32 imageSize = readAt<u32>(data.data(), optional + 56);
    const u32 headersSize = readAt<u32>(data.data(), optional + 60);
    auto directory = [&](int index, u32& rva, u32& size) {
        rva = readAt<u32>(data.data(), optional + 96 + 8 * index);
        size = readAt<u32>(data.data(), optional + 100 + 8 * index);
    };
    if (headersSize > data.size()) return fail("truncated headers");

    if (!installThreadBlock(error)) return nullptr;
    void* mapping = mmap(nullptr, imageSize, PROT_READ | PROT_WRITE | PROT_EXEC,
                         MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) return fail("cannot map the image");
    std::unique_ptr<PeImage> image(new PeImage());
    image->base = static_cast<u8*>(mapping);
    image->size = imageSize;
    u8* base = image->base;
    std::memcpy(base, data.data(), headersSize);
    const u32 sections = optional + optionalSize;
    for (u16 s = 0; s < sectionCount; ++s) {
        const u32 header = sections + 40u * s;
        const u32 virtualAddress = readAt<u32>(data.data(), header + 12);
        const u32 rawSize = readAt<u32>(data.data(), header + 16);
        const u32 rawOffset = readAt<u32>(data.data(), header + 20);
        if (rawSize == 0) continue;
        if (rawOffset + rawSize > data.size() || virtualAddress + rawSize > imageSize) {
            return fail("section outside the file or image");
        }
        std::memcpy(base + virtualAddress, &data[rawOffset], rawSize);
    }

    // Base relocations: every 32-bit absolute address moves by the load offset.
    u32 relocRva, relocSize;
    directory(5, relocRva, relocSize);
    const u32 delta = reinterpret_cast<u32>(base) - preferredBase;
    for (u32 at = relocRva; at + 8 <= relocRva + relocSize;) {
        const u32 page = readAt<u32>(base, at);
        const u32 blockSize = readAt<u32>(base, at + 4);
        if (blockSize < 8) break;
        for (u32 entry = at + 8; entry + 2 <= at + blockSize; entry += 2) {
            const u16 item = readAt<u16>(base, entry);
            if ((item >> 12) == 3) {  // IMAGE_REL_BASED_HIGHLOW
                const u32 target = page + (item & 0xFFF);
                const u32 value = readAt<u32>(base, target) + delta;
                std::memcpy(base + target, &value, sizeof value);
            }
        }
        at += blockSize;
    }

    // Imports, bound by name to the stand-ins above.
    u32 importRva, importSize;
    directory(1, importRva, importSize);
    for (u32 descriptor = importRva; readAt<u32>(base, descriptor + 12) != 0; descriptor += 20) {
        const std::string dll = lowercase(reinterpret_cast<const char*>(base + readAt<u32>(base, descriptor + 12)));
        u32 lookup = readAt<u32>(base, descriptor);
        u32 bound = readAt<u32>(base, descriptor + 16);
        if (lookup == 0) lookup = bound;
        for (;; lookup += 4, bound += 4) {
            const u32 thunk = readAt<u32>(base, lookup);
            if (thunk == 0) break;
            if (thunk & 0x80000000u) return fail(dll + " import by ordinal");
            const std::string name = reinterpret_cast<const char*>(base + thunk + 2);
            const auto found = importTable().find(dll + "!" + name);
            if (found == importTable().end()) return fail("imports " + dll + "!" + name);
            const u32 address = reinterpret_cast<u32>(found->second);
            std::memcpy(base + bound, &address, sizeof address);
        }
    }

    // Thread-local data: one slot, a copy of the template.
    u32 tlsRva, tlsSize;
    directory(9, tlsRva, tlsSize);
    std::vector<u32> callbacks;
    if (tlsRva != 0) {
        const u32 start = readAt<u32>(base, tlsRva), end = readAt<u32>(base, tlsRva + 4);
        const u32 indexAddress = readAt<u32>(base, tlsRva + 8);
        const u32 callbackArray = readAt<u32>(base, tlsRva + 12);
        const u32 zeroFill = readAt<u32>(base, tlsRva + 16);
        static std::vector<u8> tlsData;
        tlsData.assign(end - start + zeroFill, 0);
        std::memcpy(tlsData.data(), reinterpret_cast<const void*>(start), end - start);
        tlsSlots[0] = tlsData.data();
        *reinterpret_cast<u32*>(indexAddress) = 0;
        for (auto* cb = reinterpret_cast<const u32*>(callbackArray); cb && *cb; ++cb) {
            callbacks.push_back(*cb);
        }
    }
    currentImage = base;
    currentImageSize = imageSize;
    for (u32 callback : callbacks) {
        reinterpret_cast<EntryPoint>(callback)(base, DLL_PROCESS_ATTACH, nullptr);
    }
    if (entryRva != 0 && !reinterpret_cast<EntryPoint>(base + entryRva)(base, DLL_PROCESS_ATTACH,
                                                                         nullptr)) {
        return fail("its entry point refused to attach");
    }
    return image;
}

PeImage::~PeImage() {
    // The image stays mapped: the runtime's exit handlers may still point into it.
    (void)DLL_PROCESS_DETACH;
}

void* PeImage::findExport(const char* name) const {
    const u32 optional = readAt<u32>(base, 0x3C) + 24;
    const u32 exportRva = readAt<u32>(base, optional + 96);
    if (exportRva == 0) return nullptr;
    const u32 count = readAt<u32>(base, exportRva + 24);
    const u32 functions = readAt<u32>(base, exportRva + 28);
    const u32 names = readAt<u32>(base, exportRva + 32);
    const u32 ordinals = readAt<u32>(base, exportRva + 36);
    for (u32 i = 0; i < count; ++i) {
        const char* exportName = reinterpret_cast<const char*>(base + readAt<u32>(base, names + 4 * i));
        if (std::strcmp(exportName, name) == 0) {
            const u16 ordinal = readAt<u16>(base, ordinals + 2 * i);
            return base + readAt<u32>(base, functions + 4u * ordinal);
        }
    }
    return nullptr;
}

}  // namespace grindlet::host
