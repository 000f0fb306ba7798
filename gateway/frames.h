// The gateway's framed wire unit: four sync bytes, type, sequence byte,
// payload length, payload and a CRC-16 stored low byte first.
//
//   offset 0   55 AA 55 AA
//   offset 4   type (0x02 in every frame the driver sends)
//   offset 5   sequence byte: high nibble this frame's number among the
//              sender's frames, low nibble the peer's latest frame number
//   offset 6   payload length n (0..255)
//   offset 7   n payload bytes
//   offset 7+n FrameCrc over offsets 4 .. 6+n, low byte first
#pragma once

#include <array>
#include <cstdint>

#include "host/records.h"

constexpr uint8_t kSyncBytes[4] = {0x55, 0xAA, 0x55, 0xAA};
// What wakes the gateway, sent without a terminator.
constexpr char kAnnounce[] = "SK GATEWAY";
constexpr uint32_t kAnnounceLength = sizeof kAnnounce - 1;
constexpr uint8_t kFrameTypeRequest = 0x02;
constexpr uint8_t kRequestSequence = 0x11;  // our frame 1, the gateway's frame 1; never patched
constexpr uint32_t kFrameOverhead = 9;      // sync, type, sequence, length, CRC

// Where each field of a frame lies, from its first sync byte.
constexpr uint32_t kTypeOffset = 4;
constexpr uint32_t kSequenceOffset = 5;
constexpr uint32_t kLengthOffset = 6;
constexpr uint32_t kPayloadOffset = 7;  // also the size of the head: sync, type, sequence, length
constexpr uint32_t kFrameHeadSize = kPayloadOffset;
constexpr uint32_t kCrcSize = 2;
static_assert(kFrameHeadSize + kCrcSize == kFrameOverhead);

// A frame of n payload bytes is n + 9 bytes long; its CRC covers the type,
// sequence and length bytes and the payload (n + 3 bytes from offset 4) and
// lies behind the payload.
constexpr uint32_t FrameSize(uint32_t payloadLength) { return payloadLength + kFrameOverhead; }
constexpr uint32_t CrcOffset(uint32_t frameSize) { return frameSize - kCrcSize; }
// (258 bytes for a payload of 255: more than an 8-bit count holds.)
constexpr uint32_t CrcCovered(uint32_t frameSize) { return frameSize - kTypeOffset - kCrcSize; }

constexpr uint32_t kZlzFrameSize = 9;
constexpr uint32_t kEosFrameSize = 10;
constexpr uint32_t kGoodByeFrameSize = 9;

// Entry i of the CRC-16 table by the plain rule: polynomial 0x1021, most
// significant bit first, i in the high byte shifted left eight times.
constexpr uint16_t CrcRuleEntry(uint32_t i) {
    uint16_t crc = static_cast<uint16_t>(i << 8);
    for (int bit = 0; bit < 8; ++bit) {
        crc = (crc & 0x8000) != 0 ? static_cast<uint16_t>((crc << 1) ^ 0x1021) : static_cast<uint16_t>(crc << 1);
    }
    return crc;
}

using CrcTableType = std::array<uint16_t, 256>;

// The line's table (`lineTable`) or the plain rule's.
constexpr CrcTableType MakeCrcTable(bool lineTable) {
    CrcTableType table{};
    for (uint32_t i = 0; i < 256; ++i) table[i] = CrcRuleEntry(i);
    // The gateway's table holds 0x4CF4 here where the rule gives 0x4EF4. It is
    // part of the wire format: every frame whose CRC passes through this entry
    // carries the value the gateway's table yields.
    if (lineTable) table[0x73] = 0x4CF4;
    return table;
}

inline constexpr CrcTableType CrcTable = MakeCrcTable(true);
// The plain rule's table. Never accepted for a received frame: where a
// frame's CRC passes entry 0x73, the two tables differ by one bit, so taking
// either would let a single flipped bit in the byte before it through.
inline constexpr CrcTableType PlainCrcTable = MakeCrcTable(false);
static_assert(CrcTable[1] == 0x1021 && CrcTable[2] == 0x2042 && CrcTable[255] == 0x1EF0);
static_assert(CrcRuleEntry(0x73) == 0x4EF4 && CrcTable[0x73] == 0x4CF4 && PlainCrcTable[0x73] == 0x4EF4);

// The CRC of the first `length` bytes: crc = table[crc >> 8] ^ (crc << 8) ^ b,
// starting from 0, no final XOR, no reflection. The data byte enters the low
// byte after the shift (over 02 33 00 the register runs 0002, 0233, 1342).
constexpr uint16_t CrcWith(const CrcTableType& table, const uint8_t* bytes, uint32_t length) {
    uint16_t crc = 0;
    for (uint32_t i = 0; i < length; ++i) {
        crc = static_cast<uint16_t>(table[crc >> 8] ^ static_cast<uint16_t>(crc << 8) ^ bytes[i]);
    }
    return crc;
}

// The CRC the driver sends: the line's table. The count is a whole 32-bit
// one: a frame of 253 payload bytes or more covers over 255 bytes.
constexpr uint16_t FrameCrc(const uint8_t* bytes, uint32_t length) { return CrcWith(CrcTable, bytes, length); }

// The request frame (sequence byte 0x11) in the channel's txBuffer; its
// length (length + 9) in txCount.
void BuildRequestFrame(VpiChannel* channel, const uint8_t* payload, uint8_t length);

