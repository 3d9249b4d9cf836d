#include "render_options.h"

#include <cstdio>

namespace grindlet::render {

Controls defaultControls() {
    Controls controls;
    for (size_t i = 0; i < dsp::CONTROL_COUNT; ++i)
        controls[i] = {dsp::CONTROLS[i].defaultValue, dsp::CONTROLS[i].defaultValue};
    return controls;
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
