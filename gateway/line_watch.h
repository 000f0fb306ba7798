// How a channel's line is doing: the down state that makes reads fail at
// once while the gateway does not answer, and the counters of what the
// channel did, with their periodic line in the host log.
#pragma once

#include <cstdint>

#include "gateway/transaction.h"
#include "host/records.h"

// The channel starts: the counters and the down state from nothing.
void StartLineHealth(VpiChannel* channel);

// The settings were read again (restart, a port request): a down line is
// taken for up again, its time counted, and the requests in a row forgotten.
void EndLineDown(VpiChannel* channel);

// Before a read goes to the line: true when the line is down and it is not
// yet time to try it again. The read then fails at once: counted, not logged.
bool ReadFailsAtOnce(VpiChannel* channel);

// After a request that went to the line, by how its last session ended:
// the line goes down after line_down_after requests in a row whose announce
// was never answered, and up with the first answered one; each change is
// one log line, behind the request's own.
void NoteAnnounce(VpiChannel* channel, const GatewayResult& result);

// How a read's sessions went.
struct ReadTally {
    uint32_t sessions = 0;       // sessions run
    uint32_t retries = 0;        // of them, run again on a spoiled answer or on answers that disagreed
    uint32_t disagreements = 0;  // answers that disagreed with the answer before
    bool confirmed = false;      // a new value was taken because a second answer agreed
};

// A read or write that went to the line ended with `result`.
void CountRead(VpiChannel* channel, const GatewayResult& result, const ReadTally& tally);
void CountWrite(VpiChannel* channel, const GatewayResult& result);
void CountBytes(VpiChannel* channel, uint32_t in, uint32_t out);

// The counters line of the period when stats_minutes have passed since the
// last one (called as a request begins), and at the channel's end.
void LogCountersWhenDue(VpiChannel* channel);
void LogCountersAtEnd(VpiChannel* channel);
