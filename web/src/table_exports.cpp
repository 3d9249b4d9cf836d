// The controls' table and the presets for the build alone: web/tools/write-tables.mjs reads
// them from this WebAssembly module and writes them out as JavaScript, so that the page, the
// worklet and the package's CONTROLS take every fact from dsp/ and the engine's own module
// carries no text.
#include <cstdint>
#include <string>

#include "dsp/control_texts.h"
#include "dsp/controls.h"
#include "dsp/presets.h"

namespace {

using namespace grindlet::dsp;

constexpr int32_t PRESET_COUNT = static_cast<int32_t>(sizeof PRESETS / sizeof PRESETS[0]);

bool isControl(int32_t control) {
    return control >= 0 && static_cast<size_t>(control) < CONTROL_COUNT;
}

}  // namespace

#define GRINDLET_EXPORT(NAME) extern "C" __attribute__((export_name(#NAME)))

GRINDLET_EXPORT(control_count) int32_t control_count() {
    return static_cast<int32_t>(CONTROL_COUNT);
}

// 0 symbol, 1 name, 2 unit, 3 what it does, 4 the same in a line, 5 what it accepts ("from 0
// to 32 bits", as every front end says it); null past the fields.
GRINDLET_EXPORT(control_text) const char* control_text(int32_t control, int32_t field) {
    if (!isControl(control)) return nullptr;
    const ControlFacts& facts = CONTROLS[control];
    if (field == 5) {
        static std::string range;  // valid until the next call
        range = rangeText(facts);
        return range.c_str();
    }
    const char* const texts[] = {facts.symbol, facts.name, facts.unit, facts.what, facts.brief};
    return field >= 0 && field < 5 ? texts[field] : nullptr;
}

// 0 minimum, 1 maximum, 2 whether the minimum is excluded, 3 slider minimum, 4 slider maximum,
// 5 whether the slider is logarithmic, 6 default, 7 how many choices (0: a number), 8 whether it
// takes whole numbers only.
GRINDLET_EXPORT(control_number) double control_number(int32_t control, int32_t field) {
    if (!isControl(control)) return 0.0;
    const ControlFacts& facts = CONTROLS[control];
    const double numbers[] = {facts.minimum,
                              facts.maximum,
                              facts.minimumExcluded ? 1.0 : 0.0,
                              facts.sliderMinimum,
                              facts.sliderMaximum,
                              facts.logarithmic ? 1.0 : 0.0,
                              facts.defaultValue,
                              static_cast<double>(facts.choiceCount),
                              facts.integer ? 1.0 : 0.0};
    return field >= 0 && field < 9 ? numbers[field] : 0.0;
}

// A choice's name (field 0) or symbol (field 1).
GRINDLET_EXPORT(choice_text)
const char* choice_text(int32_t control, int32_t index, int32_t field) {
    if (!isControl(control) || index < 0 ||
        static_cast<size_t>(index) >= CONTROLS[control].choiceCount) {
        return nullptr;
    }
    return field == 0 ? CONTROLS[control].choices[index] : CONTROLS[control].choiceSymbols[index];
}

GRINDLET_EXPORT(preset_count) int32_t preset_count() { return PRESET_COUNT; }

// 0 symbol, 1 label.
GRINDLET_EXPORT(preset_text) const char* preset_text(int32_t preset, int32_t field) {
    if (preset < 0 || preset >= PRESET_COUNT) return nullptr;
    return field == 0 ? PRESETS[preset].symbol : PRESETS[preset].label;
}

GRINDLET_EXPORT(preset_value) double preset_value(int32_t preset, int32_t control) {
    if (preset < 0 || preset >= PRESET_COUNT || !isControl(control)) return 0.0;
    return presetValue(PRESETS[preset], static_cast<ControlIndex>(control));
}
