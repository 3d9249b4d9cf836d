// grindlet-check --describe: a module's identity and pin table, as a host shows them.
#include "describe.h"

#include <cstdio>
#include <string>

#include "dsp/controls.h"
#include "host/hosted_module.h"

namespace grindlet::check {

using namespace grindlet::host;

namespace {

const char* directionName(int32_t direction) {
    return direction == PIN_DIRECTION_IN ? "in" : direction == PIN_DIRECTION_OUT ? "out" : "?";
}

const char* datatypeName(int32_t datatype) {
    switch (datatype) {
        case PIN_DATATYPE_LIST:
            return "list";
        case PIN_DATATYPE_BYTE:
            return "byte";
        case PIN_DATATYPE_FLOAT_STREAM:
            return "float stream";
        case PIN_DATATYPE_WORD:
            return "word";
        case PIN_DATATYPE_UNSTORED_1:
        case PIN_DATATYPE_UNSTORED_2:
        case PIN_DATATYPE_UNSTORED_3:
            return "unstored";
        default:
            return "undescribed";
    }
}

// The unit a stream pin's default and range are given in: the unit of the control it carries.
const char* unitOf(const std::string& pinName) {
    const dsp::ControlFacts* control = dsp::controlForPin(pinName);
    return control != nullptr ? control->unit : "";
}

// A stream pin's range text ("24,1,24,1": its bounds, twice) as "1 to 24 bits"; other texts as
// they are (a list pin's names).
std::string rangeText(const PinDescription& pin) {
    if (pin.datatypeExtra.empty()) return "-";
    const std::string unit = unitOf(pin.name);
    if (pin.info.datatype != PIN_DATATYPE_FLOAT_STREAM) return pin.datatypeExtra;
    double low = 0, high = 0;
    bool first = true;
    const char* at = pin.datatypeExtra.c_str();
    while (*at != '\0') {
        char* end = nullptr;
        const double value = std::strtod(at, &end);
        if (end == at) return pin.datatypeExtra;  // not a list of numbers: as it is
        low = first ? value : std::min(low, value);
        high = first ? value : std::max(high, value);
        first = false;
        at = end;
        while (*at == ',' || *at == ' ') ++at;
    }
    char text[96];
    std::snprintf(text, sizeof text, "%g to %g%s%s", low, high, unit.empty() ? "" : " ",
                  unit.c_str());
    return text;
}

std::string defaultText(const PinDescription& pin) {
    if (pin.defaultValue.empty()) return "-";
    if (pin.info.datatype == PIN_DATATYPE_LIST) {  // the index as the entry's name
        const long index = std::strtol(pin.defaultValue.c_str(), nullptr, 10);
        size_t start = 0;
        for (long i = 0; i < index && start != std::string::npos; ++i) {
            start = pin.datatypeExtra.find(',', start);
            if (start != std::string::npos) ++start;
        }
        if (index >= 0 && start != std::string::npos) {
            const size_t first = pin.datatypeExtra.find_first_not_of(' ', start);
            if (first != std::string::npos)
                return pin.datatypeExtra.substr(first, pin.datatypeExtra.find(',', first) - first);
        }
        return pin.defaultValue;
    }
    const std::string unit = unitOf(pin.name);
    return unit.empty() ? pin.defaultValue : pin.defaultValue + " " + unit;
}

// printf into a string.
template <typename... Values>
void appendf(std::string& text, const char* format, Values... values) {
    char line[1024];
    std::snprintf(line, sizeof line, format, values...);
    text += line;
}

}  // namespace

bool describeModule(const ModuleLibrary& library, std::string& text) {
    const ModuleIdentity identity = readIdentity(library, 0);
    appendf(text, "module file: %s\nname: %s\nid: %s\nsdk version: %d\nabout: %s\n\n",
            library.path().c_str(), identity.name.c_str(), identity.id.c_str(), identity.sdkVersion,
            identity.about.c_str());
    HostedModule module(library);
    std::string error;
    if (!module.make(error)) {
        text = error;
        return false;
    }
    appendf(text, "%-5s %-10s %-4s %-13s %-10s %s\n", "pin", "name", "dir", "datatype", "default",
            "range or list");
    const auto& pins = module.describePins();
    for (size_t i = 0; i < pins.size(); ++i) {
        const PinDescription& pin = pins[i];
        appendf(text, "%-5zu %-10s %-4s %-13s %-10s %s\n", i, pin.name.c_str(),
                directionName(pin.info.direction), datatypeName(pin.info.datatype),
                defaultText(pin).c_str(), rangeText(pin).c_str());
    }
    return true;
}

}  // namespace grindlet::check
