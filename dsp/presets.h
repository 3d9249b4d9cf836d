// Factory settings, named by the sound they make. The LV2 bundle lists them as presets; each
// sets every control of the table of controls.
#pragma once

namespace grindlet::dsp {

struct Preset {
    const char* symbol;  // lower case with hyphens: part of its URI
    const char* label;   // as a host lists it
    double bits;
    double rate;   // hertz
    int quantize;  // index into the quantize choices
    int mode;      // index into the mode choices
    double driveDb;
    double mixPercent;
    double gainDb;
};

inline constexpr Preset PRESETS[] = {
    {"early-sampler", "Early Sampler (12 bits, 26 kHz)", 12.0, 26040.0, 1, 0, 0.0, 100.0, 0.0},
    {"home-console", "8-Bit Home Console (11 kHz)", 8.0, 11025.0, 1, 0, 0.0, 100.0, 0.0},
    {"telephone-line", "Telephone Line", 8.0, 8000.0, 1, 1, 6.0, 100.0, -3.0},
    {"walkie-talkie", "Walkie-Talkie", 5.0, 6000.0, 1, 0, 9.0, 100.0, -6.0},
    // 1 bit keeps only what passes half scale: the drive lifts ordinary material above it.
    {"one-bit-fuzz", "1-Bit Fuzz", 1.0, 22050.0, 1, 0, 24.0, 100.0, -12.0},
    {"gentle-grit", "Gentle Grit for a Mix Bus", 10.0, 32000.0, 1, 1, 0.0, 35.0, 0.0},
};

}  // namespace grindlet::dsp
