// The library's two exports, for programs that link the module in (tests, fuzz targets)
// rather than load its file.
#pragma once

#include <cstdint>

#include "binding/abi/module_abi.h"

// [load] Writes sdkVersion, then the identity for index 0; 1 or 0.
GRINDLET_EXPORT int32_t GRINDLET_CDECL getModuleProperties(int32_t index,
                                                           grindlet::ModuleInfo* info);
// [main] The block of a new, unopened ReducerModule for index 0 and kind 1; null otherwise.
GRINDLET_EXPORT grindlet::ModuleBlock* GRINDLET_CDECL makeModule(int32_t index, int32_t kind,
                                                                 grindlet::HostCallback callback,
                                                                 void* hostHandle);
