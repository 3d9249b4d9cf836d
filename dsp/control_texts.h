// The controls' values in words, the same in every front end: the render tool's messages and
// help, Python's messages, the browser's messages and types, and the generated documentation.
// For people only: nothing here runs while audio is processed.
#pragma once

#include <cctype>
#include <cstdio>
#include <string>
#include <string_view>

#include "controls.h"

namespace grindlet::dsp {

// A number as people write it: "8", "0.5", "16777215" (up to nine significant digits).
inline std::string numberText(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", value);
    return text;
}

// A value with its unit: "32 bits", "100 %", "1 MHz", "44.1 kHz", "16777215".
inline std::string withUnit(double value, std::string_view unit) {
    if (unit == "Hz" && value >= 1e6) return numberText(value / 1e6) + " MHz";
    if (unit == "Hz" && value >= 1e3) return numberText(value / 1e3) + " kHz";
    return unit.empty() ? numberText(value) : numberText(value) + " " + std::string(unit);
}

// What a control accepts: "from 0 to 32 bits", "above 0 Hz and at most 1 MHz".
inline std::string rangeText(const ControlFacts& control) {
    if (control.minimumExcluded)
        return "above " + withUnit(control.minimum, control.unit) + " and at most " +
               withUnit(control.maximum, control.unit);
    return "from " + numberText(control.minimum) + " to " + withUnit(control.maximum, control.unit);
}

// Where a host's slider runs: "20 Hz to 192 kHz, logarithmic", "0 to 100 %".
inline std::string sliderText(const ControlFacts& control) {
    return withUnit(control.sliderMinimum, control.unit) + " to " +
           withUnit(control.sliderMaximum, control.unit) +
           (control.logarithmic ? ", logarithmic" : "");
}

// A choice's names ("Floor, Round, Inside") or symbols, between `separator`s, each in `quote`s.
inline std::string choiceList(const ControlFacts& control, bool symbols,
                              std::string_view separator = ", ", std::string_view quote = "") {
    std::string list;
    for (size_t i = 0; i < control.choiceCount; ++i) {
        if (i > 0) list += separator;
        list += std::string(quote) + (symbols ? control.choiceSymbols[i] : control.choices[i]) +
                std::string(quote);
    }
    return list;
}

// The index of the choice typed as `text` (its symbol or its name, in any case); -1 for none.
inline int choiceIndexOf(const ControlFacts& control, std::string_view text) {
    const auto same = [&](const char* known) {
        const std::string_view k = known;
        if (k.size() != text.size()) return false;
        for (size_t i = 0; i < k.size(); ++i) {
            if (std::tolower(static_cast<unsigned char>(k[i])) !=
                std::tolower(static_cast<unsigned char>(text[i])))
                return false;
        }
        return true;
    };
    for (size_t i = 0; i < control.choiceCount; ++i) {
        if (same(control.choiceSymbols[i]) || same(control.choices[i])) return static_cast<int>(i);
    }
    return -1;
}

// A control's default as people write it: a number, or a choice's symbol.
inline std::string defaultText(const ControlFacts& control) {
    return control.choiceCount > 0 ? control.choiceSymbols[size_t(control.defaultValue)]
                                   : numberText(control.defaultValue);
}

}  // namespace grindlet::dsp
