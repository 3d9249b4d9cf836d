// grindlet-render: runs audio through the effect a chunk at a time. See --help. The x86-64 build
// runs the effect's own signal code; the 32-bit build runs Module.sep through our host.
// Everything that can fail is checked before anything is written, and every output appears
// only when complete: an existing file is never left half-written or replaced by mistake.
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "audio_files.h"
#include "batch.h"
#include "dsp/presets.h"
#include "render_job.h"

using namespace grindlet;
using namespace grindlet::render;

namespace {

#ifdef GRINDLET_RENDER_MODULE_FILES
std::string besideProgram(const char* argv0, const std::string& name) {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    std::string self = n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string(argv0);
    const size_t slash = self.find_last_of('/');
    return (slash == std::string::npos ? std::string(".") : self.substr(0, slash)) + "/" + name;
}
#endif

int fail(const std::string& message) {
    std::fprintf(stderr, "grindlet-render: %s\n", message.c_str());
    return 1;
}

// One file, with the tool's messages.
int renderOne(RenderOptions& options) {
    JobReport report;
    report.progressBar = true;
    std::string error;
    return renderJob(options, report, error) ? 0 : fail(error);
}

}  // namespace

int main(int argc, char** argv) {
    // A file-size limit should fail a write, which the tool reports, not kill it mid-file.
    std::signal(SIGXFSZ, SIG_IGN);
    // A reader that goes away fails a write (EPIPE) rather than killing the tool silently.
    std::signal(SIGPIPE, SIG_IGN);
    removeTemporaryFilesOnSignals();
    RenderOptions options;
    std::string error;
    if (!parseOptions(std::vector<std::string>(argv + 1, argv + argc), options, error))
        return fail(error);
    if (options.listPresets) {
        for (const dsp::Preset& preset : dsp::PRESETS)
            std::printf("%-16s %s\n", preset.symbol, preset.label);
        return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
    }
    if (options.help) {
        std::fputs(usageText().c_str(), stdout);
        return 0;
    }
    if (options.version) {
        std::fputs(versionText().c_str(), stdout);
        return 0;
    }
#ifndef GRINDLET_RENDER_MODULE_FILES
    if (!options.module.empty()) {
        return fail(
            "--module: this grindlet-render (x86-64) runs the effect's own code and loads "
            "no module file; the 32-bit build's grindlet-render (build/linux) renders "
            "through one");
    }
#endif
#ifdef GRINDLET_RENDER_MODULE_FILES
    if (options.module.empty()) options.module = besideProgram(argv[0], "Module.sep");
#endif
    if (!isBatch(options)) return renderOne(options);

    std::vector<BatchJob> jobs;
    if (!planBatch(options, jobs, error)) return fail(error);
#ifdef GRINDLET_RENDER_MODULE_FILES
    // One missing module file is one message, not one per input.
    if (access(options.module.c_str(), R_OK) != 0)
        return fail(options.module + ": " + std::strerror(errno));
#endif
    return runBatch(jobs, options.jobs, [&](const BatchJob& job) {
        RenderOptions one = options;
        one.input = job.input;
        one.inputs = {job.input};
        one.output = job.output;
        return renderOne(one);
    });
}
