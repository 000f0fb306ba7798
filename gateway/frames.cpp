#include "gateway/frames.h"

#include <cstring>

namespace {

constexpr uint8_t kBlockZlz[kZlzFrameSize] = {0x55, 0xAA, 0x55, 0xAA, 0x02, 0x24, 0x00, 0x42, 0x04};
constexpr uint8_t kBlockEos[kEosFrameSize] = {0x55, 0xAA, 0x55, 0xAA, 0x02, 0x35, 0x01, 0x06, 0x92, 0x01};
constexpr uint8_t kBlockGoodBye[kGoodByeFrameSize] = {0x55, 0xAA, 0x55, 0xAA, 0x02, 0x46, 0x00, 0x42, 0x66};
constexpr uint8_t kSingleEos[kEosFrameSize] = {0x55, 0xAA, 0x55, 0xAA, 0x02, 0x22, 0x01, 0x06, 0x44, 0x63};
constexpr uint8_t kSingleGoodBye[kGoodByeFrameSize] = {0x55, 0xAA, 0x55, 0xAA, 0x02, 0x33, 0x00, 0x42, 0x13};

// Each stored CRC is the frame's own: n + 3 bytes from offset 4, low byte first.
constexpr bool CarriesItsCrc(const uint8_t* frame, uint32_t size) {
    const uint16_t crc = CrcWith(CrcTable, frame + kTypeOffset, CrcCovered(size));
    return frame[CrcOffset(size)] == (crc & 0xFF) && frame[CrcOffset(size) + 1] == (crc >> 8);
}

void PutCrc(uint8_t* frame, uint32_t size) {
    const uint16_t crc = CrcWith(CrcTable, frame + kTypeOffset, CrcCovered(size));
    frame[CrcOffset(size)] = static_cast<uint8_t>(crc & 0xFF);
    frame[CrcOffset(size) + 1] = static_cast<uint8_t>(crc >> 8);
}

// Byte `offset` of the received bytes, 0 when it did not arrive.
uint8_t ByteAt(const uint8_t* bytes, uint32_t count, uint32_t offset) {
    return offset < count ? bytes[offset] : 0;
}
static_assert(CarriesItsCrc(kBlockZlz, kZlzFrameSize));
static_assert(CarriesItsCrc(kBlockEos, kEosFrameSize));
static_assert(CarriesItsCrc(kBlockGoodBye, kGoodByeFrameSize));
static_assert(CarriesItsCrc(kSingleEos, kEosFrameSize));
static_assert(CarriesItsCrc(kSingleGoodBye, kGoodByeFrameSize));

}  // namespace

void BuildRequestFrame(VpiChannel* channel, const uint8_t* payload, uint8_t length) {
    uint8_t* tx = channel->txBuffer;
    // The longest request is the 13-byte date payload: 22 bytes, far inside
    // the 128-byte txBuffer. Longer payloads are cut to fit, never written past it.
    constexpr uint32_t kMaxPayload = sizeof(VpiChannel::txBuffer) - kFrameOverhead;
    if (length > kMaxPayload) length = static_cast<uint8_t>(kMaxPayload);
    memcpy(tx, kSyncBytes, sizeof kSyncBytes);
    tx[kTypeOffset] = kFrameTypeRequest;
    tx[kSequenceOffset] = kRequestSequence;
    tx[kLengthOffset] = length;
    if (length != 0) memcpy(tx + kPayloadOffset, payload, length);
    PutCrc(tx, FrameSize(length));
    channel->txCount = static_cast<uint16_t>(FrameSize(length));
}

void SetBlockSessionFrames(SessionFrames* frames) {
    memcpy(frames->zlz, kBlockZlz, sizeof kBlockZlz);
    memcpy(frames->eos, kBlockEos, sizeof kBlockEos);
    memcpy(frames->goodBye, kBlockGoodBye, sizeof kBlockGoodBye);
}

void SetSingleSessionFrames(SessionFrames* frames) {
    memcpy(frames->eos, kSingleEos, sizeof kSingleEos);
    memcpy(frames->goodBye, kSingleGoodBye, sizeof kSingleGoodBye);
}

bool StartsWithSync(const uint8_t* bytes, uint32_t count) {
    return count >= sizeof kSyncBytes && memcmp(bytes, kSyncBytes, sizeof kSyncBytes) == 0;
}

bool TakeReplySequence(const uint8_t* bytes, uint32_t count, uint8_t* lastReplySequence) {
    FrameView frame;
    if (!NextFrame(bytes, count, 0, &frame)) return false;
    // The last frame of the walk wins; a sequence byte that did not arrive
    // reads as the cleared buffer: 0.
    while (FollowingFrame(bytes, count, frame, &frame)) {
    }
    *lastReplySequence = frame.sequence;
    return true;
}

