// Function codes 5, 6 and 7: read a gate, read a block of values for a gate,
// write a gate. Each prepares the host's value buffer, refuses what the gate's
// command does not allow, runs one gateway transaction and says how it went:
// the one place where a transaction's outcome becomes a host status.
#include "gateway/point_requests.h"

#include <cstdio>
#include <cstring>

#include "address/command_table.h"
#include "address/gate_words.h"
#include "gateway/decode.h"
#include "gateway/line_settings.h"
#include "gateway/line_watch.h"
#include "gateway/transaction.h"
#include "gateway/value_memory.h"
#include "host/host_log.h"
#include "host/texts.h"
#include "serial/comm.h"

namespace {

constexpr uint8_t kLastReadCommand = 10;  // the low byte of argC: reads 10 or less, writes above
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
    if (!IsActionCommand(command)) return true;
    err(kLogLevel, "%s: %s() fail, read not alowed (addr = '%s')", NameOf(channel).text, operation, point->address);
    return false;
}

}  // namespace

namespace {

// A letter as the log shows it: 's', or 0x15 for a byte that prints as none.
void LetterText(char* out, size_t size, uint8_t letter) {
    if (letter >= 0x20 && letter < 0x7F) {
        snprintf(out, size, "'%c'", static_cast<char>(letter));
    } else {
        snprintf(out, size, "0x%02X", static_cast<unsigned>(letter));
    }
}

// Why an answer was turned down, into `out`; false for outcomes that are
// not about the answer.
bool RejectionText(const GatewayResult& result, char* out, size_t size) {
    char got[8], asked[8];
    switch (result.outcome) {
        case GatewayOutcome::NoAnswerFrame: snprintf(out, size, "no answer frame"); return true;
        case GatewayOutcome::NotABlockAnswer: snprintf(out, size, "not a block answer"); return true;
        case GatewayOutcome::AnswerBadCrc: snprintf(out, size, "answer CRC does not check"); return true;
        case GatewayOutcome::AnswerCutShort:
            snprintf(out, size, "answer cut short: %u of %u bytes", static_cast<unsigned>(result.arrived),
                     static_cast<unsigned>(result.size));
            return true;
        case GatewayOutcome::OtherRequest:
            LetterText(got, sizeof got, result.letter);
            LetterText(asked, sizeof asked, result.asked);
            snprintf(out, size, "answer is not for this request: %s to %s", got, asked);
            return true;
        case GatewayOutcome::AnswerTooShort:
            snprintf(out, size, "answer too short for its value: %u payload byte%s", static_cast<unsigned>(result.size),
                     result.size == 1 ? "" : "s");
            return true;
        case GatewayOutcome::AnswerLostFrame:
            snprintf(out, size, "answer lost frame %u of the gateway's session", static_cast<unsigned>(result.frame));
            return true;
        case GatewayOutcome::FramesOutOfOrder:
            snprintf(out, size, "answer frames out of order: frame %u of the gateway's session came twice",
                     static_cast<unsigned>(result.frame));
            return true;
        default: return false;
    }
}

}  // namespace

int32_t ReportOutcome(const VpiRequest* request, const GatewayResult& result, uint32_t attempts) {
    const VpiChannel* channel = request->channel;
    const auto* point = static_cast<const PointRecord*>(request->params);
    if (result.unnumbered) {
        err(kLogLevel, "%s: %.12s: the gateway does not number the frames of its block answers; a lost frame shows "
            "only as a cut or a CRC that does not check on this port",
            NameOf(channel).text, channel->portDesc.portName);
    }
    char reason[96];
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
        case GatewayOutcome::ValueNotConfirmed:
            err(kLogLevel, "%s: GatewayTransaction() fail, value not confirmed: 0x%04X then 0x%04X (addr = '%s')",
                NameOf(channel).text, static_cast<unsigned>(result.valueBefore),
                static_cast<unsigned>(result.valueAfter), point->address);
            break;
        case GatewayOutcome::WriteRefused:
            err(kLogLevel, "%s: SingleWrite() fail, the panel refused it (addr = '%s')", NameOf(channel).text,
                point->address);
            break;
        default:
            // An answer the checks or the decoder turned down: which gate, and why.
            if (RejectionText(result, reason, sizeof reason)) {
                char tries[24] = "";
                if (attempts > 1) snprintf(tries, sizeof tries, ", %u attempts", static_cast<unsigned>(attempts));
                err(kLogLevel, "%s: GatewayTransaction() fail, %s%s (addr = '%s')", NameOf(channel).text, reason,
                    tries, point->address);
            }
            break;
    }
    // The host has always been told 1 for a transaction that did not bring
    // an answer: it retries the gate at its next poll.
    return kRefused;
}

