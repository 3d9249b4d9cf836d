// Factory settings, named by the sound they make. The LV2 bundle lists them as presets; each
// sets every control of the table of controls.
#pragma once

#include "controls.h"

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
    // The stages, at their defaults (off) unless a preset names them.
    double antialias = defaultOf(CONTROL_ANTIALIAS);
    double toneHz = defaultOf(CONTROL_TONE);
    int law = static_cast<int>(defaultOf(CONTROL_LAW));
    double lfoRate = defaultOf(CONTROL_LFO_RATE);
    double lfoDepth = defaultOf(CONTROL_LFO_DEPTH);
    int lfoShape = static_cast<int>(defaultOf(CONTROL_LFO_SHAPE));
    double jitter = defaultOf(CONTROL_JITTER);
    int dither = static_cast<int>(defaultOf(CONTROL_DITHER));
    double seed = defaultOf(CONTROL_SEED);
};

inline constexpr Preset PRESETS[] = {
    {"early-sampler", "Early Sampler (12 bits, 26 kHz)", 12.0, 26040.0, 1, 0, 0.0, 100.0, 0.0},
    {"home-console", "8-Bit Home Console (11 kHz)", 8.0, 11025.0, 1, 0, 0.0, 100.0, 0.0},
    {"telephone-line", "Telephone Line", 8.0, 8000.0, 1, 1, 6.0, 100.0, -3.0},
    {"walkie-talkie", "Walkie-Talkie", 5.0, 6000.0, 1, 0, 9.0, 100.0, -6.0},
    // 1 bit keeps only what passes half scale: the drive lifts ordinary material above it.
    {"one-bit-fuzz", "1-Bit Fuzz", 1.0, 22050.0, 1, 0, 24.0, 100.0, -12.0},
    {"gentle-grit", "Gentle Grit for a Mix Bus", 10.0, 32000.0, 1, 1, 0.0, 35.0, 0.0},
    // The stages: no aliasing and a smoothed output, as the first samplers sounded.
    {"vintage-sampler", "Clean Vintage Sampler (12 bits, anti-aliased)", 12.0, 22050.0, 1, 0, 0.0,
     100.0, 0.0, 100.0, 9000.0},
    // 8 bits Mu-law at 8 kHz behind the line's band-limiting: the telephone itself.
    {"mu-law-telephone", "Mu-law Telephone (8 bits, 8 kHz)", 8.0, 8000.0, 1, 0, 0.0, 100.0, 0.0,
     100.0, 3400.0, 1},
    {"drifting-tape", "Drifting Tape Sampler", 12.0, 16000.0, 1, 1, 0.0, 100.0, 0.0, 60.0, 7000.0,
     0, 0.3, 0.15, 0},
    {"broken-radio", "Broken Radio", 6.0, 6000.0, 1, 0, 6.0, 100.0, -3.0, 0.0, 2500.0, 0, 2.0, 0.5,
     2, 30.0, 1, 7.0},
};

// A preset's value for a control, in the table's units (a choice: its index).
constexpr double presetValue(const Preset& preset, ControlIndex control) {
    static_assert(CONTROL_COUNT == 16, "a new control needs its preset value here");
    switch (control) {
        case CONTROL_BITS:
            return preset.bits;
        case CONTROL_RATE:
            return preset.rate;
        case CONTROL_QUANTIZE:
            return preset.quantize;
        case CONTROL_MODE:
            return preset.mode;
        case CONTROL_DRIVE:
            return preset.driveDb;
        case CONTROL_MIX:
            return preset.mixPercent;
        case CONTROL_GAIN:
            return preset.gainDb;
        case CONTROL_ANTIALIAS:
            return preset.antialias;
        case CONTROL_TONE:
            return preset.toneHz;
        case CONTROL_LAW:
            return preset.law;
        case CONTROL_LFO_RATE:
            return preset.lfoRate;
        case CONTROL_LFO_DEPTH:
            return preset.lfoDepth;
        case CONTROL_LFO_SHAPE:
            return preset.lfoShape;
        case CONTROL_JITTER:
            return preset.jitter;
        case CONTROL_DITHER:
            return preset.dither;
        case CONTROL_SEED:
            return preset.seed;
    }
    return 0.0;
}

}  // namespace grindlet::dsp
