// One channel's crusher as a module file's object, run through the host library (the 32-bit
// builds): what grindlet-render renders with when it checks a module file.
#pragma once

#include "channel_effect.h"
#include "host/module_library.h"

namespace grindlet::render {

// Makes objects of `library`, which must outlive them.
EffectMaker moduleChannels(const host::ModuleLibrary& library);

}  // namespace grindlet::render
