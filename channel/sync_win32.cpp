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

Handle SyncStartThread(SyncThreadMain main, void* argument, uint32_t stackSize, uint32_t* id) {
    DWORD threadId = 0;
    const HANDLE thread = CreateThread(nullptr, stackSize, main, argument, 0, &threadId);
    if (id != nullptr) *id = static_cast<uint32_t>(threadId);
    return thread;
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
    return static_cast<uint64_t>(now.QuadPart) * 1000u / static_cast<uint64_t>(frequency.QuadPart);
}
