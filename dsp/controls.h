// The effect's controls as people set them: one row per control with its name, symbol, unit,
// range, default and which of the module's pins carries it (or, for the levels around the
// crusher, that the engine applies them). The render tool, the
// LV2 plugin (its Turtle is generated from this table), the Python package and grindlet-check
// take these facts from here. The module's own pins keep their own defaults and texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string_view>

namespace grindlet::dsp {

// How a control's value reaches the module.
enum class StreamScaling : uint8_t {
    DividedByTen,  // a stream pin; what it carries is the reducers' (quantizer.h, rate_reducer.h)
    Choice,        // a list pin: the index of the choice
    AroundModule,  // no pin: the engine applies it around the crusher (the level stage)
    InEngine,      // no pin: a stage of the engine's own (filters, companding, modulation)
};

// What the front ends share beside the controls: the block a front end processes at a time
// where no host sets one (the render tool's --block, Python's block=) and the most it takes,
// the most channels a stream (a file, an array) may have, and the most jobs of a batch.
constexpr int32_t DEFAULT_BLOCK_FRAMES = 512;
constexpr int32_t MOST_BLOCK_FRAMES = 65536;
constexpr int32_t MOST_CHANNELS = 64;
// The most files a batch (the render tool's, Python's) renders at once.
constexpr int32_t MOST_JOBS = 256;

// One control's facts, each field named in its row. A choice's index is its value.
struct ControlFacts {
    const char* symbol = "";  // lower case, for LV2 ports, command-line options and keywords
    const char* name = "";    // as a host or a user interface shows it
    const char* pin = "";     // the module's pin that carries it; empty for none
    const char* unit = "";    // for numbers: "bits", "Hz", "dB", "%", "octaves"; empty otherwise
    double minimum = 0.0;     // the values accepted
    double maximum = 0.0;
    bool minimumExcluded = false;  // minimum itself is not accepted (a rate must be above 0)
    double sliderMinimum = 0.0;    // where a host's slider starts and ends (LV2)
    double sliderMaximum = 0.0;
    bool logarithmic = false;  // a host's slider is best logarithmic
    bool integer = false;      // whole numbers only (a choice's index, a seed)
    double defaultValue = 0.0;
    StreamScaling scaling = StreamScaling::InEngine;
    const char* const* choices = nullptr;        // for a choice: the names shown, in index order
    const char* const* choiceSymbols = nullptr;  // and as typed (lower case)
    size_t choiceCount = 0;
    const char* what = "";   // what it does, in a musician's words
    const char* brief = "";  // the same in a line of help: what a value does
};

inline constexpr const char* QUANTIZE_NAMES[] = {"Floor", "Round", "Inside"};
inline constexpr const char* QUANTIZE_SYMBOLS[] = {"floor", "round", "inside"};
inline constexpr const char* MODE_NAMES[] = {"Step", "Linear"};
inline constexpr const char* MODE_SYMBOLS[] = {"step", "linear"};
inline constexpr const char* LAW_NAMES[] = {"Linear", "Mu-law", "A-law"};
inline constexpr const char* LAW_SYMBOLS[] = {"linear", "mu-law", "a-law"};
inline constexpr const char* SHAPE_NAMES[] = {"Sine", "Triangle", "Random"};
inline constexpr const char* SHAPE_SYMBOLS[] = {"sine", "triangle", "random"};
inline constexpr const char* SYNC_NAMES[] = {
    "Off",          "4 bars",      "2 bars",      "1 bar",       "1/2",
    "1/2 dotted",   "1/2 triplet", "1/4",         "1/4 dotted",  "1/4 triplet",
    "1/8",          "1/8 dotted",  "1/8 triplet", "1/16",        "1/16 dotted",
    "1/16 triplet", "1/32",        "1/32 dotted", "1/32 triplet"};
inline constexpr const char* SYNC_SYMBOLS[] = {
    "off", "4bars", "2bars", "1bar", "1/2",   "1/2d",  "1/2t", "1/4",   "1/4d", "1/4t",
    "1/8", "1/8d",  "1/8t",  "1/16", "1/16d", "1/16t", "1/32", "1/32d", "1/32t"};
inline constexpr const char* DITHER_NAMES[] = {"None", "TPDF"};
inline constexpr const char* DITHER_SYMBOLS[] = {"none", "tpdf"};

// The choices, as their controls' values index them (the names above, in the same order).
enum class Mode : int16_t { Step, Linear };
enum class Law : int16_t { Linear, MuLaw, ALaw };
enum class LfoShape : int16_t { Sine, Triangle, Random };
enum class Dither : int16_t { None, Tpdf };
// The LFO's cycle as a note value at the song's tempo (Off: LFO Rate sets it), in the order of
// SYNC_NAMES; SYNC_QUARTERS gives each one's length in quarter notes (a bar is four).
enum class LfoSync : int16_t {
    Off,
    FourBars,
    TwoBars,
    OneBar,
    Half,
    HalfDotted,
    HalfTriplet,
    Quarter,
    QuarterDotted,
    QuarterTriplet,
    Eighth,
    EighthDotted,
    EighthTriplet,
    Sixteenth,
    SixteenthDotted,
    SixteenthTriplet,
    ThirtySecond,
    ThirtySecondDotted,
    ThirtySecondTriplet,
};
inline constexpr double SYNC_QUARTERS[] = {
    0.0,   16.0,   8.0,       4.0,  // off, bars
    2.0,   3.0,    4.0 / 3.0,       // halves: straight, dotted (1.5x), triplet (2/3)
    1.0,   1.5,    2.0 / 3.0,       // quarters
    0.5,   0.75,   1.0 / 3.0,       // eighths
    0.25,  0.375,  1.0 / 6.0,       // sixteenths
    0.125, 0.1875, 1.0 / 12.0};     // thirty-seconds
static_assert(std::size(SYNC_QUARTERS) == std::size(SYNC_NAMES) &&
              std::size(SYNC_SYMBOLS) == std::size(SYNC_NAMES));

enum ControlIndex : size_t {
    CONTROL_BITS,
    CONTROL_RATE,
    CONTROL_QUANTIZE,
    CONTROL_MODE,
    CONTROL_DRIVE,
    CONTROL_MIX,
    CONTROL_GAIN,
    CONTROL_ANTIALIAS,
    CONTROL_TONE,
    CONTROL_LAW,
    CONTROL_LFO_RATE,
    CONTROL_LFO_DEPTH,
    CONTROL_LFO_SHAPE,
    CONTROL_LFO_SYNC,
    CONTROL_BPM,
    CONTROL_JITTER,
    CONTROL_DITHER,
    CONTROL_SEED,
    CONTROL_RATE_RATIO,
};

// The front ends share these defaults: "Round" adds no DC offset (the module's pin defaults to
// "Floor"), and 8 bits at 8,000 Hz is audibly reduced where the pins' 16 bits at 44,100 Hz is
// not. A host's Bits slider ends at 24 (above 23 bits nothing is quantized); the value itself may
// go to 32.
inline constexpr ControlFacts CONTROLS[] = {
    {.symbol = "bits",
     .name = "Bits",
     .pin = "Bits",
     .unit = "bits",
     .maximum = 32.0,
     .sliderMaximum = 24.0,
     .defaultValue = 8.0,
     .scaling = StreamScaling::DividedByTen,
     .what = "How many bits each taken sample keeps: 16 is clean, 8 gritty, 4 crunchy, 0 silence. "
             "At 1 bit only what passes half scale is kept, as a square wave: drive quieter "
             "material up for a fuzz. Fractions are kept; above 23 nothing is quantized.",
     .brief = "bit depth kept, fractions allowed; above 23 bits nothing is quantized, 0 is "
              "silence"},
    {.symbol = "rate",
     .name = "Rate",
     .pin = "S.R.",
     .unit = "Hz",
     .maximum = 1e6,
     .minimumExcluded = true,
     .sliderMinimum = 20.0,
     .sliderMaximum = 192000.0,
     .logarithmic = true,
     .defaultValue = 8000.0,
     .scaling = StreamScaling::DividedByTen,
     .what = "How often a new sample is taken. Lower rates dull the top end and add metallic "
             "aliasing; at or above the signal's own sample rate nothing is reduced.",
     .brief = "rate at which new samples are taken; at or above the signal's own rate nothing is "
              "reduced"},
    {.symbol = "quantize",
     .name = "Quantize",
     .pin = "Q.Mode",
     .maximum = 2.0,
     .sliderMaximum = 2.0,
     .integer = true,
     .defaultValue = 1.0,
     .scaling = StreamScaling::Choice,
     .choices = QUANTIZE_NAMES,
     .choiceSymbols = QUANTIZE_SYMBOLS,
     .choiceCount = std::size(QUANTIZE_NAMES),
     .what = "How a sample snaps to a step: down (Floor, which adds a DC offset of half a step), "
             "to the nearest (Round), or toward zero (Inside, which silences small signals "
             "first).",
     .brief = "how samples snap to steps: down, to the nearest, or toward zero"},
    {.symbol = "mode",
     .name = "Mode",
     .pin = "R.Mode",
     .maximum = 1.0,
     .sliderMaximum = 1.0,
     .integer = true,
     .scaling = StreamScaling::Choice,
     .choices = MODE_NAMES,
     .choiceSymbols = MODE_SYMBOLS,
     .choiceCount = std::size(MODE_NAMES),
     .what = "Hold each taken sample (Step: hard, buzzy) or glide to the next (Linear: softer, "
             "one sample period late).",
     .brief = "hold each sample (step) or glide between them (linear, one sample period late)"},
    {.symbol = "drive",
     .name = "Drive",
     .unit = "dB",
     .minimum = -24.0,
     .maximum = 24.0,
     .sliderMinimum = -24.0,
     .sliderMaximum = 24.0,
     .scaling = StreamScaling::AroundModule,
     .what = "Gain into the crusher: more pushes quiet parts up through the steps and louder ones "
             "against the top; less leaves more of the signal below the first step.",
     .brief = "gain into the crusher"},
    {.symbol = "mix",
     .name = "Mix",
     .unit = "%",
     .maximum = 100.0,
     .sliderMaximum = 100.0,
     .defaultValue = 100.0,
     .scaling = StreamScaling::AroundModule,
     .what = "How much of the crushed signal is heard against the dry one: 100 is all crushed, "
             "lower values blend the dry signal back in (parallel crushing).",
     .brief = "crushed against dry signal (100: all crushed)"},
    {.symbol = "gain",
     .name = "Output",
     .unit = "dB",
     .minimum = -24.0,
     .maximum = 24.0,
     .sliderMinimum = -24.0,
     .sliderMaximum = 24.0,
     .scaling = StreamScaling::AroundModule,
     .what = "Gain after the mix, to match the level of the bypassed signal.",
     .brief = "output gain after the mix"},
    // The stages below are off at their defaults: the output is then the reducers' alone.
    {.symbol = "antialias",
     .name = "Anti-alias",
     .unit = "%",
     .maximum = 100.0,
     .sliderMaximum = 100.0,
     .what = "A steep low-pass before the rate reduction that follows Rate: the further it "
             "turns, the lower its cutoff and the less aliasing; at 100 the aliasing below 0.9 of "
             "Rate's Nyquist frequency is at least 33 dB down (a clean old sampler), at 0 all of "
             "it is heard (grit). It never cuts what is below that.",
     .brief = "low-pass before the reduction, its cutoff falling to Rate's Nyquist at 100 (0: "
              "off)"},
    {.symbol = "tone",
     .name = "Tone",
     .unit = "Hz",
     .maximum = 24000.0,
     .sliderMaximum = 20000.0,
     .what = "A low-pass after the reduction, as an old converter's output filter smoothed its "
             "steps: its cutoff in hertz, 0 for none.",
     .brief = "low-pass after the reduction, its cutoff (0: off)"},
    {.symbol = "law",
     .name = "Law",
     .maximum = 2.0,
     .sliderMaximum = 2.0,
     .integer = true,
     .scaling = StreamScaling::Choice,
     .choices = LAW_NAMES,
     .choiceSymbols = LAW_SYMBOLS,
     .choiceCount = std::size(LAW_NAMES),
     .what = "How the steps are spaced: evenly (Linear), or finer near silence and coarser when "
             "loud, as telephone lines compand (Mu-law in North America and Japan, A-law "
             "elsewhere): 8 bits Mu-law at 8,000 Hz is the telephone. A law ends at full scale.",
     .brief = "spacing of the steps: even, or companded as telephones do"},
    {.symbol = "lfo_rate",
     .name = "LFO Rate",
     .unit = "Hz",
     .minimum = 0.01,
     .maximum = 50.0,
     .sliderMinimum = 0.01,
     .sliderMaximum = 50.0,
     .logarithmic = true,
     .defaultValue = 0.5,
     .what = "How fast the LFO moves the rate, in cycles per second.",
     .brief = "speed of the LFO on Rate"},
    {.symbol = "lfo_depth",
     .name = "LFO Depth",
     .unit = "octaves",
     .maximum = 4.0,
     .sliderMaximum = 4.0,
     .what = "How far the LFO moves the rate up and down, in octaves: a little drifts like tape, "
             "a lot sweeps; 0 for no LFO.",
     .brief = "how far the LFO moves Rate up and down (0: off)"},
    {.symbol = "lfo_shape",
     .name = "LFO Shape",
     .maximum = 2.0,
     .sliderMaximum = 2.0,
     .integer = true,
     .scaling = StreamScaling::Choice,
     .choices = SHAPE_NAMES,
     .choiceSymbols = SHAPE_SYMBOLS,
     .choiceCount = std::size(SHAPE_NAMES),
     .what = "The LFO's wave: a smooth sine, a triangle, or random steps (a new value each "
             "cycle).",
     .brief = "the LFO's wave"},
    {.symbol = "lfo_sync",
     .name = "LFO Sync",
     .maximum = 18.0,
     .sliderMaximum = 18.0,
     .integer = true,
     .scaling = StreamScaling::Choice,
     .choices = SYNC_NAMES,
     .choiceSymbols = SYNC_SYMBOLS,
     .choiceCount = std::size(SYNC_NAMES),
     .what = "The LFO's cycle as a note value at the song's tempo, from 4 bars to a 1/32 "
             "triplet (a bar is four quarter notes); Off lets LFO Rate set it.",
     .brief = "the LFO's cycle as a note value at the tempo (off: LFO Rate)"},
    {.symbol = "bpm",
     .name = "Tempo",
     .unit = "BPM",
     .minimum = 1.0,
     .maximum = 999.0,
     .sliderMinimum = 20.0,
     .sliderMaximum = 300.0,
     .defaultValue = 120.0,
     .what = "The song's tempo in quarter notes a minute, for LFO Sync. A host that sends its "
             "transport's tempo (LV2) sets it instead.",
     .brief = "the song's tempo for LFO Sync, in quarter notes a minute"},
    {.symbol = "jitter",
     .name = "Jitter",
     .unit = "%",
     .maximum = 100.0,
     .sliderMaximum = 100.0,
     .what = "Random variation of the rate from moment to moment, as an unsteady clock: up to "
             "this share above or below it.",
     .brief = "random variation of Rate, as an unsteady clock (0: off)"},
    {.symbol = "dither",
     .name = "Dither",
     .maximum = 1.0,
     .sliderMaximum = 1.0,
     .integer = true,
     .scaling = StreamScaling::Choice,
     .choices = DITHER_NAMES,
     .choiceSymbols = DITHER_SYMBOLS,
     .choiceCount = std::size(DITHER_NAMES),
     .what = "Noise of one step added before the steps are taken (TPDF): quiet passages turn to "
             "hiss rather than breaking into distortion.",
     .brief = "noise of one step before quantization"},
    {.symbol = "seed",
     .name = "Seed",
     .maximum = 16777215.0,
     .sliderMaximum = 16777215.0,
     .integer = true,
     .what = "Which random sequence the jitter, the random LFO and the dither follow: the same "
             "seed and settings give the same output everywhere.",
     .brief = "which random sequence jitter, random LFO and dither follow"},
    // Last, so that every other control keeps its place (an LV2 port's index, a draw's stream).
    {.symbol = "rate_ratio",
     .name = "Rate Ratio",
     .maximum = 1.0,
     .sliderMaximum = 1.0,
     .what = "The rate as a share of the signal's own sample rate, in place of Rate: 0.25 takes "
             "every fourth sample at any sample rate (12 kHz at 48 kHz, 24 kHz at 96 kHz), so "
             "each hold lasts the same number of samples and nothing beats against the "
             "session's clock. 0 lets Rate in hertz set it.",
     .brief = "rate as a share of the signal's own sample rate (0: Rate in hertz)"},
};

inline constexpr size_t CONTROL_COUNT = sizeof CONTROLS / sizeof CONTROLS[0];

constexpr double defaultOf(ControlIndex control) { return CONTROLS[control].defaultValue; }

// Whether a value is one the control accepts.
inline bool accepts(const ControlFacts& control, double value) {
    return value >= control.minimum && value <= control.maximum &&
           !(control.minimumExcluded && value == control.minimum);
}

// The row for a pin's name or a symbol; null for none.
inline const ControlFacts* controlForPin(std::string_view pin) {
    for (const ControlFacts& control : CONTROLS) {
        if (*control.pin != '\0' && pin == control.pin) return &control;
    }
    return nullptr;
}

}  // namespace grindlet::dsp
