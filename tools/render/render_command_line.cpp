// The render tool's command line: CLI11 splits it into options, our own checks give each value
// its meaning and every message.
#include "render_options.h"

#include "dsp/quantizer.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace grindlet::render {

namespace {

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
    const float streamed = dsp::bitsStreamOf(static_cast<float>(value));
    if (value == 0.0 || std::fabs(streamed) >= FLT_MIN) return true;
    error = option + ": " + shortNumber(value) +
            " is too small to reach the module as a number (it would arrive as " +
            (streamed == 0.0f ? "0" : "a subnormal") + "); use " + (zeroAllowed ? "0 or " : "") +
            "at least " + shortNumber(double(FLT_MIN) * dsp::BITS_PER_STREAM_UNIT);
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

// A whole number in [1, most], or a message naming the option.
bool parseCount(const std::string& option, const std::string& text, int32_t most, int32_t& value,
                std::string& error) {
    double number = 0;
    if (!parseNumber(text, number) || number != std::floor(number) || number < 1 || number > most) {
        error = option + ": '" + text + "' is not a whole number from 1 to " + std::to_string(most);
        return false;
    }
    value = static_cast<int32_t>(number);
    return true;
}

// A number of seconds: at least 0, or for the window above 0 and at most MAX_WINDOW_SECONDS.
bool parseSeconds(const std::string& option, const std::string& text, bool window, double& value,
                  std::string& error) {
    if (!parseNumber(text, value) || value < 0 ||
        (window && (value <= 0 || value > MAX_WINDOW_SECONDS))) {
        error = option + ": '" + text + "' is not a valid number of seconds" +
                (window ? " (above 0, at most 10)" : "");
        return false;
    }
    return true;
}

// The options that take a value, each as it is spelled on the command line: the words CLI11
// splits the command line into, before our own checks give each value its meaning.
struct Words {
    std::vector<std::string> inputs;
    std::string bits, rate, quant, mode, drive, mix, gain, block, jobs, format, at, window;
};

// An empty word cannot name a file. Option values are judged below; an empty word anywhere
// else is an input named "", which the parser would pass over without a word.
bool emptyInputNamed(const std::vector<std::string>& args, const CLI::App& app) {
    bool onlyInputs = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (onlyInputs) {
            if (arg.empty()) return true;
            continue;
        }
        if (arg == "--") {
            onlyInputs = true;
        } else if (arg.empty()) {
            return true;
        } else if (arg[0] == '-' && arg.size() > 1 && arg.find('=') == std::string::npos) {
            // An option that takes a value takes the next word, empty or not.
            const CLI::Option* option = nullptr;
            try {
                option = app.get_option(arg);
            } catch (const CLI::OptionNotFound&) {}
            if (option != nullptr && option->get_type_size() > 0) ++i;
        }
    }
    return false;
}

}  // namespace

bool parseOptions(const std::vector<std::string>& args, RenderOptions& options,
                  std::string& error) {
    Words words;
    CLI::App app;
    app.set_help_flag();  // ours is usageText()
    app.allow_extras();   // an unknown option is named by our own message
    const auto text = [&](const char* names, std::string& into) {
        app.add_option(names, into)->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    };
    const auto flag = [&](const char* names, bool& into) {
        app.add_flag(names, into)->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    };
    text("--bits", words.bits);
    text("--rate", words.rate);
    text("--quant", words.quant);
    text("--mode", words.mode);
    text("--drive", words.drive);
    text("--mix", words.mix);
    text("--gain", words.gain);
    text("--block", words.block);
    text("-j,--jobs", words.jobs);
    text("--format", words.format);
    text("--type", options.type);
    text("-o,--output", options.output);
    text("--module", options.module);
    text("--plot", options.plot);
    text("--at", words.at);
    text("--window", words.window);
    flag("-f,--force", options.force);
    flag("-h,--help", options.help);
    flag("--version", options.version);
    app.add_option("inputs", words.inputs);

    if (emptyInputNamed(args, app)) {
        error = "the input file name is empty";
        return false;
    }
    std::vector<std::string> reversed(args.rbegin(), args.rend());  // CLI11 takes them so
    try {
        app.parse(reversed);
    } catch (const CLI::ArgumentMismatch& e) {
        // "--bits: 1 required TEXT missing": the option is the message's first word.
        const std::string what = e.what();
        error = what.substr(0, what.find(':')) + " needs a value";
        return false;
    } catch (const CLI::ParseError& e) {
        error = e.what();
        return false;
    }
    // What the parser did not take (with allow_extras it keeps the "--" that ends the options).
    for (const std::string& extra : app.remaining()) {
        if (extra == "--") continue;
        error = "unknown option " + extra + " (see --help)";
        return false;
    }
    const auto given = [&](const char* option) { return app.count(option) > 0; };

    options.inputs = words.inputs;
    options.inputGiven = !words.inputs.empty();
    if (options.inputGiven) options.input = words.inputs.front();
    options.bitsGiven = given("--bits");
    options.rateGiven = given("--rate");
    if (options.bitsGiven && !parseSweep("--bits", words.bits, BITS_RANGE, options.bits, error))
        return false;
    if (options.rateGiven && !parseSweep("--rate", words.rate, RATE_RANGE, options.rate, error))
        return false;
    if (given("--quant") &&
        !parseChoice("--quant", words.quant, dsp::CONTROLS[dsp::CONTROL_QUANTIZE], options.quant,
                     error))
        return false;
    if (given("--mode") &&
        !parseChoice("--mode", words.mode, dsp::CONTROLS[dsp::CONTROL_MODE], options.mode, error))
        return false;
    if (given("--drive") && !parseLevel("--drive", words.drive, dsp::CONTROLS[dsp::CONTROL_DRIVE],
                                        options.levels.driveDb, error))
        return false;
    if (given("--mix") && !parseLevel("--mix", words.mix, dsp::CONTROLS[dsp::CONTROL_MIX],
                                      options.levels.mixPercent, error))
        return false;
    if (given("--gain") && !parseLevel("--gain", words.gain, dsp::CONTROLS[dsp::CONTROL_GAIN],
                                       options.levels.gainDb, error))
        return false;
    if (given("--block") &&
        !parseCount("--block", words.block, dsp::MOST_BLOCK_FRAMES, options.block, error))
        return false;
    if (given("--jobs") && !parseCount("--jobs", words.jobs, MAX_JOBS, options.jobs, error))
        return false;
    if (given("--format")) {
        if (words.format != "pcm16" && words.format != "pcm24" && words.format != "pcm32" &&
            words.format != "float" && words.format != "double") {
            error = "--format: '" + words.format + "' is not one of pcm16 pcm24 pcm32 float double";
            return false;
        }
        options.format = words.format;
    }
    if (given("--output") && options.output.empty()) {
        error = "--output: the output file name is empty";
        return false;
    }
    if (given("--plot") && !endsWith(options.plot, ".svg")) {
        error = "--plot: '" + options.plot + "' must name an .svg file (the plot is SVG)";
        return false;
    }
    if (given("--at") && !parseSeconds("--at", words.at, false, options.at, error)) return false;
    if (given("--window") && !parseSeconds("--window", words.window, true, options.window, error))
        return false;
    return true;
}

}  // namespace grindlet::render
