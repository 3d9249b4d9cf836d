// What a WAV file's header promises, read apart from libsndfile (which quietly corrects it).
#pragma once

#include <cstdint>
#include <string>

namespace grindlet::render {

// A WAV file's frames as its data chunk states them, when that is more than the file holds;
// -1 otherwise (not a WAV file, a sound one, or the streaming size that means "unknown").
int64_t truncatedWavFrames(const std::string& path);

}  // namespace grindlet::render
