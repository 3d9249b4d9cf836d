// The LFO's cycle measured on what the listener gets: a ramp (each frame's value its index) through
// the rate reducer comes out as holds, and a sine LFO on the rate makes the holds shortest once a
// cycle, at its crest. Used by the engine's and the LV2 plugin's tests of tempo sync.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace grindlet::test {

// A ramp of `frames` frames whose values are their frame numbers (exact up to 2^24).
inline std::vector<float> frameRamp(size_t frames) {
    std::vector<float> ramp(frames);
    for (size_t i = 0; i < frames; ++i) ramp[i] = static_cast<float>(i);
    return ramp;
}

// The LFO's crests, in frames: each the middle of a run of holds within one frame of the
// shortest hold (holds that short come only near a crest, and the run is symmetric about it).
// The first and last runs may be cut by the ends of the signal and are left out.
inline std::vector<double> lfoCrests(const std::vector<float>& y) {
    struct Hold {
        size_t start, length;
    };
    std::vector<Hold> holds;
    for (size_t i = 1, start = 0; i < y.size(); ++i) {
        if (y[i] == y[i - 1]) continue;
        if (start > 0) holds.push_back({start, i - start});
        start = i;
    }
    std::vector<double> crests;
    if (holds.size() < 8) return crests;
    // Where the signal starts or the stream jumps, the first holds may be cut short.
    size_t shortest = holds[2].length;
    for (size_t k = 2; k + 2 < holds.size(); ++k) shortest = std::min(shortest, holds[k].length);
    double first = -1.0, last = -1.0;
    for (const Hold& h : holds) {
        if (h.length > shortest + 1) continue;
        const double middle = double(h.start) + double(h.length) / 2.0;
        // A run ends where the next short hold is more than 160 shortest holds away (ten of the
        // longest at two octaves of depth, as the tests use).
        if (last >= 0.0 && middle - last > 160.0 * double(shortest)) {
            crests.push_back((first + last) / 2.0);
            first = -1.0;
        }
        if (first < 0.0) first = middle;
        last = middle;
    }
    if (first >= 0.0) crests.push_back((first + last) / 2.0);
    if (crests.size() < 2) return {};
    return std::vector<double>(crests.begin() + 1, crests.end() - 1);
}

// The mean distance in frames between the LFO's crests (0: fewer than two whole ones).
inline double lfoCycleFrames(const std::vector<float>& y) {
    const std::vector<double> crests = lfoCrests(y);
    if (crests.size() < 2) return 0.0;
    return (crests.back() - crests.front()) / double(crests.size() - 1);
}

}  // namespace grindlet::test
