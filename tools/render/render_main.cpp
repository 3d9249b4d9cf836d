// grindlet-render: runs audio files through Module.sep via our host. See --help.
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "render_engine.h"

using namespace grindlet;

namespace {

std::string besideProgram(const char* argv0, const std::string& name) {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    std::string self = n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string(argv0);
    const size_t slash = self.find_last_of('/');
    return (slash == std::string::npos ? std::string(".") : self.substr(0, slash)) + "/" + name;
}

bool sameFile(const std::string& a, const std::string& b) {
    char realA[PATH_MAX], realB[PATH_MAX];
    return realpath(a.c_str(), realA) != nullptr && realpath(b.c_str(), realB) != nullptr &&
           std::string(realA) == realB;
}

int fail(const std::string& message) {
    std::fprintf(stderr, "grindlet-render: %s\n", message.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    render::RenderOptions options;
    std::string error;
    if (!render::parseOptions(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
        return fail(error);
    }
    if (options.help) {
        std::fputs(render::usageText().c_str(), stdout);
        return 0;
    }
    if (options.output.empty()) options.output = render::defaultOutputName(options.input);
    if (!options.input.empty() && sameFile(options.input, options.output)) {
        return fail("the output " + options.output + " is the input: choose another with -o");
    }
    if (options.module.empty()) options.module = besideProgram(argv[0], "Module.sep");
    const auto library = host::ModuleLibrary::load(options.module, error);
    if (!library) return fail(error);

    render::Audio input;
    if (options.input.empty()) {
        input = render::demoSignal();
        if (options.bits.from == 8.0 && options.bits.to == 8.0) options.bits = {12.0, 3.0};
        if (options.rate.from == 8000.0 && options.rate.to == 8000.0) options.rate = {11025.0, 2500.0};
        std::printf("demo: a 2 s sine sweep and a 2 s chord, bits %g to %g, rate %g Hz to %g Hz\n",
                    options.bits.from, options.bits.to, options.rate.from, options.rate.to);
    } else if (!render::readAudio(options.input, input, error)) {
        return fail(error);
    }

    const bool showProgress = isatty(STDERR_FILENO) && input.frames() > 10 * input.sampleRate;
    int shown = -1;
    auto progress = [&](double fraction) {
        const int percent = static_cast<int>(fraction * 100.0);
        if (!showProgress || percent == shown) return;
        shown = percent;
        const int bar = percent * 40 / 100;
        std::fprintf(stderr, "\r[%-40s] %3d%%", std::string(static_cast<size_t>(bar), '#').c_str(), percent);
        if (percent == 100) std::fputc('\n', stderr);
    };
    render::Audio output;
    if (!render::renderAudio(*library, options, input, output, error, progress)) return fail(error);
    if (!render::writeAudio(options.output, output, options.format, error)) return fail(error);
    std::printf("wrote %s: %lld frames, %d channel(s), %d Hz\n", options.output.c_str(),
                static_cast<long long>(output.frames()), output.channels, output.sampleRate);
    if (!options.plot.empty()) {
        if (!render::writePlot(options.plot, options, input, output, error)) return fail(error);
        std::printf("wrote %s: input and output from %.3f s over %.1f ms\n", options.plot.c_str(),
                    options.at, options.window * 1000.0);
    }
    return 0;
}
