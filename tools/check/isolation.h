// Running untrusted module code in a child process with a time limit: a module that crashes or
// hangs fails the piece of work that ran it, never the program that checks it.
#pragma once

#include <functional>
#include <string>

namespace grindlet::check {

struct ChildResult {
    // EndedEarly: the child exited without finishing its work (the module called exit(), or
    // closed the channel); never a success, whatever its status.
    enum class Ending { Finished, Crashed, TimedOut, EndedEarly, NotStarted };
    Ending ending = Ending::NotStarted;
    int exitStatus = 0;  // Finished, EndedEarly: the child's exit status
    int signal = 0;      // Crashed: the signal that ended it
    std::string output;  // what the child wrote to its channel before it ended
};

// Whether this platform has child processes to isolate work in (not under Windows).
bool childProcessesAvailable();

// Runs work(channel) in a child process that then exits with work's result as its status; the
// child writes what the parent should see to the file descriptor `channel`. The child runs in a
// process group of its own: when it ends, or is killed after timeoutSeconds, every process it
// started is ended too (those that left the group as well: this process is their subreaper).
ChildResult runInChild(const std::function<int(int channel)>& work, int timeoutSeconds);

// "crashed with SIGSEGV (Segmentation fault)", "did not finish within 30 s", ...
std::string describeEnding(const ChildResult& result, int timeoutSeconds);

// Writes all of text to fd, through interruptions and short writes.
bool writeAll(int fd, const std::string& text);

}  // namespace grindlet::check
