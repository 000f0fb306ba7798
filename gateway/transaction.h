// One conversation with the gateway for one read or write of a gate: the
// announce "SK GATEWAY", the request frame, the answer, the session close.
#pragma once

#include <cstdint>

#include "host/records.h"

constexpr uint32_t kPayloadArea = 255;

// How one transaction ended. The transaction itself logs nothing of it: the
// point requests say what the host hears.
enum class GatewayOutcome : uint8_t {
    Decoded,           // the answer was accepted, its value stored where the command has one
    NoPayload,         // the gate's command has no request payload: nothing was sent
    NoAnnounceAnswer,  // the gateway never answered the announce
    NoGoodBye,         // a block session's goodbye was never accepted
    NoAnswerFrame,     // the answer did not start with a frame
    NotABlockAnswer,   // a block answer that is not a point list
    AnswerCutShort,    // a frame of the answer ended before its length said
    AnswerBadCrc,      // a whole frame of the answer whose CRC does not check
};

// The outcome, and for a cut answer how much of the cut frame arrived.
struct GatewayResult {
    GatewayOutcome outcome = GatewayOutcome::Decoded;
    uint32_t arrived = 0;  // AnswerCutShort: bytes of the cut frame that arrived ...
    uint32_t size = 0;     // ... of its whole length
};


// The request payload of the gate: its command letter and 16-bit parameters
// (low byte first), its length in *length. False when the gate's command has
// no table row (or a parameter count the payload cannot express).
bool BuildPayload(const PointRecord* point, int32_t sessionMode, uint8_t (&payload)[kPayloadArea],
                  uint8_t* length);

// The whole exchange on the channel's port, in a single or a block session
// (kSingleSession, kBlockSession).
GatewayResult GatewayTransaction(VpiRequest* request, int32_t sessionMode);
