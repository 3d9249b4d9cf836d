// The Windows runtime around a statically linked MinGW module file, in a Linux i386 process:
// the thread block that its start-up code reads through %fs, one TLS slot, and stand-ins for
// the few KERNEL32 and msvcrt functions it imports. Its state is process-wide, so there is one
// image at a time (PeImage::load refuses a second); the thread block is installed once, for
// the thread that loads the first image, and the module's code must run on that thread.
#include "pe_runtime.h"

#include <asm/ldt.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <clocale>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

namespace grindlet::host::pe_runtime {

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

bool installThreadBlockOnce(std::string& error) {
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
int WINAPI_CALL k32WideCharToMultiByte(u32, u32, const void*, int, char*, int, const char*, int*) {
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
    info[0] = page;                                 // BaseAddress
    info[1] = reinterpret_cast<u32>(currentImage);  // AllocationBase
    info[2] = PAGE_EXECUTE_READWRITE;               // AllocationProtect
    info[3] = 0x1000;                               // RegionSize
    info[4] = 0x1000;                               // State: MEM_COMMIT
    info[5] = PAGE_EXECUTE_READWRITE;               // Protect
    info[6] = 0x1000000;                            // Type: MEM_IMAGE
    return 28;
}

// ---- msvcrt stand-ins (cdecl, as Linux i386 calls by default).
int mbCurMax = 1;
u8 iobFiles[3 * 32];  // stdin, stdout, stderr as msvcrt lays them out; only compared
FILE* hostStream(void* file) { return file == iobFiles + 32 ? stdout : stderr; }
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
void freeAllModuleBlocks() {
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
        {"msvcrt.dll!strchr",
         addressOf(static_cast<const char* (*)(const char*, int)>(std::strchr))},
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

std::vector<u8> tlsData;

}  // namespace

bool installThreadBlock(std::string& error) { return installThreadBlockOnce(error); }

void freeModuleHeap() { freeAllModuleBlocks(); }

void* standIn(const std::string& dllAndName) {
    const auto found = importTable().find(dllAndName);
    return found == importTable().end() ? nullptr : found->second;
}

void setImage(uint8_t* base, uint32_t size) {
    currentImage = base;
    currentImageSize = size;
}

uint8_t* imageBase() { return currentImage; }

void clearImage() { setImage(nullptr, 0); }

void setTlsTemplate(const uint8_t* data, uint32_t size, uint32_t zeroFill) {
    tlsData.assign(size + zeroFill, 0);
    std::memcpy(tlsData.data(), data, size);
    tlsSlots[0] = tlsData.data();
}

}  // namespace grindlet::host::pe_runtime
