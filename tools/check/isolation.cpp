#include "isolation.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#if !defined(_WIN32)
#include <poll.h>
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

double secondsNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
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
    int channel[2];
    if (pipe(channel) != 0) return result;
    std::fflush(nullptr);  // nothing buffered here may be written twice
    const pid_t child = fork();
    if (child < 0) {
        close(channel[0]);
        close(channel[1]);
        return result;
    }
    if (child == 0) {
        close(channel[0]);
        const int status = work(channel[1]);
        std::fflush(nullptr);
        _exit(status);  // no destructors or exit handlers of a module that may be broken
    }
    close(channel[1]);
    const double deadline = secondsNow() + timeoutSeconds;
    bool timedOut = false;
    char buffer[4096];
    for (;;) {
        const double left = deadline - secondsNow();
        if (left <= 0) {
            timedOut = true;
            break;
        }
        pollfd waiting{channel[0], POLLIN, 0};
        const int ready = poll(&waiting, 1, static_cast<int>(left * 1000) + 1);
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) continue;  // the deadline check above decides
        const ssize_t n = read(channel[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // the child closed its end: it has ended or is ending
        result.output.append(buffer, static_cast<size_t>(n));
    }
    close(channel[0]);
    int status = 0;
    if (timedOut) {
        kill(child, SIGKILL);
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {}
        result.ending = ChildResult::Ending::TimedOut;
        return result;
    }
    // The channel closed; a child that closed it early and then hangs still meets the deadline.
    for (;;) {
        const pid_t done = waitpid(child, &status, WNOHANG);
        if (done == child) break;
        if (done < 0 && errno != EINTR) return result;
        if (secondsNow() >= deadline) {
            kill(child, SIGKILL);
            while (waitpid(child, &status, 0) < 0 && errno == EINTR) {}
            result.ending = ChildResult::Ending::TimedOut;
            return result;
        }
        usleep(1000);
    }
    if (WIFSIGNALED(status)) {
        result.ending = ChildResult::Ending::Crashed;
        result.signal = WTERMSIG(status);
    } else {
        result.ending = ChildResult::Ending::Finished;
        result.exitStatus = WEXITSTATUS(status);
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
        case ChildResult::Ending::TimedOut:
            return "did not finish within " + std::to_string(timeoutSeconds) + " s (stopped)";
        case ChildResult::Ending::NotStarted:
        default:
            return std::string("could not be started in a child process: ") + std::strerror(errno);
    }
}

}  // namespace grindlet::check
