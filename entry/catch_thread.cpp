// The catch thread and the port lock (see catch_thread.h).
#include "entry/catch_thread.h"

#include <windows.h>

#include "entry/channel_names.h"
#include "entry/host_log.h"
#include "serial/ports.h"

namespace {

constexpr SIZE_T kCatchStack = 0x4000;
constexpr uint32_t kStartDelayMs = 1000;
constexpr uint32_t kLockPassMs = 100;
constexpr uint32_t kEndPauseMs = 1000;

// The channel's name as messages print it, cut to the field even when the
// record holds no NUL there.

void CloseAndClear(Handle* slotField, Handle* recordField) {
    if (*slotField == nullptr) return;
    CloseHandle(*slotField);
    *slotField = nullptr;
    if (recordField != nullptr) *recordField = nullptr;
}

// Stops a thread this start created and waits for its end. False when the
// stop could not be given or the end not seen.
bool StopAndJoin(const ChannelSlot* slot) {
    if (slot->catchThread == nullptr || slot->stopEvent == nullptr) return false;
    if (!SetEvent(slot->stopEvent)) return false;
    return WaitForSingleObject(slot->catchThread, INFINITE) == WAIT_OBJECT_0;
}

// Releases everything a failed start created, newest first, and clears the
// record's fields of what it closed.
void ReleaseStartObjects(VpiChannel* channel, ChannelSlot* slot) {
    if (slot->catchThread != nullptr) {
        StopAndJoin(slot);
        CloseAndClear(&slot->catchThread, &channel->catchThread);
        channel->catchThreadId = 0;
    }
    CloseAndClear(&slot->stopEvent, nullptr);
    CloseAndClear(&slot->commBusyMutex, &channel->commBusyMutex);
    CloseAndClear(&slot->syncEvent, &channel->syncEvent);
}

DWORD WINAPI CatchThread(void* argument) {
    auto* slot = static_cast<ChannelSlot*>(argument);
    VpiChannel* channel = slot->channel;
    if (!HasClientName(channel->VpiClientName)) {
        err(kLogLevel, "%s: CatchThread() fail, wrong VpiClientName", NameOf(channel).text);
        return 1;
    }
    // Everything the thread needs, taken before the start signal: after it,
    // the thread reads neither the record nor the slot again.
    const Handle lock = slot->commBusyMutex;
    const Handle signal = slot->syncEvent;
    const Handle stop = slot->stopEvent;
    const ChannelName name = NameOf(channel);

    err(kLogLevel, "%s: CatchThread Wait...", name.text);
    if (PauseUnlessStopped(stop, kStartDelayMs)) return 0;
    err(kLogLevel, "%s: CatchThread Started", name.text);

    // Marked after the signal: once the mark is there the start may close
    // the event at any moment (it may already be set by a channel of the same
    // name in another process), so the event is not touched after it. A
    // start that wakes on the event before the mark waits for it.
    const BOOL set = SetEvent(signal);
    if (!set) {
        err(kLogLevel, "%s: CatchThread fail on SetEvent() Sync (rc = %d)", name.text, static_cast<int>(set));
        return 1;
    }
    InterlockedExchange(&slot->signalled, 1);

    for (;;) {
        if (!WaitUntilCommNotBusy(lock, stop)) break;
        ReleaseComm(lock);
        if (PauseUnlessStopped(stop, kLockPassMs)) break;
    }
    return 0;
}

}  // namespace

bool PauseUnlessStopped(Handle stop, uint32_t milliseconds) {
    LARGE_INTEGER frequency, start, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    for (;;) {
        QueryPerformanceCounter(&now);
        const int64_t elapsed = (now.QuadPart - start.QuadPart) * 1000 / frequency.QuadPart;
        if (elapsed >= milliseconds) return false;
        const DWORD left = static_cast<DWORD>(milliseconds - elapsed);
        if (stop == nullptr) {
            Sleep(left);
            continue;
        }
        const DWORD woke = WaitForSingleObject(stop, left);
        if (woke == WAIT_OBJECT_0) return true;
        if (woke == WAIT_FAILED) Sleep(left);
    }
}

bool WaitUntilCommNotBusy(Handle mutex, Handle stop) {
    const HANDLE either[2] = {stop, mutex};  // the stop first: it wins when both are set
    const DWORD woke = WaitForMultipleObjects(2, either, FALSE, INFINITE);
    if (woke == WAIT_OBJECT_0) return false;
    // Taken, or abandoned by its last holder (then taken all the same).
    if (woke == WAIT_OBJECT_0 + 1 || woke == WAIT_ABANDONED_0 + 1) return true;
    err(kLogLevel, "S1: WaitUntilCommNotBusy(): WaitSem fail %d", static_cast<int>(woke));
    return true;
}

void ReleaseComm(Handle mutex) {
    const BOOL released = ReleaseMutex(mutex);
    if (!released) err(kLogLevel, "S1: ReleaseComm(): ClearSem fail %d", static_cast<int>(released));
}

