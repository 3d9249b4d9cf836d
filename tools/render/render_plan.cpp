#include "render_plan.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "audio_files.h"
#include "plot_svg.h"

namespace grindlet::render {

std::string seconds(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", value);
    return text;
}

bool completeOptions(RenderOptions& options, std::string& error) {
    const bool fromStdin = options.inputGiven && options.input == STANDARD_STREAM;
    if (fromStdin && options.output.empty()) {
        error = "reading standard input needs -o FILE (or -o - for standard output)";
        return false;
    }
    if (!options.inputGiven) {
        // The demo sweeps what the command line leaves unset, so that it shows both controls.
        if (!options.given[dsp::CONTROL_BITS])
            options.controls[dsp::CONTROL_BITS] = {DEMO_BITS_FROM, DEMO_BITS_TO};
        if (!options.given[dsp::CONTROL_RATE])
            options.controls[dsp::CONTROL_RATE] = {DEMO_RATE_FROM, DEMO_RATE_TO};
    }
    if (options.output.empty())
        options.output = defaultOutputName(options.inputGiven ? options.input : "");
    return true;
}

namespace {

// WAV and AIFF count their bytes in 32 bits, and a file past 4 GiB would wrap them: a WAV is
// written as RF64 where it would pass them (or might: a length not known, where libsndfile keeps
// it plain WAV while it fits); an AIFF is refused, now or at the write that would pass them.
bool sizesHold(RenderPlan& plan, int32_t channels, int64_t frames, const std::string& name,
               std::string& error) {
    const int container = plan.format & SF_FORMAT_TYPEMASK;
    if (container != SF_FORMAT_WAV && container != SF_FORMAT_AIFF) return true;
    const bool fits =
        frames >= 0 && sampleDataBytes(plan.format, channels, frames) <= SIZE_FIELD_LIMIT;
    if (fits) return true;
    if (container == SF_FORMAT_WAV) {
        plan.format = SF_FORMAT_RF64 | (plan.format & SF_FORMAT_SUBMASK);
        plan.downgradeSmallRf64 = frames < 0;
        return true;
    }
    if (frames < 0) {
        plan.byteLimit = SIZE_FIELD_LIMIT;
        return true;
    }
    error = name + ": an AIFF file holds at most 4 GiB of audio and this one would hold " +
            std::to_string(sampleDataBytes(plan.format, channels, frames) >> 20) +
            " MiB: write .w64, .caf or .rf64 (or .wav, which becomes RF64 when it must)";
    return false;
}

}  // namespace

bool planRender(const RenderOptions& options, const RenderFacts& facts, RenderPlan& plan,
                std::string& error) {
    const bool toStdout = options.output == STANDARD_STREAM;
    if (facts.output.folder) {
        error = options.output + " is a folder: name a file with -o";
        return false;
    }
    // A pipe or a device is written as a stream; standard output too where it cannot seek.
    plan.stream = toStdout ? facts.outputIsStandardStream : facts.output.stream;
    if (!chooseOutputFormat(options.output, options.type, plan.stream, facts.subtype,
                            options.format, facts.sampleRate, facts.channels, plan.format, error)) {
        return false;
    }
    // No name may stand for another file: compared by device and inode.
    if (!toStdout && sameFile(facts.output, facts.input)) {
        error = "the output " + options.output + " is the input: choose another with -o";
        return false;
    }
    if (toStdout && facts.standardOutput.exists) {
        if (facts.input.exists && sameFile(facts.standardOutput, facts.input)) {
            error = "standard output is the input file: it would be overwritten while it is read";
            return false;
        }
        if (facts.standardOutput.holdsBytes) {
            error =
                "standard output is a file that holds bytes already (>> or an offset): the "
                "audio would land in the middle of it; write a new file with -o";
            return false;
        }
    }
    if (!options.plot.empty()) {
        if (sameFile(facts.plot, facts.input)) {
            error = "the plot " + options.plot + " is the input: choose another";
            return false;
        }
        if (!toStdout && sameFile(facts.plot, facts.output)) {
            error = "the plot and the output are the same file: " + options.plot;
            return false;
        }
        if (facts.plot.folder) {
            error = options.plot + " is a folder: name a file with --plot";
            return false;
        }
    }
    for (const auto& [name, identity] :
         {std::pair{options.output, facts.output}, std::pair{options.plot, facts.plot}}) {
        if (identity.danglingLink && !options.force) {
            error = name + " is a symbolic link to nothing: use -f (--force) to replace the link";
            return false;
        }
        if (identity.exists && !identity.stream && !options.force) {
            error = name + " exists: use -f (--force) to replace it";
            return false;
        }
    }
    const int64_t declared = facts.declaredFrames;
    if (!plan.stream && !sizesHold(plan, facts.channels, declared, options.output, error))
        return false;
    if (declared < 0 && options.sweeps()) {
        error = "sweeps need an input whose length is known (not a stream)";
        return false;
    }
    // A streamed output's header states the input's length only where that is known: a piped
    // input's header may be a placeholder, and the output would be padded out to it.
    plan.promised = facts.inputPiped ? -1 : declared;
    if (options.plot.empty()) return true;
    // The plot window must lie inside the audio (checked again at the end for a stream).
    const double firstFrame = options.at * facts.sampleRate;
    if (!(firstFrame < (declared < 0 ? double(INT64_MAX) / 2 : double(declared)))) {
        error = "--at " + seconds(options.at) + " is past the end of the audio (" +
                seconds(double(declared) / facts.sampleRate) + ")";
        return false;
    }
    plan.plotFirst = static_cast<int64_t>(firstFrame);
    plan.plotFrames = std::max<int64_t>(1, static_cast<int64_t>(options.window * facts.sampleRate));
    if (plan.plotFrames > PlotWindow::MOST_FRAMES) {
        error = "--window " + seconds(options.window) + " at " + std::to_string(facts.sampleRate) +
                " Hz is " + std::to_string(plan.plotFrames) + " samples; a plot draws at most " +
                std::to_string(PlotWindow::MOST_FRAMES) + " (use a shorter --window)";
        return false;
    }
    return true;
}

}  // namespace grindlet::render
