// The catch thread and the port lock (see catch_thread.h).
#include "channel/catch_thread.h"

#include <atomic>

#include "channel/ports.h"
#include "channel/sync.h"
#include "host/host_log.h"
#include "host/texts.h"

namespace {

constexpr uint32_t kCatchStack = 0x4000;
constexpr uint32_t kStartDelayMs = 1000;
constexpr uint32_t kLockPassMs = 100;
constexpr uint32_t kEndPauseMs = 1000;

// The start's mark that its own thread gave the start signal.
void MarkSignalled(ChannelSlot* slot, long value) { std::atomic_ref<long>(slot->signalled).store(value); }
bool Signalled(ChannelSlot* slot) { return std::atomic_ref<long>(slot->signalled).load() != 0; }

// Closes an object this start created and clears its slot field; false when
// there was none. The caller clears the record's field: the record is packed,
// so its handle fields are written as members, never through a pointer.
bool CloseOwn(Handle* slotField) {
    if (*slotField == nullptr) return false;
    SyncClose(*slotField);
    *slotField = nullptr;
    return true;
}

// Stops a thread this start created and waits for its end. False when the
// stop could not be given or the end not seen.
bool StopAndJoin(const ChannelSlot* slot) {
    if (slot->catchThread == nullptr || slot->stopEvent == nullptr) return false;
    if (!SyncSetEvent(slot->stopEvent)) return false;
    return SyncWaitOne(slot->catchThread, kWaitForever) == kWaitObject0;
}

// Releases everything a failed start created, newest first, and clears the
// record's fields of what it closed.
void ReleaseStartObjects(VpiChannel* channel, ChannelSlot* slot) {
    if (slot->catchThread != nullptr) {
        StopAndJoin(slot);
        CloseOwn(&slot->catchThread);
        channel->catchThread = nullptr;
        channel->catchThreadId = 0;
    }
    CloseOwn(&slot->stopEvent);
    if (CloseOwn(&slot->commBusyMutex)) channel->commBusyMutex = nullptr;
    if (CloseOwn(&slot->syncEvent)) channel->syncEvent = nullptr;
}

unsigned long CatchThreadBody(void* argument) {
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
    if (!SyncSetEvent(signal)) {
        err(kLogLevel, "%s: CatchThread fail on SetEvent() Sync (rc = 0)", name.text);
        return 1;
    }
    MarkSignalled(slot, 1);

    for (;;) {
        if (!WaitUntilCommNotBusy(lock, stop)) break;
        ReleaseComm(lock);
        if (PauseUnlessStopped(stop, kLockPassMs)) break;
    }
    return 0;
}

// The thread holds a reference on the driver's module from its start to its
// exit, so a host that unloads the driver without ending its channels does
// not leave it running unmapped code.
unsigned long SK_THREAD_CALL CatchThread(void* argument) {
    // The reference this thread's start took (written before the thread
    // began), read before the body: the slot is the start's until the end.
    void* const module = static_cast<ChannelSlot*>(argument)->moduleHeld;
    return SyncThreadExit(CatchThreadBody(argument), module);
}

}  // namespace

bool PauseUnlessStopped(Handle stop, uint32_t milliseconds) {
    const uint64_t start = SyncNowMilliseconds();
    for (;;) {
        const uint64_t elapsed = SyncNowMilliseconds() - start;
        if (elapsed >= milliseconds) return false;
        const uint32_t left = static_cast<uint32_t>(milliseconds - elapsed);
        if (stop == nullptr) {
            SyncSleep(left);
            continue;
        }
        const uint32_t woke = SyncWaitOne(stop, left);
        if (woke == kWaitObject0) return true;
        if (woke == kWaitFailed) SyncSleep(left);
    }
}

bool WaitUntilCommNotBusy(Handle mutex, Handle stop) {
    const Handle either[2] = {stop, mutex};  // the stop first: it wins when both are set
    const uint32_t woke = SyncWaitAny(either, 2, kWaitForever);
    if (woke == kWaitObject0) return false;
    // Taken, or abandoned by its last holder (then taken all the same).
    if (woke == kWaitObject0 + 1 || woke == kWaitAbandoned0 + 1) return true;
    // A failed wait took nothing: never released as if it had, and never
    // tried again every 100 ms (a lock that cannot be waited on is gone).
    err(kLogLevel, "S1: WaitUntilCommNotBusy(): WaitSem fail %d", static_cast<int>(woke));
    return false;
}

void ReleaseComm(Handle mutex) {
    if (!SyncReleaseMutex(mutex)) err(kLogLevel, "S1: ReleaseComm(): ClearSem fail 0");
}

