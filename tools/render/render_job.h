// One render as grindlet-render makes it, from the command line's options to the output in
// place: the files looked at and the plan made before anything is written, then reading,
// rendering and writing a chunk at a time. The render tool runs it for each file; the Python
// package's batch runs it too, so both keep the same promises about the files they write.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "render_options.h"

namespace grindlet::render {

struct JobReport {
    // What the caller asks for.
    bool messages = true;      // "wrote ..." and notes, where the audio does not go
    bool progressBar = false;  // a bar on a terminal for a long input
    // An input shorter than its header states fails (nothing is written), rather than a note.
    bool wholeOrNothing = false;
    // Asked between chunks: false stops the render, and nothing is written.
    std::function<bool()> keepGoing;
    // What the render found.
    int64_t frames = 0;         // rendered
    int64_t statedFrames = -1;  // the input's header's length (-1: not known)
    int32_t channels = 0;
    int32_t sampleRate = 0;
};

// Renders options.input to options.output (with options.module, in the builds that render
// through a module file). False with the one message that says why; nothing is then left
// behind, and an existing file is as it was.
bool renderJob(RenderOptions& options, JobReport& report, std::string& error);

}  // namespace grindlet::render
