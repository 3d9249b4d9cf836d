#include "render_options.h"

#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace grindlet::render {

namespace {

constexpr int32_t MAX_BLOCK = 1 << 16;
constexpr double MAX_WINDOW_SECONDS = 10.0;
constexpr int32_t MAX_JOBS = 256;

// A number, including one too small for a double's normal range (strtod's ERANGE on
// underflow): whether it is usable is judged against what the module receives, below.
bool parseNumber(const std::string& text, double& value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    const bool underflow = errno == ERANGE && std::fabs(value) <= DBL_MIN;
    return (errno == 0 || underflow) && end == text.c_str() + text.size() && std::isfinite(value);
}

std::string shortNumber(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

// A control value must reach the module as the number it names: a positive value that
// becomes zero or a subnormal float on its way (divided by ten, in single precision) would not.
bool reachesTheModule(const std::string& option, double value, bool zeroAllowed,
                      std::string& error) {
    const float streamed = static_cast<float>(value / dsp::STREAM_VALUE_DIVISOR);
    if (value == 0.0 || std::fabs(streamed) >= FLT_MIN) return true;
    error = option + ": " + shortNumber(value) +
            " is too small to reach the module as a number (it would arrive as " +
            (streamed == 0.0f ? "0" : "a subnormal") + "); use " + (zeroAllowed ? "0 or " : "") +
            "at least " + shortNumber(double(FLT_MIN) * dsp::STREAM_VALUE_DIVISOR);
    return false;
}

// A value with its unit as people write it: "32 bits", "1 MHz", "44.1 kHz".
std::string withUnit(double value, const std::string& unit) {
    if (unit == "Hz" && value >= 1e6) return shortNumber(value / 1e6) + " MHz";
    if (unit == "Hz" && value >= 1e3) return shortNumber(value / 1e3) + " kHz";
    return shortNumber(value) + " " + unit;
}

// What a sweep's values may be, as the user reads it: the control's accepted range.
struct Range {
    const dsp::ControlFacts& control;
    bool kilo;  // "8k" stands for 8000
    std::string says() const {
        return control.minimumExcluded ? "more than " + withUnit(control.minimum, control.unit) +
                                             " up to " + withUnit(control.maximum, control.unit)
                                       : shortNumber(control.minimum) + " to " +
                                             withUnit(control.maximum, control.unit);
    }
};

const Range BITS_RANGE{dsp::CONTROLS[dsp::CONTROL_BITS], false};
const Range RATE_RANGE{dsp::CONTROLS[dsp::CONTROL_RATE], true};

// A number, or with a "k" after it (where the range allows) a thousand times that number.
bool parseValue(const std::string& text, const Range& range, double& value) {
    const bool kilo = range.kilo && !text.empty() && (text.back() == 'k' || text.back() == 'K');
    if (!parseNumber(kilo ? text.substr(0, text.size() - 1) : text, value)) return false;
    if (kilo) value *= 1000.0;
    return true;
}

// "16" or "16:4", each value inside the range.
bool parseSweep(const std::string& option, const std::string& text, const Range& range,
                Sweep& sweep, std::string& error) {
    const size_t colon = text.find(':');
    const std::string first = text.substr(0, colon);
    const std::string second = colon == std::string::npos ? first : text.substr(colon + 1);
    if (!parseValue(first, range, sweep.from) || !parseValue(second, range, sweep.to)) {
        error = option + ": '" + text + "' is not a number or FROM:TO" +
                (range.kilo ? " (8000, 8k and 44.1k are numbers)" : "");
        return false;
    }
    for (double v : {sweep.from, sweep.to}) {
        if (!dsp::accepts(range.control, v)) {
            error = option + ": " + shortNumber(v) + " is out of range (" + range.says() + ")";
            return false;
        }
        if (!reachesTheModule(option, v, !range.control.minimumExcluded, error)) return false;
    }
    return true;
}

// A level around the module: one number inside its range (no sweep: a level changes nothing
// that a sweep of the file's own gain would not).
bool parseLevel(const std::string& option, const std::string& text,
                const dsp::ControlFacts& control, double& value, std::string& error) {
    if (!parseNumber(text, value)) {
        error = option + ": '" + text + "' is not a number";
        return false;
    }
    if (!dsp::accepts(control, value)) {
        error = option + ": " + shortNumber(value) + " is out of range (" +
                shortNumber(control.minimum) + " to " + withUnit(control.maximum, control.unit) +
                ")";
        return false;
    }
    return true;
}

// One of a choice control's symbols, as its index.
bool parseChoice(const std::string& option, const std::string& text,
                 const dsp::ControlFacts& control, int16_t& value, std::string& error) {
    for (size_t i = 0; i < control.choiceCount; ++i) {
        if (text == control.choiceSymbols[i]) {
            value = static_cast<int16_t>(i);
            return true;
        }
    }
    error = option + ": '" + text + "' is not one of";
    for (size_t i = 0; i < control.choiceCount; ++i)
        error += std::string(" ") + control.choiceSymbols[i];
    return false;
}

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

bool parseOptions(const std::vector<std::string>& args, RenderOptions& options,
                  std::string& error) {
    bool onlyInputs = false;  // after "--"
    for (size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        // --option=value stands for --option value.
        std::string attached;
        bool hasAttached = false;
        if (!onlyInputs && arg.rfind("--", 0) == 0 && arg.find('=') != std::string::npos) {
            attached = arg.substr(arg.find('=') + 1);
            arg = arg.substr(0, arg.find('='));
            hasAttached = true;
        }
        auto value = [&](std::string& out) {
            if (hasAttached) {
                out = attached;
                return true;
            }
            if (i + 1 >= args.size()) {
                error = arg + " needs a value";
                return false;
            }
            out = args[++i];
            return true;
        };
        std::string text;
        if (onlyInputs || arg == STANDARD_STREAM || arg.empty() || arg[0] != '-') {
            if (arg.empty()) {
                error = "the input file name is empty";
                return false;
            }
            if (!options.inputGiven) options.input = arg;
            options.inputs.push_back(arg);
            options.inputGiven = true;
        } else if (arg == "--") {
            onlyInputs = true;
        } else if (arg == "-h" || arg == "--help") {
            options.help = true;
        } else if (arg == "--version") {
            options.version = true;
        } else if (arg == "-f" || arg == "--force") {
            options.force = true;
        } else if (arg == "--bits") {
            if (!value(text) || !parseSweep(arg, text, BITS_RANGE, options.bits, error))
                return false;
            options.bitsGiven = true;
        } else if (arg == "--rate") {
            if (!value(text) || !parseSweep(arg, text, RATE_RANGE, options.rate, error))
                return false;
            options.rateGiven = true;
        } else if (arg == "--quant") {
            if (!value(text) ||
                !parseChoice(arg, text, dsp::CONTROLS[dsp::CONTROL_QUANTIZE], options.quant, error))
                return false;
        } else if (arg == "--mode") {
            if (!value(text) ||
                !parseChoice(arg, text, dsp::CONTROLS[dsp::CONTROL_MODE], options.mode, error))
                return false;
        } else if (arg == "--drive") {
            if (!value(text) || !parseLevel(arg, text, dsp::CONTROLS[dsp::CONTROL_DRIVE],
                                            options.levels.driveDb, error))
                return false;
        } else if (arg == "--mix") {
            if (!value(text) || !parseLevel(arg, text, dsp::CONTROLS[dsp::CONTROL_MIX],
                                            options.levels.mixPercent, error))
                return false;
        } else if (arg == "--gain") {
            if (!value(text) || !parseLevel(arg, text, dsp::CONTROLS[dsp::CONTROL_GAIN],
                                            options.levels.gainDb, error))
                return false;
        } else if (arg == "--block") {
            double block = 0;
            if (!value(text)) return false;
            if (!parseNumber(text, block) || block != std::floor(block) || block < 1 ||
                block > MAX_BLOCK) {
                error = "--block: '" + text + "' is not a whole number from 1 to 65536";
                return false;
            }
            options.block = static_cast<int32_t>(block);
        } else if (arg == "-j" || arg == "--jobs") {
            double jobs = 0;
            if (!value(text)) return false;
            if (!parseNumber(text, jobs) || jobs != std::floor(jobs) || jobs < 1 ||
                jobs > MAX_JOBS) {
                error = arg + ": '" + text + "' is not a whole number from 1 to " +
                        std::to_string(MAX_JOBS);
                return false;
            }
            options.jobs = static_cast<int32_t>(jobs);
        } else if (arg == "--format") {
            if (!value(text)) return false;
            if (text != "pcm16" && text != "pcm24" && text != "pcm32" && text != "float" &&
                text != "double") {
                error = "--format: '" + text + "' is not one of pcm16 pcm24 pcm32 float double";
                return false;
            }
            options.format = text;
        } else if (arg == "--type") {
            if (!value(options.type)) return false;
        } else if (arg == "-o" || arg == "--output") {
            if (!value(options.output)) return false;
            if (options.output.empty()) {
                error = arg + ": the output file name is empty";
                return false;
            }
        } else if (arg == "--module") {
            if (!value(options.module)) return false;
        } else if (arg == "--plot") {
            if (!value(options.plot)) return false;
            if (!endsWith(options.plot, ".svg")) {
                error = "--plot: '" + options.plot + "' must name an .svg file (the plot is SVG)";
                return false;
            }
        } else if (arg == "--at" || arg == "--window") {
            double seconds = 0;
            if (!value(text)) return false;
            if (!parseNumber(text, seconds) || seconds < 0 ||
                (arg == "--window" && (seconds <= 0 || seconds > MAX_WINDOW_SECONDS))) {
                error = arg + ": '" + text + "' is not a valid number of seconds" +
                        (arg == "--window" ? " (above 0, at most 10)" : "");
                return false;
            }
            (arg == "--at" ? options.at : options.window) = seconds;
        } else {
            error = "unknown option " + arg + " (see --help)";
            return false;
        }
    }
    return true;
}

float bitsStreamValue(double bits) {
    return dsp::streamValue(dsp::CONTROLS[dsp::CONTROL_BITS], bits);
}
float rateStreamValue(double hertz) {
    return dsp::streamValue(dsp::CONTROLS[dsp::CONTROL_RATE], hertz);
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
