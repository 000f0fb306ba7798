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
    const uint16_t crc = FrameCrc(frame + 4, static_cast<uint8_t>(size - 6));
    return frame[size - 2] == (crc & 0xFF) && frame[size - 1] == (crc >> 8);
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
    tx[4] = kFrameTypeRequest;
    tx[5] = kRequestSequence;
    tx[6] = length;
    if (length != 0) memcpy(tx + 7, payload, length);
    const uint16_t crc = FrameCrc(tx + 4, static_cast<uint8_t>(length + 3));
    tx[7 + length] = static_cast<uint8_t>(crc & 0xFF);
    tx[8 + length] = static_cast<uint8_t>(crc >> 8);
    channel->txCount = static_cast<uint16_t>(length + kFrameOverhead);
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
    if (count < sizeof kSyncBytes) return false;
    // From the end towards the beginning: the last frame in the data wins.
    for (uint32_t s = count - static_cast<uint32_t>(sizeof kSyncBytes) + 1; s-- > 0;) {
        if (memcmp(bytes + s, kSyncBytes, sizeof kSyncBytes) == 0) {
            // A sequence byte that did not arrive reads as the cleared buffer: 0.
            *lastReplySequence = s + 5 < count ? bytes[s + 5] : 0;
            return true;
        }
    }
    return false;
}

bool PatchFrameSequence(uint8_t* frame, const uint8_t* reply, uint32_t replyCount, uint32_t crcOffset,
                        uint8_t crcLength, uint8_t lastReplySequence) {
    if (!StartsWithSync(reply, replyCount)) return false;
    const uint8_t high = static_cast<uint8_t>(lastReplySequence >> 4);
    const uint8_t low = static_cast<uint8_t>(lastReplySequence & 0x0F);
    const uint8_t acknowledged = (high <= 9 && low <= 9) ? high : 0;
    frame[5] = static_cast<uint8_t>((frame[5] & 0xF0) | acknowledged);
    const uint16_t crc = FrameCrc(frame + 4, crcLength);
    frame[crcOffset] = static_cast<uint8_t>(crc & 0xFF);
    frame[crcOffset + 1] = static_cast<uint8_t>(crc >> 8);
    return true;
}
