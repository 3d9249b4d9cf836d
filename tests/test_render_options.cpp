// The render tool's command line: units, sweeps, the messages for what it refuses, its plots'
// axes and spectrum, and the output's default name.
#include "render_tool.h"

namespace grindlet::test {
namespace {

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

// A preset sets every control; one named as well overrides it, in either order.
TEST(RenderOptions, APresetThenTheControlsNamed) {
    for (const auto& args : {std::vector<std::string>{"--preset", "chiptune", "--bits", "6"},
                             std::vector<std::string>{"--bits=6", "--preset=chiptune"}}) {
        const RenderOptions o = parsed(args);
        EXPECT_EQ(o.control(dsp::CONTROL_BITS).at(0.0), 6.0);
        EXPECT_EQ(o.control(dsp::CONTROL_RATE).at(0.0), 16000.0);
        EXPECT_EQ(o.control(dsp::CONTROL_DRIVE).at(0.0), 3.0);
        EXPECT_EQ(o.control(dsp::CONTROL_MIX).at(0.0), 100.0);
    }
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
        BadArguments{{"--preset", "chip"}, "--preset: 'chip' is not one of early-sampler"},
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

}  // namespace
}  // namespace grindlet::test
