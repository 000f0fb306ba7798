// Function codes 5, 6 and 7: read a gate, read a block of values for a gate,
// write a gate. Each prepares the host's value buffer, refuses what the gate's
// command does not allow, runs one gateway transaction and says how it went:
// the one place where a transaction's outcome becomes a host status.
#include "gateway/point_requests.h"

#include <cstdio>
#include <cstring>

#include "address/gate_words.h"
#include "gateway/decode.h"
#include "gateway/transaction.h"
#include "host/host_log.h"
#include "host/texts.h"
#include "serial/comm.h"

namespace {

constexpr uint8_t kLastReadCommand = 10;  // the low byte of argC: reads 10 or less, writes above
constexpr uint16_t kFirstActionCommand = 11;  // 11-15: bypass, unbypass, drill, reset, set the clock
constexpr uint16_t kLastActionCommand = 15;
constexpr uint32_t kSingleReadPause = 50;  // ms after a single read

PointRecord* Point(VpiRequest* request) {
    return static_cast<PointRecord*>(request->params);
}

// A request without an address text or a value buffer is refused before
// anything is touched or sent.
bool PointersPresent(VpiRequest* request, const char* operation) {
    const VpiChannel* channel = request->channel;
    const PointRecord* point = Point(request);
    if (point->address == nullptr) {
        err(kLogLevel, "%s: %s() fail, null address pointer", NameOf(channel).text, operation);
        return false;
    }
    if (point->value == nullptr) {
        err(kLogLevel, "%s: %s() fail, null value pointer (addr = '%s')", NameOf(channel).text, operation,
            point->address);
        return false;
    }
    return true;
}

void PointAtValue(VpiChannel* channel, PointRecord* point) {
    auto* value = static_cast<uint8_t*>(point->value);
    channel->valueTail = value + 2;
    channel->valueHead = value;
}

// The read requests start from a cleared value: bytes 0-3 are 0, which is
// also the empty text of a text gate. Returns true when the channel has a line.
bool PrepareRead(VpiChannel* channel, PointRecord* point) {
    PointAtValue(channel, point);
    memset(channel->valueHead, 0, 2);
    memset(channel->valueTail, 0, 2);
    return !IsNoPort(channel->port);
}

// The transaction sends the command letter of the address text, whatever the
// request: a read of an action gate would carry the action out on the panel
// (a host polls every tag it has). Reads of commands 11-15 are refused, logged
// once, and nothing is sent. ("alowed" is the spelling of the driver's other
// refusal lines, kept so that log filters match all of them; so is "SingleRead"
// in the write's refusal, which integrators' filters know.)
bool ReadAllowed(const VpiChannel* channel, const PointRecord* point, const char* operation) {
    const uint16_t command = AddressCommand(point->address);
    if (command < kFirstActionCommand || command > kLastActionCommand) return true;
    err(kLogLevel, "%s: %s() fail, read not alowed (addr = '%s')", NameOf(channel).text, operation, point->address);
    return false;
}

}  // namespace

int32_t ReportOutcome(const VpiRequest* request, const GatewayResult& result) {
    const char* rejected = nullptr;
    char cut[48];
    switch (result.outcome) {
        case GatewayOutcome::Decoded:
            return kDone;
        case GatewayOutcome::NoPayload:
            err(kLogLevel, "TEMP_ERROR 1 @@@@");
            break;
        case GatewayOutcome::NoAnnounceAnswer:
            err(kLogLevel, "TEMP_ERROR 2 @@@@");
            break;
        case GatewayOutcome::NoGoodBye:
            err(kLogLevel, "TEMP_ERROR 4 @@@@");
            break;
        case GatewayOutcome::NoAnswerFrame:
            rejected = "no answer frame";
            break;
        case GatewayOutcome::NotABlockAnswer:
            rejected = "not a block answer";
            break;
        case GatewayOutcome::AnswerBadCrc:
            rejected = "answer CRC does not check";
            break;
        case GatewayOutcome::AnswerCutShort:
            snprintf(cut, sizeof cut, "answer cut short: %u of %u bytes", static_cast<unsigned>(result.arrived),
                     static_cast<unsigned>(result.size));
            rejected = cut;
            break;
    }
    // An answer the checks or the decoder turned down: which gate, and why.
    if (rejected != nullptr) {
        const auto* point = static_cast<const PointRecord*>(request->params);
        err(kLogLevel, "%s: GatewayTransaction() fail, %s (addr = '%s')", NameOf(request->channel).text, rejected,
            point->address);
    }
    // The host has always been told 1 for a transaction that did not bring
    // an answer: it retries the gate at its next poll.
    return kRefused;
}

int32_t SingleRead(VpiRequest* request) {
    if (!PointersPresent(request, "SingleRead")) return kRefused;
    VpiChannel* channel = request->channel;
    if (!PrepareRead(channel, Point(request))) return kDone;
    if (!ReadAllowed(channel, Point(request), "SingleRead")) return kRefused;
    const GatewayResult result = GatewayTransaction(request, kSingleSession);
    CommSleep(kSingleReadPause);
    return ReportOutcome(request, result);
}

int32_t BlockRead(VpiRequest* request) {
    if (!PointersPresent(request, "BlockRead")) return kRefused;
    VpiChannel* channel = request->channel;
    PointRecord* point = Point(request);
    if (!PrepareRead(channel, point)) return kDone;
    if (AccessByte(point) > kLastReadCommand) {
        err(kLogLevel, "%s: BlockRead() fail, read not alowed (addr = '%s')", NameOf(channel).text, point->address);
        return kRefused;
    }
    if (!ReadAllowed(channel, point, "BlockRead")) return kRefused;
    return ReportOutcome(request, GatewayTransaction(request, kBlockSession));
}

int32_t SingleWrite(VpiRequest* request) {
    if (!PointersPresent(request, "SingleWrite")) return kRefused;
    VpiChannel* channel = request->channel;
    PointRecord* point = Point(request);
    PointAtValue(channel, point);  // the buffer holds the value to write: not cleared
    if (IsNoPort(channel->port)) return kDone;
    if (AccessByte(point) <= kLastReadCommand) {
        err(kLogLevel, "%s: SingleRead() fail, write not alowed (addr = '%s')", NameOf(channel).text, point->address);
        return kRefused;
    }
    // Always a single session, and the gateway's confirmation decides the result.
    return ReportOutcome(request, GatewayTransaction(request, kSingleSession));
}
