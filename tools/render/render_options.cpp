#include "render_options.h"

#include <cstdio>

namespace grindlet::render {

Controls defaultControls() {
    Controls controls;
    for (size_t i = 0; i < dsp::CONTROL_COUNT; ++i)
        controls[i] = {dsp::CONTROLS[i].defaultValue, dsp::CONTROLS[i].defaultValue};
    return controls;
}

std::string shortNumber(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", value);
    return text;
}

namespace {

// A value with its unit as people write it: "32 bits", "1 MHz", "44.1 kHz", "16777215".
std::string withUnit(double value, const std::string& unit) {
    if (unit == "Hz" && value >= 1e6) return shortNumber(value / 1e6) + " MHz";
    if (unit == "Hz" && value >= 1e3) return shortNumber(value / 1e3) + " kHz";
    return unit.empty() ? shortNumber(value) : shortNumber(value) + " " + unit;
}

}  // namespace

std::string rangeText(const dsp::ControlFacts& control) {
    return control.minimumExcluded
               ? "more than " + withUnit(control.minimum, control.unit) + " up to " +
                     withUnit(control.maximum, control.unit)
               : shortNumber(control.minimum) + " to " + withUnit(control.maximum, control.unit);
}

std::string defaultOutputName(const std::string& input) {
    if (input.empty()) return "grindlet-demo.wav";
    const size_t slash = input.find_last_of('/');
    const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    const size_t dot = input.find_last_of('.');
    // A dot that starts the name (".hidden") begins no extension.
    const std::string stem =
        dot != std::string::npos && dot > nameStart ? input.substr(0, dot) : input;
    return stem + "-grindlet.wav";
}

}  // namespace grindlet::render
