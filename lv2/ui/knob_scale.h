// How the plugin's window turns a knob's travel into a control's value and a value into words:
// plain functions over the table's rows, so that they are tested without a display.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "dsp/controls.h"

namespace grindlet::ui {

// A knob's travel: linear over the slider's range, logarithmic where the table says so, or, for a
// control whose 0 is "off" (a filter's cutoff, a share of the sample rate), off at the bottom and
// logarithmic above it (a linear Tone knob would spend its first tenth on all below 2 kHz).
enum class Taper { Linear, Logarithmic, OffThenLogarithmic };

// The share of the travel that is off.
constexpr double OFF_TRAVEL = 0.04;
// Where the logarithmic part starts above an "off": the lowest audible cutoff, the smallest share
// of the sample rate worth taking (1 sample in 256).
constexpr double LOWEST_AUDIBLE_HZ = 20.0;
constexpr double SMALLEST_SHARE = 1.0 / 256.0;

// Where a knob whose 0 is "off" starts above it; 0 for a control with no such "off".
inline double lowestAboveOff(const dsp::ControlFacts& control) {
    if (control.minimum != 0.0 || control.logarithmic || control.integer) return 0.0;
    const std::string unit = control.unit;
    if (unit == "Hz" && control.sliderMaximum > LOWEST_AUDIBLE_HZ) return LOWEST_AUDIBLE_HZ;
    if (unit.empty() && control.sliderMaximum == 1.0) return SMALLEST_SHARE;
    return 0.0;
}

inline Taper taperOf(const dsp::ControlFacts& control) {
    if (control.logarithmic && control.sliderMinimum > 0.0) return Taper::Logarithmic;
    return lowestAboveOff(control) > 0.0 ? Taper::OffThenLogarithmic : Taper::Linear;
}

inline bool isChoice(const dsp::ControlFacts& control) { return control.choiceCount > 0; }

// Where a value sits on the knob's travel, 0 to 1 (outside the slider's range: at its end).
inline double travelOf(const dsp::ControlFacts& control, double value) {
    const double low = control.sliderMinimum, high = control.sliderMaximum;
    if (!(value > low)) return 0.0;
    if (value >= high) return 1.0;
    switch (taperOf(control)) {
        case Taper::Logarithmic:
            return std::log(value / low) / std::log(high / low);
        case Taper::OffThenLogarithmic: {
            const double lowest = lowestAboveOff(control);
            if (value < lowest) return OFF_TRAVEL;
            return OFF_TRAVEL +
                   (1.0 - OFF_TRAVEL) * std::log(value / lowest) / std::log(high / lowest);
        }
        case Taper::Linear:
            break;
    }
    return (value - low) / (high - low);
}

// The value at a place on the knob's travel (clamped to 0 to 1): a whole number where the control
// takes only those, in steps a musician reads on a knob otherwise.
inline double valueAt(const dsp::ControlFacts& control, double travel) {
    travel = std::clamp(travel, 0.0, 1.0);
    const double low = control.sliderMinimum, high = control.sliderMaximum;
    double value = low + travel * (high - low);
    switch (taperOf(control)) {
        case Taper::Logarithmic:
            value = low * std::pow(high / low, travel);
            break;
        case Taper::OffThenLogarithmic: {
            if (travel < OFF_TRAVEL) return 0.0;
            const double lowest = lowestAboveOff(control);
            value = lowest * std::pow(high / lowest, (travel - OFF_TRAVEL) / (1.0 - OFF_TRAVEL));
            break;
        }
        case Taper::Linear:
            break;
    }
    if (control.integer) return std::clamp(std::round(value), low, high);
    // Steps of a thousandth of the range where the knob is linear, of a thousandth of the value
    // where it is logarithmic (-0.031 dB would be read as noise).
    const double span = taperOf(control) == Taper::Linear ? high - low : value;
    const double step = std::pow(10.0, std::floor(std::log10(span)) - 2.0);
    return std::clamp(std::round(value / step) * step, low, high);
}

// A value as the knob shows it: "8 bits", "5.54 kHz", "Off", "Mu-law", "-6 dB".
inline std::string valueText(const dsp::ControlFacts& control, double value) {
    if (isChoice(control)) {
        const long index = std::lround(value);
        return index >= 0 && static_cast<size_t>(index) < control.choiceCount
                   ? control.choices[index]
                   : control.choices[0];
    }
    if (taperOf(control) == Taper::OffThenLogarithmic && value <= 0.0) return "Off";
    const std::string unit = control.unit;
    char text[48];
    if (unit == "Hz" && value >= 1000.0)
        std::snprintf(text, sizeof text, "%.3g kHz", value / 1000.0);
    else if (control.integer)
        std::snprintf(text, sizeof text, "%.0f", value);
    else
        std::snprintf(text, sizeof text, "%.3g", value);
    if (unit.empty() || (unit == "Hz" && value >= 1000.0)) return text;
    if (unit == "bits" && value == 1.0) return "1 bit";
    return std::string(text) + " " + unit;
}

}  // namespace grindlet::ui
