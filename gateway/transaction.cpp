#include "gateway/transaction.h"

#include <cstring>

#include "address/command_table.h"
#include "address/gate_words.h"
#include "gateway/decode.h"
#include "gateway/frames.h"
#include "gateway/line_settings.h"
#include "gateway/line_watch.h"  // the bytes counted
#include "gateway/trace.h"
#include "serial/comm.h"

namespace {

// Read time-outs, in the serial library's units of 10 ms.
constexpr int32_t kAnnounceTimeout = 200;
constexpr int32_t kStatusTimeout = 100;
constexpr int32_t kBlockReplyTimeout = 400;
constexpr int32_t kSessionTimeout = 500;
constexpr int32_t kRetryTimeout = 200;

// The same windows in milliseconds, for the reads that end early.
constexpr uint32_t kStatusWindowMs = 1000;
constexpr uint32_t kBlockWindowMs = 4000;

// Read sizes.
constexpr uint32_t kAnnounceReplySize = 11;
constexpr uint32_t kStatusReplySize = 255;
constexpr uint32_t kBlockReplySize = 2000;
constexpr uint32_t kZlzReplySize = 11;
constexpr uint32_t kEosReplySize = 11;
constexpr uint32_t kGoodByeReplySize = 10;

// Buffer portions cleared before reads.
constexpr uint32_t kClearBlockReply = 1000;
constexpr uint32_t kClearSingleGoodBye = 255;
constexpr uint32_t kClearBlockGoodBye = 1000;

constexpr int32_t kAnnounceResends = 6;
constexpr int32_t kCloseResends = 3;

constexpr uint8_t kAnnounceSequence = 0x10;
constexpr uint8_t kEosAccepted = 0x01;
constexpr uint8_t kGoodByeLength = 1;

constexpr uint8_t kDateLetter = 'Y';

// The date/time text nn/nn/nnnn nn:nn:nn: where each field starts.
constexpr uint32_t kFirstDateField = 0, kSecondDateField = 3, kYearField = 6, kHourField = 11, kMinuteField = 14,
                   kSecondField = 17;

struct Payload {
    uint8_t (&bytes)[kPayloadArea];
    uint32_t length;
    void Byte(uint8_t b) {
        if (length < kPayloadArea) bytes[length++] = b;
    }
    void Word(uint32_t w) {
        Byte(static_cast<uint8_t>(w & 0xFF));
        Byte(static_cast<uint8_t>((w >> 8) & 0xFF));
    }
};

// The decimal number at `at`, ending at the first character that is not a
// digit (or the end of the text).
uint32_t DecimalField(const char* text, uint32_t length, uint32_t at) {
    uint32_t value = 0;
    for (uint32_t i = at; i < length && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + static_cast<uint32_t>(text[i] - '0');
    }
    return value;
}

uint32_t TextLength(const char* text, uint32_t limit) {
    uint32_t n = 0;
    while (n < limit && text[n] != '\0') ++n;
    return n;
}

// Six words from the value text: seconds, minutes, hours, the first and the
// second date field (each cut to 8 bits), and the year less 1900.
void AppendDate(Payload& payload, const char* text) {
    const uint32_t length = text != nullptr ? TextLength(text, kTextLimit) : 0;
    auto low8 = [&](uint32_t at) { return DecimalField(text, length, at) & 0xFF; };
    payload.Word(low8(kSecondField));
    payload.Word(low8(kMinuteField));
    payload.Word(low8(kHourField));
    payload.Word(low8(kFirstDateField));
    payload.Word(low8(kSecondDateField));
    const uint16_t year = static_cast<uint16_t>(DecimalField(text, length, kYearField) & 0xFFFF);
    payload.Word(static_cast<uint16_t>(year - 1900));
}

// --- the line ---------------------------------------------------------------

void Send(VpiChannel* channel, const uint8_t* bytes, uint32_t count, const char* label) {
    // A gateway that needs a turn-around time gets it before every send.
    const uint32_t gap = SendGapMs(channel);
    if (gap != 0) CommSleep(gap);
    uint32_t written = 0;  // a failed write sent nothing
    CommWrite(channel->port, bytes, count, &written);
    channel->txCount = static_cast<uint16_t>(written);
    CountBytes(channel, 0, written);
    TraceExchange(channel, bytes, written, kTraceSent, label);
}

void Receive(VpiChannel* channel, uint32_t asked, const char* label) {
    uint32_t received = 0;
    CommRead(channel->port, channel->rxBuffer, asked, &received);
    channel->rxCount = static_cast<uint16_t>(received < asked ? received : asked);
    CountBytes(channel, channel->rxCount, 0);
    TraceExchange(channel, channel->rxBuffer, channel->rxCount, kTraceReceived, label);
}

// Reads behind the `have` bytes already in the buffer until `want` are in
// (never more than `cap`) or the clock passes `deadline`; the new count.
// Each platform read asks for exactly what is missing, with the time left.
uint32_t ReadUntil(VpiChannel* channel, uint32_t have, uint32_t want, uint32_t cap, uint64_t deadline) {
    if (want > cap) want = cap;
    while (have < want) {
        const uint64_t now = CommNowMs();
        if (now >= deadline) break;
        uint32_t got = 0;
        CommReadFor(channel->port, channel->rxBuffer + have, want - have, static_cast<uint32_t>(deadline - now), &got);
        if (got == 0) break;  // the time ran out, or the port failed
        have += got;
    }
    return have;
}

// The head at `at` arrived and starts a frame: the bytes up to its end.
bool HeadArrived(const VpiChannel* channel, uint32_t have, uint32_t at) {
    return have >= at + kFrameHeadSize && StartsWithSync(channel->rxBuffer + at, have - at);
}

void Received(VpiChannel* channel, uint32_t have, const char* label) {
    channel->rxCount = static_cast<uint16_t>(have);
    CountBytes(channel, have, 0);
    TraceExchange(channel, channel->rxBuffer, channel->rxCount, kTraceReceived, label);
}

// The single session's answer, ended by its frame: the head, then exactly
// the bytes its length announces and the CRC, all within the one window.
// A head that starts no frame waits out the window, as an answer always did.
void ReceiveFrame(VpiChannel* channel, const char* label) {
    const uint64_t deadline = CommNowMs() + kStatusWindowMs;
    constexpr uint32_t kLongestFrame = FrameSize(255);
    uint32_t have = ReadUntil(channel, 0, kFrameHeadSize, kLongestFrame, deadline);
    if (HeadArrived(channel, have, 0)) {
        have = ReadUntil(channel, have, FrameSize(channel->rxBuffer[kLengthOffset]), kLongestFrame, deadline);
    } else if (have == kFrameHeadSize) {
        have = ReadUntil(channel, have, kStatusReplySize, kStatusReplySize, deadline);
    }
    Received(channel, have, label);
}

// A block answer ended by a quiet gap: frame after frame, each read whole;
// when no byte follows a whole frame within the gap, the answer has ended.
// Never later than the window; what starts no frame waits out the window.
void ReceiveBlockQuiet(VpiChannel* channel, const char* label) {
    const uint64_t deadline = CommNowMs() + kBlockWindowMs;
    const uint32_t quiet = BlockQuietMs(channel);
    uint32_t at = 0;
    uint32_t have = ReadUntil(channel, 0, kFrameHeadSize, kBlockReplySize, deadline);
    while (HeadArrived(channel, have, at)) {
        const uint32_t end = at + FrameSize(channel->rxBuffer[at + kLengthOffset]);
        have = ReadUntil(channel, have, end, kBlockReplySize, deadline);
        if (have < end) break;  // the window ended first
        at = end;
        const uint64_t gapEnd = CommNowMs() + quiet;
        const uint32_t next = ReadUntil(channel, have, have + 1, kBlockReplySize, gapEnd < deadline ? gapEnd : deadline);
        if (next == have) break;  // quiet: the answer has ended
        // The rest of the next head comes within the gap too: a stray byte
        // behind the last frame must not hold the answer to its window.
        const uint64_t headEnd = CommNowMs() + quiet;
        have = ReadUntil(channel, next, at + kFrameHeadSize, kBlockReplySize, headEnd < deadline ? headEnd : deadline);
    }
    if (have >= at + kFrameHeadSize && !HeadArrived(channel, have, at)) {
        have = ReadUntil(channel, have, kBlockReplySize, kBlockReplySize, deadline);
    }
    Received(channel, have, label);
}

void ClearRx(VpiChannel* channel, uint32_t count) {
    memset(channel->rxBuffer, 0, count);
}

// Byte `offset` of the answer, when it arrived.
bool ReceivedByte(const VpiChannel* channel, uint32_t offset, uint8_t value) {
    return offset < channel->rxCount && channel->rxBuffer[offset] == value;
}

bool AnnounceAccepted(const VpiChannel* channel) {
    return ReceivedByte(channel, 0, 0x55) && ReceivedByte(channel, 1, 0xAA) &&
           ReceivedByte(channel, 5, kAnnounceSequence);
}

bool ZlzAccepted(const VpiChannel* channel) {
    return ReceivedByte(channel, 0, 0x55) && ReceivedByte(channel, 1, 0xAA);
}

bool EosAccepted(const VpiChannel* channel) {
    return ReceivedByte(channel, 7, kEosAccepted);
}

bool GoodByeAccepted(const VpiChannel* channel) {
    return StartsWithSync(channel->rxBuffer, ReceivedCount(channel)) && ReceivedByte(channel, 6, kGoodByeLength);
}

// One closing frame of the block session: sent and answered, then re-sent
// up to three times (2 s each) while its answer is not accepted.
struct CloseStep {
    const uint8_t* frame;
    uint32_t frameSize;
    uint32_t replySize;
    uint32_t firstClear;  // bytes of the buffer cleared before the first answer
    const char* sendLabel;
    const char* replyLabel;
    const char* resendLabel;
    const char* resendReplyLabel;
    bool (*accepted)(const VpiChannel*);
};

void ExchangeUntilAccepted(VpiChannel* channel, const CloseStep& step) {
    Send(channel, step.frame, step.frameSize, step.sendLabel);
    ClearRx(channel, step.firstClear);
    Receive(channel, step.replySize, step.replyLabel);
    CommSetReadTimeout(channel->port, kRetryTimeout);
    for (int32_t resend = 0; resend < kCloseResends && !step.accepted(channel); ++resend) {
        Send(channel, step.frame, step.frameSize, step.resendLabel);
        ClearRx(channel, kRxBufferSize);
        Receive(channel, step.replySize, step.resendReplyLabel);
    }
}

// "SK GATEWAY" until the gateway answers with its first frame: one send and up
// to six more.
bool Announce(VpiChannel* channel) {
    const auto* text = reinterpret_cast<const uint8_t*>(kAnnounce);
    Send(channel, text, kAnnounceLength, "PC: SKGateway");
    ClearRx(channel, kRxBufferSize);
    CommSetReadTimeout(channel->port, kAnnounceTimeout);
    Receive(channel, kAnnounceReplySize, "PANEL: MPM");
    for (int32_t resend = 0; resend < kAnnounceResends && !AnnounceAccepted(channel); ++resend) {
        // What the rejected read left waiting (the rest of a late answer of an
        // earlier session, or of this announce's own answer behind it) would
        // shift every later answer: discard it before asking again.
        CommPurgeInput(channel->port);
        Send(channel, text, kAnnounceLength, "PC: SK gateway 2 ");
        ClearRx(channel, kRxBufferSize);
        Receive(channel, kAnnounceReplySize, "PANEL: MPM 2");
    }
    return AnnounceAccepted(channel);
}

// A value answer counts only when it arrived whole and unchanged: a frame
// cut short or with a CRC that does not check is never decoded (the value
// stays as the request prepared it). Decoded means it may be decoded.
GatewayResult CheckOutcome(const VpiChannel* channel, int32_t sessionMode) {
    GatewayResult result;
    if (!AnswerCheckOn(channel)) return result;
    const AnswerVerdict verdict =
        CheckAnswer(channel->rxBuffer, ReceivedCount(channel), sessionMode == kBlockSession);
    if (verdict.check == AnswerCheck::CutShort) {
        result.outcome = GatewayOutcome::AnswerCutShort;
        result.arrived = verdict.frame.arrived;
        result.size = verdict.frame.size;
    } else if (verdict.check == AnswerCheck::BadCrc) {
        result.outcome = GatewayOutcome::AnswerBadCrc;
    }
    return result;  // no frame at all: the decoder says so
}

// The answer as DecodeReply found it, read while the answer is still in the
// buffer (the session's closing frames overwrite it).
GatewayResult DecodeOutcome(VpiRequest* request, int32_t sessionMode) {
    const DecodeVerdict verdict = DecodeReply(request, sessionMode);
    GatewayResult result;
    result.letter = verdict.letter;
    result.asked = verdict.asked;
    result.size = verdict.payload;
    switch (verdict.result) {
        case DecodeResult::Stored: result.outcome = GatewayOutcome::Decoded; break;
        case DecodeResult::NoFrame: result.outcome = GatewayOutcome::NoAnswerFrame; break;
        case DecodeResult::NotABlockAnswer: result.outcome = GatewayOutcome::NotABlockAnswer; break;
        case DecodeResult::OtherRequest: result.outcome = GatewayOutcome::OtherRequest; break;
        case DecodeResult::TooShort: result.outcome = GatewayOutcome::AnswerTooShort; break;
        case DecodeResult::Refused: result.outcome = GatewayOutcome::WriteRefused; break;
    }
    return result;
}

GatewayResult SingleSession(VpiRequest* request, SessionFrames* frames) {
    VpiChannel* channel = request->channel;
    SetSingleSessionFrames(frames);

    Send(channel, channel->txBuffer, channel->txCount, "PC: RequestPointStatus");
    // The announce answer must never be taken for the gate's value.
    ClearRx(channel, kRxBufferSize);
    if (AnswerEndsWithFrame(channel)) {
        ReceiveFrame(channel, "PANEL: PointStatusData");
    } else {
        CommSetReadTimeout(channel->port, kStatusTimeout);
        Receive(channel, kStatusReplySize, "PANEL: PointStatusData");
    }
    CommSetReadTimeout(channel->port, kSessionTimeout);
    GatewayResult result = CheckOutcome(channel, kSingleSession);
    if (result.outcome == GatewayOutcome::Decoded) result = DecodeOutcome(request, kSingleSession);
    result.silent = ReceivedCount(channel) == 0;

    Send(channel, frames->eos, kEosFrameSize, "PC: Eos");
    Receive(channel, kEosReplySize, "PANEL: Terminate session");

    Send(channel, frames->goodBye, kGoodByeFrameSize, "PC: Zlz2");
    ClearRx(channel, kClearSingleGoodBye);
    Receive(channel, kGoodByeReplySize, "PANEL :GoodBye");
    return result;
}

// Whether the checked block answer's frames are all there by their numbers.
// A gateway that shows it does not number them (the same number twice,
// before it ever numbered an answer) is noted once for the channel; from
// then on its answers are taken as they were before the numbers were read.
GatewayResult CheckNumbers(VpiChannel* channel, NumberingVerdict* numbering) {
    GatewayResult result;
    *numbering = CheckFrameNumbers(channel->rxBuffer, ReceivedCount(channel));
    switch (numbering->numbering) {
        case Numbering::InOrder:
            if (numbering->frames > 1) channel->lineState.numbering = kNumberingSeen;
            break;
        case Numbering::Gap:
            result.outcome = GatewayOutcome::AnswerLostFrame;
            result.frame = numbering->lost;
            break;
        case Numbering::Unnumbered:
            if (channel->lineState.numbering == kNumberingSeen) {
                result.outcome = GatewayOutcome::FramesOutOfOrder;
                result.frame = numbering->lost;
            } else {
                channel->lineState.numbering = kNumberingAbsent;
                result.unnumbered = true;
            }
            break;
    }
    return result;
}

// The gateway's reply to the Zlz frame carries its next frame number: one
// more than expected after the answer's last frame means frames at the end
// of the answer were lost. Only a whole reply whose CRC checks is read.
uint32_t LostBeforeZlzReply(const VpiChannel* channel, const NumberingVerdict& numbering) {
    const FrameView reply = ViewFrame(channel->rxBuffer, ReceivedCount(channel), 0);
    if (!StartsWithSync(channel->rxBuffer, ReceivedCount(channel)) || !reply.crcGood) return 0;
    return LostBeforeReply(numbering, reply.sequence);
}

GatewayResult BlockSession(VpiRequest* request, SessionFrames* frames) {
    VpiChannel* channel = request->channel;
    const Handle port = channel->port;

    Send(channel, channel->txBuffer, channel->txCount, "PC: Request point");
    ClearRx(channel, kClearBlockReply);
    if (BlockAnswerEndsQuiet(channel)) {
        ReceiveBlockQuiet(channel, "PANEL: PointStatusData");
    } else {
        CommSetReadTimeout(port, kBlockReplyTimeout);
        Receive(channel, kBlockReplySize, "PANEL: PointStatusData");
    }
    CommSetReadTimeout(port, kSessionTimeout);

    TakeReplySequence(channel->rxBuffer, ReceivedCount(channel), &frames->lastReplySequence);
    const bool silent = ReceivedCount(channel) == 0;
    GatewayResult result = CheckOutcome(channel, kBlockSession);
    const bool numbered = AnswerCheckOn(channel) && FrameNumbersChecked(channel);
    NumberingVerdict numbering;
    if (result.outcome == GatewayOutcome::Decoded && numbered) result = CheckNumbers(channel, &numbering);
    // The answer waits beside the session until the Zlz reply has said
    // whether frames were lost behind it; the reply is read into the buffer.
    uint8_t answer[kBlockReplySize];
    const uint32_t answerCount = ReceivedCount(channel) < kBlockReplySize ? ReceivedCount(channel) : kBlockReplySize;
    if (result.outcome == GatewayOutcome::Decoded) memcpy(answer, channel->rxBuffer, answerCount);
    PatchFrameSequence(frames->zlz, kZlzFrameSize, channel->rxBuffer, ReceivedCount(channel),
                       frames->lastReplySequence);

    ExchangeUntilAccepted(channel, {frames->zlz, kZlzFrameSize, kZlzReplySize, kRxBufferSize, "PC: Zlz",
                                    "PANEL :MPM", "PC: Zlz 2 ", "PANEL: MPM 2", ZlzAccepted});

    CommSetReadTimeout(port, kSessionTimeout);
    if (result.outcome == GatewayOutcome::Decoded && numbered && channel->lineState.numbering != kNumberingAbsent) {
        const uint32_t lost = LostBeforeZlzReply(channel, numbering);
        if (lost != 0) {
            result.outcome = GatewayOutcome::AnswerLostFrame;
            result.frame = lost;
        }
    }
    TakeReplySequence(channel->rxBuffer, ReceivedCount(channel), &frames->lastReplySequence);
    PatchFrameSequence(frames->eos, kEosFrameSize, channel->rxBuffer, ReceivedCount(channel),
                       frames->lastReplySequence);

    if (result.outcome == GatewayOutcome::Decoded) {
        // The list is read from the assembled answer only (see
        // AssembleBlockPayload); the next read sets the count again.
        const bool unnumbered = result.unnumbered;
        memcpy(channel->rxBuffer, answer, answerCount);
        channel->rxCount = static_cast<uint16_t>(AssembleBlockPayload(channel->rxBuffer, answerCount));
        result = DecodeOutcome(request, kBlockSession);
        result.unnumbered = unnumbered;
    }
    result.silent = silent;

    ExchangeUntilAccepted(channel, {frames->eos, kEosFrameSize, kEosReplySize, kRxBufferSize, "PC: Eos",
                                    "PANEL: Terminate session", "PC: Eos 2", "PANEL: Terminate session 2",
                                    EosAccepted});

    CommSetReadTimeout(port, kSessionTimeout);
    // The first ten bytes of the end-of-session answer (the rest of the
    // buffer was cleared before it was read).
    const uint32_t head = ReceivedCount(channel) < 10 ? ReceivedCount(channel) : 10;
    TakeReplySequence(channel->rxBuffer, head, &frames->lastReplySequence);
    PatchFrameSequence(frames->goodBye, kGoodByeFrameSize, channel->rxBuffer, ReceivedCount(channel),
                       frames->lastReplySequence);

    ExchangeUntilAccepted(channel, {frames->goodBye, kGoodByeFrameSize, kGoodByeReplySize, kClearBlockGoodBye,
                                    "PC: Zlz", "PANEL :GoodBye", "PC: Zlz 2", "PANEL :GoodBye 2", GoodByeAccepted});

    CommSetReadTimeout(port, kSessionTimeout);
    if (!GoodByeAccepted(channel)) {
        const bool unnumbered = result.unnumbered;
        result = GatewayResult{GatewayOutcome::NoGoodBye};
        result.unnumbered = unnumbered;
        result.silent = silent;
    }
    return result;
}

}  // namespace

