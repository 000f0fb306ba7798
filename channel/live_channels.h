// The process-wide table of live channels: which channel records hold an
// instance number, and the kernel objects the current start of each created.
//
// A channel is known by its record's address, never by the record's
// contents: the host's record holds whatever its allocation held until the
// driver writes it. Slot k of the table holds instance number k + 1, so a
// start takes the lowest number no live channel holds, and two live channels
// never share a name, a log prefix or a named kernel object. The table is
// fixed in size (nothing is allocated per channel) and every change to it is
// made under one short lock, so host threads may start and end channels at
// the same time.
#pragma once

#include <cstdint>

#include "gateway/value_memory.h"
#include "host/records.h"

// Live channels one process can hold: instance numbers 1 to 1024.
constexpr int32_t kMaxLiveChannels = 1024;
static_assert(kMaxLiveChannels <= kValueMemories, "every instance number has a memory of its gates' values");

enum class SlotState : uint8_t {
    Free,      // no channel
    Starting,  // a ColdStart of this record is running
    Idle,      // live without catch thread: disabled, or its start failed
    Running,   // started: catch thread and port lock
    Ending,    // an EndVpi of this record is running
};

// What a live channel's current start created. Only the host thread that
// holds the slot (state Starting or Ending) changes these; the catch thread
// reads them once, before it gives the start signal.
struct ChannelSlot {
    VpiChannel* channel;
    SlotState state;
    int32_t number;          // the instance number, index + 1
    Handle syncEvent;        // start signal
    Handle commBusyMutex;    // port lock
    Handle stopEvent;        // asks the catch thread to end
    Handle catchThread;
    long signalled;          // 1 once this start's catch thread gives its start signal (atomic)
    void* moduleHeld;        // the module reference the catch thread holds (Windows), or null
};

enum class StartClaim : uint8_t {
    Fresh,    // the record took a new number; the count rose by 1
    Again,    // the record was live without catch thread and keeps its number
    Started,  // the record is started (or being started or ended): refused
    Full,     // every number is held: refused
};

// Claims the record for a start. On Fresh and Again `slot` is the record's
// slot in state Starting; on Started `number` is the number it holds.
StartClaim ClaimForStart(VpiChannel* channel, ChannelSlot** slot, int32_t* number);

// Ends a start that claimed `slot`: Running with its objects, or Idle.
void SettleStart(ChannelSlot* slot, bool running);

// Claims the record for its end: its slot in state Ending, or null when the
// record holds no live number (never started, already ended, or a start or
// end of it is running on another thread).
ChannelSlot* ClaimForEnd(VpiChannel* channel);

// Gives the number of an ending slot back; returns the new count.
int32_t ReleaseSlot(ChannelSlot* slot);

// Live channels: started or disabled (or failed to start) and not yet ended.
int32_t InstanceCount();

// The ports the driver opened, each with the record it opened it for: only
// such a port is ever closed. A record's port field holds whatever the host
// or an earlier life left there (a handle Windows has since given to the
// host, say); closing that would close a stranger's handle.
// NoteOwnPort records the record's new port (false when the table is full);
// TakeOwnPort answers whether `port` is the one the driver opened for the
// record and forgets it either way, so that a close that failed is never
// tried again on a handle value Windows may have reused.
bool NoteOwnPort(const VpiChannel* channel, Handle port);
bool TakeOwnPort(const VpiChannel* channel, Handle port);
