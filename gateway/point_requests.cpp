// Function codes 5, 6 and 7: read a gate, read a block of values for a gate,
// write a gate. Each prepares the host's value buffer, refuses what the gate's
// command does not allow and runs one gateway transaction.
#include <cstring>

#include "entry/host_log.h"
#include "gateway/decode.h"
#include "gateway/gateway.h"
#include "gateway/transaction.h"
#include "serial/comm.h"

namespace {

constexpr uint8_t kLastReadCommand = 10;  // the low byte of argC: reads 10 or less, writes above
constexpr uint16_t kFirstActionCommand = 11;  // 11-15: bypass, unbypass, drill, reset, set the clock
constexpr uint16_t kLastActionCommand = 15;
constexpr uint32_t kSingleReadPause = 50;  // ms after a single read

PointRecord* Point(VpiRequest* request) {
    return static_cast<PointRecord*>(request->params);
}

uint8_t AccessByte(const PointRecord* point) {
    return static_cast<uint8_t>(static_cast<uint32_t>(point->argC) & 0xFF);
}

// A request without an address text or a value buffer is refused before
// anything is touched or sent.
bool PointersPresent(VpiRequest* request, const char* operation) {
    const VpiChannel* channel = request->channel;
    const PointRecord* point = Point(request);
    if (point->address == nullptr) {
        err(kLogLevel, "%.31s: %s() fail, null address pointer", channel->name, operation);
        return false;
    }
    if (point->value == nullptr) {
        err(kLogLevel, "%.31s: %s() fail, null value pointer (addr = '%s')", channel->name, operation, point->address);
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
// refusal lines, kept so that log filters match all of them.)
bool ReadAllowed(const VpiChannel* channel, const PointRecord* point, const char* operation) {
    const uint16_t command = AddressCommand(point->address);
    if (command < kFirstActionCommand || command > kLastActionCommand) return true;
    err(kLogLevel, "%.31s: %s() fail, read not alowed (addr = '%s')", channel->name, operation, point->address);
    return false;
}

}  // namespace

int32_t SingleRead(VpiRequest* request) {
    if (!PointersPresent(request, "SingleRead")) return kRefused;
    VpiChannel* channel = request->channel;
    if (!PrepareRead(channel, Point(request))) return kDone;
    if (!ReadAllowed(channel, Point(request), "SingleRead")) return kRefused;
    const int32_t result = GatewayTransaction(request, kSingleSession);
    CommSleep(kSingleReadPause);
    return result;
}

int32_t BlockRead(VpiRequest* request) {
    if (!PointersPresent(request, "BlockRead")) return kRefused;
    VpiChannel* channel = request->channel;
    PointRecord* point = Point(request);
    if (!PrepareRead(channel, point)) return kDone;
    if (AccessByte(point) > kLastReadCommand) {
        err(kLogLevel, "%.31s: BlockRead() fail, read not alowed (addr = '%s')", channel->name, point->address);
        return kRefused;
    }
    if (!ReadAllowed(channel, point, "BlockRead")) return kRefused;
    return GatewayTransaction(request, kBlockSession);
}

int32_t SingleWrite(VpiRequest* request) {
    if (!PointersPresent(request, "SingleWrite")) return kRefused;
    VpiChannel* channel = request->channel;
    PointRecord* point = Point(request);
    PointAtValue(channel, point);  // the buffer holds the value to write: not cleared
    if (IsNoPort(channel->port)) return kDone;
    if (AccessByte(point) <= kLastReadCommand) {
        err(kLogLevel, "%.31s: SingleRead() fail, write not alowed (addr = '%s')", channel->name, point->address);
        return kRefused;
    }
    // Always a single session, and the gateway's confirmation decides the result.
    return GatewayTransaction(request, kSingleSession);
}
