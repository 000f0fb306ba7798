#include "gateway/decode.h"

#include <cstdio>
#include <cstring>

#include "address/command_table.h"
#include "address/gate_words.h"
#include "gateway/frames.h"

namespace {

// Offsets in the receive buffer.
constexpr uint32_t kWordOffset = 8;        // commands 1 and 2
constexpr uint32_t kPointWordOffset = 16;  // command 7, and the first group of a block list
constexpr uint32_t kGroupSize = 4;
constexpr uint32_t kAssemblyThreshold = 100;
constexpr uint8_t kPointLetter = 'p';
constexpr uint16_t kBlockMarkIn = 0x0080;
constexpr uint16_t kBlockMarkOut = 0x8000;
constexpr uint32_t kDateBytes = 13;  // letter and six words
// The most words a block list can hold: one per 4-byte group from offset 16
// that starts at least 5 bytes before the end of a full receive buffer.
constexpr int32_t kLongestBlockList =
    static_cast<int32_t>((kRxBufferSize - kGroupSize - kPointWordOffset - 1) / kGroupSize + 1);
static_assert(kLongestBlockList == 620, "a full receive buffer holds 620 groups from offset 16");

// What to store, by the command letter whose answer it is: the command
// number for single reads, the second slot word for blocks and command 7.
enum : uint16_t {
    kSelectS = 1,
    kSelectT = 2,
    kSelectZ = 3,
    kSelectBar = 4,
    kSelectG = 5,
    kSelectH = 6,
    kSelectP = 7,
    kSelectQ = 8,
    kSelectI = 9,
    kSelectV = 10,
};

uint16_t Word(const uint8_t* bytes) {
    return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
}

void PutWord(void* to, uint16_t word) {
    const uint8_t bytes[2] = {static_cast<uint8_t>(word & 0xFF), static_cast<uint8_t>(word >> 8)};
    memcpy(to, bytes, sizeof bytes);
}

// The received word at `offset` into the 16-bit slot at valueTail; nothing
// when its two bytes did not both arrive.
void StoreWordAt(VpiChannel* channel, uint32_t received, uint32_t offset) {
    if (offset + 2 > received) return;
    memcpy(channel->valueTail, channel->rxBuffer + offset, 2);
}

// The text from payload offset `from` up to its NUL, or to the end of the
// received payload, NUL-terminated into the value buffer (at most 254
// characters). Empty when the payload is shorter than `from`.
void StoreText(void* value, const uint8_t* payload, uint32_t available, uint32_t from) {
    char text[kTextLimit] = {};
    uint32_t length = 0;
    while (from + length < available && length + 1 < kTextLimit && payload[from + length] != 0) {
        text[length] = static_cast<char>(payload[from + length]);
        ++length;
    }
    memcpy(value, text, length + 1);
}

void StoreDate(void* value, const uint8_t* payload, uint32_t available) {
    if (available < kDateBytes) {
        static_cast<char*>(value)[0] = '\0';
        return;
    }
    const int seconds = Word(payload + 1);
    const int minutes = Word(payload + 3);
    const int hours = Word(payload + 5);
    const int first = Word(payload + 7);
    const int second = Word(payload + 9);
    const int year = static_cast<uint16_t>(Word(payload + 11) + 1900);
    char text[48];
    const int n = snprintf(text, sizeof text, "%02d/%02d/%04d %02d:%02d:%02d", first, second, year, hours, minutes,
                           seconds);
    const uint32_t length = n > 0 ? static_cast<uint32_t>(n) : 0;
    memcpy(value, text, length + 1);
}

// At most `count` words, one from the start of each 4-byte group from offset
// 16 while the group starts at least 5 bytes before the end of the data; 128
// goes out as 0x8000. The first word is 0 when no group qualifies.
//
// The words of `count` that the answer did not deliver (a short list, or an
// answer whose continuation frames never came) are set to 0 as well, like the
// first word of an empty list: left alone they would show the previous read's
// values as if this read had brought them. Only words an answer could ever
// fill are touched, so a bogus `count` writes no further than a full answer.
void StoreBlockList(void* value, const uint8_t* rx, uint32_t received, int32_t count) {
    uint8_t* out = static_cast<uint8_t*>(value);
    PutWord(out, 0);
    int32_t stored = 0;
    for (uint32_t from = kPointWordOffset; from + kGroupSize < received && stored < count; from += kGroupSize) {
        uint16_t word = Word(rx + from);
        if (word == kBlockMarkIn) word = kBlockMarkOut;
        PutWord(out + 2 * stored, word);
        ++stored;
    }
    const int32_t wanted = count < kLongestBlockList ? count : kLongestBlockList;
    for (int32_t rest = stored; rest < wanted; ++rest) PutWord(out + 2 * rest, 0);
}

}  // namespace

