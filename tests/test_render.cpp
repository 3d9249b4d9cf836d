// The render tool: its options, unit conversion, sweeps, channel handling and file round trips.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "float_bits.h"
#include "tools/render/render_engine.h"

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
    const RenderOptions o = parsed({"in.flac", "--bits", "16:4", "--rate", "44100:500", "--quant",
                                    "inside", "--mode", "linear", "--block", "64", "--format",
                                    "pcm24", "-o", "out.wav", "--plot", "p.svg", "--at", "1.5",
                                    "--window", "0.02"});
    EXPECT_EQ(o.input, "in.flac");
    EXPECT_EQ(o.bits.from, 16.0);
    EXPECT_EQ(o.bits.to, 4.0);
    EXPECT_EQ(o.bits.at(0.5), 10.0);
    EXPECT_EQ(o.rate.at(0.0), 44100.0);
    EXPECT_EQ(o.rate.at(1.0), 500.0);
    EXPECT_EQ(o.quant, 2);
    EXPECT_EQ(o.mode, 1);
    EXPECT_EQ(o.block, 64);
    EXPECT_EQ(o.format, "pcm24");
    EXPECT_EQ(o.output, "out.wav");
    EXPECT_EQ(o.at, 1.5);
    const RenderOptions single = parsed({"--bits", "12.5"});
    EXPECT_EQ(single.bits.from, 12.5);
    EXPECT_EQ(single.bits.to, 12.5);
    EXPECT_TRUE(single.input.empty());
}

TEST(RenderOptions, StreamValuesCarryTenths) {
    EXPECT_TRUE(sameBits(render::bitsStreamValue(16.0), 1.6f));
    EXPECT_TRUE(sameBits(render::bitsStreamValue(23.0), 2.3f));
    EXPECT_TRUE(sameBits(render::rateStreamValue(11025.0), 1102.5f));
    EXPECT_TRUE(sameBits(render::rateStreamValue(44100.0), 4410.0f));
}

struct BadArguments {
    std::vector<std::string> args;
    const char* errorMentions;
};

class RenderOptionErrors : public ::testing::TestWithParam<BadArguments> {};

