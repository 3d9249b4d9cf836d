// grindlet-check-guard.dll: the exit guard of the Windows checker, which runs a module in its own
// process. A module that ends the process (ExitProcess or exit in its code, while loading or
// while a check runs) must not end it with "all passed": when the process ends before the run
// reached its verdict, this library's DllMain ends it with status 2 instead.
//
// A library, not the program: Windows tells every loaded library that the process is ending
// (DLL_PROCESS_DETACH with lpReserved set), and wine does too, while wine never calls a
// program's own thread-local-storage callbacks at exit. The checker links it, so it is loaded
// before any module and told after it.
#include <windows.h>

namespace {
volatile LONG finished = 0;
}

extern "C" __declspec(dllexport) void grindletCheckRunFinished() { finished = 1; }

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    if (reason != DLL_PROCESS_DETACH || reserved == nullptr || finished != 0) return TRUE;
    static const char message[] =
        "grindlet-check: the module ended the process before the run finished (ExitProcess or "
        "exit in its code)\r\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), message, sizeof message - 1, &written, nullptr);
    TerminateProcess(GetCurrentProcess(), 2);
    return TRUE;
}
