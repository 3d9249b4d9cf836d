// The render tool on files and streams: formats, pipes, interruptions, and above all that no
// input can crash it or cost the user a file.
#include "render_tool.h"

namespace grindlet::test {
namespace {

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

}  // namespace
}  // namespace grindlet::test
