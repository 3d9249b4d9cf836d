// Running untrusted module code in a child process with a time limit: a module that crashes or
// hangs fails the piece of work that ran it, never the program that checks it.
#pragma once

#include <functional>
#include <string>

namespace grindlet::check {

struct ChildResult {
    enum class Ending { Finished, Crashed, TimedOut, NotStarted };
    Ending ending = Ending::NotStarted;
    int exitStatus = 0;  // Finished: the child's exit status
    int signal = 0;      // Crashed: the signal that ended it
    std::string output;  // what the child wrote to its channel before it ended
};

// Whether this platform has child processes to isolate work in (not under Windows).
bool childProcessesAvailable();

// Runs work(channel) in a child process that then exits with work's result as its status; the
// child writes what the parent should see to the file descriptor `channel`. A child still
// running after timeoutSeconds is killed.
ChildResult runInChild(const std::function<int(int channel)>& work, int timeoutSeconds);

// "crashed with SIGSEGV (Segmentation fault)", "did not finish within 30 s", ...
std::string describeEnding(const ChildResult& result, int timeoutSeconds);

// Writes all of text to fd, through interruptions and short writes.
bool writeAll(int fd, const std::string& text);

}  // namespace grindlet::check
