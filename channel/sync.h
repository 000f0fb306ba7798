// The kernel objects and the clock of a channel's life: events, mutexes, the
// catch thread, the waits and the time. The Windows build calls Win32
// (sync_win32.cpp); the native build links a stand-in made of the C++ thread
// library (tests/support/sync), so the start, the end, the catch thread and
// the live-channel table run natively under the sanitizers.
//
// Objects are known by their Handle, as the channel record holds them. Wait
// results carry Win32's values, so a log line that prints one reads the same
// in both builds.
#pragma once

#include <cstdint>

#include "host/records.h"

constexpr uint32_t kWaitObject0 = 0x00000000;     // + index of the object that woke the wait
constexpr uint32_t kWaitAbandoned0 = 0x00000080;  // + index of a mutex whose holder ended holding it
constexpr uint32_t kWaitTimeout = 0x00000102;
constexpr uint32_t kWaitFailed = 0xFFFFFFFF;
constexpr uint32_t kWaitForever = 0xFFFFFFFF;

// A manual-reset event, not set; `name` null for an unnamed one. Null on failure.
Handle SyncCreateEvent(const char* name);
// A mutex nobody holds; `name` null for an unnamed one. Null on failure.
Handle SyncCreateMutex(const char* name);
bool SyncSetEvent(Handle event);
bool SyncReleaseMutex(Handle mutex);
bool SyncClose(Handle object);

// A thread's main function; the thread handle is set once it returns.
#ifdef _WIN32
#define SK_THREAD_CALL __stdcall
#else
#define SK_THREAD_CALL
#endif
using SyncThreadMain = unsigned long(SK_THREAD_CALL*)(void* argument);
// Starts `main(argument)` on a new thread with a stack of `stackSize` bytes;
// its id in *id. Null on failure. The thread holds a reference on the module
// that holds `main` (the driver's DLL) until it ends through SyncThreadExit:
// *moduleHeld is that reference (null when none could be taken), written
// before the thread starts, and the thread hands it to SyncThreadExit.
Handle SyncStartThread(SyncThreadMain main, void* argument, uint32_t stackSize, uint32_t* id, void** moduleHeld);
// Ends a thread started by SyncStartThread with `code`, giving back the
// module reference it holds, if any (on Windows it does not return then;
// natively it returns `code`).
unsigned long SyncThreadExit(unsigned long code, void* moduleHeld);

// Waits up to `milliseconds` (kWaitForever: no limit) for the object, or for
// the first of `count` objects that is set (the lowest index wins when
// several are). Taking a mutex makes the caller its holder.
uint32_t SyncWaitOne(Handle object, uint32_t milliseconds);
uint32_t SyncWaitAny(const Handle* objects, uint32_t count, uint32_t milliseconds);

void SyncSleep(uint32_t milliseconds);
// A monotonic clock in milliseconds, from an arbitrary start.
uint64_t SyncNowMilliseconds();
