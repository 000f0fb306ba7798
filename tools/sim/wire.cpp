#include "tools/sim/wire.h"

#include <array>

namespace sksim {

namespace {

constexpr std::array<uint16_t, 256> MakeTable() {
    std::array<uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned reg = i << 8;
        for (int bit = 0; bit < 8; ++bit) {
            reg = (reg & 0x8000u) != 0 ? ((reg << 1) ^ 0x1021u) : (reg << 1);
            reg &= 0xFFFFu;
        }
        table[i] = static_cast<uint16_t>(reg);
    }
    // The line's table carries this one entry with bit 9 clear.
    table[0x73] = 0x4CF4;
    return table;
}

constexpr std::array<uint16_t, 256> kTable = MakeTable();
static_assert(kTable[1] == 0x1021 && kTable[2] == 0x2042 && kTable[255] == 0x1EF0);
static_assert(kTable[0x73] == 0x4CF4 && kTable[0x72] == 0x5ED5 && kTable[0x74] == 0x3E13);

}  // namespace

uint16_t CrcTableEntry(uint8_t index) {
    return kTable[index];
}

uint16_t LineCrc(const uint8_t* data, size_t length) {
    unsigned crc = 0;
    for (size_t i = 0; i < length; ++i) {
        crc = kTable[(crc >> 8) & 0xFFu] ^ ((crc << 8) & 0xFFFFu) ^ data[i];
    }
    return static_cast<uint16_t>(crc);
}

Bytes BuildFrame(uint8_t type, uint8_t sequence, const Bytes& payload) {
    Bytes frame(kSync, kSync + 4);
    frame.push_back(type);
    frame.push_back(sequence);
    frame.push_back(static_cast<uint8_t>(payload.size()));
    frame.insert(frame.end(), payload.begin(), payload.end());
    PutWord(frame, LineCrc(frame.data() + 4, payload.size() + 3));
    return frame;
}

void FlipUnseenPair(Bytes& frame, unsigned pair, unsigned bit) {
    const uint8_t mask = static_cast<uint8_t>(1u << (bit & 7u));
    const size_t crcLow = frame.size() - 2;
    const size_t crcByte = crcLow + (pair & 1u);
    const size_t dataByte = crcLow - 1 - (pair & 1u);
    frame[dataByte] = static_cast<uint8_t>(frame[dataByte] ^ mask);
    frame[crcByte] = static_cast<uint8_t>(frame[crcByte] ^ mask);
}

bool ViewFrame(const Bytes& bytes, FrameView* view) {
    if (bytes.size() < kFrameOverhead || bytes[0] != kSync[0] || bytes[1] != kSync[1] || bytes[2] != kSync[2] ||
        bytes[3] != kSync[3]) {
        return false;
    }
    const size_t n = bytes[6];
    if (bytes.size() != n + kFrameOverhead) return false;
    view->type = bytes[4];
    view->sequence = bytes[5];
    view->length = bytes[6];
    view->payload = bytes.data() + kHeaderSize;
    view->crcCarried = GetWord(bytes.data() + kHeaderSize + n);
    view->crcComputed = LineCrc(bytes.data() + 4, n + 3);
    return true;
}

std::string Hex(const uint8_t* data, size_t length) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(length * 3);
    for (size_t i = 0; i < length; ++i) {
        if (i != 0) text += ' ';
        text += kDigits[data[i] >> 4];
        text += kDigits[data[i] & 0x0F];
    }
    return text;
}

}  // namespace sksim