uint32_t ReceivedCount(const VpiChannel* channel) {
    return channel->rxCount < kRxBufferSize ? channel->rxCount : kRxBufferSize;
}

uint32_t AssembleBlockPayload(uint8_t* buffer, uint32_t received) {
    uint8_t work[kAssemblyArea];
    memset(work, 3, sizeof work);
    uint32_t position = 1;
    if (received > kRxBufferSize) received = kRxBufferSize;
    // The continuation frames are the frames the walk finds behind the first
    // one. A short answer (100 bytes or fewer) without any stays untouched:
    // otherwise the frame headers and CRCs behind the first frame would be
    // read as block values.
    bool merged = false;
    FrameView frame;
    if (NextFrame(buffer, received, 0, &frame)) {
        while (FollowingFrame(buffer, received, frame, &frame)) {
            if (frame.type != 1 && frame.type != 2) continue;
            // The payload without its command letter; only what arrived,
            // only what the work area still holds, nothing for a length of 0 or 1.
            const uint32_t from = frame.at + kPayloadOffset + 1;
            if (frame.length > 1 && from < received) {
                uint32_t n = frame.length - 1u;
                if (n > received - from) n = received - from;
                if (n > kAssemblyArea - position) n = kAssemblyArea - position;
                memcpy(work + position, buffer + from, n);
                position += n;
            }
            merged = true;
        }
    }
    if (received <= kAssemblyThreshold && !merged) return received;

    // The appended data and one byte of the preset 3 behind it (the 3 is
    // dropped only when the work area is full).
    const uint32_t copy = position < kAssemblyArea - 1 ? position : kAssemblyArea - 1;
    memcpy(buffer + kPayloadOffset + buffer[kLengthOffset], work + 1, copy);
    const uint32_t assembled = kPayloadOffset + buffer[kLengthOffset] + (position - 1) + kCrcSize;
    return assembled < received ? assembled : received;
}

namespace {

// The first frame's payload as it arrived: where it starts, how many of its
// bytes arrived, and how many its length byte announces.
struct Payload {
    const uint8_t* bytes;
    uint32_t available;  // arrived, never more than announced
    uint32_t length;     // announced
};

Payload FirstPayload(const uint8_t* rx, uint32_t received) {
    const FrameView frame = ViewFrame(rx, received, 0);
    const uint32_t arrived = received > kPayloadOffset ? received - kPayloadOffset : 0;
    return Payload{rx + kPayloadOffset, frame.length < arrived ? frame.length : arrived, frame.length};
}

// The letter a single answer must carry: its command's (a zone or a group
// answer may carry 'p', as a block answer of those commands does). 0 when
// the command has no row: nothing to compare.
bool LetterFits(uint8_t asked, uint8_t letter) {
    if (asked == 0 || letter == asked) return true;
    return (asked == 'z' || asked == 'g') && letter == kPointLetter;
}

// Where the value of `selector` lies in the payload, and how many payload
// bytes must have arrived for it (texts: their first byte; zone and group
// words: the last words of the whole payload). False for no value.
bool ValueSpan(uint16_t selector, const Payload& p, uint32_t* at, uint32_t* needed) {
    switch (selector) {
        case kSelectS:
        case kSelectT: *at = 1; *needed = 3; return true;
        case kSelectZ:
            *at = p.length >= 3 ? p.length - 2 : 1;
            *needed = *at + 2;
            return true;
        case kSelectG:
            *at = p.length >= 5 ? p.length - 4 : 1;
            *needed = p.length >= 5 ? *at + 2 : 5;
            return true;
        case kSelectP: *at = kPointWordOffset - kPayloadOffset; *needed = *at + 2; return true;
        case kSelectBar:
        case kSelectH: *at = 3; *needed = 4; return true;
        case kSelectQ: *at = 7; *needed = 8; return true;
        case kSelectV: *at = 1; *needed = 2; return true;
        case kSelectI: *at = 1; *needed = kDateBytes; return true;
        default: return false;
    }
}

DecodeVerdict Verdict(DecodeResult result, const Payload& p, uint8_t asked) {
    DecodeVerdict v;
    v.result = result;
    v.letter = p.available > 0 ? p.bytes[0] : 0;
    v.asked = asked;
    v.payload = p.available;
    return v;
}

// A block gate stores by its command word: the list of a loop (7), or what
// the other words have always stored from a block answer, read over the
// assembled answer.
void StoreBlockGate(VpiRequest* request, const Payload& payload, uint32_t received) {
    VpiChannel* channel = request->channel;
    const auto* point = static_cast<const PointRecord*>(request->params);
    switch (BlockCommand(point)) {
        case kSelectS:
        case kSelectT: StoreWordAt(channel, received, kWordOffset); break;
        case kSelectZ:
            if (received >= 4) StoreWordAt(channel, received, received - 4);
            break;
        case kSelectG:
            if (received >= 6) StoreWordAt(channel, received, received - 6);
            break;
        case kSelectBar:
        case kSelectH: StoreText(point->value, payload.bytes, payload.available, 3); break;
        case kSelectP: StoreBlockList(point->value, channel->rxBuffer, received, point->count); break;
        case kSelectQ: StoreText(point->value, payload.bytes, payload.available, 7); break;
        case kSelectI: StoreDate(point->value, payload.bytes, payload.available); break;
        case kSelectV: StoreText(point->value, payload.bytes, payload.available, 1); break;
        default: break;
    }
}

// What a single gate's answer is read as: its command, except a loop
// point's, which comes from its command word.
uint16_t SingleSelector(const PointRecord* point, uint16_t command) {
    return command == 7 ? BlockCommand(point) : command;
}

}  // namespace

