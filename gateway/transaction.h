// One conversation with the gateway for one read or write of a gate: the
// announce "SK GATEWAY", the request frame, the answer, the session close.
#pragma once

#include <cstdint>

#include "entry/records.h"

constexpr uint32_t kPayloadArea = 255;

// The request payload of the gate: its command letter and 16-bit parameters
// (low byte first). 0 and the length in *length, or 1 when the gate's command
// has no table row (or a parameter count the payload cannot express).
int32_t BuildPayload(const PointRecord* point, int32_t sessionMode, uint8_t (&payload)[kPayloadArea],
                     uint8_t* length);

// The whole exchange on the channel's port, in a single or a block session
// (kSingleSession, kBlockSession). 1 when it gave up ("TEMP_ERROR 1/2/4 @@@@"
// in the host log), otherwise the result of DecodeReply; an answer DecodeReply
// turned down is logged as "<channel>: GatewayTransaction() fail, no answer
// frame (addr = '<address>')" or "..., not a block answer (...)".
int32_t GatewayTransaction(VpiRequest* request, int32_t sessionMode);
