// A Windows module file that is the real one (GRINDLET_FAULT_MODULE names it) with one fault, as
// GRINDLET_FAULT says, so that the Windows checker meets each way a module can end or stop its
// process: "load-spin" and "load-exitprocess" in its DllMain, with the loader's lock held;
// "process-spin", "process-exit", "process-exitprocess" and "process-crash" at the first block
// it is asked to process, the module object open and its pins set. Everything else is the real
// module's: its exports are passed on, and the process routine its block names is this one's.
#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "binding/abi/host_opcodes.h"
#include "binding/abi/module_block.h"
#include "binding/abi/module_info.h"

namespace {

using namespace grindlet;

bool faultIs(const char* fault) {
    const char* given = std::getenv("GRINDLET_FAULT");
    return given != nullptr && std::strcmp(given, fault) == 0;
}

HMODULE real = nullptr;
HostCallback hostCallback = nullptr;

void GRINDLET_CDECL faultyProcess(void*, int32_t, int32_t) {
    volatile bool forever = faultIs("process-spin");
    while (forever) {}
    if (faultIs("process-exit")) std::exit(0);
    if (faultIs("process-exitprocess")) ExitProcess(0);
    if (faultIs("process-crash")) *static_cast<volatile int*>(nullptr) = 1;
}

// The host's callback, passed on; the module's own process routine never reaches the host.
intptr_t GRINDLET_CDECL passOn(ModuleBlock* block, int32_t opcode, int32_t index, int32_t value,
                               void* pointer, float number) {
    if (opcode == HOST_PROCESS_CHANGED) block->process = faultyProcess;
    return hostCallback(block, opcode, index, value, pointer, number);
}

// An export of the real module, as the function type it has.
template <typename Function>
Function realEntry(const char* name) {
    if (real == nullptr) {
        const char* path = std::getenv("GRINDLET_FAULT_MODULE");
        real = path != nullptr ? LoadLibraryA(path) : nullptr;
    }
    const FARPROC found = real != nullptr ? GetProcAddress(real, name) : nullptr;
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(found));
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        volatile bool forever = faultIs("load-spin");
        while (forever) {}
        if (faultIs("load-exitprocess")) ExitProcess(0);
    }
    return TRUE;
}

GRINDLET_EXPORT int32_t GRINDLET_CDECL getModuleProperties(int32_t index, ModuleInfo* info) {
    const auto entry = realEntry<GetModulePropertiesFn>("getModuleProperties");
    return entry != nullptr ? entry(index, info) : 0;
}

GRINDLET_EXPORT ModuleBlock* GRINDLET_CDECL makeModule(int32_t index, int32_t kind,
                                                       HostCallback callback, void* handle) {
    const auto entry = realEntry<MakeModuleFn>("makeModule");
    if (entry == nullptr) return nullptr;
    hostCallback = callback;
    ModuleBlock* block = entry(index, kind, passOn, handle);
    if (block != nullptr) block->process = faultyProcess;
    return block;
}
