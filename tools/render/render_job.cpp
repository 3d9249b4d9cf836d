#include "render_job.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "audio_files.h"
#include "plot_svg.h"
#include "render_engine.h"
#include "render_plan.h"
#ifdef GRINDLET_RENDER_MODULE_FILES
#include "module_channel.h"
#endif

namespace grindlet::render {

namespace {

// Frames per chunk read, rendered and written; memory does not depend on the input's length.
constexpr int64_t CHUNK_FRAMES = 4096;
constexpr int64_t PROGRESS_FROM_SECONDS = 10;

bool failed(std::string& error, const std::string& message) {
    error = message;
    return false;
}

// The samples to render: a file, standard input, or the demo.
struct Source {
    std::unique_ptr<AudioInput> file;
    DemoSignal demo;
    int32_t sampleRate() const { return file ? file->sampleRate() : DemoSignal::SAMPLE_RATE; }
    int32_t channels() const { return file ? file->channels() : 1; }
    int32_t subtype() const { return file ? file->subtype() : SF_FORMAT_PCM_16; }
    int64_t declaredFrames() const { return file ? file->declaredFrames() : DemoSignal::FRAMES; }
    int64_t read(float* interleaved, int64_t frames) {
        return file ? file->read(interleaved, frames) : demo.read(interleaved, frames);
    }
};

class Progress {
public:
    // frames 0: no bar.
    Progress(int64_t frames, int32_t sampleRate)
        : total(frames),
          shown(isatty(STDERR_FILENO) && frames > PROGRESS_FROM_SECONDS * sampleRate) {}
    void update(int64_t done) {
        if (!shown) return;
        const int percent = static_cast<int>(100 * std::min(done, total) / total);
        if (percent == last) return;
        last = percent;
        std::fprintf(stderr, "\r[%-40s] %3d%%",
                     std::string(static_cast<size_t>(percent * 40 / 100), '#').c_str(), percent);
        if (percent == 100) std::fputc('\n', stderr);
    }

private:
    int64_t total;
    bool shown;
    int last = -1;
};

// What the files named on the command line are: the input opened (its header read), the
// output and the plot looked up. Nothing is created or written.
bool lookAt(const RenderOptions& options, Source& source, RenderFacts& facts, std::string& error) {
    const bool fromStdin = options.inputGiven && options.input == STANDARD_STREAM;
    if (options.inputGiven) {
        // A sweep needs the length: a pipe is then read whole first.
        const bool wholeLength = options.sweeps();
        source.file = AudioInput::open(options.input, wholeLength, error);
        if (!source.file) return false;
    }
    facts.sampleRate = source.sampleRate();
    facts.channels = source.channels();
    facts.subtype = source.subtype();
    facts.declaredFrames = source.declaredFrames();
    facts.inputPiped = source.file && source.file->fromPipe();
    facts.input = !options.inputGiven ? FileIdentity{}
                  : fromStdin         ? identifyStandardInput()
                                      : identify(options.input);
    const bool toStdout = options.output == STANDARD_STREAM;
    facts.output = toStdout ? FileIdentity{} : identify(options.output);
    facts.outputIsStandardStream = toStdout && standardOutputIsStream();
    if (toStdout) facts.standardOutput = identifyStandardOutput();
    facts.plot = options.plot.empty() ? FileIdentity{} : identify(options.plot);
    return true;
}

// One render: the command line completed and checked, the files looked at, the plan made;
// then only reading, rendering and writing.
}  // namespace

bool renderJob(RenderOptions& options, JobReport& report, std::string& error) {
    if (!completeOptions(options, error)) return false;
    const bool fromStdin = options.inputGiven && options.input == STANDARD_STREAM;
    const bool toStdout = options.output == STANDARD_STREAM;
    // Messages go where the audio does not.
    std::FILE* messages = !report.messages ? nullptr : toStdout ? stderr : stdout;

#ifdef GRINDLET_RENDER_MODULE_FILES
    const auto library = host::ModuleLibrary::load(options.module, error);
    if (!library) return false;
#endif

    Source source;
    RenderFacts facts;
    RenderPlan plan;
    if (!lookAt(options, source, facts, error) || !planRender(options, facts, plan, error))
        return false;
    const int32_t sampleRate = facts.sampleRate, channels = facts.channels;
    const int64_t declared = facts.declaredFrames;
    PlotWindow window(plan.plotFirst, plan.plotFrames);
    // The module file's objects, where this build renders through one: made before anything is
    // written, as they may refuse.
    std::unique_ptr<dsp::ChannelCrusher> moduleCrusher;
#ifdef GRINDLET_RENDER_MODULE_FILES
    moduleCrusher = openModuleCrusher(*library, static_cast<float>(sampleRate), channels,
                                      options.block, options.choice(dsp::CONTROL_QUANTIZE),
                                      options.choice(dsp::CONTROL_MODE), error);
    if (!moduleCrusher) return false;
#endif

    // Both outputs exist from here, under temporary names; nothing is in place until the end.
    std::unique_ptr<PendingFile> plotFile;
    if (!options.plot.empty()) {
        plotFile = PendingFile::create(options.plot, options.force, error);
        if (!plotFile) return false;
    }
    AudioOutput::Shape shape;
    shape.format = plan.format;
    shape.sampleRate = sampleRate;
    shape.channels = channels;
    shape.frames = plan.promised;
    shape.downgradeSmallRf64 = plan.downgradeSmallRf64;
    shape.byteLimit = plan.byteLimit;
    const auto audio = AudioOutput::open(options.output, shape, options.force, error);
    if (!audio) return false;
    ChannelRenderer renderer;
    renderer.start(moduleCrusher.get(), options, sampleRate, channels, declared);

    if (!options.inputGiven && messages != nullptr) {
        std::fprintf(messages,
                     "demo: a 2 s sine sweep and a 2 s chord, bits %g to %g, rate %g Hz to %g Hz\n",
                     options.control(dsp::CONTROL_BITS).from, options.control(dsp::CONTROL_BITS).to,
                     options.control(dsp::CONTROL_RATE).from,
                     options.control(dsp::CONTROL_RATE).to);
    }
    const int64_t chunk =
        std::max<int64_t>(options.block, CHUNK_FRAMES / options.block * options.block);
    std::vector<float> in(static_cast<size_t>(chunk * channels)), out(in.size());
    Progress progress(report.progressBar ? declared : 0, sampleRate);
    int64_t position = 0;
    for (int64_t n; (n = source.read(in.data(), chunk)) > 0; position += n) {
        if (report.keepGoing && !report.keepGoing()) return failed(error, "stopped");
        renderer.process(in.data(), out.data(), n);
        if (plotFile) window.capture(in.data(), out.data(), n, position, channels);
        if (!audio->write(out.data(), n, error)) return false;
        progress.update(position + n);
    }
    if (source.file && source.file->readError() != 0) {
        return failed(
            error, "cannot read " + options.input + ": " + std::strerror(source.file->readError()));
    }
    const int64_t stated = source.file ? source.file->statedFrames() : declared;
    report.frames = position;
    report.statedFrames = stated;
    report.channels = channels;
    report.sampleRate = sampleRate;
    if (stated >= 0 && position < stated && report.wholeOrNothing) {
        return failed(error, "read " + std::to_string(position) + " of " + std::to_string(stated) +
                                 " frames");
    }
    if (stated >= 0 && position < stated && messages != nullptr) {
        std::fprintf(stderr,
                     "grindlet-render: note: %s is shorter than its header says: rendered %lld of "
                     "%lld frames\n",
                     fromStdin ? "standard input" : options.input.c_str(),
                     static_cast<long long>(position), static_cast<long long>(stated));
    }
    if (plotFile) {
        if (!window.reached()) {
            return failed(error, "--at " + seconds(options.at) + " is past the end of the audio (" +
                                     seconds(double(position) / sampleRate) + ")");
        }
        std::FILE* svg = fdopen(dup(plotFile->descriptor()), "w");
        const bool drawn = svg != nullptr && window.write(svg, options, sampleRate, position);
        const int drawError = errno;
        if (svg == nullptr || std::fclose(svg) != 0 || !drawn) {
            return failed(error, "cannot write the plot " + options.plot + ": " +
                                     std::strerror(drawn ? errno : drawError));
        }
    }
    if (!audio->finish(error)) return false;
    if (plotFile && !plotFile->commit(error)) return false;
    if (messages == nullptr) return true;
    std::fprintf(messages, "wrote %s: %lld frames, %d channel(s), %d Hz\n",
                 toStdout ? "standard output" : options.output.c_str(),
                 static_cast<long long>(position), channels, sampleRate);
    if (plotFile) {
        std::fprintf(messages, "wrote %s: input and output from %.3f s over %.1f ms\n",
                     options.plot.c_str(), options.at, options.window * 1000.0);
    }
    return true;
}

}  // namespace grindlet::render