int32_t CreateSyncObjects(VpiRequest* request, ChannelSlot* slot) {
    VpiChannel* channel = request->channel;
    const ChannelName name = NameOf(channel);
    CopyText(channel->commBusyName, sizeof channel->commBusyName, "COMMBUSY");
    CopyText(channel->commBusyName + 8, sizeof channel->commBusyName - 8, name.text);
    CopyText(channel->syncThreadName, sizeof channel->syncThreadName, "SYNCTHREAD");
    CopyText(channel->syncThreadName + 10, sizeof channel->syncThreadName - 10, name.text);

    slot->syncEvent = CreateEventA(nullptr, TRUE, FALSE, channel->syncThreadName);
    channel->syncEvent = slot->syncEvent;
    if (slot->syncEvent == nullptr) {
        err(kLogLevel, "%s: failed create Sync. Threads Semaphore", name.text);
        ClosePort(request);
        return kFailed;
    }
    slot->commBusyMutex = CreateMutexA(nullptr, FALSE, channel->commBusyName);
    channel->commBusyMutex = slot->commBusyMutex;
    if (slot->commBusyMutex == nullptr) {
        err(kLogLevel, "%s: failed create Mutex CommBusy Semaphore", name.text);
        ClosePort(request);
        ReleaseStartObjects(channel, slot);
        return kFailed;
    }
    return kDone;
}

int32_t InstallCatch(VpiRequest* request, ChannelSlot* slot) {
    VpiChannel* channel = request->channel;
    if (!HasClientName(channel->VpiClientName)) {
        err(kLogLevel, "%s: InstallCatch() fail, wrong VpiClientName", NameOf(channel).text);
        return -1;
    }
    slot->stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (slot->stopEvent == nullptr) {
        err(kLogLevel, "%s: InstallCatch() fail, on CreateEvent", NameOf(channel).text);
        return -1;
    }
    InterlockedExchange(&slot->signalled, 0);
    DWORD id = 0;
    slot->catchThread = CreateThread(nullptr, kCatchStack, CatchThread, slot, 0, &id);
    if (slot->catchThread == nullptr) {
        err(kLogLevel, "%s: InstallCatch() fail, on CreateThread", NameOf(channel).text);
        return -1;
    }
    channel->catchThread = slot->catchThread;
    channel->catchThreadId = static_cast<uint32_t>(id);
    return 0;
}

int32_t WaitSyncSem(ChannelSlot* slot) {
    const HANDLE either[2] = {slot->syncEvent, slot->catchThread};
    for (;;) {
        const DWORD woke = WaitForMultipleObjects(2, either, FALSE, INFINITE);
        const bool ours = InterlockedCompareExchange(&slot->signalled, 0, 0) != 0;
        if (woke == WAIT_OBJECT_0) {
            if (ours) return 0;
            // Set by a channel of the same name in another process: wait
            // for this start's own thread (or its end).
            if (WaitForSingleObject(slot->catchThread, 10) == WAIT_OBJECT_0)
                return InterlockedCompareExchange(&slot->signalled, 0, 0) != 0 ? 0 : -1;
            continue;
        }
        if (woke == WAIT_OBJECT_0 + 1) return ours ? 0 : -1;  // the thread ended
        return -1;
    }
}

int32_t StartCatch(VpiRequest* request, ChannelSlot* slot) {
    VpiChannel* channel = request->channel;
    const int32_t installed = InstallCatch(request, slot);
    if (installed != 0) {
        err(kLogLevel, "%s: failed InstallCatch, rc = %d", NameOf(channel).text, installed);
        ClosePort(request);
        ReleaseStartObjects(channel, slot);
        return kFailed;
    }
    const int32_t waited = WaitSyncSem(slot);
    if (waited != 0) {
        err(kLogLevel, "%s: WaitSyncSem fail %d", NameOf(channel).text, waited);
        ClosePort(request);
        ReleaseStartObjects(channel, slot);
        return kFailed;
    }
    return kDone;
}

bool CloseSyncEvent(VpiChannel* channel, ChannelSlot* slot) {
    const bool closed = CloseHandle(slot->syncEvent) != 0;
    slot->syncEvent = nullptr;
    channel->syncEvent = nullptr;
    return closed;
}

int32_t CloseCatchThread(VpiRequest* request, ChannelSlot* slot) {
    VpiChannel* channel = request->channel;
    const ChannelName name = NameOf(channel);
    if (slot == nullptr || !StopAndJoin(slot)) err(kLogLevel, "%s: CloseCatchThread failed", name.text);
    PauseUnlessStopped(nullptr, kEndPauseMs);
    bool lockClosed = false;
    if (slot != nullptr) {
        if (slot->catchThread != nullptr) {
            CloseAndClear(&slot->catchThread, &channel->catchThread);
            channel->catchThreadId = 0;
        }
        CloseAndClear(&slot->stopEvent, nullptr);
        if (slot->commBusyMutex != nullptr) {
            lockClosed = CloseHandle(slot->commBusyMutex) != 0;
            slot->commBusyMutex = nullptr;
            channel->commBusyMutex = nullptr;
        }
    }
    if (!lockClosed) err(kLogLevel, "%s: Close ComBusy Semaphore failed", name.text);
    return kDone;
}
