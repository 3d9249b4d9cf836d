// The render tool on many files at once: each as if alone, nothing written when it cannot run
// as asked, nothing left when interrupted.
#include "render_tool.h"

namespace grindlet::test {
namespace {

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
