// The render tool's command line: CLI11 splits it into options, our own checks give each value
// its meaning and every message.
#include "render_options.h"

#include "dsp/presets.h"
#include "dsp/quantizer.h"

#include <CLI/CLI.hpp>

#include <array>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace grindlet::render {

namespace {

constexpr double MAX_WINDOW_SECONDS = 10.0;

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

// A number control's words: "k" after a number of hertz stands for a thousand.
struct Range {
    const dsp::ControlFacts& control;
    bool kilo() const { return std::string(control.unit) == "Hz"; }
    std::string says() const { return rangeText(control); }
};

// A number, or with a "k" after it (where the range allows) a thousand times that number.
bool parseValue(const std::string& text, const Range& range, double& value) {
    const bool kilo = range.kilo() && !text.empty() && (text.back() == 'k' || text.back() == 'K');
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
                (range.kilo() ? " (8000, 8k and 44.1k are numbers)" : "");
        return false;
    }
    for (double v : {sweep.from, sweep.to}) {
        if (!dsp::accepts(range.control, v)) {
            error = option + ": " + shortNumber(v) + " is out of range (" + range.says() + ")";
            return false;
        }
        if (range.control.scaling == dsp::StreamScaling::DividedByTen &&
            !reachesTheModule(option, v, !range.control.minimumExcluded, error))
            return false;
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
        error =
            option + ": " + shortNumber(value) + " is out of range (" + rangeText(control) + ")";
        return false;
    }
    return true;
}

// One of a choice control's symbols (or names, in any case), as its index.
bool parseChoice(const std::string& option, const std::string& text,
                 const dsp::ControlFacts& control, int16_t& value, std::string& error) {
    const int index = choiceIndexOf(control, text);
    if (index >= 0) {
        value = static_cast<int16_t>(index);
        return true;
    }
    error = option + ": '" + text + "' is not one of " + choiceList(control, true, " ");
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
    std::array<std::string, dsp::CONTROL_COUNT> controls;  // by the table's index
    std::string block, jobs, format, at, window;
};

// Earlier spellings of the controls' options, still taken.
struct Alias {
    dsp::ControlIndex control;
    const char* option;
};
constexpr Alias ALIASES[] = {{dsp::CONTROL_QUANTIZE, "--quant"}};

std::string optionOf(size_t control) { return std::string("--") + dsp::CONTROLS[control].symbol; }

// One control's words into its value (one value for the levels, an index for a choice, a
// value or a sweep for every other number), or a message naming the option.
bool parseControl(size_t index, const std::string& text, Sweep& value, std::string& error) {
    const dsp::ControlFacts& control = dsp::CONTROLS[index];
    const std::string option = optionOf(index);
    if (control.choiceCount > 0) {
        int16_t choice = 0;
        if (!parseChoice(option, text, control, choice, error)) return false;
        value = {double(choice), double(choice)};
        return true;
    }
    if (control.scaling == dsp::StreamScaling::AroundModule) {
        double level = 0;
        if (!parseLevel(option, text, control, level, error)) return false;
        value = {level, level};
        return true;
    }
    return parseSweep(option, text, Range{control}, value, error);
}

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
    for (size_t i = 0; i < dsp::CONTROL_COUNT; ++i) {
        std::string names = optionOf(i);
        for (const Alias& alias : ALIASES)
            if (alias.control == i) names += std::string(",") + alias.option;
        text(names.c_str(), words.controls[i]);
    }
    text("--preset", options.preset);
    flag("--list-presets", options.listPresets);
    text("--block", words.block);
    text("-j,--jobs,--workers", words.jobs);
    text("--format", words.format);
    text("--type", options.type);
    text("-o,--output", options.output);
    text("--module", options.module);
    text("--plot", options.plot);
    text("--at", words.at);
    text("--window", words.window);
    flag("-f,--force", options.force);
    flag("--spectrum", options.spectrum);
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
    // A preset sets the controls first; a control named as well overrides it.
    if (given("--preset")) {
        const dsp::Preset* preset = dsp::presetNamed(options.preset);
        if (preset == nullptr) {
            error = "--preset: '" + options.preset + "' is not one of";
            for (const dsp::Preset& known : dsp::PRESETS) error += std::string(" ") + known.symbol;
            error += " (--list-presets)";
            return false;
        }
        for (size_t i = 0; i < dsp::CONTROL_COUNT; ++i) {
            const double value = dsp::presetValue(*preset, static_cast<dsp::ControlIndex>(i));
            options.controls[i] = {value, value};
        }
    }
    for (size_t i = 0; i < dsp::CONTROL_COUNT; ++i) {
        options.given[i] = given(optionOf(i).c_str());
        if (options.given[i] && !parseControl(i, words.controls[i], options.controls[i], error))
            return false;
    }
    if (given("--block") &&
        !parseCount("--block", words.block, dsp::MOST_BLOCK_FRAMES, options.block, error))
        return false;
    if (given("--jobs") && !parseCount("--jobs", words.jobs, dsp::MOST_JOBS, options.jobs, error))
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
    if (options.spectrum && !given("--plot")) {
        error = "--spectrum draws the plot's spectra: name the plot with --plot FILE.svg";
        return false;
    }
    if (given("--at") && !parseSeconds("--at", words.at, false, options.at, error)) return false;
    if (given("--window") && !parseSeconds("--window", words.window, true, options.window, error))
        return false;
    return true;
}

}  // namespace grindlet::render
