#include "isolation.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#if !defined(_WIN32)
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#endif

namespace grindlet::check {

#if defined(_WIN32)

bool childProcessesAvailable() { return false; }

ChildResult runInChild(const std::function<int(int)>&, int) { return {}; }

bool writeAll(int, const std::string&) { return false; }

#else

namespace {

// How often a waiting parent looks whether its child has ended.
constexpr int POLL_MILLISECONDS = 10;

double secondsNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

// The child's last words on its channel, after its work: a child that ends without them was
// ended by something else (the module's own exit(), a closed channel), whatever its status.
constexpr char DONE[] = "\n\x01grindlet-check: done\x01";

// Ends every process this one started that is still there: the child's process group, and what
// escaped it (setsid) and fell to this process as their subreaper, until none is left.
void endDescendants(pid_t group) {
    kill(-group, SIGKILL);
    for (int round = 0; round < 100; ++round) {
        bool any = false;
        const std::string listing = "/proc/self/task/" + std::to_string(getpid()) + "/children";
        if (std::FILE* children = std::fopen(listing.c_str(), "r")) {
            for (long pid; std::fscanf(children, "%ld", &pid) == 1;) {
                kill(static_cast<pid_t>(pid), SIGKILL);
                any = true;
            }
            std::fclose(children);
        }
        while (waitpid(-1, nullptr, WNOHANG) > 0) any = true;
        if (!any) return;
        usleep(1000);
    }
}

}  // namespace

bool childProcessesAvailable() { return true; }

bool writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

ChildResult runInChild(const std::function<int(int)>& work, int timeoutSeconds) {
    ChildResult result;
    // Orphans of the module's processes come to this process, which ends them (Linux).
    static const bool subreaper = prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
    (void)subreaper;
    int channel[2];
    if (pipe2(channel, O_CLOEXEC) != 0) return result;
    std::fflush(nullptr);  // nothing buffered here may be written twice
    const pid_t child = fork();
    if (child < 0) {
        close(channel[0]);
        close(channel[1]);
        return result;
    }
    if (child == 0) {
        setpgid(0, 0);  // a group of its own: whatever the module starts is ended with it
        close(channel[0]);
        const int status = work(channel[1]);
        std::fflush(nullptr);
        if (!writeAll(channel[1], DONE)) _exit(status == 0 ? 1 : status);
        _exit(status);  // no destructors or exit handlers of a module that may be broken
    }
    setpgid(child, child);  // as the child does: whichever runs first
    close(channel[1]);
    const double deadline = secondsNow() + timeoutSeconds;
    char buffer[4096];
    int status = 0;
    bool ended = false, open = true;
    // Read while the child runs (it may write more than a pipe holds); its end is told by
    // waitpid, not by the channel closing, which a process the module started may hold open.
    while (!ended) {
        if (secondsNow() >= deadline) {
            kill(-child, SIGKILL);
            kill(child, SIGKILL);
            while (waitpid(child, &status, 0) < 0 && errno == EINTR) {}
            endDescendants(child);
            close(channel[0]);
            result.ending = ChildResult::Ending::TimedOut;
            return result;
        }
        if (open) {
            pollfd waiting{channel[0], POLLIN, 0};
            if (poll(&waiting, 1, POLL_MILLISECONDS) > 0) {
                const ssize_t n = read(channel[0], buffer, sizeof buffer);
                if (n > 0) result.output.append(buffer, static_cast<size_t>(n));
                if (n == 0) open = false;
            }
        } else {
            usleep(POLL_MILLISECONDS * 1000);
        }
        const pid_t done = waitpid(child, &status, WNOHANG);
        if (done < 0 && errno != EINTR) break;
        ended = done == child;
    }
    // What the child wrote before it ended is in the pipe: read it without waiting for more.
    fcntl(channel[0], F_SETFL, O_NONBLOCK);
    for (ssize_t n; open && (n = read(channel[0], buffer, sizeof buffer)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        result.output.append(buffer, static_cast<size_t>(n));
    }
    close(channel[0]);
    endDescendants(child);
    if (WIFSIGNALED(status)) {
        result.ending = ChildResult::Ending::Crashed;
        result.signal = WTERMSIG(status);
        return result;
    }
    result.exitStatus = WEXITSTATUS(status);
    const size_t last = result.output.rfind(DONE);
    if (ended && last != std::string::npos && last + sizeof DONE - 1 == result.output.size()) {
        result.output.resize(last);
        result.ending = ChildResult::Ending::Finished;
    } else {
        result.ending = ChildResult::Ending::EndedEarly;
    }
    return result;
}

#endif

std::string describeEnding(const ChildResult& result, int timeoutSeconds) {
    switch (result.ending) {
        case ChildResult::Ending::Finished:
            return "ended with status " + std::to_string(result.exitStatus);
        case ChildResult::Ending::Crashed: {
#if defined(_WIN32)
            return "crashed";
#else
            const char* abbreviation = sigabbrev_np(result.signal);
            const char* description = strsignal(result.signal);
            return std::string("crashed with ") +
                   (abbreviation != nullptr ? std::string("SIG") + abbreviation
                                            : "signal " + std::to_string(result.signal)) +
                   (description != nullptr ? std::string(" (") + description + ")" : "");
#endif
        }
        case ChildResult::Ending::EndedEarly:
            return "ended before it finished (exit status " + std::to_string(result.exitStatus) +
                   "): the module's own code ended the process or closed its channel";
        case ChildResult::Ending::TimedOut:
            return "did not finish within " + std::to_string(timeoutSeconds) + " s (stopped)";
        case ChildResult::Ending::NotStarted:
        default:
            return std::string("could not be started in a child process: ") + std::strerror(errno);
    }
}

}  // namespace grindlet::check
