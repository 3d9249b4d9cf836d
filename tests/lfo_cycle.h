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

// The mean distance in frames between the crests of the LFO (0: fewer than two seen). A crest
// is the middle of a run of holds within one frame of the shortest hold; holds that long come
// only near a crest, and the run is symmetric about it.
inline double lfoCycleFrames(const std::vector<float>& y) {
    struct Hold {
        size_t start, length;
    };
    std::vector<Hold> holds;
    for (size_t i = 1, start = 0; i < y.size(); ++i) {
        if (y[i] == y[i - 1]) continue;
        if (start > 0) holds.push_back({start, i - start});
        start = i;
    }
    if (holds.empty()) return 0.0;
    size_t shortest = holds[0].length;
    for (const Hold& h : holds) shortest = std::min(shortest, h.length);
    std::vector<double> crests;
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
    if (crests.size() < 3) return 0.0;
    // The first and last runs may be cut by the ends of the signal: only whole ones count.
    return (crests[crests.size() - 2] - crests[1]) / double(crests.size() - 3);
}

}  // namespace grindlet::test