// The three frames that close a session, and the gateway's latest sequence
// byte. One set belongs to one transaction: it lives on that transaction's
// stack, so sessions of different channels never share it.
struct SessionFrames {
    uint8_t zlz[kZlzFrameSize];
    uint8_t eos[kEosFrameSize];
    uint8_t goodBye[kGoodByeFrameSize];
    uint8_t lastReplySequence;  // 0 when the session starts
};

// Block-session contents of all three frames (the state every session starts from).
void SetBlockSessionFrames(SessionFrames* frames);
// Single-session contents of the end-of-session and goodbye frames.
void SetSingleSessionFrames(SessionFrames* frames);

// Walks the received frames (see FollowingFrame) and takes the last one's
// sequence byte into *lastReplySequence (0 when the sequence byte itself was
// not received) and returns true. Returns false and leaves
// *lastReplySequence alone when the bytes hold no frame header.
bool TakeReplySequence(const uint8_t* bytes, uint32_t count, uint8_t* lastReplySequence);

// Renews the low nibble of the frame's sequence byte from lastReplySequence
// (its tens digit read as BCD, 0 when it is not valid BCD) and the frame's CRC
// (the frame is `frameSize` bytes) and returns true. Returns false and leaves
// the frame as it was when the reply's first four received bytes are not the
// sync bytes.
bool PatchFrameSequence(uint8_t* frame, uint32_t frameSize, const uint8_t* reply, uint32_t replyCount,
                        uint8_t lastReplySequence);

// True when the first `count` bytes start with the four sync bytes.
bool StartsWithSync(const uint8_t* bytes, uint32_t count);

// --- received frames ----------------------------------------------------------

// One frame as it lies in received bytes. Only bytes that arrived are read:
// a field whose byte did not arrive reads 0.
struct FrameView {
    uint32_t at = 0;        // offset of its first sync byte in the received bytes
    uint32_t size = 0;      // its whole length, n + 9 (9 while its length byte has not arrived)
    uint32_t arrived = 0;   // how many of those bytes arrived (at most size)
    uint8_t type = 0;
    uint8_t sequence = 0;
    uint8_t length = 0;     // n
    uint16_t crcCarried = 0;
    uint16_t crcWanted = 0;  // by the line's table
    bool whole = false;      // every byte arrived
    bool crcGood = false;    // whole, and the CRC checks by the line's table
};

// The frame whose sync bytes start at `at` (they must lie within `count`).
FrameView ViewFrame(const uint8_t* bytes, uint32_t count, uint32_t at);

// The next frame at or after `from`: the first position where the four sync
// bytes lie wholly within the received bytes. False when there is none.
bool NextFrame(const uint8_t* bytes, uint32_t count, uint32_t from, FrameView* frame);

// The one walk over received frames that every reader of them takes (the
// answer check, the block assembly, the sequence taken for the session's
// closing frames, the trace): the frame behind a whole frame, at its end or
// after bytes that start none. A frame that is not whole ends the walk
// (false), and so does the end of the bytes.
bool FollowingFrame(const uint8_t* bytes, uint32_t count, const FrameView& previous, FrameView* next);

// A frame's number among its sender's frames of a session: the high nibble
// of its sequence byte (the gateway's announce answer is its frame 1, the
// answer's frames 2, 3, ..., counted modulo 16).
constexpr uint8_t FrameNumber(uint8_t sequence) { return static_cast<uint8_t>(sequence >> 4); }

// Whether the frames of a block answer are all there by their numbers.
enum class Numbering : uint8_t {
    InOrder,     // each frame's number one above the one before
    Gap,         // a number was skipped: a frame between was lost
    Unnumbered,  // two frames in a row with the same number: the gateway does not number them
};
struct NumberingVerdict {
    Numbering numbering = Numbering::InOrder;
    uint32_t lost = 0;        // Gap: the session number of the first frame missing (announce answer 1)
    uint32_t frames = 0;      // frames walked (up to the first out of order)
    uint8_t lastNumber = 0;   // the number the last frame in order carries
    uint32_t lastSession = 0; // and its number counted through the session (no wrap)
};

// Walks the frames of a checked block answer (every frame whole) from
// offset 0. The first frame's number is taken as it comes; each later one
// must be one above the one before, modulo 16 (the same number twice:
// Unnumbered, `lost` then names the repeated frame).
NumberingVerdict CheckFrameNumbers(const uint8_t* bytes, uint32_t count);

// The frame number the gateway's next reply carries, after `verdict`'s
// answer: a reply whose number is 1 to 7 above the expected one means the
// frames between (the answer's last frames) were lost; 0 when it is the one
// expected (or the reply's number says nothing: lower, equal, or far off).
// Returns the session number of the first frame lost, or 0.
uint32_t LostBeforeReply(const NumberingVerdict& verdict, uint8_t replySequence);

// How a value-carrying answer arrived.
enum class AnswerCheck : uint8_t {
    Good,      // every frame whole, every CRC good
    NoFrame,   // the bytes do not start with a frame
    CutShort,  // a frame ends before its length says (`frame` is that frame)
    BadCrc,    // a whole frame whose CRC does not check (`frame` is the first one)
};

struct AnswerVerdict {
    AnswerCheck check = AnswerCheck::NoFrame;
    FrameView frame;  // the frame the verdict is about
};

// Checks the answer in the first `count` bytes: the frame at offset 0 and,
// with `allFrames` (a block answer, whose every frame carries values), every
// frame behind it. Bytes behind the answer that start no frame are passed
// over (idle bytes, noise before silence); in a block answer such bytes
// between frames, or a frame's worth (9 bytes or more) behind the last one,
// are a frame whose head was changed on the line: BadCrc.
AnswerVerdict CheckAnswer(const uint8_t* bytes, uint32_t count, bool allFrames);