bool CreateSyncObjects(VpiRequest* request, ChannelSlot* slot) {
    VpiChannel* channel = request->channel;
    const ChannelName name = NameOf(channel);
    CopyText(channel->commBusyName, sizeof channel->commBusyName, "COMMBUSY");
    CopyText(channel->commBusyName + 8, sizeof channel->commBusyName - 8, name.text);
    CopyText(channel->syncThreadName, sizeof channel->syncThreadName, "SYNCTHREAD");
    CopyText(channel->syncThreadName + 10, sizeof channel->syncThreadName - 10, name.text);

    slot->syncEvent = SyncCreateEvent(channel->syncThreadName);
    channel->syncEvent = slot->syncEvent;
    if (slot->syncEvent == nullptr) {
        err(kLogLevel, "%s: failed create Sync. Threads Semaphore", name.text);
        ClosePort(request);
        return false;
    }
    slot->commBusyMutex = SyncCreateMutex(channel->commBusyName);
    channel->commBusyMutex = slot->commBusyMutex;
    if (slot->commBusyMutex == nullptr) {
        err(kLogLevel, "%s: failed create Mutex CommBusy Semaphore", name.text);
        ClosePort(request);
        ReleaseStartObjects(channel, slot);
        return false;
    }
    return true;
}

bool InstallCatch(VpiRequest* request, ChannelSlot* slot) {
    VpiChannel* channel = request->channel;
    if (!HasClientName(channel->VpiClientName)) {
        err(kLogLevel, "%s: InstallCatch() fail, wrong VpiClientName", NameOf(channel).text);
        return false;
    }
    slot->stopEvent = SyncCreateEvent(nullptr);
    if (slot->stopEvent == nullptr) {
        err(kLogLevel, "%s: InstallCatch() fail, on CreateEvent", NameOf(channel).text);
        return false;
    }
    MarkSignalled(slot, 0);
    uint32_t id = 0;
    slot->catchThread = SyncStartThread(CatchThread, slot, kCatchStack, &id, &slot->moduleHeld);
    if (slot->catchThread == nullptr) {
        err(kLogLevel, "%s: InstallCatch() fail, on CreateThread", NameOf(channel).text);
        return false;
    }
    channel->catchThread = slot->catchThread;
    channel->catchThreadId = id;
    return true;
}

bool WaitSyncSem(ChannelSlot* slot) {
    const Handle either[2] = {slot->syncEvent, slot->catchThread};
    for (;;) {
        const uint32_t woke = SyncWaitAny(either, 2, kWaitForever);
        const bool ours = Signalled(slot);
        if (woke == kWaitObject0) {
            if (ours) return true;
            // Set by a channel of the same name in another process: wait
            // for this start's own thread (or its end).
            if (SyncWaitOne(slot->catchThread, 10) == kWaitObject0) return Signalled(slot);
            continue;
        }
        if (woke == kWaitObject0 + 1) return ours;  // the thread ended
        return false;
    }
}

bool StartCatch(VpiRequest* request, ChannelSlot* slot) {
    VpiChannel* channel = request->channel;
    // Both failures have always been logged with the code -1.
    if (!InstallCatch(request, slot)) {
        err(kLogLevel, "%s: failed InstallCatch, rc = -1", NameOf(channel).text);
        ClosePort(request);
        ReleaseStartObjects(channel, slot);
        return false;
    }
    if (!WaitSyncSem(slot)) {
        err(kLogLevel, "%s: WaitSyncSem fail -1", NameOf(channel).text);
        ClosePort(request);
        ReleaseStartObjects(channel, slot);
        return false;
    }
    return true;
}

bool CloseSyncEvent(VpiChannel* channel, ChannelSlot* slot) {
    const bool closed = SyncClose(slot->syncEvent);
    slot->syncEvent = nullptr;
    channel->syncEvent = nullptr;
    return closed;
}

void CloseCatchThread(VpiRequest* request, ChannelSlot* slot) {
    VpiChannel* channel = request->channel;
    const ChannelName name = NameOf(channel);
    if (slot == nullptr || !StopAndJoin(slot)) err(kLogLevel, "%s: CloseCatchThread failed", name.text);
    PauseUnlessStopped(nullptr, kEndPauseMs);
    bool lockClosed = false;
    if (slot != nullptr) {
        if (CloseOwn(&slot->catchThread)) {
            channel->catchThread = nullptr;
            channel->catchThreadId = 0;
        }
        CloseOwn(&slot->stopEvent);
        if (slot->commBusyMutex != nullptr) {
            lockClosed = SyncClose(slot->commBusyMutex);
            slot->commBusyMutex = nullptr;
            channel->commBusyMutex = nullptr;
        }
    }
    if (!lockClosed) err(kLogLevel, "%s: Close ComBusy Semaphore failed", name.text);
}
