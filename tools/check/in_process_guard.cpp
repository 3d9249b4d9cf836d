#include "in_process_guard.h"

#if defined(_WIN32)
#include <windows.h>

#include <cstdio>
#endif

namespace grindlet::check {

#if defined(_WIN32)

namespace {

// Shared with the watchdog thread: plain words, written whole by one thread, read by the other.
volatile LONG limitSeconds = 0;
volatile LONG armed = 0;
volatile ULONGLONG armedAt = 0;
const char* volatile running = "";
volatile LONG finished = 0;

DWORD WINAPI watch(void*) {
    for (;;) {
        Sleep(100);
        if (armed == 0 || GetTickCount64() - armedAt < ULONGLONG(limitSeconds) * 1000) continue;
        std::fflush(stdout);
        std::fprintf(stderr,
                     "grindlet-check: %s did not finish within %ld s: the run is stopped (a "
                     "hang in the module, run in this process)\n",
                     running, static_cast<long>(limitSeconds));
        std::fflush(stderr);
        finished = 1;  // this exit is the verdict
        TerminateProcess(GetCurrentProcess(), 1);
    }
}

// Called by the system for this program when the process ends, whoever ends it: before the run
// reached its verdict, it was the module (ExitProcess or exit in its code) and a failure.
void NTAPI onProcessEvent(PVOID, DWORD reason, PVOID) {
    if (reason != DLL_PROCESS_DETACH || finished != 0) return;
    static const char message[] =
        "grindlet-check: the module ended the process before the run finished (ExitProcess or "
        "exit in its code)\r\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), message, sizeof message - 1, &written, nullptr);
    TerminateProcess(GetCurrentProcess(), 2);
}

}  // namespace

void startWatchdog(int seconds) {
    limitSeconds = seconds;
    static HANDLE thread = CreateThread(nullptr, 0, watch, nullptr, 0, nullptr);
    (void)thread;
}

void arm(const char* what) {
    running = what;
    armedAt = GetTickCount64();
    armed = 1;
}

void disarm() { armed = 0; }

void runFinished() { finished = 1; }

#else

void startWatchdog(int) {}
void arm(const char*) {}
void disarm() {}
void runFinished() {}

#endif

}  // namespace grindlet::check

#if defined(_WIN32)
// The process-event callback in this program's thread-local-storage callback list, which the
// system calls on every process exit (the C runtime's start-up code holds the list).
extern "C" __attribute__((section(".CRT$XLB"), used))
const PIMAGE_TLS_CALLBACK grindletCheckProcessEvent = grindlet::check::onProcessEvent;
#endif
