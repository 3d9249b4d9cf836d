// The render tool's --help and --version texts.
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
}  // namespace

std::string usageText() {
    return std::string("usage: grindlet-render [INPUT...] [options]\n") + WHAT_RUNS +
           "Without INPUT it renders a built-in demo: a sine sweep and a chord. INPUT - reads\n"
           "standard input; -o - writes standard output. Several inputs (or -o DIR/) render\n"
           "as a batch: each into DIR/ under its own name (.wav where its format is not\n"
           "written), or without -o beside itself as INPUT-grindlet.wav; a failed file is\n"
           "reported and the others go on.\n"
           "\n"
           "  --bits B[:B2]      bit depth kept, 0-32, fractions allowed (default 8);\n"
           "                     above 23 bits nothing is quantized, 0 is silence\n"
           "  --rate HZ[:HZ2]    rate at which new samples are taken, in hertz (default 8000);\n"
           "                     at or above the file's rate nothing is reduced\n"
           "                     B:B2 and HZ:HZ2 sweep linearly across the file\n"
           "  --quant MODE       floor, round (default) or inside: how samples snap to steps\n"
           "  --mode MODE        step (default: hold each sample) or linear (glide between them)\n"
           "  --drive DB         gain into the crusher, -24 to 24 dB (default 0)\n"
           "  --mix PERCENT      crushed against dry signal, 0-100 (default 100: all crushed)\n"
           "  --gain DB          output gain after the mix, -24 to 24 dB (default 0)\n"
           "  --block N          host block size in samples, 1-" +
           std::to_string(dsp::MOST_BLOCK_FRAMES) + " (default " +
           std::to_string(dsp::DEFAULT_BLOCK_FRAMES) + ")\n" +
           "  -o, --output FILE  the file to write (default: INPUT-grindlet.wav); its extension\n"
           "                     picks the format: .wav .flac .ogg .aiff .aif .w64 .caf .au\n"
           "                     .rf64 (a WAV past 4 GiB is written as RF64; an AIFF past\n"
           "                     4 GiB is refused);\n"
           "                     -o - writes WAV to standard output; a pipe or a device named\n"
           "                     here is written to, never replaced\n"
           "  --format F         sample format pcm16, pcm24, pcm32, float or double\n"
           "                     (default: as the input, where the output format holds it)\n"
           "  --type T           container wav, flac, ogg, aiff, w64, caf, au or rf64, whatever "
           "the\n"
           "                     name; a pipe takes only wav and au\n"
           "  -f, --force        replace an existing output file\n"
           "  -j, --jobs N       files rendered at once in a batch (default: one per core)\n"
           "  --plot FILE.svg    draw input and output over a short window\n"
           "  --at SECONDS       where that window starts (default 0.25)\n"
           "  --window SECONDS   its length (default 0.01, at most 10)\n" +
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
