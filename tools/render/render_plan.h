// A render planned before anything is written: the command line and what the files it names
// are come to a plan or to the one message that says why not. Pure functions: the tool gathers
// the facts (lookAt, in the tool), plans, and only then reads, renders and writes.
#pragma once

#include <cstdint>
#include <string>

#include "render_options.h"
#include "safe_files.h"

namespace grindlet::render {

// What the demo sweeps when the command line leaves a control unset.
constexpr double DEMO_BITS_FROM = 12.0, DEMO_BITS_TO = 3.0;
constexpr double DEMO_RATE_FROM = 11025.0, DEMO_RATE_TO = 2500.0;

// "0.25 s": seconds as the messages give them.
std::string seconds(double value);

// The command line alone: defaults filled in (the demo's sweeps where no input is named, the
// output's name from the input's), or why it cannot run. Runs before any file is opened, so
// that standard input is not read for a command that cannot use it.
bool completeOptions(RenderOptions& options, std::string& error);

// What the files named are, as the tool found them.
struct RenderFacts {
    int32_t sampleRate = 0;
    int32_t channels = 0;
    int32_t subtype = 0;                  // the input's libsndfile sample format
    int64_t declaredFrames = -1;          // the input's length where known
    bool inputPiped = false;              // its header's length is not a promise
    bool outputIsStandardStream = false;  // -o - to a pipe or a device
    FileIdentity input, output, plot;
    FileIdentity standardOutput;  // where -o - goes, if a regular file
};

struct RenderPlan {
    int format = 0;                   // libsndfile's container and sample format of the output
    bool downgradeSmallRf64 = false;  // RF64 for a WAV of unknown length, WAV while it fits
    int64_t byteLimit = -1;           // what an AIFF of unknown length may hold (-1: no limit)
    bool stream = false;              // written as a stream (a pipe, a device): never replaced
    int64_t promised = -1;   // the length a streamed header states (-1: the streaming sizes)
    int64_t plotFirst = 0;   // the plot window's first frame
    int64_t plotFrames = 0;  // and its length
};

// Every check that can fail before a render: where the output and the plot go, that nothing
// stands for the input, what exists already, what the format can hold, that sweeps have a
// length and that the plot window lies inside the audio and within bounds.
bool planRender(const RenderOptions& options, const RenderFacts& facts, RenderPlan& plan,
                std::string& error);

}  // namespace grindlet::render
