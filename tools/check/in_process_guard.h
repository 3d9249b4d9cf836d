// Where no child process can hold the module (the Windows build runs it in its own process), a
// watchdog and an exit guard keep the verdict true: a check that hangs past its time limit
// (loading included, a DllMain that spins too) ends the run as a failure, and a module that ends
// the process (ExitProcess, exit) before the run finished makes that a failure too, never "all
// passed" (the guard is a library of its own: exit_guard_dll.cpp). Elsewhere both do nothing.
#pragma once

namespace grindlet::check {

// Starts the watchdog, once, and returns when it runs: a piece of work still running `seconds`
// after arm() ends the process with status 1, saying what hung.
void startWatchdog(int seconds);
// What runs from now on (a check's name, "loading it"); the time limit starts again.
void arm(const char* what);
// Nothing of the module's is running.
void disarm();

// The run reached its verdict: the process may end now with the status main returns.
void runFinished();

}  // namespace grindlet::check
