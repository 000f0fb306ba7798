// The channel's kernel objects and clock on Windows (see sync.h).
#include "channel/sync.h"

#include <windows.h>

static_assert(kWaitObject0 == WAIT_OBJECT_0 && kWaitAbandoned0 == WAIT_ABANDONED_0 && kWaitTimeout == WAIT_TIMEOUT &&
              kWaitFailed == WAIT_FAILED && kWaitForever == INFINITE);
static_assert(sizeof(HANDLE) == sizeof(Handle));

Handle SyncCreateEvent(const char* name) { return CreateEventA(nullptr, TRUE, FALSE, name); }

Handle SyncCreateMutex(const char* name) { return CreateMutexA(nullptr, FALSE, name); }

bool SyncSetEvent(Handle event) { return SetEvent(event) != FALSE; }

bool SyncReleaseMutex(Handle mutex) { return ReleaseMutex(mutex) != FALSE; }

bool SyncClose(Handle object) { return CloseHandle(object) != FALSE; }

namespace {

// The module that holds this code (the driver's DLL); with `take`, one more
// reference on it.
HMODULE OwnModule(bool take) {
    HMODULE module = nullptr;
    DWORD flags = GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS;
    if (!take) flags |= GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;
    if (!GetModuleHandleExA(flags, reinterpret_cast<LPCSTR>(&OwnModule), &module)) return nullptr;
    return module;
}

}  // namespace

Handle SyncStartThread(SyncThreadMain main, void* argument, uint32_t stackSize, uint32_t* id) {
    const HMODULE module = OwnModule(true);
    DWORD threadId = 0;
    const HANDLE thread = CreateThread(nullptr, stackSize, main, argument, 0, &threadId);
    if (id != nullptr) *id = static_cast<uint32_t>(threadId);
    if (thread == nullptr && module != nullptr) FreeLibrary(module);
    return thread;
}

unsigned long SyncThreadExit(unsigned long code) {
    const HMODULE module = OwnModule(false);
    if (module != nullptr) FreeLibraryAndExitThread(module, static_cast<DWORD>(code));
    return code;
}

uint32_t SyncWaitOne(Handle object, uint32_t milliseconds) { return WaitForSingleObject(object, milliseconds); }

uint32_t SyncWaitAny(const Handle* objects, uint32_t count, uint32_t milliseconds) {
    return WaitForMultipleObjects(count, objects, FALSE, milliseconds);
}

void SyncSleep(uint32_t milliseconds) { Sleep(milliseconds); }

uint64_t SyncNowMilliseconds() {
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    // Whole seconds and the rest apart: the counter times 1000 would overflow
    // after about 71 days where the counter runs at the processor's speed.
    const uint64_t ticks = static_cast<uint64_t>(now.QuadPart);
    const uint64_t perSecond = static_cast<uint64_t>(frequency.QuadPart);
    return ticks / perSecond * 1000u + ticks % perSecond * 1000u / perSecond;
}