TEST_P(RenderOptionErrors, AreRefusedWithAClearMessage) {
    RenderOptions options;
    std::string error;
    EXPECT_FALSE(render::parseOptions(GetParam().args, options, error));
    EXPECT_NE(error.find(GetParam().errorMentions), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Table, RenderOptionErrors,
    ::testing::Values(BadArguments{{"--frobnicate"}, "unknown option --frobnicate"},
                      BadArguments{{"--bits"}, "--bits needs a value"},
                      BadArguments{{"--bits", "lots"}, "--bits: 'lots'"},
                      BadArguments{{"--bits", "16:"}, "--bits"},
                      BadArguments{{"--bits", "40"}, "out of range"},
                      BadArguments{{"--bits", "-1"}, "out of range"},
                      BadArguments{{"--rate", "0"}, "out of range"},
                      BadArguments{{"--rate", "nan"}, "--rate"},
                      BadArguments{{"--rate", "2e9"}, "out of range"},
                      BadArguments{{"--quant", "ceil"}, "floor round inside"},
                      BadArguments{{"--mode", "cubic"}, "step linear"},
                      BadArguments{{"--block", "0"}, "--block"},
                      BadArguments{{"--block", "2.5"}, "--block"},
                      BadArguments{{"--format", "mp3"}, "pcm16"},
                      BadArguments{{"--window", "0"}, "--window"},
                      BadArguments{{"a.wav", "b.wav"}, "more than one input"}));

TEST(RenderOptions, OutputNameFromInput) {
    EXPECT_EQ(render::defaultOutputName("dir.v2/song.flac"), "dir.v2/song-grindlet.wav");
    EXPECT_EQ(render::defaultOutputName("dir.v2/song"), "dir.v2/song-grindlet.wav");
    EXPECT_EQ(render::defaultOutputName(""), "grindlet-demo.wav");
}

class RenderFiles : public ::testing::Test {
protected:
    std::string dir;
    std::unique_ptr<host::ModuleLibrary> library;
    void SetUp() override {
        char pattern[] = "/tmp/grindlet-render-XXXXXX";
        dir = mkdtemp(pattern);
        std::string error;
        library = host::ModuleLibrary::load(GRINDLET_MODULE_PATH, error);
        ASSERT_TRUE(library) << error;
    }
    void TearDown() override { std::system(("rm -rf " + dir).c_str()); }

    // A short stereo file: a ramp on the left, a constant on the right.
    std::string writeStereo(int format) {
        render::Audio audio;
        audio.sampleRate = 22050;
        audio.channels = 2;
        for (int i = 0; i < 1000; ++i) {
            audio.samples.push_back(static_cast<float>(i % 100) / 128.0f);
            audio.samples.push_back(-0.25f);
        }
        audio.subtype = format;
        const std::string path = dir + "/stereo.wav";
        std::string error;
        EXPECT_TRUE(render::writeAudio(path, audio, "", error)) << error;
        return path;
    }
};

TEST_F(RenderFiles, UnreducedRenderIsABitExactRoundTripPerChannel) {
    render::Audio in, out, back;
    std::string error;
    ASSERT_TRUE(render::readAudio(writeStereo(SF_FORMAT_PCM_16), in, error)) << error;
    RenderOptions options;
    options.bits = {24, 24};      // quantization off
    options.rate = {22050, 22050};  // at the file's rate: the block is copied
    ASSERT_TRUE(render::renderAudio(*library, options, in, out, error)) << error;
    ASSERT_TRUE(render::writeAudio(dir + "/out.wav", out, "", error)) << error;
    ASSERT_TRUE(render::readAudio(dir + "/out.wav", back, error)) << error;
    EXPECT_EQ(back.sampleRate, 22050);
    EXPECT_EQ(back.channels, 2);
    EXPECT_EQ(back.subtype, SF_FORMAT_PCM_16) << "the input's sample format by default";
    EXPECT_TRUE(sameBits(back.samples, in.samples));
}

TEST_F(RenderFiles, ChannelsAreReducedIndependently) {
    render::Audio in, out;
    std::string error;
    ASSERT_TRUE(render::readAudio(writeStereo(SF_FORMAT_FLOAT), in, error)) << error;
    RenderOptions options;
    options.bits = {2, 2};
    options.rate = {5512.5, 5512.5};  // a quarter of the rate: every fourth sample held
    options.block = 37;
    ASSERT_TRUE(render::renderAudio(*library, options, in, out, error)) << error;
    ASSERT_EQ(out.samples.size(), in.samples.size());
    for (int64_t frame = 4; frame < out.frames(); ++frame) {
        EXPECT_TRUE(sameBits(out.at(frame, 1), -0.5f)) << frame;  // -0.25 rounded to 2 bits
        const int64_t taken = frame / 4 * 4;
        const float quantized = in.at(taken, 0) < 0.25f ? 0.0f : (in.at(taken, 0) < 0.75f ? 0.5f : 1.0f);
        EXPECT_TRUE(sameBits(out.at(frame, 0), quantized)) << frame;
    }
}

TEST_F(RenderFiles, FormatOptionChoosesTheSampleFormat) {
    render::Audio in, back;
    std::string error;
    ASSERT_TRUE(render::readAudio(writeStereo(SF_FORMAT_PCM_16), in, error));
    ASSERT_TRUE(render::writeAudio(dir + "/f.wav", in, "float", error)) << error;
    ASSERT_TRUE(render::readAudio(dir + "/f.wav", back, error));
    EXPECT_EQ(back.subtype, SF_FORMAT_FLOAT);
}

TEST_F(RenderFiles, UnreadableInputIsAnError) {
    render::Audio audio;
    std::string error;
    EXPECT_FALSE(render::readAudio(dir + "/missing.wav", audio, error));
    EXPECT_NE(error.find("missing.wav"), std::string::npos);
    std::ofstream(dir + "/junk.wav") << "not audio at all";
    EXPECT_FALSE(render::readAudio(dir + "/junk.wav", audio, error));
}

int runTool(const std::string& args) {
    const int status = std::system((std::string(GRINDLET_RENDER_PATH) + " " + args + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(RenderFiles, ToolExitsNonZeroOnErrorsAndNeverOverwritesItsInput) {
    const std::string input = writeStereo(SF_FORMAT_PCM_16);
    std::ifstream before(input, std::ios::binary);
    const std::string original((std::istreambuf_iterator<char>(before)), {});
    EXPECT_NE(runTool(input + " -o " + input), 0);
    EXPECT_NE(runTool(input + " -o " + dir + "/../" + dir.substr(5) + "/stereo.wav"), 0);
    std::ifstream after(input, std::ios::binary);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(after)), {}), original);
    EXPECT_NE(runTool(dir + "/missing.wav"), 0);
    EXPECT_NE(runTool("--nonsense"), 0);
    EXPECT_NE(runTool(input + " --bits 99"), 0);
    EXPECT_EQ(runTool("--help"), 0);
    EXPECT_EQ(runTool(input + " --bits 12:4 --rate 22050:800 -o " + dir + "/ok.wav --plot " + dir + "/ok.svg --at 0.01"), 0);
    render::Audio rendered;
    std::string error;
    ASSERT_TRUE(render::readAudio(dir + "/ok.wav", rendered, error)) << error;
    EXPECT_EQ(rendered.frames(), 1000) << "output as long as the input";
    std::ifstream svg(dir + "/ok.svg");
    const std::string picture((std::istreambuf_iterator<char>(svg)), {});
    EXPECT_NE(picture.find("time (ms)"), std::string::npos);
    EXPECT_NE(picture.find("amplitude"), std::string::npos);
}

}  // namespace
}  // namespace grindlet::test
