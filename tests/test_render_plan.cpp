// The render tool's plan (every check before any write), its temporary files and its 16-bit
// conversion, without running the tool.
#include "render_tool.h"

namespace grindlet::test {
namespace {

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

}  // namespace
}  // namespace grindlet::test
