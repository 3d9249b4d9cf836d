// The render tool's command line, in the units people think in: bits, hertz, seconds.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "dsp/control_texts.h"
#include "dsp/controls.h"

namespace grindlet::render {

// A control that goes linearly from one value to another across the file (a choice: its index).
struct Sweep {
    double from = 0.0;
    double to = 0.0;
    bool constant() const { return from == to; }
    // The value at a fraction 0...1 of the file.
    double at(double fraction) const { return from + (to - from) * fraction; }
};

using Controls = std::array<Sweep, dsp::CONTROL_COUNT>;
// Every control of the table at its default.
Controls defaultControls();

// The controls' values in words, as every front end words them.
using dsp::choiceIndexOf;
using dsp::choiceList;
using dsp::rangeText;
inline std::string shortNumber(double value) { return dsp::numberText(value); }

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
    Controls controls = defaultControls();         // by the table's index, in the table's units
    std::array<bool, dsp::CONTROL_COUNT> given{};  // named on the command line
    int32_t block = dsp::DEFAULT_BLOCK_FRAMES;     // host block size in samples
    double at = 0.25;                              // plot window start in seconds
    double window = 0.01;                          // plot window length in seconds
    bool spectrum = false;                         // the plot shows the window's spectra instead
    bool force = false;                            // replace an existing output
    int32_t jobs = 0;    // files rendered at once in a batch; 0: one per core
    std::string preset;  // the factory preset the controls not named start from; empty: none
    bool listPresets = false;
    bool help = false;
    bool version = false;

    const Sweep& control(dsp::ControlIndex index) const { return controls[index]; }
    int16_t choice(dsp::ControlIndex index) const {
        return static_cast<int16_t>(controls[index].from);
    }
    // Whether a control moves across the file (the length must then be known).
    bool sweeps() const {
        for (const Sweep& sweep : controls)
            if (!sweep.constant()) return true;
        return false;
    }
};

// Parses argv; false with a message (naming the option) on any bad input.
bool parseOptions(const std::vector<std::string>& args, RenderOptions& options, std::string& error);

// The usage text for --help, and the line for --version.
std::string usageText();
std::string versionText();

// The output name for an input: "song.flac" -> "song-grindlet.wav".
std::string defaultOutputName(const std::string& input);

}  // namespace grindlet::render
