#include "batch.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "audio_files.h"
#include "safe_files.h"

namespace grindlet::render {

namespace {

constexpr const char* PROGRAM = "grindlet-render: ";
constexpr size_t MOST_PARALLEL = 256;
// A job that cannot start while none runs (no descriptor or process to be had) is tried again
// this often, this long apart, before its file fails.
constexpr int START_TRIES = 50;
constexpr useconds_t START_PAUSE_MICROSECONDS = 100000;
constexpr int BAR_WIDTH = 40;
constexpr int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

// The children running, for the signal handler to reach; 0 marks a free slot.
volatile pid_t runningChildren[MOST_PARALLEL];
volatile sig_atomic_t stopSignal = 0;

void forwardToChildren(int signal) {
    stopSignal = signal;
    for (size_t i = 0; i < MOST_PARALLEL; ++i) {
        if (runningChildren[i] > 0) kill(runningChildren[i], signal);
    }
}

// The stop signals held while a child is started and its slot filled, so none is missed.
class StopSignalsHeld {
public:
    StopSignalsHeld() {
        sigset_t held;
        sigemptyset(&held);
        for (int signal : STOP_SIGNALS) sigaddset(&held, signal);
        sigprocmask(SIG_BLOCK, &held, &previous);
    }
    ~StopSignalsHeld() { sigprocmask(SIG_SETMASK, &previous, nullptr); }
    StopSignalsHeld(const StopSignalsHeld&) = delete;
    StopSignalsHeld& operator=(const StopSignalsHeld&) = delete;
    const sigset_t& before() const { return previous; }

private:
    sigset_t previous;
};

struct Child {
    pid_t pid = -1;
    int messagesFd = -1;  // the child's standard error
    size_t slot = 0;
    size_t job = 0;
    std::string messages;
};

// The child's lines, each naming the input: "grindlet-render: IN: what happened".
void reportLines(const std::string& input, const std::string& messages) {
    size_t start = 0;
    while (start < messages.size()) {
        size_t end = messages.find('\n', start);
        if (end == std::string::npos) end = messages.size();
        std::string line = messages.substr(start, end - start);
        if (line.rfind(PROGRAM, 0) == 0) line.erase(0, std::strlen(PROGRAM));
        if (!line.empty()) std::fprintf(stderr, "%s%s: %s\n", PROGRAM, input.c_str(), line.c_str());
        start = end + 1;
    }
}

class BatchProgress {
public:
    explicit BatchProgress(size_t files) : total(files), shown(isatty(STDERR_FILENO)) {}
    // Clears the bar so that a message can take its line.
    void clear() {
        if (shown && drawn) std::fputs("\r\033[K", stderr);
        drawn = false;
    }
    void draw(size_t done, size_t failed) {
        if (!shown) return;
        const size_t filled = total == 0 ? BAR_WIDTH : done * BAR_WIDTH / total;
        std::fprintf(stderr, "\r[%-*s] %zu/%zu files", BAR_WIDTH, std::string(filled, '#').c_str(),
                     done, total);
        if (failed > 0) std::fprintf(stderr, ", %zu failed", failed);
        drawn = true;
    }
    void finish() {
        if (shown && drawn) std::fputc('\n', stderr);
        drawn = false;
    }

private:
    size_t total;
    bool shown;
    bool drawn = false;
};

// In a new child: standard error to the parent, standard output quiet, the signals as a
// single render has them.
[[noreturn]] void becomeJob(int messagesFd, const BatchJob& job, const sigset_t& mask,
                            const std::function<int(const BatchJob&)>& renderOne) {
    if (dup2(messagesFd, STDERR_FILENO) < 0) _exit(1);
    close(messagesFd);
    const int quiet = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (quiet < 0 || dup2(quiet, STDOUT_FILENO) < 0) _exit(1);
    close(quiet);
    closefrom(3);  // the other jobs' pipes: this job's descriptors are its own to spend
    for (int signal : STOP_SIGNALS) {
        struct sigaction current {};
        if (sigaction(signal, nullptr, &current) == 0 && current.sa_handler != SIG_IGN)
            std::signal(signal, SIG_DFL);
    }
    removeTemporaryFilesOnSignals();
    sigprocmask(SIG_SETMASK, &mask, nullptr);
    const int status = stopSignal != 0 ? 1 : renderOne(job);
    std::fflush(nullptr);
    _exit(status);
}

}  // namespace

int runBatch(const std::vector<BatchJob>& jobs, int parallel,
             const std::function<int(const BatchJob&)>& renderOne) {
    if (parallel <= 0) parallel = static_cast<int>(std::max(1L, sysconf(_SC_NPROCESSORS_ONLN)));
    const size_t mostAtOnce =
        std::min({static_cast<size_t>(parallel), MOST_PARALLEL, std::max<size_t>(1, jobs.size())});
    for (int signal : STOP_SIGNALS) {
        // A signal ignored from the start stays ignored, in the children too.
        struct sigaction current {};
        if (sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
        struct sigaction action {};
        action.sa_handler = forwardToChildren;
        sigemptyset(&action.sa_mask);
        for (int blocked : STOP_SIGNALS) sigaddset(&action.sa_mask, blocked);
        sigaction(signal, &action, nullptr);
    }

    BatchProgress progress(jobs.size());
    std::vector<Child> live;
    size_t next = 0, rendered = 0, failed = 0;
    int startTries = 0;  // with no job running, how often the next one could not start
    const auto failWith = [&](const std::string& input, const std::string& message) {
        progress.clear();
        reportLines(input, message);
        ++failed;
    };
    progress.draw(0, 0);
    while ((next < jobs.size() && stopSignal == 0) || !live.empty()) {
        while (stopSignal == 0 && next < jobs.size() && live.size() < mostAtOnce) {
            const size_t job = next;
            // Out of descriptors or processes (ulimit -n, -u): wait for a running job to end
            // and try again; with none running, wait a moment, then the file fails.
            const auto cannotStartYet = [&](int error) {
                const bool passing =
                    error == EMFILE || error == ENFILE || error == EAGAIN || error == ENOMEM;
                if (passing && !live.empty()) return true;
                if (passing && startTries < START_TRIES) {
                    ++startTries;
                    usleep(START_PAUSE_MICROSECONDS);
                    return true;
                }
                ++next;
                startTries = 0;
                failWith(jobs[job].input, std::string("cannot start: ") + std::strerror(error));
                return false;
            };
            int ends[2];
            if (pipe2(ends, O_CLOEXEC) != 0) {
                if (cannotStartYet(errno)) break;
                continue;
            }
            Child child;
            child.job = job;
            child.messagesFd = ends[0];
            StopSignalsHeld held;
            while (runningChildren[child.slot] != 0) ++child.slot;
            std::fflush(nullptr);
            child.pid = fork();
            if (child.pid == 0) {
                close(ends[0]);
                becomeJob(ends[1], jobs[job], held.before(), renderOne);
            }
            const int forkError = errno;
            close(ends[1]);
            if (child.pid < 0) {
                close(ends[0]);
                if (cannotStartYet(forkError)) break;
                continue;
            }
            ++next;
            startTries = 0;
            runningChildren[child.slot] = child.pid;
            live.push_back(std::move(child));
        }
        if (live.empty()) continue;

        std::vector<pollfd> watched;
        for (const Child& child : live) watched.push_back({child.messagesFd, POLLIN, 0});
        if (poll(watched.data(), watched.size(), -1) < 0) continue;  // a signal: look again
        for (size_t i = live.size(); i-- > 0;) {
            if (watched[i].revents == 0) continue;
            Child& child = live[i];
            char buffer[4096];
            const ssize_t n = read(child.messagesFd, buffer, sizeof buffer);
            if (n > 0) {
                child.messages.append(buffer, static_cast<size_t>(n));
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            // Standard error closed: the child is ending.
            close(child.messagesFd);
            int status = 0;
            while (waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {}
            runningChildren[child.slot] = 0;
            const std::string& input = jobs[child.job].input;
            if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
                ++rendered;
                progress.clear();
                reportLines(input, child.messages);  // notes, if any
            } else if (WIFSIGNALED(status) && WTERMSIG(status) == stopSignal) {
                ++failed;  // stopped with the batch: the reason is the signal, told by the shell
            } else if (WIFSIGNALED(status)) {
                failWith(input, child.messages + (child.messages.empty() ? "" : "\n") +
                                    "stopped by signal " + std::to_string(WTERMSIG(status)) + " (" +
                                    strsignal(WTERMSIG(status)) + ")");
            } else {
                failWith(input,
                         child.messages.empty()
                             ? "failed (exit status " + std::to_string(WEXITSTATUS(status)) + ")"
                             : child.messages);
            }
            live.erase(live.begin() + static_cast<std::ptrdiff_t>(i));
            progress.draw(rendered + failed, failed);
        }
    }
    progress.finish();
    if (stopSignal != 0) {
        std::fprintf(stderr, "%sstopped: %zu rendered, %zu not finished\n", PROGRAM, rendered,
                     jobs.size() - rendered);
        std::fflush(nullptr);
        std::signal(stopSignal, SIG_DFL);
        raise(stopSignal);
    }
    std::printf("%zu rendered, %zu failed\n", rendered, failed);
    return failed == 0 ? 0 : 1;
}

}  // namespace grindlet::render
