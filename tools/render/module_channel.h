// The channels crushed by a module file's objects, one per channel, run through the host
// library (the 32-bit builds): what grindlet-render renders with when it checks a module file.
// It plugs into the engine where the engine's own reducers would run.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "dsp/engine.h"
#include "host/module_library.h"

namespace grindlet::render {

// Objects of `library` (which must outlive them), each told the rate and the block size,
// opened, given the rules and streaming: what a host does before the first block. Null with a
// message where the module cannot be run so.
std::unique_ptr<dsp::ChannelCrusher> openModuleCrusher(const host::ModuleLibrary& library,
                                                       float sampleRate, int32_t channels,
                                                       int32_t block, int16_t quantize,
                                                       int16_t mode, std::string& error);

}  // namespace grindlet::render
