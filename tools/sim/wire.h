// The simulator's own view of the gateway line: the frame layout, the CRC-16
// with its table, and frame building. Shares nothing with the driver: the
// simulator checks every frame the driver sends against this code.
//
// Frame: 55 AA 55 AA, type, sequence, length n, n payload bytes, CRC low, CRC high.
// The CRC covers type, sequence, length and payload (n + 3 bytes).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sksim {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kSync[4] = {0x55, 0xAA, 0x55, 0xAA};
constexpr size_t kHeaderSize = 7;    // sync, type, sequence, length
constexpr size_t kFrameOverhead = 9; // header + CRC
constexpr char kAnnounceText[] = "SK GATEWAY";
constexpr size_t kAnnounceSize = 10;

// Frame types the gateway sends: 0x02 ends a reply (a one-frame reply, or the
// last frame of a long one); 0x01 says that more frames of the reply follow.
constexpr uint8_t kTypeLast = 0x02;
constexpr uint8_t kTypeMore = 0x01;

// Entry i of the line's CRC table. The table is the MSB-first table of the
// polynomial 0x1021, except entry 0x73, which the line uses as 0x4CF4.
uint16_t CrcTableEntry(uint8_t index);
// The line's CRC over `length` bytes: crc = table[crc >> 8] ^ (crc << 8) ^ b,
// starting at 0, no final XOR.
uint16_t LineCrc(const uint8_t* data, size_t length);

// A whole frame with its CRC.
Bytes BuildFrame(uint8_t type, uint8_t sequence, const Bytes& payload);
// The line's CRC never passes the last two bytes it covers through its table:
// the last one is XORed straight into the CRC's low byte, and the one before it
// ends up straight in the high byte. So bit `bit` (0 to 7) of the last payload
// byte flipped with the same bit of the CRC's low byte (pair 0), or of the
// second-last payload byte with the CRC's high byte (pair 1), leaves a frame
// whose CRC still checks. Flips one such pair; the frame must be whole, with
// at least two payload bytes.
void FlipUnseenPair(Bytes& frame, unsigned pair, unsigned bit);
// A sequence byte: high nibble our frame number, low nibble the peer's latest.
inline uint8_t SequenceByte(unsigned own, unsigned peer) {
    return static_cast<uint8_t>(((own & 0x0Fu) << 4) | (peer & 0x0Fu));
}

// Little-endian 16-bit helpers.
inline void PutWord(Bytes& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value & 0xFF));
    out.push_back(static_cast<uint8_t>(value >> 8));
}
inline uint16_t GetWord(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

// Fields of a complete frame (no checks beyond the size).
struct FrameView {
    uint8_t type = 0;
    uint8_t sequence = 0;
    uint8_t length = 0;
    const uint8_t* payload = nullptr;
    uint16_t crcCarried = 0;
    uint16_t crcComputed = 0;
    bool crcOk() const { return crcCarried == crcComputed; }
};
// Reads a complete frame (bytes.size() == length + 9, sync in place); false otherwise.
bool ViewFrame(const Bytes& bytes, FrameView* view);

// "55 AA 55 AA 02 ..." (upper-case hex, single spaces).
std::string Hex(const uint8_t* data, size_t length);
inline std::string Hex(const Bytes& bytes) {
    return Hex(bytes.data(), bytes.size());
}

}  // namespace sksim
