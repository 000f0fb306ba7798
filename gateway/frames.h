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

constexpr std::array<uint16_t, 256> MakeCrcTable() {
    std::array<uint16_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) table[i] = CrcRuleEntry(i);
    // The gateway's table holds 0x4CF4 here where the rule gives 0x4EF4. It is
    // part of the wire format: every frame whose CRC passes through this entry
    // carries the value the gateway's table yields.
    table[0x73] = 0x4CF4;
    return table;
}

inline constexpr std::array<uint16_t, 256> CrcTable = MakeCrcTable();
static_assert(CrcTable[1] == 0x1021 && CrcTable[2] == 0x2042 && CrcTable[255] == 0x1EF0);
static_assert(CrcRuleEntry(0x73) == 0x4EF4 && CrcTable[0x73] == 0x4CF4);

// The CRC of the first `length` bytes: crc = table[crc >> 8] ^ (crc << 8) ^ b,
// starting from 0, no final XOR, no reflection. The data byte enters the low
// byte after the shift (over 02 33 00 the register runs 0002, 0233, 1342).
constexpr uint16_t FrameCrc(const uint8_t* bytes, uint8_t length) {
    uint16_t crc = 0;
    for (uint32_t i = 0; i < length; ++i) {
        crc = static_cast<uint16_t>(CrcTable[crc >> 8] ^ static_cast<uint16_t>(crc << 8) ^ bytes[i]);
    }
    return crc;
}

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

// Finds the last frame header (55 AA 55 AA) that lies wholly within the
// `count` received bytes and takes its sequence byte into *lastReplySequence
// (0 when the sequence byte itself was not received) and returns true.
// Returns false and leaves *lastReplySequence alone when there is no header.
bool TakeReplySequence(const uint8_t* bytes, uint32_t count, uint8_t* lastReplySequence);

// Renews the low nibble of the frame's sequence byte from lastReplySequence
// (its tens digit read as BCD, 0 when it is not valid BCD) and the frame's CRC
// (crcLength bytes from offset 4, stored at crcOffset) and returns true.
// Returns false and leaves the frame as it was when the reply's first four
// received bytes are not the sync bytes.
bool PatchFrameSequence(uint8_t* frame, const uint8_t* reply, uint32_t replyCount, uint32_t crcOffset,
                        uint8_t crcLength, uint8_t lastReplySequence);

// True when the first `count` bytes start with the four sync bytes.
bool StartsWithSync(const uint8_t* bytes, uint32_t count);