bool PatchFrameSequence(uint8_t* frame, uint32_t frameSize, const uint8_t* reply, uint32_t replyCount,
                        uint8_t lastReplySequence) {
    if (!StartsWithSync(reply, replyCount)) return false;
    const uint8_t high = static_cast<uint8_t>(lastReplySequence >> 4);
    const uint8_t low = static_cast<uint8_t>(lastReplySequence & 0x0F);
    const uint8_t acknowledged = (high <= 9 && low <= 9) ? high : 0;
    frame[kSequenceOffset] = static_cast<uint8_t>((frame[kSequenceOffset] & 0xF0) | acknowledged);
    PutCrc(frame, frameSize);
    return true;
}

FrameView ViewFrame(const uint8_t* bytes, uint32_t count, uint32_t at) {
    FrameView frame;
    frame.at = at;
    const uint32_t available = at < count ? count - at : 0;
    const uint8_t* start = bytes + at;
    frame.type = ByteAt(start, available, kTypeOffset);
    frame.sequence = ByteAt(start, available, kSequenceOffset);
    frame.length = ByteAt(start, available, kLengthOffset);
    frame.size = FrameSize(frame.length);
    frame.arrived = available < frame.size ? available : frame.size;
    frame.whole = available >= kFrameHeadSize && frame.arrived == frame.size;
    if (!frame.whole) return frame;
    const uint32_t crcAt = CrcOffset(frame.size);
    frame.crcCarried = static_cast<uint16_t>(start[crcAt] | (start[crcAt + 1] << 8));
    frame.crcWanted = CrcWith(CrcTable, start + kTypeOffset, CrcCovered(frame.size));
    frame.crcGood = frame.crcCarried == frame.crcWanted;
    return frame;
}

bool NextFrame(const uint8_t* bytes, uint32_t count, uint32_t from, FrameView* frame) {
    for (uint32_t at = from; at + sizeof kSyncBytes <= count; ++at) {
        if (memcmp(bytes + at, kSyncBytes, sizeof kSyncBytes) != 0) continue;
        *frame = ViewFrame(bytes, count, at);
        return true;
    }
    return false;
}

bool FollowingFrame(const uint8_t* bytes, uint32_t count, const FrameView& previous, FrameView* next) {
    return previous.whole && NextFrame(bytes, count, previous.at + previous.size, next);
}

AnswerVerdict CheckAnswer(const uint8_t* bytes, uint32_t count, bool allFrames) {
    AnswerVerdict verdict;
    if (!StartsWithSync(bytes, count)) return verdict;
    FrameView frame = ViewFrame(bytes, count, 0);
    for (;;) {
        verdict.frame = frame;
        if (!frame.whole) {
            verdict.check = AnswerCheck::CutShort;
            return verdict;
        }
        if (!frame.crcGood) {
            verdict.check = AnswerCheck::BadCrc;
            return verdict;
        }
        if (!allFrames) break;
        const uint32_t end = frame.at + frame.size;
        const bool found = FollowingFrame(bytes, count, frame, &frame);
        // Between the frames of a block answer, or a frame's worth behind
        // the last one, bytes that are no frame are a frame whose head the
        // line changed: its points would silently read as missing.
        if ((found && frame.at != end) || (!found && count - end >= kFrameOverhead)) {
            verdict.check = AnswerCheck::BadCrc;
            verdict.frame = ViewFrame(bytes, count, end);
            return verdict;
        }
        if (!found) break;
    }
    verdict.frame = ViewFrame(bytes, count, 0);
    verdict.check = AnswerCheck::Good;
    return verdict;
}

NumberingVerdict CheckFrameNumbers(const uint8_t* bytes, uint32_t count) {
    NumberingVerdict verdict;
    FrameView frame;
    if (!NextFrame(bytes, count, 0, &frame)) return verdict;
    verdict.frames = 1;
    verdict.lastNumber = FrameNumber(frame.sequence);
    verdict.lastSession = verdict.lastNumber;
    FrameView next;
    while (FollowingFrame(bytes, count, frame, &next)) {
        const uint8_t number = FrameNumber(next.sequence);
        const uint8_t step = static_cast<uint8_t>((number - verdict.lastNumber) & 0x0F);
        if (step == 0) {
            verdict.numbering = Numbering::Unnumbered;
            verdict.lost = verdict.lastSession;
            return verdict;
        }
        if (step != 1) {
            verdict.numbering = Numbering::Gap;
            verdict.lost = verdict.lastSession + 1;
            return verdict;
        }
        verdict.lastNumber = number;
        ++verdict.lastSession;
        ++verdict.frames;
        frame = next;
    }
    return verdict;
}

uint32_t LostBeforeReply(const NumberingVerdict& verdict, uint8_t replySequence) {
    constexpr uint8_t kFarthestGap = 7;  // further off, the number says nothing we can trust
    if (verdict.frames == 0) return 0;
    const uint8_t expected = static_cast<uint8_t>((verdict.lastNumber + 1) & 0x0F);
    const uint8_t ahead = static_cast<uint8_t>((FrameNumber(replySequence) - expected) & 0x0F);
    return ahead >= 1 && ahead <= kFarthestGap ? verdict.lastSession + 1 : 0;
}
