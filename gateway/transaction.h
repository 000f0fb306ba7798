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
    OtherRequest,      // a single answer that carries another request's letter
    AnswerTooShort,    // an answer whose payload does not hold the value's bytes
    WriteRefused,      // the panel acknowledged the write with NAK
    AnswerLostFrame,   // a block answer's frame numbers show a frame missing
    FramesOutOfOrder,  // a block answer's frame came twice, from a gateway that numbers its frames
    ValueNotConfirmed, // a read's answers each decoded, but no two in a row agreed on the value
};

// The outcome, and what its log line tells.
struct GatewayResult {
    GatewayOutcome outcome = GatewayOutcome::Decoded;
    uint32_t arrived = 0;  // AnswerCutShort: bytes of the cut frame that arrived ...
    uint32_t size = 0;     // ... of its whole length; AnswerTooShort: the payload bytes that arrived
    uint8_t letter = 0;    // OtherRequest: the answer's letter ...
    uint8_t asked = 0;     // ... and the request's
    uint32_t frame = 0;    // AnswerLostFrame, FramesOutOfOrder: the frame's number in the gateway's session
    bool unnumbered = false;  // this answer showed first that the gateway does not number its frames
    bool silent = false;      // NoAnswerFrame: not a byte of an answer arrived
    uint16_t valueBefore = 0;  // ValueNotConfirmed: the last two answers' values, in the order they came
    uint16_t valueAfter = 0;
};

// A read's answer arrived but was spoiled on the way (failed a check, or is
// not this request's): asking again may well bring it whole. Silence after
// an answered announce and an announce never answered are not spoiled answers.
bool AnswerSpoiled(const GatewayResult& result);


// The request payload of the gate: its command letter and 16-bit parameters
// (low byte first), its length in *length. False when the gate's command has
// no table row (or a parameter count the payload cannot express).
bool BuildPayload(const PointRecord* point, int32_t sessionMode, uint8_t (&payload)[kPayloadArea],
                  uint8_t* length);

// The whole exchange on the channel's port, in a single or a block session
// (kSingleSession, kBlockSession).
GatewayResult GatewayTransaction(VpiRequest* request, int32_t sessionMode);
