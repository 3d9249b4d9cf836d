// The LV2 bundle's Turtle: qz-grindlet.ttl.in and manifest.ttl.in (in lv2/) with their
// placeholders filled from the table of controls (ports, ranges, defaults, choices), the audio
// ports, the factory presets and the project's version, and presets.ttl. The build runs it
// (grindlet-generate lv2-turtle ...); nothing about a control or a preset is written by hand.
#include "lv2_turtle.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "dsp/controls.h"
#include "dsp/presets.h"

namespace {

using grindlet::dsp::ControlFacts;
using grindlet::dsp::CONTROLS;
using grindlet::dsp::StreamScaling;

// A Turtle number: an integer, or a decimal with every digit it needs (0.15, 8000.0).
std::string number(double value, bool integer) {
    char text[32];
    std::snprintf(text, sizeof text, integer ? "%.0f" : "%.9g", value);
    std::string written = text;
    if (!integer && written.find_first_of(".e") == std::string::npos) written += ".0";
    return written;
}

// A text as a Turtle string.
std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string unitOf(const ControlFacts& control) {
    const std::string unit = control.unit;
    if (unit == "Hz") return "units:hz";
    if (unit == "bits") return "<urn:qz-grindlet#bit>";
    if (unit == "dB") return "units:db";
    if (unit == "%") return "units:pc";
    if (unit == "octaves") return "units:oct";
    if (unit == "BPM") return "units:bpm";
    return "";
}

std::string controlPort(const ControlFacts& control, int index) {
    const bool choice = control.scaling == StreamScaling::Choice;
    std::ostringstream port;
    port << "\t\ta lv2:InputPort , lv2:ControlPort ;\n"
         << "\t\tlv2:index " << index << " ;\n"
         << "\t\tlv2:symbol " << quoted(control.symbol) << " ;\n"
         << "\t\tlv2:name " << quoted(control.name) << " ;\n"
         << "\t\trdfs:comment " << quoted(control.what) << " ;\n"
         << "\t\tlv2:default " << number(control.defaultValue, control.integer) << " ;\n"
         << "\t\tlv2:minimum " << number(control.sliderMinimum, control.integer) << " ;\n"
         << "\t\tlv2:maximum " << number(control.sliderMaximum, control.integer);
    if (control.logarithmic) port << " ;\n\t\tlv2:portProperty pprops:logarithmic";
    if (control.integer && !choice) port << " ;\n\t\tlv2:portProperty lv2:integer";
    if (!unitOf(control).empty()) port << " ;\n\t\tunits:unit " << unitOf(control);
    if (choice) {
        port << " ;\n\t\tlv2:portProperty lv2:integer , lv2:enumeration ;\n\t\tlv2:scalePoint ";
        for (size_t i = 0; i < control.choiceCount; ++i) {
            port << (i == 0 ? "[\n" : " , [\n") << "\t\t\trdfs:label " << quoted(control.choices[i])
                 << " ;\n\t\t\trdf:value " << i << "\n\t\t]";
        }
    }
    return port.str() + "\n";
}

struct AudioPort {
    const char* symbol;
    const char* name;
    bool output;
    const char* group;        // a stereo group's name in the plugin's namespace, or null
    const char* designation;  // pg:left or pg:right
};

constexpr AudioPort MONO_AUDIO[] = {{"in", "In", false, nullptr, nullptr},
                                    {"out", "Out", true, nullptr, nullptr}};
constexpr AudioPort STEREO_AUDIO[] = {{"in_l", "Left In", false, "in", "pg:left"},
                                      {"in_r", "Right In", false, "in", "pg:right"},
                                      {"out_l", "Left Out", true, "out", "pg:left"},
                                      {"out_r", "Right Out", true, "out", "pg:right"}};

template <size_t N>
std::string ports(const AudioPort (&audio)[N], const char* plugin) {
    std::string all;
    int index = 0;
    for (const AudioPort& port : audio) {
        all += index == 0 ? "[\n" : "] , [\n";
        all += std::string("\t\ta lv2:AudioPort , ") +
               (port.output ? "lv2:OutputPort" : "lv2:InputPort") + " ;\n\t\tlv2:index " +
               std::to_string(index++) + " ;\n\t\tlv2:symbol " + quoted(port.symbol) +
               " ;\n\t\tlv2:name " + quoted(port.name);
        if (port.group != nullptr) {
            all += std::string(" ;\n\t\tpg:group <") + plugin + "#" + port.group +
                   "> ;\n\t\tlv2:designation " + port.designation;
        }
        all += "\n";
    }
    for (const ControlFacts& control : CONTROLS) {
        all += "] , [\n" + controlPort(control, index++);
    }
    // The host's bypass: the plugin crossfades to the dry signal and keeps its state running.
    all += "] , [\n\t\ta lv2:InputPort , lv2:ControlPort ;\n\t\tlv2:index " +
           std::to_string(index) +
           " ;\n\t\tlv2:symbol \"enabled\" ;\n\t\tlv2:name \"Enabled\" ;\n"
           "\t\tlv2:default 1 ;\n\t\tlv2:minimum 0 ;\n\t\tlv2:maximum 1 ;\n"
           "\t\tlv2:designation lv2:enabled ;\n\t\tlv2:portProperty lv2:integer , lv2:toggled\n";
    // Meters: each run's input and output peak, for a host's display.
    const char* const meters[][2] = {{"level_in", "Input Level"}, {"level_out", "Output Level"}};
    for (const auto& meter : meters) {
        all += "] , [\n\t\ta lv2:OutputPort , lv2:ControlPort ;\n\t\tlv2:index " +
               std::to_string(++index) + " ;\n\t\tlv2:symbol " + quoted(meter[0]) +
               " ;\n\t\tlv2:name " + quoted(meter[1]) +
               " ;\n\t\tlv2:default -90.0 ;\n\t\tlv2:minimum -90.0 ;\n\t\tlv2:maximum 24.0 ;\n"
               "\t\tunits:unit units:db\n";
    }
    // The host's transport: where it starts rolling, the effect starts afresh.
    all += "] , [\n\t\ta lv2:InputPort , atom:AtomPort ;\n\t\tlv2:index " +
           std::to_string(++index) +
           " ;\n\t\tlv2:symbol \"transport\" ;\n\t\tlv2:name \"Transport\" ;\n"
           "\t\tatom:bufferType atom:Sequence ;\n\t\tatom:supports time:Position ;\n"
           "\t\tlv2:designation lv2:control ;\n\t\tlv2:portProperty lv2:connectionOptional\n";
    return all + "\t]";
}

constexpr const char* PLUGINS[] = {"urn:qz-grindlet:mono", "urn:qz-grindlet:stereo"};
constexpr const char* PRESET_URI = "urn:qz-grindlet:preset:";
constexpr const char* UI_URI = "urn:qz-grindlet:ui";

// The manifest's entry for each preset: what it applies to, and where it is.
std::string presetEntries() {
    std::string entries;
    for (const grindlet::dsp::Preset& preset : grindlet::dsp::PRESETS) {
        entries += std::string("<") + PRESET_URI + preset.symbol + ">\n\ta pset:Preset ;\n";
        for (const char* plugin : PLUGINS)
            entries += std::string("\tlv2:appliesTo <") + plugin + "> ;\n";
        entries += "\trdfs:seeAlso <presets.ttl> .\n\n";
    }
    return entries;
}

// Every preset with its label and a value for every control, by port symbol.
std::string presetsTurtle() {
    std::string text =
        "@prefix lv2: <http://lv2plug.in/ns/lv2core#> .\n"
        "@prefix pset: <http://lv2plug.in/ns/ext/presets#> .\n"
        "@prefix rdfs: <http://www.w3.org/2000/01/rdf-schema#> .\n";
    for (const grindlet::dsp::Preset& preset : grindlet::dsp::PRESETS) {
        text += std::string("\n<") + PRESET_URI + preset.symbol + ">\n\ta pset:Preset ;\n";
        for (const char* plugin : PLUGINS)
            text += std::string("\tlv2:appliesTo <") + plugin + "> ;\n";
        text += "\trdfs:label " + quoted(preset.label) + " ;\n\tlv2:port ";
        // Control ports take floats: a choice's index too, so that every host reads a number.
        for (size_t i = 0; i < grindlet::dsp::CONTROL_COUNT; ++i) {
            using grindlet::dsp::presetValue;
            text += std::string(i == 0 ? "[\n" : " , [\n") + "\t\tlv2:symbol " +
                    quoted(CONTROLS[i].symbol) + " ;\n\t\tpset:value " +
                    number(presetValue(preset, grindlet::dsp::ControlIndex(i)), false) + "\n\t]";
        }
        text += " .\n";
    }
    return text;
}

// The plugins' window (lv2/ui): an X11 UI that the host calls to take its events, told the scale
// and the sample rate where the host gives them, and sent the meters' values.
std::string uiEntries(const std::string& uiLibraryFileName) {
    if (uiLibraryFileName.empty()) return "";
    std::string entries = std::string("<") + UI_URI + ">\n\ta ui:X11UI ;\n\tui:binary <" +
                          uiLibraryFileName +
                          "> ;\n\tlv2:requiredFeature ui:parent , ui:idleInterface ;\n"
                          "\tlv2:optionalFeature ui:resize , opts:options , urid:map ;\n"
                          "\topts:supportedOption ui:scaleFactor , param:sampleRate ;\n"
                          "\tlv2:extensionData ui:idleInterface";
    for (const char* plugin : PLUGINS) {
        for (const char* meter : {"level_in", "level_out"})
            entries += std::string(" ;\n\tui:portNotification [\n\t\tui:plugin <") + plugin +
                       "> ;\n\t\tlv2:symbol \"" + meter +
                       "\" ;\n\t\tui:protocol ui:floatProtocol\n\t]";
    }
    entries += " .\n\n";
    for (const char* plugin : PLUGINS)
        entries += std::string("<") + plugin + ">\n\tui:ui <" + UI_URI + "> .\n\n";
    return entries;
}

// Bytes in and out as they are: the Windows build's generator writes the same files.
bool readFile(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return in.good() || in.eof();
}

bool writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    out.close();
    if (!out) std::fprintf(stderr, "grindlet-generate: cannot write %s\n", path.c_str());
    return static_cast<bool>(out);
}

