// A test DLL that can hold the next new thread of the process at its very
// start (in its thread-attach notification), so a test can change what that
// thread will read before it runs a single line of its own.
#include <windows.h>

namespace {
volatile LONG g_armed;
HANDLE g_caught;
HANDLE g_release;
}  // namespace

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_caught = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        g_release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    } else if (reason == DLL_THREAD_ATTACH && InterlockedExchange(&g_armed, 0) != 0) {
        SetEvent(g_caught);
        WaitForSingleObject(g_release, 30000);
    }
    return TRUE;
}

// The next thread that starts is held until GateRelease.
extern "C" __declspec(dllexport) void GateArm() {
    ResetEvent(g_caught);
    ResetEvent(g_release);
    InterlockedExchange(&g_armed, 1);
}

extern "C" __declspec(dllexport) int GateWaitCaught(DWORD milliseconds) {
    return WaitForSingleObject(g_caught, milliseconds) == WAIT_OBJECT_0 ? 1 : 0;
}

extern "C" __declspec(dllexport) void GateRelease() { SetEvent(g_release); }
