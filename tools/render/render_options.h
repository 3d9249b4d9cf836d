// The render tool's command line, in the units people think in: bits, hertz, seconds.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dsp/controls.h"
#include "dsp/level_stage.h"

namespace grindlet::render {

// A control that goes linearly from one value to another across the file.
struct Sweep {
    double from = 0.0;
    double to = 0.0;
    bool constant() const { return from == to; }
    // The value at a fraction 0...1 of the file.
    double at(double fraction) const { return from + (to - from) * fraction; }
};

// "-" as the input or output: standard input or output.
constexpr const char* STANDARD_STREAM = "-";

struct RenderOptions {
    bool inputGiven = false;          // false: the built-in demo signal
    std::string input;                // the first input
    std::vector<std::string> inputs;  // every input named, in order (a batch: more than one)
    std::string output;               // empty: derived from the input's name
    std::string module;               // empty: Module.sep beside the tool
    std::string plot;                 // SVG file, or empty
    std::string format;               // pcm16, pcm24, pcm32, float, double; empty: as the input
    std::string type;  // container (wav, flac, ...); empty: by the output's extension
    Sweep bits{dsp::defaultOf(dsp::CONTROL_BITS), dsp::defaultOf(dsp::CONTROL_BITS)};  // bit depth
    Sweep rate{dsp::defaultOf(dsp::CONTROL_RATE), dsp::defaultOf(dsp::CONTROL_RATE)};  // in hertz
    bool bitsGiven = false;  // --bits on the command line (else the demo picks its own)
    bool rateGiven = false;
    int16_t quant =
        static_cast<int16_t>(dsp::defaultOf(dsp::CONTROL_QUANTIZE));  // 0 floor, 1 round, 2 inside
    int16_t mode = static_cast<int16_t>(dsp::defaultOf(dsp::CONTROL_MODE));  // 0 step, 1 linear
    dsp::LevelSettings levels;                  // drive, mix and output gain around the module
    int32_t block = dsp::DEFAULT_BLOCK_FRAMES;  // host block size in samples
    double at = 0.25;                           // plot window start in seconds
    double window = 0.01;                       // plot window length in seconds
    bool force = false;                         // replace an existing output
    int32_t jobs = 0;  // files rendered at once in a batch; 0: one per core
    bool help = false;
    bool version = false;
};

// Parses argv; false with a message (naming the option) on any bad input.
bool parseOptions(const std::vector<std::string>& args, RenderOptions& options, std::string& error);

// The usage text for --help, and the line for --version.
std::string usageText();
std::string versionText();

// The output name for an input: "song.flac" -> "song-grindlet.wav".
std::string defaultOutputName(const std::string& input);

}  // namespace grindlet::render
