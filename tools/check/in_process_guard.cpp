#include "in_process_guard.h"

#if defined(_WIN32)
#include <windows.h>

#include <cstdio>
#include <cstdlib>

// The exit guard, in its own library (exit_guard_dll.cpp): the verdict is reached.
extern "C" __declspec(dllimport) void grindletCheckRunFinished();
#endif

namespace grindlet::check {

#if defined(_WIN32)

namespace {

// Shared with the watchdog thread: plain words, written whole by one thread, read by the other.
volatile LONG limitSeconds = 0;
volatile LONG armed = 0;
volatile ULONGLONG armedAt = 0;
const char* volatile running = "";

HANDLE watching = nullptr;  // set by the watchdog once it runs

DWORD WINAPI watch(void*) {
    SetEvent(watching);
    for (;;) {
        Sleep(100);
        if (armed == 0 || GetTickCount64() - armedAt < ULONGLONG(limitSeconds) * 1000) continue;
        std::fflush(stdout);
        std::fprintf(stderr,
                     "grindlet-check: %s did not finish within %ld s: the run is stopped (a "
                     "hang in the module, run in this process)\n",
                     running, static_cast<long>(limitSeconds));
        std::fflush(stderr);
        TerminateProcess(GetCurrentProcess(), 1);  // no library is told: this is the verdict
    }
}

// A crash in the module's code ends the run as a failure that says so, not as an exception code.
LONG WINAPI onCrash(EXCEPTION_POINTERS* crash) {
    std::fflush(stdout);
    std::fprintf(stderr,
                 "grindlet-check: the module crashed (exception 0x%08lx) while %s: the run is "
                 "stopped\n",
                 static_cast<unsigned long>(crash->ExceptionRecord->ExceptionCode),
                 armed != 0 ? running : "the checker ran");
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 1);
    return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

void startWatchdog(int seconds) {
    limitSeconds = seconds;
    if (watching != nullptr) return;
    // Running before any module loads: a thread still starting needs the loader's lock, which
    // a module hanging in its DllMain holds for good.
    SetUnhandledExceptionFilter(onCrash);
    watching = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const HANDLE thread = CreateThread(nullptr, 0, watch, nullptr, 0, nullptr);
    if (watching == nullptr || thread == nullptr ||
        WaitForSingleObject(watching, INFINITE) != WAIT_OBJECT_0) {
        std::fprintf(stderr, "grindlet-check: cannot start the watchdog (error %lu)\n",
                     static_cast<unsigned long>(GetLastError()));
        std::exit(2);
    }
    CloseHandle(thread);
}

void arm(const char* what) {
    running = what;
    armedAt = GetTickCount64();
    armed = 1;
}

void disarm() { armed = 0; }

void runFinished() { grindletCheckRunFinished(); }

#else

void startWatchdog(int) {}
void arm(const char*) {}
void disarm() {}
void runFinished() {}

#endif

}  // namespace grindlet::check
