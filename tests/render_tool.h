// What the render tool's tests share: the command line parsed, sound files read and written,
// and a fixture that runs the tool in a folder of its own and photographs that folder.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <ostream>

#include <dirent.h>
#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "float_bits.h"
#include "host/sample_checks.h"
#include "special_floats.h"
#include "tools/render/audio_files.h"
#include "tools/render/pcm16.h"
#include "tools/render/plot_svg.h"
#include "tools/render/render_engine.h"
#include "tools/render/render_options.h"
#include "tools/render/render_plan.h"
#include "tools/render/spectrum_svg.h"

namespace grindlet::test {

using render::RenderOptions;

inline RenderOptions parsed(std::vector<std::string> args) {
    RenderOptions options;
    std::string error;
    EXPECT_TRUE(render::parseOptions(args, options, error)) << error;
    return options;
}

struct Sound {
    int32_t sampleRate = 0;
    int32_t channels = 0;
    int32_t format = 0;
    std::vector<float> samples;  // interleaved
    int64_t frames() const {
        return channels > 0 ? static_cast<int64_t>(samples.size()) / channels : 0;
    }
};

inline bool readSound(const std::string& path, Sound& sound) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) return false;
    sound.sampleRate = info.samplerate;
    sound.channels = info.channels;
    sound.format = info.format;
    sound.samples.assign(static_cast<size_t>(info.frames * info.channels), 0.0f);
    sound.samples.resize(static_cast<size_t>(
        sf_readf_float(file, sound.samples.data(), info.frames) * info.channels));
    sf_close(file);
    return true;
}

inline bool writeSound(const std::string& path, const Sound& sound) {
    SF_INFO info{};
    info.samplerate = sound.sampleRate;
    info.channels = sound.channels;
    info.format = sound.format;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr) return false;
    const bool written =
        sf_writef_float(file, sound.samples.data(), sound.frames()) == sound.frames();
    return sf_close(file) == 0 && written;
}

inline std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

struct ToolRun {
    int status;  // the exit code, or -signal
    std::string errors;
};

// FNV-1a over a file's bytes, to tell files apart without printing them.
inline uint32_t hashBytes(const std::string& bytes) {
    uint32_t hash = 2166136261u;
    for (unsigned char c : bytes) hash = (hash ^ c) * 16777619u;
    return hash;
}

class RenderTool : public ::testing::Test {
protected:
    std::string dir;
    void SetUp() override {
        char pattern[] = "/tmp/grindlet-render-XXXXXX";
        dir = mkdtemp(pattern);
    }
    void TearDown() override { std::system(("rm -rf " + dir).c_str()); }

    std::string path(const std::string& name) const { return dir + "/" + name; }

    // A short stereo file: a ramp on the left, a constant on the right.
    std::string writeStereo(const std::string& name,
                            int format = SF_FORMAT_WAV | SF_FORMAT_PCM_16) {
        Sound sound{22050, 2, format, {}};
        for (int i = 0; i < 1000; ++i) {
            sound.samples.push_back(static_cast<float>(i % 100) / 128.0f);
            sound.samples.push_back(-0.25f);
        }
        EXPECT_TRUE(writeSound(path(name), sound)) << name;
        return path(name);
    }

    // The tool in `dir`, through a shell (so that pipes and limits can be part of `command`).
    ToolRun run(const std::string& command) const {
        const std::string errors = path("stderr.txt");
        std::string line = "cd " + dir + " && " + command + " 2> " + errors;
        for (size_t at = 0; (at = line.find('\'', at)) != std::string::npos; at += 4)
            line.replace(at, 1, "'\\''");
        const int status = std::system(("sh -c '" + line + "' > /dev/null").c_str());
        ToolRun result{WIFEXITED(status) ? WEXITSTATUS(status) : -1, contents(errors)};
        std::remove(errors.c_str());
        return result;
    }

    static std::string tool() { return GRINDLET_RENDER_PATH; }

    // Starts the tool in dir with a pipe as its standard input, whose write end goes to `feed`.
    pid_t startWithPipe(const std::vector<std::string>& arguments, int& feed) const {
        int ends[2];
        // Close-on-exec: no other tool started later may hold this one's input open.
        if (pipe2(ends, O_CLOEXEC) != 0) return -1;
        const pid_t child = fork();
        if (child == 0) {
            dup2(ends[0], STDIN_FILENO);
            close(ends[0]);
            close(ends[1]);
            if (chdir(dir.c_str()) != 0) _exit(127);
            std::vector<char*> argv{const_cast<char*>(GRINDLET_RENDER_PATH)};
            for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(GRINDLET_RENDER_PATH, argv.data());
            _exit(127);
        }
        close(ends[0]);
        feed = ends[1];
        return child;
    }

    // Waits (a bounded time) until the tool has a file open in dir besides its input: its
    // output, being written. No sleeping on a guess, so a loaded machine cannot make it race.
    // With `folder`, only a file in that folder of dir counts.
    bool outputOpen(pid_t tool, const std::string& folder = "") const {
        const std::string fds = "/proc/" + std::to_string(tool) + "/fd";
        for (int attempt = 0; attempt < 3000; ++attempt) {
            if (DIR* d = opendir(fds.c_str())) {
                bool found = false;
                while (dirent* entry = readdir(d)) {
                    char target[4096];
                    const ssize_t n =
                        readlink((fds + "/" + entry->d_name).c_str(), target, sizeof target - 1);
                    if (n <= 0) continue;
                    const std::string link(target, static_cast<size_t>(n));
                    const std::string inside = folder.empty() ? dir + "/" : path(folder) + "/";
                    found = found || (link.rfind(inside, 0) == 0 && link != path("in.wav"));
                }
                closedir(d);
                if (found) return true;
            }
            usleep(10000);
        }
        return false;
    }

    // Every file in dir, with its size and a hash of its contents.
    std::vector<std::pair<std::string, std::string>> snapshot() const {
        std::vector<std::pair<std::string, std::string>> files;
        if (DIR* d = opendir(dir.c_str())) {
            while (dirent* entry = readdir(d)) {
                const std::string name = entry->d_name;
                if (name == "." || name == "..") continue;
                struct stat status {};
                const bool known = lstat(path(name).c_str(), &status) == 0;
                if (known && !S_ISREG(status.st_mode)) {
                    // A folder or a pipe: its kind is the whole of it (reading a pipe would wait).
                    files.emplace_back(name, S_ISDIR(status.st_mode) ? "(folder)" : "(special)");
                    continue;
                }
                const std::string bytes = contents(path(name));
                files.emplace_back(
                    name, std::to_string(bytes.size()) + " bytes, hash " + hex32(hashBytes(bytes)));
            }
            closedir(d);
        }
        std::sort(files.begin(), files.end());
        return files;
    }
};

}  // namespace grindlet::test
