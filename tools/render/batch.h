// Many inputs in one run: each file is rendered in a child process of its own, so a failure
// (or a crash) in one never stops the others, and every file keeps the single render's rules.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "render_options.h"

namespace grindlet::render {

struct BatchJob {
    std::string input;
    std::string output;
};

// Whether the command line asks for a batch: more than one input, or -o DIR/.
bool isBatch(const RenderOptions& options);

// An input's output in a folder: its own name, or with ".wav" where no output has its
// extension ("in/song.flac" -> "DIR/song.flac", "talk.mp3" -> "DIR/talk.wav").
std::string outputInFolder(const std::string& folder, const std::string& input);

// Each input's output (in -o's folder, else beside the input under the default name). False
// with a message, before anything is written, when the batch cannot run as asked: a standard
// stream or a plot in a batch, no such folder, two inputs that would land on one output, or
// an output that is one of the inputs.
bool planBatch(const RenderOptions& options, std::vector<BatchJob>& jobs, std::string& error);

// Runs renderOne(job) in a child process per job, at most `parallel` at once (0: one per
// core). Prints one line per failure as it happens, one progress bar on a terminal and a
// summary "N rendered, M failed". Returns the exit status: 0 when every file was rendered.
// SIGINT, SIGTERM and SIGHUP reach every running child (each removes its temporary file),
// start no further job, and end the batch as the signal would.
int runBatch(const std::vector<BatchJob>& jobs, int parallel,
             const std::function<int(const BatchJob&)>& renderOne);

}  // namespace grindlet::render
