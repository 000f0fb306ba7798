// The point requests (codes 5, 6 and 7): read a gate, block-read a gate,
// write a gate. Each returns a host status.
#pragma once

#include <cstdint>

#include "gateway/transaction.h"
#include "host/records.h"

int32_t SingleRead(VpiRequest* request);
int32_t BlockRead(VpiRequest* request);
int32_t SingleWrite(VpiRequest* request);

// What the host hears of a transaction: its status (0 when the answer was
// decoded, else 1) and, for a transaction that did not bring an answer, one
// line in the host log ("TEMP_ERROR 1/2/4 @@@@", or "<channel>:
// GatewayTransaction() fail, <reason> (addr = '<address>')" where the reason
// is "no answer frame", "not a block answer", "answer CRC does not check",
// "answer cut short: X of Y bytes", "answer is not for this request: 'v' to
// 's'", "answer too short for its value: N payload bytes" or "answer lost
// frame N of the gateway's session", with ", N attempts" behind the reason
// when a read ran its session N times; a write the panel refused:
// "<channel>: SingleWrite() fail, the panel refused it (addr = '<address>')").
int32_t ReportOutcome(const VpiRequest* request, const GatewayResult& result, uint32_t attempts);
