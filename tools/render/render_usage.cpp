// The render tool's --help and --version texts; the controls' lines are made from the table.
#include "render_options.h"

#ifndef GRINDLET_VERSION
#define GRINDLET_VERSION "unknown"
#endif

namespace grindlet::render {

namespace {
#ifdef GRINDLET_RENDER_MODULE_FILES
constexpr const char* WHAT_RUNS =
    "Runs audio (any format libsndfile reads) through QZ-Grindlet's Module.sep.\n";
constexpr const char* MODULE_OPTION =
    "  --module FILE      the module file (default: Module.sep beside this tool)\n";
#else
constexpr const char* WHAT_RUNS =
    "Runs audio (any format libsndfile reads) through QZ-Grindlet's own signal code,\n"
    "bit for bit what Module.sep gives (the 32-bit build renders through a module file).\n";
constexpr const char* MODULE_OPTION = "";
#endif

constexpr size_t HELP_COLUMN = 21;
constexpr size_t HELP_WIDTH = 80;

// An option's line: its name and value at the left, the text wrapped at HELP_WIDTH beside it.
std::string helpLine(const std::string& option, const std::string& text) {
    std::string out = "  " + option;
    out += out.size() + 1 < HELP_COLUMN ? std::string(HELP_COLUMN - out.size(), ' ')
                                        : "\n" + std::string(HELP_COLUMN, ' ');
    size_t column = HELP_COLUMN;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find(' ', at);
        if (end == std::string::npos) end = text.size();
        const std::string word = text.substr(at, end - at);
        if (column > HELP_COLUMN && column + 1 + word.size() > HELP_WIDTH) {
            out += "\n" + std::string(HELP_COLUMN, ' ');
            column = HELP_COLUMN;
        } else if (column > HELP_COLUMN) {
            out += ' ';
            ++column;
        }
        out += word;
        column += word.size();
        at = end + 1;
    }
    return out + "\n";
}

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

// Every control of the table: "--bits BITS[:BITS2]", what it does, its range and default.
std::string controlLines() {
    std::string lines, swept;
    for (const dsp::ControlFacts& control : dsp::CONTROLS) {
        const std::string option = std::string("--") + control.symbol;
        if (control.choiceCount > 0) {
            std::string names;
            for (size_t i = 0; i < control.choiceCount; ++i)
                names += std::string(i == 0 ? "" : ", ") + control.choiceSymbols[i];
            const auto chosen = static_cast<size_t>(control.defaultValue);
            lines +=
                helpLine(option + " NAME", std::string(control.brief) + "; one of " + names +
                                               " (default " + control.choiceSymbols[chosen] + ")");
            continue;
        }
        const std::string unit = control.unit;
        std::string value = unit == "%"      ? "PERCENT"
                            : unit == "bits" ? "B"
                            : unit == "Hz"   ? "HZ"
                            : unit == "dB"   ? "DB"
                                             : "N";
        // The levels take one value; every other number may sweep.
        if (control.scaling != dsp::StreamScaling::AroundModule) {
            value += "[:" + value + "2]";
            swept += (swept.empty() ? "" : ", ") + option;
        }
        lines +=
            helpLine(option + " " + value, std::string(control.brief) + "; " + rangeText(control) +
                                               " (default " + number(control.defaultValue) + ")");
    }
    return lines + helpLine("", "A:B sweeps linearly across the file (" + swept + ")");
}
}  // namespace

std::string usageText() {
    return std::string("usage: grindlet-render [INPUT...] [options]\n") + WHAT_RUNS +
           "Without INPUT it renders a built-in demo: a sine sweep and a chord. INPUT - reads\n"
           "standard input; -o - writes standard output. Several inputs (or -o DIR/) render\n"
           "as a batch: each into DIR/ under its own name (.wav where its format is not\n"
           "written), or without -o beside itself as INPUT-grindlet.wav; a failed file is\n"
           "reported and the others go on.\n"
           "\n" +
           controlLines() +
           "  --preset NAME      start from a factory preset (the controls named override it)\n"
           "  --list-presets     the presets' names and what they sound like\n"
           "  --block N          host block size in samples, 1-" +
           std::to_string(dsp::MOST_BLOCK_FRAMES) + " (default " +
           std::to_string(dsp::DEFAULT_BLOCK_FRAMES) + ")\n" +
           "  -o, --output FILE  the file to write (default: INPUT-grindlet.wav); its extension\n"
           "                     picks the format: .wav .flac .ogg .aiff .aif .w64 .caf .au\n"
           "                     .opus .mp3 (and .wave .oga .aifc .snd)\n"
           "                     .rf64 (a WAV past 4 GiB is written as RF64; an AIFF past\n"
           "                     4 GiB is refused);\n"
           "                     -o - writes WAV to standard output; a pipe or a device named\n"
           "                     here is written to, never replaced\n"
           "  --format F         sample format pcm16, pcm24, pcm32, float or double\n"
           "                     (default: as the input, where the output format holds it)\n"
           "  --type T           container wav, flac, ogg, aiff, w64, caf, au or rf64, whatever "
           "the\n"
           "                     name; a pipe takes only wav and au\n"
           "  -f, --force        replace an existing output file\n" +
           helpLine("-j, --jobs N", "files rendered at once in a batch, at most " +
                                        std::to_string(dsp::MOST_JOBS) +
                                        " (default: one per core; --workers is the same)") +
           "  --plot FILE.svg    draw input and output over a short window\n"
           "  --at SECONDS       where that window starts (default 0.25)\n"
           "  --window SECONDS   its length (default 0.01, at most 10)\n"
           "  --spectrum         the plot shows the window's spectra of input and output\n"
           "                     instead (with a longer window: --window 1)\n" +
           MODULE_OPTION +
           "  --version          the version\n"
           "  -h, --help         this text\n"
           "\n"
           "Options take their value after a space or an equals sign (--bits=6).\n"
           "\n"
           "examples:\n"
           "  grindlet-render song.flac --bits 8 --rate 11025 -o song-8bit.flac\n"
           "  grindlet-render drums.wav --bits 16:4 --rate 44100:500 --mode linear -o sweep.wav\n"
           "  sox in.mp3 -t wav - | grindlet-render - --bits 6 -o - | aplay\n"
           "  grindlet-render corpus/*.flac --bits 6 --rate 8k -o crushed/ -j 4\n";
}

std::string versionText() { return std::string("grindlet-render ") + GRINDLET_VERSION + "\n"; }

}  // namespace grindlet::render
