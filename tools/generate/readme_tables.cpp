#include "readme_tables.h"

#include <string>

#include "dsp/control_texts.h"
#include "dsp/controls.h"

namespace grindlet::generate {

namespace {

using dsp::ControlFacts;
using dsp::CONTROLS;

// A cell's text with the table's separator escaped.
std::string cell(const std::string& text) {
    std::string escaped;
    for (char c : text) escaped += c == '|' ? std::string("\\|") : std::string(1, c);
    return escaped;
}

// The render tool's options: | control | default | accepts | what you hear |
std::string renderTable() {
    std::string table = "| control | default | accepts | what you hear |\n|---|---|---|---|\n";
    for (const ControlFacts& c : CONTROLS) {
        const bool choice = c.choiceCount > 0;
        table += std::string("| `--") + c.symbol + "` | " +
                 (choice ? "`" + dsp::defaultText(c) + "`" : dsp::defaultText(c)) + " | " +
                 (choice ? dsp::choiceList(c, true, ", ", "`") : dsp::rangeText(c)) + " | " +
                 cell(c.what) + " |\n";
    }
    return table;
}

// The plugin's controls as a host shows them: | control | range | what it does |
std::string pluginTable() {
    std::string table = "| control | range | what it does |\n|---|---|---|\n";
    for (const ControlFacts& c : CONTROLS) {
        const bool choice = c.choiceCount > 0;
        const std::string range =
            choice ? dsp::choiceList(c, false) + ", default " +
                         c.choices[static_cast<size_t>(c.defaultValue)]
                   : dsp::sliderText(c) + ", default " + dsp::withUnit(c.defaultValue, c.unit);
        table += std::string("| ") + c.name + " | " + range + " | " + cell(c.brief) + " |\n";
    }
    return table;
}

}  // namespace

std::vector<GeneratedSection> readmeTables() {
    return {{"README.md", "the render tool's controls", renderTable()},
            {"README.md", "the plugin's controls", pluginTable()}};
}

}  // namespace grindlet::generate