void replace(std::string& text, const std::string& placeholder, const std::string& value) {
    for (size_t at; (at = text.find(placeholder)) != std::string::npos;)
        text.replace(at, placeholder.size(), value);
}

}  // namespace

namespace grindlet::generate {

bool writeLv2Turtle(const std::string& source, const std::string& bundle,
                    const std::string& minorVersion, const std::string& microVersion,
                    const std::string& libraryFileName, const std::string& uiLibraryFileName) {
    std::string plugins, manifest;
    if (!readFile(source + "/qz-grindlet.ttl.in", plugins) || plugins.empty() ||
        !readFile(source + "/manifest.ttl.in", manifest) || manifest.empty()) {
        std::fprintf(stderr, "grindlet-generate: cannot read the templates in %s\n",
                     source.c_str());
        return false;
    }
    replace(plugins, "@MONO_PORTS@", ports(MONO_AUDIO, PLUGINS[0]));
    replace(plugins, "@STEREO_PORTS@", ports(STEREO_AUDIO, PLUGINS[1]));
    replace(plugins, "@MINOR_VERSION@", minorVersion);
    replace(plugins, "@MICRO_VERSION@", microVersion);
    replace(manifest, "@PRESETS@", presetEntries());
    replace(manifest, "@UI@", uiEntries(uiLibraryFileName));
    replace(manifest, "@BINARY@", libraryFileName);
    const bool written = writeFile(bundle + "/qz-grindlet.ttl", plugins) &&
                         writeFile(bundle + "/manifest.ttl", manifest) &&
                         writeFile(bundle + "/presets.ttl", presetsTurtle());
    return written;
}

}  // namespace grindlet::generate
