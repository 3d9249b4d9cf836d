#include "render_options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace grindlet::render {

namespace {

constexpr double MAX_BITS = 32.0;
constexpr double MAX_RATE_HZ = 1e6;
constexpr int32_t MAX_BLOCK = 1 << 16;

bool parseNumber(const std::string& text, double& value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return errno == 0 && end == text.c_str() + text.size() && std::isfinite(value);
}

// "16" or "16:4", each value inside [low, high] (low excluded when lowOpen).
bool parseSweep(const std::string& option, const std::string& text, double low, double high,
                bool lowOpen, Sweep& sweep, std::string& error) {
    const size_t colon = text.find(':');
    const std::string first = text.substr(0, colon);
    const std::string second = colon == std::string::npos ? first : text.substr(colon + 1);
    if (!parseNumber(first, sweep.from) || !parseNumber(second, sweep.to)) {
        error = option + ": '" + text + "' is not a number or FROM:TO";
        return false;
    }
    for (double v : {sweep.from, sweep.to}) {
        if (v > high || v < low || (lowOpen && v == low)) {
            error = option + ": " + text + " is out of range (" + (lowOpen ? "above " : "") +
                    std::to_string(static_cast<long long>(low)) + " to " +
                    std::to_string(static_cast<long long>(high)) + ")";
            return false;
        }
    }
    return true;
}

bool parseChoice(const std::string& option, const std::string& text,
                 const std::vector<std::string>& names, int16_t& value, std::string& error) {
    for (size_t i = 0; i < names.size(); ++i) {
        if (text == names[i]) {
            value = static_cast<int16_t>(i);
            return true;
        }
    }
    error = option + ": '" + text + "' is not one of";
    for (const auto& name : names) error += " " + name;
    return false;
}

}  // namespace

bool parseOptions(const std::vector<std::string>& args, RenderOptions& options, std::string& error) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= args.size()) {
                error = arg + " needs a value";
                return false;
            }
            out = args[++i];
            return true;
        };
        std::string text;
        if (arg == "-h" || arg == "--help") {
            options.help = true;
        } else if (arg == "--bits") {
            if (!value(text) || !parseSweep(arg, text, 0.0, MAX_BITS, false, options.bits, error)) return false;
        } else if (arg == "--rate") {
            if (!value(text) || !parseSweep(arg, text, 0.0, MAX_RATE_HZ, true, options.rate, error)) return false;
        } else if (arg == "--quant") {
            if (!value(text) || !parseChoice(arg, text, {"floor", "round", "inside"}, options.quant, error)) return false;
        } else if (arg == "--mode") {
            if (!value(text) || !parseChoice(arg, text, {"step", "linear"}, options.mode, error)) return false;
        } else if (arg == "--block") {
            double block = 0;
            if (!value(text) || !parseNumber(text, block) || block != std::floor(block) ||
                block < 1 || block > MAX_BLOCK) {
                if (error.empty()) error = "--block: '" + text + "' is not a whole number from 1 to 65536";
                return false;
            }
            options.block = static_cast<int32_t>(block);
        } else if (arg == "--format") {
            if (!value(text)) return false;
            if (text != "pcm16" && text != "pcm24" && text != "pcm32" && text != "float" && text != "double") {
                error = "--format: '" + text + "' is not one of pcm16 pcm24 pcm32 float double";
                return false;
            }
            options.format = text;
        } else if (arg == "-o" || arg == "--output") {
            if (!value(options.output)) return false;
        } else if (arg == "--module") {
            if (!value(options.module)) return false;
        } else if (arg == "--plot") {
            if (!value(options.plot)) return false;
        } else if (arg == "--at" || arg == "--window") {
            double seconds = 0;
            if (!value(text) || !parseNumber(text, seconds) || seconds < 0 ||
                (arg == "--window" && (seconds <= 0 || seconds > 10))) {
                if (error.empty()) error = arg + ": '" + text + "' is not a valid number of seconds";
                return false;
            }
            (arg == "--at" ? options.at : options.window) = seconds;
        } else if (!arg.empty() && arg[0] == '-') {
            error = "unknown option " + arg + " (see --help)";
            return false;
        } else if (options.input.empty()) {
            options.input = arg;
        } else {
            error = "more than one input file: " + arg;
            return false;
        }
    }
    return true;
}

std::string usageText() {
    return "usage: grindlet-render [INPUT] [options]\n"
           "Runs an audio file (any format libsndfile reads) through QZ-Grindlet and writes WAV.\n"
           "Without INPUT it renders a built-in demo: a sine sweep and a chord.\n"
           "\n"
           "  --bits B[:B2]      bit depth kept, 0-32, fractions allowed (default 8);\n"
           "                     above 23 bits nothing is quantized\n"
           "  --rate HZ[:HZ2]    rate at which new samples are taken, in hertz (default 8000);\n"
           "                     at or above the file's rate nothing is reduced\n"
           "                     B:B2 and HZ:HZ2 sweep linearly across the file\n"
           "  --quant MODE       floor, round (default) or inside: how samples snap to steps\n"
           "  --mode MODE        step (default: hold each sample) or linear (glide between them)\n"
           "  --block N          host block size in samples, 1-65536 (default 512)\n"
           "  --format F         pcm16, pcm24, pcm32, float or double (default: as the input)\n"
           "  -o, --output FILE  the WAV to write (default: INPUT-grindlet.wav)\n"
           "  --plot FILE.svg    draw input and output over a short window\n"
           "  --at SECONDS       where that window starts (default 0.25)\n"
           "  --window SECONDS   its length (default 0.01)\n"
           "  --module FILE      the module file (default: Module.sep beside this tool)\n"
           "  -h, --help         this text\n";
}

float bitsStreamValue(double bits) { return static_cast<float>(bits / 10.0); }
float rateStreamValue(double hertz) { return static_cast<float>(hertz / 10.0); }

std::string defaultOutputName(const std::string& input) {
    if (input.empty()) return "grindlet-demo.wav";
    const size_t slash = input.find_last_of('/');
    const size_t dot = input.find_last_of('.');
    const std::string stem =
        dot != std::string::npos && (slash == std::string::npos || dot > slash) ? input.substr(0, dot) : input;
    return stem + "-grindlet.wav";
}

}  // namespace grindlet::render
