// A batch planned before anything is written: each input's output, and why a batch cannot
// run as asked.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "audio_files.h"
#include "batch.h"
#include "safe_files.h"

namespace grindlet::render {

namespace {

// -o DIR/: a folder for the outputs.
bool namesAFolder(const std::string& output) { return !output.empty() && output.back() == '/'; }

}  // namespace

bool isBatch(const RenderOptions& options) {
    return options.inputs.size() > 1 || namesAFolder(options.output);
}

std::string outputInFolder(const std::string& folder, const std::string& input) {
    const std::string name = baseName(input);
    const size_t dot = name.find_last_of('.');
    const bool hasExtension = dot != std::string::npos && dot > 0;
    const bool kept = hasExtension && writesExtension(name.substr(dot + 1));
    return (namesAFolder(folder) ? folder : folder + "/") +
           (kept || !hasExtension ? name : name.substr(0, dot)) + (kept ? "" : ".wav");
}

bool planBatch(const RenderOptions& options, std::vector<BatchJob>& jobs, std::string& error) {
    for (const std::string& input : options.inputs) {
        if (input == STANDARD_STREAM) {
            error = "standard input (-) cannot be one of several inputs";
            return false;
        }
    }
    if (options.output == STANDARD_STREAM) {
        error = "several outputs cannot all go to standard output: name a folder with -o DIR/";
        return false;
    }
    if (!options.plot.empty()) {
        error = "--plot draws one file: give it one input";
        return false;
    }
    const bool inFolder = !options.output.empty();
    if (inFolder) {
        struct stat status {};
        if (stat(options.output.c_str(), &status) != 0) {
            error = options.output + ": " + std::strerror(errno) +
                    (errno == ENOENT ? " (create the folder first)" : "");
            return false;
        }
        if (!S_ISDIR(status.st_mode)) {
            error = "-o " + options.output +
                    ": several inputs need a folder for their outputs (-o DIR/)";
            return false;
        }
    }
    jobs.clear();
    std::vector<FileIdentity> inputs, outputs;
    for (const std::string& input : options.inputs) {
        const std::string output =
            inFolder ? outputInFolder(options.output, input) : defaultOutputName(input);
        inputs.push_back(identify(input));
        outputs.push_back(identify(output));
        jobs.push_back({input, output});
    }
    for (size_t i = 0; i < jobs.size(); ++i) {
        for (size_t j = 0; j < jobs.size(); ++j) {
            if (sameFile(outputs[i], inputs[j])) {
                error = jobs[i].input + " would be written to " + jobs[i].output +
                        ", which is the input " + jobs[j].input + ": choose another folder";
                return false;
            }
            if (j > i && sameFile(outputs[i], outputs[j])) {
                error = jobs[i].input + " and " + jobs[j].input + " would both be written to " +
                        jobs[i].output + ": render them separately";
                return false;
            }
        }
    }
    return true;
}

}  // namespace grindlet::render