bool BuildPayload(const PointRecord* point, int32_t sessionMode, uint8_t (&bytes)[kPayloadArea],
                  uint8_t* length) {
    const uint16_t command = AddressCommand(point->address);
    const CommandEntry* row = CommandRow(command);
    if (row == nullptr) return false;
    const GateParams params = SingleParams(point, command);
    const uint16_t p1 = params.p1;
    const uint16_t p2 = params.p2;

    Payload payload{bytes, 0};
    payload.Byte(static_cast<uint8_t>(row->code));
    switch (row->paramCount) {
        case 0:
            if (row->code == kDateLetter) AppendDate(payload, static_cast<const char*>(point->value));
            break;
        case 1:
            payload.Word(p1);
            if (row->code == 'z' || row->code == 'g') payload.Word(1);
            break;
        case 2:
            payload.Word(p1);
            payload.Word(sessionMode != kSingleSession ? 0 : p2);
            break;
        default:
            return false;
    }
    *length = static_cast<uint8_t>(payload.length);
    return true;
}

GatewayResult GatewayTransaction(VpiRequest* request, int32_t sessionMode) {
    VpiChannel* channel = request->channel;
    const auto* point = static_cast<const PointRecord*>(request->params);

    SessionFrames frames{};
    SetBlockSessionFrames(&frames);
    uint8_t payload[kPayloadArea] = {};
    uint8_t length = 0;
    if (!BuildPayload(point, sessionMode, payload, &length)) return GatewayResult{GatewayOutcome::NoPayload};

    // A late answer of an earlier session must not pass for this one's.
    CommPurgeInput(channel->port);
    if (!Announce(channel)) return GatewayResult{GatewayOutcome::NoAnnounceAnswer};
    CommSetReadTimeout(channel->port, kSessionTimeout);
    BuildRequestFrame(channel, payload, length);

    return sessionMode == kBlockSession ? BlockSession(request, &frames) : SingleSession(request, &frames);
}

bool AnswerSpoiled(const GatewayResult& result) {
    switch (result.outcome) {
        case GatewayOutcome::NoAnswerFrame: return !result.silent;
        case GatewayOutcome::NotABlockAnswer:
        case GatewayOutcome::AnswerCutShort:
        case GatewayOutcome::AnswerBadCrc:
        case GatewayOutcome::OtherRequest:
        case GatewayOutcome::AnswerTooShort:
        case GatewayOutcome::AnswerLostFrame:
        case GatewayOutcome::FramesOutOfOrder: return true;
        default: return false;
    }
}
