// The Windows runtime a module file's code expects around it (see pe_runtime.cpp): used by the
// PE loader, process-wide, one image at a time.
#pragma once

#include <cstdint>
#include <string>

namespace grindlet::host::pe_runtime {

// Points %fs at a Windows thread block (once per process); false with a message on failure.
bool installThreadBlock(std::string& error);
// The stand-in for an import, "kernel32.dll!TlsAlloc" (the DLL's name in lower case), or null.
void* standIn(const std::string& dllAndName);
// The loaded image, which VirtualQuery describes.
void setImage(uint8_t* base, uint32_t size);
uint8_t* imageBase();
void clearImage();
// Thread-local data: slot 0 becomes a copy of the template followed by zeroFill zero bytes.
void setTlsTemplate(const uint8_t* data, uint32_t size, uint32_t zeroFill);
// Frees every block the module allocated and did not free (its runtime expects the process
// to end instead).
void freeModuleHeap();

}  // namespace grindlet::host::pe_runtime
