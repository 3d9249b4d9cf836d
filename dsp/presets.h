// Factory settings, named by the sound they make: each the controls it sets, every other at its
// default. The LV2 bundle lists them as presets; the render tool, Python and the browser take
// them by symbol.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "controls.h"

namespace grindlet::dsp {

struct Setting {
    ControlIndex control = static_cast<ControlIndex>(CONTROL_COUNT);  // none
    double value = 0.0;
};

// A choice's value, by its name.
template <class Choice>
constexpr double choiceOf(Choice choice) {
    return static_cast<double>(static_cast<int16_t>(choice));
}

struct Preset {
    const char* symbol;  // lower case with hyphens: part of its URI
    const char* label;   // as a host lists it
    Setting settings[CONTROL_COUNT];
};

inline constexpr Preset PRESETS[] = {
    {"early-sampler",
     "Early Sampler (12 bits, 26 kHz)",
     {{CONTROL_BITS, 12}, {CONTROL_RATE, 26040}}},
    {"home-console", "8-Bit Home Console (11 kHz)", {{CONTROL_BITS, 8}, {CONTROL_RATE, 11025}}},
    // Square waves at the rates an old sound chip played its samples at.
    {"chiptune", "4-Bit Chiptune", {{CONTROL_BITS, 4}, {CONTROL_RATE, 16000}, {CONTROL_DRIVE, 3}}},
    {"telephone-line",
     "Telephone Line",
     {{CONTROL_BITS, 8},
      {CONTROL_MODE, choiceOf(Mode::Linear)},
      {CONTROL_DRIVE, 6},
      {CONTROL_GAIN, -3}}},
    {"walkie-talkie",
     "Walkie-Talkie",
     {{CONTROL_BITS, 5}, {CONTROL_RATE, 6000}, {CONTROL_DRIVE, 9}, {CONTROL_GAIN, -6}}},
    // One bit of Mu-law: anything above -48 dBFS driven to full scale, either way, silence kept
    // silent; the law ends at full scale, and the output sits 6 dB under it.
    {"one-bit-fuzz",
     "1-Bit Fuzz",
     {{CONTROL_BITS, 1},
      {CONTROL_RATE, 22050},
      {CONTROL_LAW, choiceOf(Law::MuLaw)},
      {CONTROL_DRIVE, 24},
      {CONTROL_GAIN, -6}}},
    {"gentle-grit",
     "Gentle Grit for a Mix Bus",
     {{CONTROL_BITS, 10},
      {CONTROL_RATE, 32000},
      {CONTROL_MODE, choiceOf(Mode::Linear)},
      {CONTROL_MIX, 35}}},
    // The stages: no aliasing and a smoothed output, as the first samplers sounded.
    {"vintage-sampler",
     "Clean Vintage Sampler (12 bits, anti-aliased)",
     {{CONTROL_BITS, 12}, {CONTROL_RATE, 22050}, {CONTROL_ANTIALIAS, 100}, {CONTROL_TONE, 9000}}},
    // 8 bits Mu-law at 8 kHz behind the line's band-limiting: the telephone itself.
    {"mu-law-telephone",
     "Mu-law Telephone (8 bits, 8 kHz)",
     {{CONTROL_BITS, 8},
      {CONTROL_ANTIALIAS, 100},
      {CONTROL_TONE, 3400},
      {CONTROL_LAW, choiceOf(Law::MuLaw)}}},
    {"drifting-tape",
     "Drifting Tape Sampler",
     {{CONTROL_BITS, 12},
      {CONTROL_RATE, 16000},
      {CONTROL_MODE, choiceOf(Mode::Linear)},
      {CONTROL_ANTIALIAS, 60},
      {CONTROL_TONE, 7000},
      {CONTROL_LFO_RATE, 0.3},
      {CONTROL_LFO_DEPTH, 0.15}}},
    {"broken-radio",
     "Broken Radio",
     {{CONTROL_BITS, 6},
      {CONTROL_RATE, 6000},
      {CONTROL_DRIVE, 6},
      {CONTROL_GAIN, -3},
      {CONTROL_TONE, 2500},
      {CONTROL_LFO_RATE, 2},
      {CONTROL_LFO_DEPTH, 0.5},
      {CONTROL_LFO_SHAPE, choiceOf(LfoShape::Random)},
      {CONTROL_JITTER, 30},
      {CONTROL_DITHER, choiceOf(Dither::Tpdf)},
      {CONTROL_SEED, 7}}},
};

// A preset's value for a control, in the table's units (a choice: its index).
constexpr double presetValue(const Preset& preset, ControlIndex control) {
    for (const Setting& setting : preset.settings) {
        if (setting.control == control) return setting.value;
    }
    return defaultOf(control);
}

// The preset of a symbol; null for none.
inline const Preset* presetNamed(std::string_view symbol) {
    for (const Preset& preset : PRESETS) {
        if (symbol == preset.symbol) return &preset;
    }
    return nullptr;
}

}  // namespace grindlet::dsp
