// Float samples to 16-bit PCM four at a time, giving exactly the samples libsndfile's PCM
// writer gives with clipping on (the tests hold the two side by side), at a fraction of the
// cost: the one conversion that dominated a 16-bit render after the effect became cheap.
#pragma once

#include <cstddef>
#include <cstdint>

namespace grindlet::render {

void floatsToPcm16(const float* in, int16_t* out, size_t count);

}  // namespace grindlet::render