namespace {

// A read's sessions. A session runs again while its answer arrived spoiled,
// up to read_retries more times. A single gate's 16-bit value is taken at
// once when it is the one the channel reported last; a new value (or one
// never seen) is asked again at once, without spending a retry, and taken
// only when two answers in a row agree, or when the answer after it brings
// the value reported last; answers that disagree spend a retry. The value stays as prepared until an answer is taken. A gateway's
// note that it does not number its frames is kept from whichever session
// brought it.
class ReadRun {
public:
    ReadRun(VpiRequest* request, int32_t sessionMode)
        : request_(request),
          channel_(request->channel),
          sessionMode_(sessionMode),
          retriesLeft_(ReadRetries(channel_->line)),
          gate_(sessionMode == kSingleSession && ChangesConfirmed(channel_->line)
                    ? RememberedGate(static_cast<const PointRecord*>(request->params))
                    : 0) {}

    GatewayResult Run(ReadTally* tally) {
        bool unnumbered = false;
        GatewayResult result;
        for (;;) {
            result = GatewayTransaction(request_, sessionMode_);
            if (sessionMode_ == kSingleSession) CommSleep(kSingleReadPause);
            ++tally->sessions;
            unnumbered = unnumbered || result.unnumbered;
            const Next next = result.outcome == GatewayOutcome::Decoded ? Weigh(&result, tally) : Spoiled(result);
            if (next == Next::Stop) break;
            if (next == Next::Retry) {
                --retriesLeft_;
                ++tally->retries;
            }
        }
        if (result.outcome != GatewayOutcome::Decoded) ClearValue();
        result.unnumbered = unnumbered;
        return result;
    }

private:
    enum class Next : uint8_t { Stop, Again, Retry };

    Next Spoiled(const GatewayResult& result) const {
        return AnswerSpoiled(result) && retriesLeft_ > 0 ? Next::Retry : Next::Stop;
    }

    // A decoded answer: taken, asked again, or (no retry left) turned down.
    Next Weigh(GatewayResult* result, ReadTally* tally) {
        if (gate_ == 0) return Next::Stop;
        const uint16_t value = Value();
        if (!held_) {
            if (RecallValue(channel_, gate_, value) == Recall::Same) return Next::Stop;
            held_ = true;
            heldValue_ = value;
            return Next::Again;
        }
        if (value == heldValue_) {
            RememberValue(channel_, gate_, value);
            tally->confirmed = true;
            return Next::Stop;
        }
        ++tally->disagreements;
        // The value reported last, now again: taken, as it would have been
        // had it come first (the answer before was the odd one).
        if (RecallValue(channel_, gate_, value) == Recall::Same) return Next::Stop;
        if (retriesLeft_ == 0) {
            result->outcome = GatewayOutcome::ValueNotConfirmed;
            result->valueBefore = heldValue_;
            result->valueAfter = value;
            return Next::Stop;
        }
        heldValue_ = value;
        return Next::Retry;
    }

    // The word the decoder stored (the value buffer's second word).
    uint16_t Value() const {
        const uint8_t* tail = channel_->valueTail;
        return static_cast<uint16_t>(tail[0] | tail[1] << 8);
    }

    // A read that fails leaves the value as prepared, whatever an earlier
    // session of it stored.
    void ClearValue() const {
        if (held_) memset(channel_->valueTail, 0, 2);
    }

    VpiRequest* request_;
    VpiChannel* channel_;
    int32_t sessionMode_;
    uint32_t retriesLeft_;
    uint64_t gate_;          // 0: the value is not confirmed (a block, a text, confirm_changes = 0)
    bool held_ = false;      // a decoded value waits for a second answer to agree
    uint16_t heldValue_ = 0;
};

// The read of a prepared, allowed gate: failed at once while the line is
// down, else its sessions, counted and reported.
int32_t ReadOnLine(VpiRequest* request, int32_t sessionMode) {
    VpiChannel* channel = request->channel;
    LogCountersWhenDue(channel);
    if (ReadFailsAtOnce(channel)) return kRefused;
    ReadTally tally;
    const GatewayResult result = ReadRun(request, sessionMode).Run(&tally);
    CountRead(channel, result, tally);
    const int32_t status = ReportOutcome(request, result, tally.sessions);
    NoteAnnounce(channel, result);
    return status;
}

}  // namespace

int32_t SingleRead(VpiRequest* request) {
    if (!PointersPresent(request, "SingleRead")) return kRefused;
    VpiChannel* channel = request->channel;
    if (!PrepareRead(channel, Point(request))) return kDone;
    if (!ReadAllowed(channel, Point(request), "SingleRead")) return kRefused;
    return ReadOnLine(request, kSingleSession);
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
    return ReadOnLine(request, kBlockSession);
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
    // Always a single session, sent once whatever comes back (a spoiled
    // acknowledgement means "not confirmed", not "not done"), and always to
    // the line, down or not: the operator's action is always tried.
    LogCountersWhenDue(channel);
    const GatewayResult result = GatewayTransaction(request, kSingleSession);
    CountWrite(channel, result);
    const int32_t status = ReportOutcome(request, result, 1);
    NoteAnnounce(channel, result);
    return status;
}
