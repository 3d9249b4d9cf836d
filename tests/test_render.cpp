// The render tool: its options, unit conversion, formats, streaming, and above all that no
// input can crash it or cost the user a file.
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
namespace {

using render::RenderOptions;

RenderOptions parsed(std::vector<std::string> args) {
    RenderOptions options;
    std::string error;
    EXPECT_TRUE(render::parseOptions(args, options, error)) << error;
    return options;
}

TEST(RenderOptions, UnitsAndSweeps) {
    const RenderOptions o = parsed(
        {"in.flac", "--bits",  "16:4", "--rate",   "44100:500", "--quant", "inside",  "--mode",
         "linear",  "--block", "64",   "--format", "pcm24",     "-o",      "out.wav", "--plot",
         "p.svg",   "--at",    "1.5",  "--window", "0.02",      "-f"});
    EXPECT_EQ(o.input, "in.flac");
    EXPECT_EQ(o.control(dsp::CONTROL_BITS).from, 16.0);
    EXPECT_EQ(o.control(dsp::CONTROL_BITS).to, 4.0);
    EXPECT_EQ(o.control(dsp::CONTROL_BITS).at(0.5), 10.0);
    EXPECT_EQ(o.control(dsp::CONTROL_RATE).at(0.0), 44100.0);
    EXPECT_EQ(o.control(dsp::CONTROL_RATE).at(1.0), 500.0);
    EXPECT_EQ(o.choice(dsp::CONTROL_QUANTIZE), 2);
    EXPECT_EQ(o.choice(dsp::CONTROL_MODE), 1);
    EXPECT_EQ(o.block, 64);
    EXPECT_EQ(o.format, "pcm24");
    EXPECT_EQ(o.output, "out.wav");
    EXPECT_EQ(o.at, 1.5);
    EXPECT_TRUE(o.force);
    const RenderOptions single = parsed({"--bits", "12.5"});
    EXPECT_EQ(single.control(dsp::CONTROL_BITS).from, 12.5);
    EXPECT_EQ(single.control(dsp::CONTROL_BITS).to, 12.5);
    EXPECT_FALSE(single.inputGiven);
    const RenderOptions kilo = parsed({"--rate", "8k:44.1k", "--type", "au"});
    EXPECT_EQ(kilo.control(dsp::CONTROL_RATE).from, 8000.0);
    EXPECT_EQ(kilo.control(dsp::CONTROL_RATE).to, 44100.0);
    EXPECT_EQ(kilo.type, "au");
}

TEST(RenderOptions, ValuesAfterAnEqualsSignAndStandardStreams) {
    const RenderOptions o =
        parsed({"--bits=6", "--rate=3000:200", "--quant=floor", "-", "--output=-"});
    EXPECT_EQ(o.control(dsp::CONTROL_BITS).from, 6.0);
    EXPECT_EQ(o.control(dsp::CONTROL_RATE).to, 200.0);
    EXPECT_EQ(o.choice(dsp::CONTROL_QUANTIZE), 0);
    EXPECT_EQ(o.input, "-");
    EXPECT_EQ(o.output, "-");
    EXPECT_TRUE(parsed({"--version"}).version);
    // Negative values, a later value over an earlier one, and "--" before names like options.
    const RenderOptions levels = parsed({"--gain", "-6", "--drive=-3", "--bits", "4", "--bits", "7",
                                         "a.wav", "--", "-b.wav", "-o"});
    EXPECT_EQ(levels.control(dsp::CONTROL_GAIN).from, -6.0);
    EXPECT_EQ(levels.control(dsp::CONTROL_DRIVE).from, -3.0);
    EXPECT_EQ(levels.control(dsp::CONTROL_BITS).from, 7.0);
    EXPECT_EQ(levels.inputs, (std::vector<std::string>{"a.wav", "-b.wav", "-o"}));
    EXPECT_TRUE(levels.output.empty());
}

struct BadArguments {
    std::vector<std::string> args;
    const char* errorMentions;
};
void PrintTo(const BadArguments& c, std::ostream* os) {
    for (const auto& arg : c.args) *os << "'" << arg << "' ";
}

class RenderOptionErrors : public ::testing::TestWithParam<BadArguments> {};

TEST_P(RenderOptionErrors, AreRefusedWithAClearMessage) {
    RenderOptions options;
    std::string error;
    EXPECT_FALSE(render::parseOptions(GetParam().args, options, error));
    EXPECT_NE(error.find(GetParam().errorMentions), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Table, RenderOptionErrors,
    ::testing::Values(
        BadArguments{{"--frobnicate"}, "unknown option --frobnicate"},
        BadArguments{{"--bits"}, "--bits needs a value"},
        BadArguments{{"--bits", "lots"}, "--bits: 'lots'"},
        BadArguments{{"--bits", "16:"}, "--bits"},
        BadArguments{{"--bits", "40"}, "--bits: 40 is out of range (from 0 to 32 bits)"},
        BadArguments{{"--bits", "-1"}, "out of range"},
        BadArguments{{"--bits", "1e-320"}, "too small to reach the module"},
        BadArguments{{"--rate", "0"}, "--rate: 0 is out of range (above 0 Hz and at most 1 MHz)"},
        BadArguments{{"--rate", "8x"}, "44.1k"},
        BadArguments{{"--rate", "1e-300"}, "too small to reach the module"},
        BadArguments{{"--rate", "nan"}, "--rate"}, BadArguments{{"--rate", "2e9"}, "out of range"},
        BadArguments{{"--quant", "ceil"}, "floor round inside"},
        BadArguments{{"--mode", "cubic"}, "step linear"}, BadArguments{{"--block", "0"}, "--block"},
        BadArguments{{"--block", "2.5"}, "--block"}, BadArguments{{"--format", "mp3"}, "pcm16"},
        BadArguments{{"--window", "0"}, "--window"}, BadArguments{{"--window", "11"}, "--window"},
        BadArguments{{"--plot", "p.png"}, "must name an .svg file"},
        BadArguments{{""}, "the input file name is empty"},
        BadArguments{{"-o", ""}, "--output: the output file name is empty"},
        BadArguments{{"-j", "0"}, "--jobs: '0' is not a whole number from 1 to 256"},
        BadArguments{{"--jobs", "2.5"}, "--jobs: '2.5'"},
        BadArguments{{"--drive", "30"}, "--drive: 30 is out of range (from -24 to 24 dB)"},
        BadArguments{{"--drive", "nan"}, "--drive"},
        BadArguments{{"--mix", "101"}, "--mix: 101 is out of range (from 0 to 100 %)"},
        BadArguments{{"--gain", "-6:6"}, "--gain: '-6:6' is not a number"}));

// The plot's axes: round values in the units shown, never 6014.99 or 0.07.
TEST(PlotAxes, TicksFallOnRoundValues) {
    struct Case {
        double low, high;
        int most;
        std::vector<double> expected;
        int decimals;
    };
    const Case cases[] = {
        {6014.99, 6024.99, 10, {6015, 6016, 6017, 6018, 6019, 6020, 6021, 6022, 6023, 6024}, 0},
        {-0.3, 0.3, 8, {-0.3, -0.2, -0.1, 0.0, 0.1, 0.2, 0.3}, 1},
        {-0.15, 0.15, 8, {-0.15, -0.1, -0.05, 0.0, 0.05, 0.1, 0.15}, 2},
        {250.0, 260.0, 4, {250.0, 252.5, 255.0, 257.5, 260.0}, 1},
        {0.0, 12.0, 10, {0, 2, 4, 6, 8, 10, 12}, 0},
    };
    for (const Case& c : cases) {
        const render::RoundTicks ticks = render::roundTicks(c.low, c.high, c.most);
        ASSERT_EQ(ticks.values.size(), c.expected.size()) << c.low << " to " << c.high;
        for (size_t i = 0; i < ticks.values.size(); ++i)
            EXPECT_NEAR(ticks.values[i], c.expected[i], 1e-9) << c.low << " to " << c.high;
        EXPECT_EQ(ticks.decimals, c.decimals) << c.low << " to " << c.high;
    }
    EXPECT_TRUE(render::roundTicks(1.0, 1.0, 10).values.empty());
}

// The spectrum's scale: a full-scale sine on a bin is 0 dB there, and far below it elsewhere.
TEST(PlotSpectrum, AFullScaleSineIsZeroDecibelsAtItsFrequency) {
    std::vector<float> sine(16384);
    for (size_t i = 0; i < sine.size(); ++i)
        sine[i] = static_cast<float>(sineOfTurns(64.0 * double(i) / 4096.0));  // bin 64
    const std::vector<double> spectrum = render::averageSpectrum(sine, 4096);
    ASSERT_EQ(spectrum.size(), 2049u);
    EXPECT_NEAR(spectrum[64], 0.0, 0.1);
    EXPECT_LT(spectrum[200], -100.0);
}

TEST(RenderOptions, OutputNameFromInput) {
    EXPECT_EQ(render::defaultOutputName("dir.v2/song.flac"), "dir.v2/song-grindlet.wav");
    EXPECT_EQ(render::defaultOutputName("dir.v2/song"), "dir.v2/song-grindlet.wav");
    EXPECT_EQ(render::defaultOutputName(""), "grindlet-demo.wav");
    EXPECT_EQ(render::defaultOutputName(".hidden"), ".hidden-grindlet.wav");
    EXPECT_EQ(render::defaultOutputName("dir/.hidden"), "dir/.hidden-grindlet.wav");
    EXPECT_EQ(render::defaultOutputName("dir/.hidden.flac"), "dir/.hidden-grindlet.wav");
}

// The planning step on its own: what the command line and the files come to, before a byte is
// written. Each row: the arguments, what the files are, and the message expected ("" = a plan).
struct PlanCase {
    const char* what;
    std::vector<std::string> args;
    std::function<void(render::RenderFacts&)> files;
    const char* errorMentions;
};

render::FileIdentity existing(ino_t inode, bool stream = false, bool folder = false) {
    render::FileIdentity identity;
    identity.exists = true;
    identity.stream = stream;
    identity.folder = folder;
    identity.device = 1;
    identity.inode = inode;
    return identity;
}

TEST(RenderPlan, EveryCheckThatCanFailComesBeforeAnyWrite) {
    const auto none = [](render::RenderFacts&) {};
    const PlanCase cases[] = {
        {"a plain render", {"in.wav", "-o", "out.flac"}, none, ""},
        {"standard input without -o", {"-"}, none, "needs -o FILE"},
        {"a folder at the output",
         {"in.wav", "-o", "d"},
         [](auto& f) { f.output = existing(7, false, true); },
         "is a folder"},
        {"the output is the input",
         {"in.wav", "-o", "link.wav", "-f"},
         [](auto& f) { f.output = existing(2); },
         "is the input"},
        {"the plot is the input",
         {"in.wav", "-o", "o.wav", "--plot", "p.svg"},
         [](auto& f) { f.plot = existing(2); },
         "the plot p.svg is the input"},
        {"the plot is the output",
         {"in.wav", "-o", "o.wav", "--plot", "p.svg", "-f"},
         [](auto& f) { f.output = f.plot = existing(9); },
         "the plot and the output are the same"},
        {"the plot is a folder",
         {"in.wav", "--plot", "p.svg"},
         [](auto& f) { f.plot = existing(9, false, true); },
         "is a folder: name a file with --plot"},
        {"an existing output without -f",
         {"in.wav", "-o", "o.wav"},
         [](auto& f) { f.output = existing(9); },
         "o.wav exists: use -f"},
        {"an existing output with -f",
         {"in.wav", "-o", "o.wav", "-f"},
         [](auto& f) { f.output = existing(9); },
         ""},
        {"a pipe at the output needs no -f",
         {"in.wav", "-o", "fifo.wav"},
         [](auto& f) { f.output = existing(9, true); },
         ""},
        {"a pipe takes no FLAC",
         {"in.wav", "-o", "fifo.flac"},
         [](auto& f) { f.output = existing(9, true); },
         "cannot seek back to the header"},
        {"a rate the Vorbis encoder refuses",
         {"in.wav", "-o", "o.ogg"},
         [](auto& f) { f.sampleRate = 10'000'000; },
         "cannot hold 2 channel(s) at 10000000 Hz"},
        {"a sweep over a stream of unknown length",
         {"-", "--bits", "16:4", "-o", "o.wav"},
         [](auto& f) { f.declaredFrames = -1; },
         "sweeps need an input whose length is known"},
        {"--at past the end", {"in.wav", "--plot", "p.svg", "--at", "3"}, none, "past the end"},
        {"an AIFF past 4 GiB",
         {"in.wav", "-o", "o.aiff", "--format", "pcm32"},
         [](auto& f) { f.declaredFrames = 600'000'000; },
         "an AIFF file holds at most 4 GiB"},
        {"a plot window too long",
         {"in.wav", "--plot", "p.svg", "--at", "0", "--window", "10"},
         [](auto& f) { f.sampleRate = 200000; },
         "a plot draws at most 1048576"},
        {"the demo, given an explicit --bits 8",
         {"--bits", "8", "--plot", "p.svg", "--at", "1"},
         none,
         ""},
    };
    for (const PlanCase& c : cases) {
        SCOPED_TRACE(c.what);
        RenderOptions options = parsed(c.args);
        render::RenderFacts facts;
        facts.sampleRate = 44100;
        facts.channels = 2;
        facts.subtype = SF_FORMAT_PCM_16;
        facts.declaredFrames = 88200;  // two seconds
        facts.input = existing(2);
        c.files(facts);
        render::RenderPlan plan;
        std::string error;
        const bool planned = render::completeOptions(options, error) &&
                             render::planRender(options, facts, plan, error);
        if (*c.errorMentions == '\0') {
            EXPECT_TRUE(planned) << error;
        } else {
            EXPECT_FALSE(planned);
            EXPECT_NE(error.find(c.errorMentions), std::string::npos) << error;
        }
    }
}

// What the plan fills in: the demo's sweeps only for controls not given, the output's name and
// format, the promised length, and the plot window in frames.
TEST(RenderPlan, FillsInWhatTheCommandLineLeaves) {
    RenderOptions demo = parsed({"--bits", "8", "--plot", "p.svg", "--at", "1", "--window", "0.5"});
    std::string error;
    ASSERT_TRUE(render::completeOptions(demo, error)) << error;
    EXPECT_EQ(demo.control(dsp::CONTROL_BITS).from, 8.0);
    EXPECT_EQ(demo.control(dsp::CONTROL_BITS).to, 8.0);
    EXPECT_EQ(demo.control(dsp::CONTROL_RATE).from, render::DEMO_RATE_FROM);
    EXPECT_EQ(demo.control(dsp::CONTROL_RATE).to, render::DEMO_RATE_TO);
    EXPECT_EQ(demo.output, "grindlet-demo.wav");
    render::RenderFacts facts;
    facts.sampleRate = 1000;
    facts.channels = 1;
    facts.subtype = SF_FORMAT_PCM_16;
    facts.declaredFrames = 4000;
    render::RenderPlan plan;
    ASSERT_TRUE(render::planRender(demo, facts, plan, error)) << error;
    EXPECT_EQ(plan.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    EXPECT_EQ(plan.promised, 4000);
    EXPECT_EQ(plan.plotFirst, 1000);
    EXPECT_EQ(plan.plotFrames, 500);
    facts.inputPiped = true;  // a piped header's length is no promise
    ASSERT_TRUE(render::planRender(demo, facts, plan, error)) << error;
    EXPECT_EQ(plan.promised, -1);

    // WAV's and AIFF's 32-bit sizes: past them a WAV becomes RF64 (plain WAV while it fits where
    // the length is not known); an AIFF of unknown length stops at the write that would pass.
    RenderOptions big = parsed({"in.wav", "-o", "o.wav", "--format", "pcm32"});
    RenderOptions aiff = parsed({"in.wav", "-o", "o.aiff", "--format", "pcm32"});
    ASSERT_TRUE(render::completeOptions(big, error) && render::completeOptions(aiff, error));
    facts.inputPiped = false;
    facts.channels = 2;
    const struct {
        RenderOptions* options;
        int64_t frames;
        int format;
        bool downgrade;
        int64_t limit;
    } sizes[] = {
        {&big, 536'862'719, SF_FORMAT_WAV, false, -1},  // 4 GiB less 64 KiB of samples: fits
        {&big, 536'862'720, SF_FORMAT_RF64, false, -1},
        {&big, 600'000'000, SF_FORMAT_RF64, false, -1},
        {&big, -1, SF_FORMAT_RF64, true, -1},
        {&aiff, 536'862'719, SF_FORMAT_AIFF, false, -1},
        {&aiff, -1, SF_FORMAT_AIFF, false, render::SIZE_FIELD_LIMIT},
    };
    for (const auto& size : sizes) {
        SCOPED_TRACE(size.frames);
        facts.declaredFrames = size.frames;
        render::RenderPlan sized;
        ASSERT_TRUE(render::planRender(*size.options, facts, sized, error)) << error;
        EXPECT_EQ(sized.format, size.format | SF_FORMAT_PCM_32);
        EXPECT_EQ(sized.downgradeSmallRf64, size.downgrade);
        EXPECT_EQ(sized.byteLimit, size.limit);
    }
}

// The tool's own float-to-16-bit conversion against libsndfile's, which it stands in for: every
// rounding boundary of the 16-bit grid (each k + 1/2 step and its neighbours), clipping, NaN
// with any payload, infinities, subnormals, and random bit patterns.
// Where no nameless file can be made, a killed run's named temporary file is recognised by the
// next run in its folder and removed; a running one's, and anything else, stays.
TEST(SafeFiles, AKilledRunsTemporaryFileIsRemovedByTheNext) {
    char folder[] = "/tmp/grindlet-left-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string running = render::temporaryName(std::string(folder) + "/out.wav");
    const pid_t child = fork();
    if (child == 0) _exit(0);
    ASSERT_EQ(waitpid(child, nullptr, 0), child);
    std::string killed = running;
    const std::string self = "-" + std::to_string(getpid()) + "-";
    killed.replace(killed.rfind(self), self.size(), "-" + std::to_string(child) + "-");
    const std::string users = std::string(folder) + "/.grindlet-notes";
    for (const std::string& name : {running, killed, users}) std::ofstream(name) << "bytes";
    render::removeLeftTemporaries(folder);
    EXPECT_EQ(access(running.c_str(), F_OK), 0);
    EXPECT_NE(access(killed.c_str(), F_OK), 0);
    EXPECT_EQ(access(users.c_str(), F_OK), 0);
    std::system(("rm -rf " + std::string(folder)).c_str());
}

TEST(Pcm16, ConvertsExactlyAsLibsndfileDoes) {
    std::vector<float> values;
    for (int32_t k = -32770; k <= 32770; ++k) {
        float near = (static_cast<float>(k) + 0.5f) / 32768.0f;
        for (int step = 0; step < 3; ++step) near = std::nextafter(near, -2.0f);
        for (int step = 0; step < 7; ++step, near = std::nextafter(near, 2.0f))
            values.push_back(near);
        values.push_back(static_cast<float>(k) / 32768.0f);
    }
    for (float special : test::SPECIAL_FLOATS) values.push_back(special);
    for (uint32_t nan : {0x7fc00001u, 0xffc12345u, 0x7f800001u, 0xff800001u})
        values.push_back(floatFromBits(nan));
    uint32_t seed = 20261208;
    for (int i = 0; i < 200000; ++i) {
        seed = seed * 1664525u + 1013904223u;
        values.push_back(i % 2 ? floatFromBits(seed)
                               : static_cast<float>(seed) / 2147483648.0f - 1.0f);
    }
    values.push_back(0.3f);  // an odd count: the last samples take the one-at-a-time path

    std::vector<int16_t> ours(values.size());
    render::floatsToPcm16(values.data(), ours.data(), values.size());
    std::FILE* scratch = std::tmpfile();
    ASSERT_NE(scratch, nullptr);
    SF_INFO info{};
    info.samplerate = 44100;
    info.channels = 1;
    info.format = SF_FORMAT_RAW | SF_FORMAT_PCM_16 | SF_ENDIAN_LITTLE;
    SNDFILE* file = sf_open_fd(fileno(scratch), SFM_WRITE, &info, SF_FALSE);
    ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
    sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    ASSERT_EQ(sf_write_float(file, values.data(), sf_count_t(values.size())),
              sf_count_t(values.size()));
    sf_close(file);
    std::vector<uint8_t> bytes(values.size() * 2);
    ASSERT_EQ(pread(fileno(scratch), bytes.data(), bytes.size(), 0), ssize_t(bytes.size()));
    std::fclose(scratch);
    int differ = 0;
    for (size_t i = 0; i < values.size(); ++i) {
        const auto theirs = static_cast<int16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
        if (ours[i] != theirs && ++differ <= 5) {
            ADD_FAILURE() << std::hex << "0x" << floatBits(values[i]) << std::dec << " ("
                          << values[i] << "): libsndfile " << theirs << ", ours " << ours[i];
        }
    }
    EXPECT_EQ(differ, 0) << "of " << values.size();
}

// ---- the tool on files ---------------------------------------------------------------------

struct Sound {
    int32_t sampleRate = 0;
    int32_t channels = 0;
    int32_t format = 0;
    std::vector<float> samples;  // interleaved
    int64_t frames() const {
        return channels > 0 ? static_cast<int64_t>(samples.size()) / channels : 0;
    }
};

bool readSound(const std::string& path, Sound& sound) {
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

bool writeSound(const std::string& path, const Sound& sound) {
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

std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

struct ToolRun {
    int status;  // the exit code, or -signal
    std::string errors;
};

// FNV-1a over a file's bytes, to tell files apart without printing them.
uint32_t hashBytes(const std::string& bytes) {
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

TEST_F(RenderTool, UnreducedRenderIsABitExactRoundTripPerChannel) {
    writeStereo("in.wav");
    ASSERT_EQ(run(tool() + " in.wav --bits 24 --rate 22050 -o out.wav").status, 0);
    Sound in, out;
    ASSERT_TRUE(readSound(path("in.wav"), in));
    ASSERT_TRUE(readSound(path("out.wav"), out));
    EXPECT_EQ(out.sampleRate, 22050);
    EXPECT_EQ(out.channels, 2);
    EXPECT_EQ(out.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16)
        << "the input's sample format by default";
    EXPECT_TRUE(sameBits(out.samples, in.samples));
}

TEST_F(RenderTool, ChannelsAreReducedIndependently) {
    writeStereo("in.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    // A quarter of the rate: every fourth sample held; 2 bits, rounded; odd blocks.
    ASSERT_EQ(run(tool() + " in.wav --bits 2 --rate 5512.5 --block 37 -o out.wav").status, 0);
    Sound in, out;
    ASSERT_TRUE(readSound(path("in.wav"), in));
    ASSERT_TRUE(readSound(path("out.wav"), out));
    ASSERT_EQ(out.samples.size(), in.samples.size());
    for (int64_t frame = 4; frame < out.frames(); ++frame) {
        EXPECT_TRUE(sameBits(out.samples[size_t(frame * 2 + 1)], -0.5f))
            << frame;  // -0.25 at 2 bits
        const float taken = in.samples[size_t(frame / 4 * 4 * 2)];
        const float quantized = taken < 0.25f ? 0.0f : (taken < 0.75f ? 0.5f : 1.0f);
        EXPECT_TRUE(sameBits(out.samples[size_t(frame * 2)], quantized)) << frame;
    }
}

// A full disk while an output is being finished, the encoder's last writes included: exit 1
// with the earlier file as it was and nothing left behind, never a truncated file in its place.
TEST_F(RenderTool, AFullDiskWhileFinishingNeverReplacesAFile) {
    Sound noise{44100, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16, {}};
    XorShift32 random{5};
    for (int i = 0; i < 2 * 44100 * 2; ++i) noise.samples.push_back(0.5f * random.uniform());
    ASSERT_TRUE(writeSound(path("in.wav"), noise));
    for (const char* extension : {"flac", "ogg", "wav"}) {
        const std::string output = std::string("out.") + extension;
        const std::string render = tool() + " in.wav --bits 6 -o " + output + " -f";
        ASSERT_EQ(run(render).status, 0);
        struct stat whole {};
        ASSERT_EQ(stat(path(output).c_str(), &whole), 0);
        // Cut 1 KB and 6 KB short of the whole file: where the encoder flushes as it finishes.
        // (At least 32 KB: an emulator needs some for its own memory files.)
        for (long shortBy : {1024L, 6 * 1024L}) {
            const long limit = std::max(32L * 1024, static_cast<long>(whole.st_size) - shortBy);
            SCOPED_TRACE(std::string(extension) + ", limit " + std::to_string(limit));
            std::system(("echo earlier > " + path(output)).c_str());
            const auto before = snapshot();
            // dash counts ulimit -f in 512-byte blocks
            const ToolRun result = run("ulimit -f " + std::to_string(limit / 512) + "; " + render);
            EXPECT_EQ(result.status, 1) << result.errors;
            EXPECT_EQ(snapshot(), before) << result.errors;
            EXPECT_NE(result.errors.find("File too large"), std::string::npos) << result.errors;
        }
    }
}

// Standard input reads every format as a file does: what libsndfile cannot read from a stream
// (FLAC, CAF, W64) is kept in a nameless temporary file, the rest streams.
// Standard input and named pipes read every format as a file does, sweeps included (the pipe is
// read whole first, so its length is the audio's, not a header's placeholder).
TEST_F(RenderTool, EveryFormatReadsFromAPipeAsFromAFile) {
    writeStereo("in.wav");
    const struct {
        const char* name;
        int format;
    } sources[] = {
        {"src.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24},
        {"src.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
        {"src.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS},
        {"src.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16},
        {"src.caf", SF_FORMAT_CAF | SF_FORMAT_FLOAT},
        {"src.w64", SF_FORMAT_W64 | SF_FORMAT_PCM_16},
        {"src.au", SF_FORMAT_AU | SF_FORMAT_PCM_16},
        {"src.nist", SF_FORMAT_NIST | SF_FORMAT_PCM_16},
        {"src.ircam", SF_FORMAT_IRCAM | SF_FORMAT_PCM_16},
        {"src.avr", SF_FORMAT_AVR | SF_FORMAT_PCM_16},
        {"src.paf", SF_FORMAT_PAF | SF_FORMAT_PCM_16},
        {"src.voc", SF_FORMAT_VOC | SF_FORMAT_PCM_16},
        {"src.wve", SF_FORMAT_WVE | SF_FORMAT_ALAW},
    };
    Sound input;
    ASSERT_TRUE(readSound(path("in.wav"), input));
    const std::string sweep = " --bits 16:4 --rate 22050:3000";
    for (const auto& source : sources) {
        SCOPED_TRACE(source.name);
        Sound sound = input;
        sound.format = source.format;
        if ((source.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_WVE) {  // mono, 8 kHz only
            sound = Sound{8000, 1, source.format, std::vector<float>(1000, 0.25f)};
        }
        ASSERT_TRUE(writeSound(path(source.name), sound));
        const std::string name = source.name;
        const struct {
            const char* how;
            std::string command;
        } ways[] = {
            {"a file", tool() + " " + name + sweep + " -o way.wav -f"},
            {"standard input", "cat " + name + " | " + tool() + " -" + sweep + " -o way.wav -f"},
            {"a named pipe", "rm -f fifo && mkfifo fifo && (cat " + name + " > fifo &) && " +
                                 tool() + " fifo" + sweep + " -o way.wav -f"},
            {"a stream, no sweep", "cat " + name + " | " + tool() + " - --bits 6 -o way.wav -f"},
            {"a file, no sweep", tool() + " " + name + " --bits 6 -o way.wav -f"},
        };
        Sound first;
        for (const auto& way : ways) {
            SCOPED_TRACE(way.how);
            const ToolRun done = run(way.command);
            ASSERT_EQ(done.status, 0) << done.errors;
            EXPECT_EQ(done.errors.find("shorter"), std::string::npos) << done.errors;
            Sound output;
            ASSERT_TRUE(readSound(path("way.wav"), output));
            EXPECT_EQ(output.frames(), sound.frames());
            if (way.how == ways[0].how || way.how == ways[3].how) first = output;
            EXPECT_TRUE(sameBits(output.samples, first.samples));
        }
    }
    // sox's WAV through a pipe states a placeholder length (0x7FFFF000 bytes).
    const ToolRun sox = run("sox in.wav -t wav - | " + tool() + " -" + sweep + " -o sox.wav && " +
                            tool() + " in.wav" + sweep + " -o direct.wav");
    ASSERT_EQ(sox.status, 0) << sox.errors;
    Sound fromSox, direct;
    ASSERT_TRUE(readSound(path("sox.wav"), fromSox));
    ASSERT_TRUE(readSound(path("direct.wav"), direct));
    EXPECT_TRUE(sameBits(fromSox.samples, direct.samples));
}

// A WAV file whose data chunk was cut short: libsndfile renders what is there, and the tool says
// how much the header promised.
TEST_F(RenderTool, ACutWavFileIsReported) {
    writeStereo("in.wav");
    const std::string wav = contents(path("in.wav"));
    std::ofstream(path("cut.wav"), std::ios::binary) << wav.substr(0, wav.size() - 400);
    const ToolRun result = run(tool() + " cut.wav --bits 8 -o out.wav");
    ASSERT_EQ(result.status, 0) << result.errors;
    EXPECT_NE(result.errors.find("shorter than its header says: rendered 900 of 1000 frames"),
              std::string::npos)
        << result.errors;
}

// A plot window that would hold millions of samples is refused before anything is rendered.
TEST_F(RenderTool, APlotWindowIsBoundedBeforeTheRender) {
    Sound fast{200000, 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT, std::vector<float>(100, 0.5f)};
    ASSERT_TRUE(writeSound(path("fast.wav"), fast));
    const auto before = snapshot();
    const ToolRun result = run(tool() + " fast.wav -o out.wav --plot p.svg --at 0 --window 10");
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.errors.find("2000000 samples; a plot draws at most 1048576"),
              std::string::npos)
        << result.errors;
    EXPECT_EQ(snapshot(), before);
}

// A file that appears at the output path during the render is kept without -f.
TEST_F(RenderTool, AFileThatAppearsDuringTheRenderIsKept) {
    writeStereo("in.wav");
    const std::string wav = contents(path("in.wav"));
    int feed = -1;
    const pid_t tool = startWithPipe({"-", "--bits", "6", "-o", "out.wav"}, feed);
    ASSERT_GT(tool, 0);
    ASSERT_EQ(write(feed, wav.data(), 44), 44);  // the header: the tool checks and opens
    ASSERT_TRUE(outputOpen(tool));
    std::system(("echo mine > " + path("out.wav")).c_str());
    ASSERT_EQ(write(feed, wav.data() + 44, wav.size() - 44), ssize_t(wav.size() - 44));
    close(feed);
    int status = 0;
    waitpid(tool, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "status " << status;
    EXPECT_EQ(contents(path("out.wav")), "mine\n");
}

// Two renders racing to one new name: one wins, the other says so and leaves the winner's file.
TEST_F(RenderTool, OfTwoRendersToOneNewNameOneWins) {
    writeStereo("in.wav");
    const std::string wav = contents(path("in.wav"));
    int feeds[2] = {-1, -1};
    pid_t tools[2];
    for (int i = 0; i < 2; ++i) {
        tools[i] = startWithPipe({"-", "--bits", i == 0 ? "6" : "3", "-o", "out.wav"}, feeds[i]);
        ASSERT_GT(tools[i], 0);
        ASSERT_EQ(write(feeds[i], wav.data(), 44), 44);
        ASSERT_TRUE(outputOpen(tools[i]));  // both past their checks, neither done
    }
    int statuses[2];
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(write(feeds[i], wav.data() + 44, wav.size() - 44), ssize_t(wav.size() - 44));
        close(feeds[i]);
        waitpid(tools[i], &statuses[i], 0);
        ASSERT_TRUE(WIFEXITED(statuses[i]));
    }
    EXPECT_EQ(WEXITSTATUS(statuses[0]), 0) << "the first to finish wins";
    EXPECT_EQ(WEXITSTATUS(statuses[1]), 1) << "the second says the name appeared";
    Sound out;
    ASSERT_TRUE(readSound(path("out.wav"), out));
    EXPECT_EQ(out.frames(), 1000);
    const auto files = snapshot();
    EXPECT_EQ(files.size(), 2u) << "in.wav and out.wav, nothing else";
}

// A pipe named as the output is written to, never replaced; names as long as the file system
// allows work (the temporary file needs no name of its own).
TEST_F(RenderTool, PipesAndLongNamesAsOutputs) {
    writeStereo("in.wav");
    ASSERT_EQ(run("( mkfifo out.wav && { cat out.wav > got.wav & " + tool() +
                  " in.wav --bits 6 -o out.wav -f; }; wait )")
                  .status,
              0);
    struct stat status {};
    ASSERT_EQ(stat(path("out.wav").c_str(), &status), 0);
    EXPECT_TRUE(S_ISFIFO(status.st_mode)) << "the pipe was replaced";
    Sound got;
    ASSERT_TRUE(readSound(path("got.wav"), got));
    EXPECT_EQ(got.frames(), 1000);
    const std::string longName = std::string(251, 'n') + ".wav";  // 255 bytes
    EXPECT_EQ(run(tool() + " in.wav --bits 6 -o " + longName).status, 0);
    Sound out;
    EXPECT_TRUE(readSound(path(longName), out));
}

// Ctrl-C, SIGTERM or a hang-up in the middle of a render: the earlier output as it was, no
// temporary file, and the end the signal means (a shell reports 130, 143 or 129).
TEST_F(RenderTool, AnInterruptedRenderLeavesNothing) {
    writeStereo("in.wav");
    const std::string wav = contents(path("in.wav"));
    std::system(("echo earlier > " + path("out.wav")).c_str());
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(signal));
        const auto before = snapshot();
        int feed = -1;
        const pid_t tool = startWithPipe({"-", "--bits", "6", "-o", "out.wav", "-f"}, feed);
        ASSERT_GT(tool, 0);
        // The header only: the tool opens its output and waits for samples.
        ASSERT_EQ(write(feed, wav.data(), 44), 44);
        EXPECT_TRUE(outputOpen(tool));
        kill(tool, signal);
        int status = 0;
        waitpid(tool, &status, 0);
        close(feed);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << "status " << status;
        EXPECT_EQ(snapshot(), before);
    }
}

// A rate sweeping up in one-sample blocks raises the rate before every sample: "Linear" once
// threw such a render up to 1e28; it must stay within the input.
TEST_F(RenderTool, LinearUnderARisingSweepStaysWithinTheInput) {
    Sound sine{44100, 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT, sineSignal(22050, 0.9, 1000.0)};
    ASSERT_TRUE(writeSound(path("in.wav"), sine));
    ASSERT_EQ(
        run(tool() + " in.wav --bits 32 --rate 20:44100 --mode linear --block 1 -o out.wav").status,
        0);
    Sound out;
    ASSERT_TRUE(readSound(path("out.wav"), out));
    float largest = 0.0f;
    for (float x : out.samples) largest = std::max(largest, std::fabs(x));
    EXPECT_LE(largest, 0.9f);
}

struct FormatCase {
    const char* output;
    const char* extraArguments;
    int expectedFormat;  // container | sample format
};

TEST_F(RenderTool, TheOutputsExtensionPicksTheFormat) {
    writeStereo("in16.wav");
    writeStereo("inf.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    const FormatCase cases[] = {
        {"a.wav", "", SF_FORMAT_WAV | SF_FORMAT_PCM_16},
        {"b.flac", "", SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
        {"c.ogg", "", SF_FORMAT_OGG | SF_FORMAT_VORBIS},
        {"d.aiff", "", SF_FORMAT_AIFF | SF_FORMAT_PCM_16},
        {"e.aif", "", SF_FORMAT_AIFF | SF_FORMAT_PCM_16},
        {"f.w64", "", SF_FORMAT_W64 | SF_FORMAT_PCM_16},
        {"g.caf", "", SF_FORMAT_CAF | SF_FORMAT_PCM_16},
        {"h.WAV", "--format float", SF_FORMAT_WAV | SF_FORMAT_FLOAT},
        {"i.flac", "--format pcm24", SF_FORMAT_FLAC | SF_FORMAT_PCM_24},
    };
    for (const FormatCase& c : cases) {
        ASSERT_EQ(run(tool() + " in16.wav " + c.extraArguments + " -o " + c.output).status, 0)
            << c.output;
        Sound out;
        ASSERT_TRUE(readSound(path(c.output), out)) << c.output;
        EXPECT_EQ(out.format, c.expectedFormat) << c.output;
        EXPECT_EQ(out.frames(), 1000) << c.output;
    }
    // A float input into FLAC, which holds no floats: 24-bit.
    ASSERT_EQ(run(tool() + " inf.wav -o j.flac").status, 0);
    Sound out;
    ASSERT_TRUE(readSound(path("j.flac"), out));
    EXPECT_EQ(out.format, SF_FORMAT_FLAC | SF_FORMAT_PCM_24);
    // .opus names the codec: a Vorbis input does not carry its codec into it.
    Sound vorbis{48000, 2, SF_FORMAT_OGG | SF_FORMAT_VORBIS, std::vector<float>(9600, 0.25f)};
    ASSERT_TRUE(writeSound(path("in.ogg"), vorbis));
    ASSERT_EQ(run(tool() + " in.ogg -o k.opus").status, 0);
    ASSERT_TRUE(readSound(path("k.opus"), out));
    EXPECT_EQ(out.format, SF_FORMAT_OGG | SF_FORMAT_OPUS);
}

// Every way a user's file could be lost or a run could crash: each must fail with a message and
// leave the folder exactly as it was (no half-written output, no temporary file).
struct Hazard {
    const char* what;
    const char* prepare;  // shell commands run in the folder first
    const char* arguments;
    const char* messageMentions;
};

TEST_F(RenderTool, NothingOfTheUsersIsEverLost) {
    const Hazard hazards[] = {
        {"-o naming a hard link to the input", "ln in.wav link.wav", "in.wav -o link.wav -f",
         "is the input"},
        {"-o naming a symbolic link to the input", "ln -s in.wav sym.wav", "in.wav -o sym.wav -f",
         "is the input"},
        {"-o naming the input through ./ and ..", "mkdir -p sub", "in.wav -o sub/../in.wav -f",
         "is the input"},
        {"--plot naming the input", "cp in.wav in.svg", "in.svg -o out.wav --plot in.svg -f",
         "is the input"},
        {"--plot naming a hard link to the output", "cp in.wav out.wav && ln out.wav out.svg",
         "in.wav -o out.wav --plot out.svg -f", "the plot and the output are the same file"},
        {"an existing output without -f", "cp in.wav old.wav", "in.wav -o old.wav", "--force"},
        {"an existing plot without -f", "echo picture > p.svg",
         "in.wav -o new.wav --plot p.svg --at 0.01", "--force"},
        {"--at past the end", "", "in.wav -o new.wav --plot p.svg --at 5", "past the end"},
        {"--at far past the end with a long window", "",
         "in.wav -o new.wav --plot p.svg --at 1e15 --window 10", "past the end"},
        {"an unwritable --plot path", "", "in.wav -o new.wav --plot no/such/folder/p.svg --at 0.01",
         "cannot write"},
        {"an unknown output extension", "", "in.wav -o new.m4a", "extension"},
        {"a format the container cannot hold", "", "in.wav -o new.flac --format float",
         "cannot hold"},
        {"a rate the Vorbis encoder refuses, over an earlier output",
         // in.wav's header says 300,000 Hz (and the bytes a second that go with it).
         "cp in.wav hf.wav && printf '\\340\\223\\004\\000\\200\\117\\022\\000' | "
         "dd of=hf.wav bs=1 seek=24 conv=notrunc 2> /dev/null && cp in.wav earlier.ogg",
         "hf.wav -o earlier.ogg -f", "cannot hold 2 channel(s) at 300000 Hz"},
        {"a full disk over an earlier output", "cp in.wav earlier.wav",
         "--bits 6 -o earlier.wav -f --format double", "cannot write"},  // the demo: 1.4 MB
        {"a missing input", "", "missing.wav -o new.wav", "cannot read"},
        {"a file that is not audio", "echo not audio > junk.wav", "junk.wav -o new.wav",
         "cannot read"},
        {"standard input without -o", "", "- < in.wav", "needs -o"},
        {"a folder at the output path", "mkdir out.wav", "in.wav -o out.wav -f", "is a folder"},
        {"a folder as the input", "mkdir sub", "sub -o new.wav", "sub: it is a folder"},
        {"-o naming a symbolic link to nothing", "ln -s nowhere.wav dangling.wav",
         "in.wav -o dangling.wav", "symbolic link to nothing"},
        {"standard output opened on the input", "", "in.wav -o - 1<>in.wav",
         "standard output is the input"},
        {"standard output appended to a file", "cp in.wav old.wav", "in.wav -o - >> old.wav",
         "holds bytes already"},
        // An input of no frames (its header alone) into a container whose encoder writes
        // nothing without a frame: no unreadable file, and the earlier one kept.
        {"an empty input into FLAC over an earlier output",
         "head -c 44 in.wav > empty.wav && cp in.wav earlier.flac", "empty.wav -o earlier.flac -f",
         "the input has no frames"},
        {"an empty input into MP3", "head -c 44 in.wav > empty.wav", "empty.wav -o new.mp3",
         "the input has no frames"},
    };
    for (const Hazard& hazard : hazards) {
        SCOPED_TRACE(hazard.what);
        std::system(("rm -rf " + dir + "/* " + dir + "/.[!.]*").c_str());
        writeStereo("in.wav");
        if (*hazard.prepare != '\0') {
            ASSERT_EQ(run(hazard.prepare).status, 0);
        }
        const auto before = snapshot();
        // The full disk: a file-size limit that the output reaches. 128 KB leaves room for
        // what an emulator writes for itself (it serves /proc files through memory files).
        const std::string limit = std::string(hazard.what).find("full disk") != std::string::npos
                                      ? "ulimit -f 256; "
                                      : "";
        const ToolRun result = run(limit + tool() + " " + hazard.arguments);
        EXPECT_EQ(result.status, 1);
        EXPECT_NE(result.errors.find(hazard.messageMentions), std::string::npos) << result.errors;
        EXPECT_EQ(snapshot(), before) << "the folder changed";
    }
}

// No time stamp (a float WAV's PEAK chunk) and no random Ogg serial: a render's bytes are the
// same every time.
TEST_F(RenderTool, TheSameRenderGivesTheSameBytes) {
    writeStereo("in.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    for (const std::string extension : {"wav", "ogg"}) {
        SCOPED_TRACE(extension);
        for (const char* name : {"a.", "b."})
            ASSERT_EQ(run(tool() + " in.wav --bits 6 -o " + name + extension).status, 0);
        const std::string first = contents(path("a." + extension));
        EXPECT_EQ(first, contents(path("b." + extension)));
        EXPECT_EQ(first.find("PEAK"), std::string::npos);
        Sound read;
        ASSERT_TRUE(readSound(path("a." + extension), read));  // the pages' checksums hold
        EXPECT_EQ(read.samples.size(), 2000u);
    }
}

TEST_F(RenderTool, TheSameDefaultNameTwiceNeedsForce) {
    writeStereo("piece.wav");
    ASSERT_EQ(run(tool() + " piece.wav --bits 24 --rate 22050 -o piece.flac").status, 0);
    ASSERT_EQ(run(tool() + " piece.flac").status, 0);
    const std::string first = contents(path("piece-grindlet.wav"));
    const ToolRun second = run(tool() + " piece.wav --bits 3");
    EXPECT_EQ(second.status, 1);
    EXPECT_NE(second.errors.find("-f (--force)"), std::string::npos) << second.errors;
    EXPECT_EQ(contents(path("piece-grindlet.wav")), first);
    EXPECT_EQ(run(tool() + " piece.wav --bits 3 -f").status, 0);
    EXPECT_NE(contents(path("piece-grindlet.wav")), first);
}

// A FLAC header that claims 2^32 + 16 frames over a few hundred: the tool renders what exists
// and says so; nothing is allocated by the header's word.
TEST_F(RenderTool, AFileShorterThanItsHeaderRendersWhatExists) {
    writeStereo("in.wav");
    ASSERT_EQ(run(tool() + " in.wav --bits 24 --rate 22050 -o short.flac").status, 0);
    std::string flac = contents(path("short.flac"));
    ASSERT_GT(flac.size(), 26u);
    // STREAMINFO's 36-bit total-samples field: bytes 21 to 25 of the file (low nibble of 21).
    const uint64_t claimed = (uint64_t{1} << 32) + 16;
    flac[21] = static_cast<char>((flac[21] & 0xF0) | static_cast<char>((claimed >> 32) & 0x0F));
    for (int i = 0; i < 4; ++i)
        flac[size_t(22 + i)] = static_cast<char>((claimed >> (24 - 8 * i)) & 0xFF);
    std::ofstream(path("liar.flac"), std::ios::binary) << flac;
    const ToolRun result = run(tool() + " liar.flac --bits 8 -o out.wav");
    ASSERT_EQ(result.status, 0) << result.errors;
    EXPECT_NE(result.errors.find("shorter than its header"), std::string::npos) << result.errors;
    Sound out;
    ASSERT_TRUE(readSound(path("out.wav"), out));
    EXPECT_EQ(out.frames(), 1000);
}

TEST_F(RenderTool, StreamsThroughStandardInputAndOutput) {
    writeStereo("in.wav");
    // A streaming WAV, whose sizes say 0xFFFFFFFF, and an Ogg file, each through a pipe.
    std::string wav = contents(path("in.wav"));
    const size_t data = wav.find("data");
    ASSERT_NE(data, std::string::npos);
    for (size_t at : {size_t{4}, data + 4}) wav.replace(at, 4, "\xff\xff\xff\xff");
    std::ofstream(path("stream.wav"), std::ios::binary) << wav;
    ASSERT_EQ(run(tool() + " in.wav --bits 24 --rate 22050 -o in.ogg").status, 0);
    for (const char* name : {"stream.wav", "in.ogg"}) {
        const ToolRun result =
            run("cat " + std::string(name) + " | " + tool() + " - --bits 6 -o piped.wav -f");
        ASSERT_EQ(result.status, 0) << name << ": " << result.errors;
        Sound out;
        ASSERT_TRUE(readSound(path("piped.wav"), out));
        EXPECT_EQ(out.frames(), 1000) << name;
    }
    // To a pipe: WAV with its sizes from the input's length (or AU with --type au); to a
    // redirected file: WAV written by libsndfile. The same samples every way.
    ASSERT_EQ(run(tool() + " in.wav --bits 6 -o - | cat > piped.wav").status, 0);
    ASSERT_EQ(run(tool() + " in.wav --bits 6 -o - --type au | cat > piped.au").status, 0);
    ASSERT_EQ(run(tool() + " in.wav --bits 6 -o - > redirected.wav").status, 0);
    Sound piped, au, redirected;
    ASSERT_TRUE(readSound(path("piped.wav"), piped));
    ASSERT_TRUE(readSound(path("piped.au"), au));
    ASSERT_TRUE(readSound(path("redirected.wav"), redirected));
    EXPECT_EQ(piped.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    EXPECT_EQ(au.format & SF_FORMAT_TYPEMASK, SF_FORMAT_AU);
    EXPECT_EQ(redirected.format & SF_FORMAT_TYPEMASK, SF_FORMAT_WAV);
    EXPECT_TRUE(sameBits(piped.samples, redirected.samples));
    EXPECT_TRUE(sameBits(au.samples, redirected.samples));
    const std::string header = contents(path("piped.wav")).substr(0, 44);
    const auto word = [&](size_t at) {
        return uint32_t(uint8_t(header[at])) | uint32_t(uint8_t(header[at + 1])) << 8 |
               uint32_t(uint8_t(header[at + 2])) << 16 | uint32_t(uint8_t(header[at + 3])) << 24;
    };
    EXPECT_EQ(word(40), 1000u * 2 * 2) << "the data size: 1000 stereo 16-bit frames";
    EXPECT_EQ(word(4), 1000u * 2 * 2 + 36);
    // The tool reads its own stream back; a container that must seek is refused up front.
    EXPECT_EQ(
        run(tool() + " in.wav --bits 6 -o - | " + tool() + " - --bits 24 -o again.wav").status, 0);
    const ToolRun flac = run("{ " + tool() + " in.wav -o - --type flac | cat > nothing.flac; }");
    EXPECT_NE(flac.errors.find("cannot seek back to the header"), std::string::npos) << flac.errors;
    // Standard input that is the output file by another name is still the input.
    EXPECT_EQ(run(tool() + " - -o in.wav -f < in.wav").status, 1);
}

// Other programs read what the tool writes to a pipe: sox and aplay, as the README says. A piped
// input's header length is not promised on: sox writes a placeholder of 0x7FFFF000 bytes, which
// the output once padded out to with silence (gigabytes for a tenth of a second).
TEST_F(RenderTool, SoxAndAplayReadTheStream) {
    if (std::system("command -v sox > /dev/null && command -v aplay > /dev/null") != 0)
        GTEST_SKIP() << "sox or aplay is not installed (scripts/setup.sh installs both)";
    writeStereo("in.wav");
    ASSERT_EQ(run(tool() + " in.wav --bits 6 -o reference.wav --format pcm16").status, 0);
    Sound reference;
    ASSERT_TRUE(readSound(path("reference.wav"), reference));
    const ToolRun sox = run(tool() + " in.wav --bits 6 -o - | sox -t wav - fromsox.wav");
    ASSERT_EQ(sox.status, 0) << sox.errors;
    Sound fromSox;
    ASSERT_TRUE(readSound(path("fromsox.wav"), fromSox));
    EXPECT_TRUE(sameBits(fromSox.samples, reference.samples));
    const ToolRun aplay = run(tool() + " in.wav --bits 6 -o - | aplay -D null");
    EXPECT_EQ(aplay.status, 0) << aplay.errors;
    EXPECT_NE(aplay.errors.find("Playing WAVE 'stdin' : Signed 16 bit Little Endian, Rate 22050 "
                                "Hz, Stereo"),
              std::string::npos)
        << aplay.errors;
    // sox's own stream in, through the tool, into sox: the frames that were sent, no more.
    const ToolRun chain =
        run("sox in.wav -t wav - | " + tool() + " - --bits 6 -o - | sox -t wav - chained.wav");
    ASSERT_EQ(chain.status, 0) << chain.errors;
    Sound chained;
    ASSERT_TRUE(readSound(path("chained.wav"), chained));
    EXPECT_EQ(chained.frames(), 1000);
    EXPECT_TRUE(sameBits(chained.samples, reference.samples));
}

// Standard input on a terminal: a message at once, not a wait for audio nobody will type.
TEST_F(RenderTool, StandardInputOnATerminalIsNamedNotWaitedFor) {
    if (std::system("command -v script > /dev/null") != 0)
        GTEST_SKIP() << "script (util-linux) is not installed: no terminal to try";
    const ToolRun result =
        run("timeout 20 script -qec '" + tool() + " - -o out.wav' /dev/null > said.txt");
    EXPECT_EQ(result.status, 1) << result.errors;
    EXPECT_NE(contents(path("said.txt")).find("standard input is a terminal"), std::string::npos)
        << contents(path("said.txt"));
    EXPECT_FALSE(std::ifstream(path("out.wav")).good());
}

TEST_F(RenderTool, CompressedInputNeedsNoFormatOption) {
    // MP3 where this libsndfile writes it; its samples cannot go into WAV as MP3.
    Sound sound{44100, 1, SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III,
                std::vector<float>(8192, 0.25f)};
    if (!writeSound(path("in.mp3"), sound)) GTEST_SKIP() << "this libsndfile writes no MP3";
    const ToolRun result = run(tool() + " in.mp3 --bits 6 -o out.wav");
    ASSERT_EQ(result.status, 0) << result.errors;
    Sound out;
    ASSERT_TRUE(readSound(path("out.wav"), out));
    EXPECT_EQ(out.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
}

#ifndef GRINDLET_RENDER_MODULE_FILES
// The x86-64 tool runs the signal code: a module file named to it is refused with the way to
// render through one, before anything is written.
TEST_F(RenderTool, TheSignalCodeBuildSendsModuleFilesToThe32BitBuild) {
    writeStereo("in.wav");
    const auto before = snapshot();
    const ToolRun result = run(tool() + " in.wav --module Module.sep -o out.wav");
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.errors.find("32-bit build's grindlet-render"), std::string::npos)
        << result.errors;
    EXPECT_EQ(snapshot(), before);
}
#endif

TEST_F(RenderTool, PlotAndCommandLineConventions) {
    writeStereo("in.wav");
    ASSERT_EQ(run(tool() + " in.wav --bits=12:4 --rate=22050:800 -o ok.wav --plot=ok.svg --at=0.01")
                  .status,
              0);
    const std::string picture = contents(path("ok.svg"));
    EXPECT_NE(picture.find("time (ms)"), std::string::npos);
    EXPECT_NE(picture.find("</svg>"), std::string::npos);
    EXPECT_EQ(run(tool() + " --help").status, 0);
    EXPECT_EQ(run(tool() + " --version").status, 0);
    EXPECT_EQ(run(tool() + " --nonsense").status, 1);
    EXPECT_EQ(run(tool() + " ''").status, 1);
}

// The demo sweeps only what the command line leaves unset: an explicit value, even the
// default's, is kept.
TEST_F(RenderTool, TheDemoKeepsTheControlsGivenOnTheCommandLine) {
    const struct {
        const char* options;
        const char* says;
    } cases[] = {
        {"--bits 8", "bits 8 to 8, rate 11025 Hz to 2500 Hz"},
        {"--rate 8000", "bits 12 to 3, rate 8000 Hz to 8000 Hz"},
        {"", "bits 12 to 3, rate 11025 Hz to 2500 Hz"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options);
        ASSERT_EQ(run("( " + tool() + " " + c.options + " -o demo.wav -f > said.txt )").status, 0);
        const std::string said = contents(path("said.txt"));
        EXPECT_NE(said.find(c.says), std::string::npos) << said;
    }
}

// ---- batches -------------------------------------------------------------------------------

// Every file is rendered as alone, a bad one is named once and the others go on.
TEST_F(RenderTool, ABatchRendersEveryFileAsAloneAndGoesOnPastAFailure) {
    writeStereo("a.wav");
    writeStereo("b.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    writeStereo("talk.raw-ish", SF_FORMAT_AIFF | SF_FORMAT_PCM_16);
    std::system(("echo not audio > " + path("bad.wav")).c_str());
    ASSERT_EQ(mkdir(path("out").c_str(), 0755), 0);
    const std::string options = " --bits 5 --rate 3000 --quant floor";
    const ToolRun batch = run("( " + tool() + " a.wav bad.wav b.flac talk.raw-ish" + options +
                              " -o out/ -j 2 > summary.txt )");
    EXPECT_EQ(batch.status, 1);
    EXPECT_EQ(std::count(batch.errors.begin(), batch.errors.end(), '\n'), 1) << batch.errors;
    EXPECT_EQ(batch.errors.rfind("grindlet-render: bad.wav: ", 0), 0u) << batch.errors;
    EXPECT_EQ(contents(path("summary.txt")), "3 rendered, 1 failed\n");
    for (const auto& [input, output] :
         {std::pair{"a.wav", "out/a.wav"}, std::pair{"b.flac", "out/b.flac"},
          std::pair{"talk.raw-ish", "out/talk.wav"}}) {
        SCOPED_TRACE(input);
        ASSERT_EQ(run(tool() + " " + input + options + " -o alone.wav -f").status, 0);
        Sound alone, batched;
        ASSERT_TRUE(readSound(path("alone.wav"), alone));
        ASSERT_TRUE(readSound(path(output), batched));
        EXPECT_EQ(batched.samples, alone.samples);
    }
    // Without -o, each beside its input under the default name.
    EXPECT_EQ(run(tool() + " a.wav b.flac > /dev/null").status, 0);
    Sound beside;
    EXPECT_TRUE(readSound(path("b-grindlet.wav"), beside));
    // More jobs than descriptors: a job waits for one to be free; no file fails for it.
    std::string many;
    for (int i = 0; i < 40; ++i) {
        const std::string name = "many" + std::to_string(i) + ".wav";
        ASSERT_EQ(link(path("a.wav").c_str(), path(name).c_str()), 0);
        many += " " + name;
    }
    ASSERT_EQ(mkdir(path("crowd").c_str(), 0755), 0);
    const ToolRun crowded =
        run("( ulimit -n 24; " + tool() + many + options + " -o crowd/ -j 64 > summary.txt )");
    EXPECT_EQ(crowded.status, 0) << crowded.errors;
    EXPECT_EQ(contents(path("summary.txt")), "40 rendered, 0 failed\n");
}

struct RefusedBatch {
    const char* arguments;
    const char* says;
};

// What cannot run as asked is refused before a single file is written.
TEST_F(RenderTool, ABatchThatCannotRunAsAskedWritesNothing) {
    writeStereo("a.wav");
    writeStereo("b.wav");
    ASSERT_EQ(mkdir(path("out").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(path("sub").c_str(), 0755), 0);
    writeStereo("sub/a.wav");
    const RefusedBatch cases[] = {
        {"a.wav sub/a.wav -o out/", "a.wav and sub/a.wav would both be written to out/a.wav"},
        {"a.wav a.wav", "would both be written to a-grindlet.wav"},
        {"a.wav b.wav -o ./", "a.wav would be written to ./a.wav, which is the input a.wav"},
        {"a.wav sub/a.wav -o sub/", "which is the input sub/a.wav"},
        {"a.wav - -o out/", "standard input (-) cannot be one of several inputs"},
        {"a.wav b.wav -o -", "several outputs cannot all go to standard output"},
        {"a.wav b.wav --plot p.svg", "--plot draws one file"},
        {"a.wav b.wav -o missing/", "missing/: No such file or directory"},
        {"a.wav b.wav -o a.wav", "several inputs need a folder"},
    };
    const auto before = snapshot();
    for (const RefusedBatch& c : cases) {
        SCOPED_TRACE(c.arguments);
        const ToolRun refused = run(tool() + " " + c.arguments);
        EXPECT_EQ(refused.status, 1);
        EXPECT_NE(refused.errors.find(c.says), std::string::npos) << refused.errors;
        EXPECT_EQ(snapshot(), before);
    }
    DIR* out = opendir(path("out").c_str());
    ASSERT_NE(out, nullptr);
    int entries = 0;
    while (readdir(out) != nullptr) ++entries;
    closedir(out);
    EXPECT_EQ(entries, 2);  // . and ..
}

// A signal to the batch reaches every file being rendered: nothing is left behind and the
// batch ends as the signal would.
TEST_F(RenderTool, AnInterruptedBatchLeavesNothing) {
    writeStereo("in.wav");
    const std::string wav = contents(path("in.wav"));
    ASSERT_EQ(mkdir(path("out").c_str(), 0755), 0);
    for (int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(strsignal(signal));
        for (const char* name : {"p1.wav", "p2.wav"})
            ASSERT_EQ(mkfifo(path(name).c_str(), 0600), 0);
        const auto before = snapshot();
        int unused = -1;
        const pid_t tool = startWithPipe({"p1.wav", "p2.wav", "-o", "out/", "-j", "2"}, unused);
        ASSERT_GT(tool, 0);
        // Each job opens its input; the header only, so each waits for samples.
        std::vector<int> feeds;
        for (const char* name : {"p1.wav", "p2.wav"}) {
            int feed = -1;
            for (int attempt = 0; attempt < 3000 && feed < 0; ++attempt) {
                feed = open(path(name).c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
                if (feed < 0) usleep(10000);
            }
            ASSERT_GE(feed, 0) << name << " was never opened";
            ASSERT_EQ(write(feed, wav.data(), 44), 44);
            feeds.push_back(feed);
        }
        std::vector<pid_t> jobs;
        std::ifstream children("/proc/" + std::to_string(tool) + "/task/" + std::to_string(tool) +
                               "/children");
        for (pid_t job; children >> job;) jobs.push_back(job);
        ASSERT_EQ(jobs.size(), 2u);
        for (pid_t job : jobs) EXPECT_TRUE(outputOpen(job, "out"));
        kill(tool, signal);
        int status = 0;
        waitpid(tool, &status, 0);
        for (int feed : feeds) close(feed);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << "status " << status;
        EXPECT_EQ(snapshot(), before);
        DIR* out = opendir(path("out").c_str());
        int entries = 0;
        while (out != nullptr && readdir(out) != nullptr) ++entries;
        if (out != nullptr) closedir(out);
        EXPECT_EQ(entries, 2);  // . and ..
        for (const char* name : {"p1.wav", "p2.wav"}) unlink(path(name).c_str());
    }
}

}  // namespace
}  // namespace grindlet::test