uint16_t SingleWordKind(const PointRecord* point) {
    const uint16_t command = AddressCommand(point->address);
    if (CommandRow(command) == nullptr || IsActionCommand(command)) return 0;
    const uint16_t selector = SingleSelector(point, command);
    switch (selector) {
        case kSelectS:
        case kSelectT:
        case kSelectZ:
        case kSelectG:
        case kSelectP: return selector;
        default: return 0;
    }
}

DecodeVerdict DecodeReply(VpiRequest* request, int32_t sessionMode) {
    VpiChannel* channel = request->channel;
    const auto* point = static_cast<const PointRecord*>(request->params);
    const uint8_t* rx = channel->rxBuffer;
    const uint32_t received = ReceivedCount(channel);
    const Payload payload = FirstPayload(rx, received);

    if (!StartsWithSync(rx, received)) return Verdict(DecodeResult::NoFrame, payload, 0);
    if (sessionMode == kBlockSession) {
        if (payload.available == 0 || payload.bytes[0] != kPointLetter) {
            return Verdict(DecodeResult::NotABlockAnswer, payload, kPointLetter);
        }
        StoreBlockGate(request, payload, received);
        return Verdict(DecodeResult::Stored, payload, kPointLetter);
    }

    // A single gate's command from its address text.
    const uint16_t command = AddressCommand(point->address);
    const CommandEntry* row = CommandRow(command);
    const uint8_t asked = row != nullptr ? static_cast<uint8_t>(row->code) : 0;
    const uint16_t selector = SingleSelector(point, command);
    const bool action = IsActionCommand(command);

    if (action && payload.available >= 2 && payload.bytes[0] == kNak && payload.bytes[1] == asked) {
        return Verdict(DecodeResult::Refused, payload, asked);
    }
    if (payload.available == 0) return Verdict(DecodeResult::TooShort, payload, asked);
    if (!LetterFits(asked, payload.bytes[0])) return Verdict(DecodeResult::OtherRequest, payload, asked);
    if (action) {
        // The acknowledgement's status byte: NAK is a refusal; any other
        // byte (ACK 0x06 the gateway's usual) counts as done.
        if (payload.available >= 2 && payload.bytes[1] == kNak) return Verdict(DecodeResult::Refused, payload, asked);
        return Verdict(DecodeResult::Stored, payload, asked);
    }

    uint32_t at = 0, needed = 0;
    if (!ValueSpan(selector, payload, &at, &needed)) return Verdict(DecodeResult::Stored, payload, asked);
    if (payload.available < needed) return Verdict(DecodeResult::TooShort, payload, asked);
    switch (selector) {
        case kSelectBar:
        case kSelectH:
        case kSelectQ:
        case kSelectV:
            StoreText(point->value, payload.bytes, payload.available, at);
            break;
        case kSelectI:
            StoreDate(point->value, payload.bytes, payload.available);
            break;
        default:
            memcpy(channel->valueTail, payload.bytes + at, 2);
            break;
    }
    return Verdict(DecodeResult::Stored, payload, asked);
}
