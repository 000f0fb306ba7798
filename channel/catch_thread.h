// The catch thread and the port lock of a started channel.
//
// Every started channel owns a start-signal event (SYNCTHREAD + name), a
// port-lock mutex (COMMBUSY + name), an unnamed stop event and the catch
// thread. The thread says "Wait...", waits 1000 ms, says "Started", gives the
// start signal, then takes and releases the port lock every 100 ms until the
// channel's end asks it to stop. It ends only at a point where it holds
// neither the lock nor is inside the host log, and the stop also reaches it
// while it waits for a lock that another process holds.
#pragma once

#include <cstdint>

#include "channel/live_channels.h"
#include "host/records.h"

// Names and creates the start signal and the port lock. False after a
// failure (logged, port closed, objects created here released).
bool CreateSyncObjects(VpiRequest* request, ChannelSlot* slot);

// Checks the client name and starts the catch thread. False on failure (logged).
bool InstallCatch(VpiRequest* request, ChannelSlot* slot);

// Waits for the start signal; also ends when the thread ends without giving
// it. False when the signal did not come.
bool WaitSyncSem(ChannelSlot* slot);

// The start's thread step: InstallCatch, then WaitSyncSem. False after a
// failure (logged, port closed, every object of this start released).
bool StartCatch(VpiRequest* request, ChannelSlot* slot);

// Closes the start signal once it has come; false when the close fails.
bool CloseSyncEvent(VpiChannel* channel, ChannelSlot* slot);

// Stops the catch thread and waits for its end, pauses 1000 ms, closes the
// port lock. `slot` is null for a record that holds no live number: nothing
// is stopped or closed then, and both failures are logged.
void CloseCatchThread(VpiRequest* request, ChannelSlot* slot);

// The port lock, as the catch thread uses it: take (returns false when the
// stop came instead, or the wait failed) and release. Both log their failures.
bool WaitUntilCommNotBusy(Handle mutex, Handle stop);
void ReleaseComm(Handle mutex);

// Pauses at least `milliseconds`; returns true as soon as `stop` (may be
// null) is set.
bool PauseUnlessStopped(Handle stop, uint32_t milliseconds);
