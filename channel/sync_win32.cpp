// The channel's kernel objects and clock on Windows (see sync.h).
#include "channel/sync.h"

#include <windows.h>

#include "serial/comm.h"

static_assert(kWaitObject0 == WAIT_OBJECT_0 && kWaitAbandoned0 == WAIT_ABANDONED_0 && kWaitTimeout == WAIT_TIMEOUT &&
              kWaitFailed == WAIT_FAILED && kWaitForever == INFINITE);
static_assert(sizeof(HANDLE) == sizeof(Handle));

Handle SyncCreateEvent(const char* name) { return CreateEventA(nullptr, TRUE, FALSE, name); }

Handle SyncCreateMutex(const char* name) { return CreateMutexA(nullptr, FALSE, name); }

bool SyncSetEvent(Handle event) { return SetEvent(event) != FALSE; }

bool SyncReleaseMutex(Handle mutex) { return ReleaseMutex(mutex) != FALSE; }

bool SyncClose(Handle object) { return CloseHandle(object) != FALSE; }

Handle SyncStartThread(SyncThreadMain main, void* argument, uint32_t stackSize, uint32_t* id, void** moduleHeld) {
    // One more reference on the module that holds this code (the driver's DLL).
    HMODULE module = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&SyncStartThread),
                            &module)) {
        module = nullptr;
    }
    *moduleHeld = module;
    DWORD threadId = 0;
    const HANDLE thread = CreateThread(nullptr, stackSize, main, argument, 0, &threadId);
    if (id != nullptr) *id = static_cast<uint32_t>(threadId);
    if (thread == nullptr && module != nullptr) {
        FreeLibrary(module);
        *moduleHeld = nullptr;
    }
    return thread;
}

unsigned long SyncThreadExit(unsigned long code, void* moduleHeld) {
    // Only the reference this thread's start took is given back.
    if (moduleHeld != nullptr) FreeLibraryAndExitThread(static_cast<HMODULE>(moduleHeld), static_cast<DWORD>(code));
    return code;
}

uint32_t SyncWaitOne(Handle object, uint32_t milliseconds) { return WaitForSingleObject(object, milliseconds); }

uint32_t SyncWaitAny(const Handle* objects, uint32_t count, uint32_t milliseconds) {
    return WaitForMultipleObjects(count, objects, FALSE, milliseconds);
}

void SyncSleep(uint32_t milliseconds) { Sleep(milliseconds); }

uint64_t SyncNowMilliseconds() { return CommNowMs(); }  // one clock for the driver
