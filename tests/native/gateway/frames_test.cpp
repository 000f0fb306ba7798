// Frames, CRC and the sequence byte, byte for byte.
#include <gtest/gtest.h>

#include "gateway/frames.h"
#include "gateway/transaction.h"
#include "tests/native/gateway/gateway_fixture.h"

namespace {

using gwtest::Bytes;
using fake_comm::Hex;

Bytes Tx(const VpiChannel& channel) {
    return Bytes(channel.txBuffer, channel.txBuffer + channel.txCount);
}

TEST(CrcTable, FollowsThePolynomialExceptAtEntry73) {
    uint32_t differing = 0;
    for (uint32_t i = 0; i < 256; ++i) {
        if (CrcTable[i] != CrcRuleEntry(i)) {
            ++differing;
            EXPECT_EQ(i, 0x73u);
        }
    }
    EXPECT_EQ(differing, 1u);
    EXPECT_EQ(CrcTable[0x00], 0x0000);
    EXPECT_EQ(CrcTable[0x01], 0x1021);
    EXPECT_EQ(CrcTable[0x02], 0x2042);
    EXPECT_EQ(CrcTable[0x80], 0x9188);
    EXPECT_EQ(CrcTable[0xFF], 0x1EF0);
    EXPECT_EQ(CrcTable[0x73], 0x4CF4);
}

TEST(FrameCrc, KnownValues) {
    struct Case {
        Bytes bytes;
        uint16_t crc;
    } cases[] = {
        {{0x02, 0x33, 0x00}, 0x1342},  // the register runs 0002, 0233, 1342
        {{0x02, 0x11, 0x05, 0x70, 0x21, 0x00, 0x00, 0x00}, 0x74D1},
        {{0x02, 0x11, 0x01, 0x73}, 0x6501},
        {{0x02, 0x24, 0x00}, 0x0442},
        {{}, 0x0000},
        {{0xFF}, 0x00FF},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FrameCrc(c.bytes.data(), static_cast<uint8_t>(c.bytes.size())), c.crc) << Hex(c.bytes);
    }
    // The common table-driven form gives 0x3EA6 over 02 33 00: not ours.
    const uint8_t three[] = {0x02, 0x33, 0x00};
    EXPECT_NE(FrameCrc(three, 3), 0x3EA6);
    // Only `length` bytes count.
    const uint8_t more[] = {0x02, 0x33, 0x00, 0x99};
    EXPECT_EQ(FrameCrc(more, 3), 0x1342);
}

TEST(BuildRequestFrame, WorkedFrames) {
    struct Case {
        Bytes payload;
        Bytes frame;
    } cases[] = {
        {{0x73}, {0x55, 0xAA, 0x55, 0xAA, 0x02, 0x11, 0x01, 0x73, 0x01, 0x65}},
        {{0x70, 0x21, 0x00, 0x00, 0x00}, {0x55, 0xAA, 0x55, 0xAA, 0x02, 0x11, 0x05, 0x70, 0x21, 0x00, 0x00, 0x00, 0xD1, 0x74}},
        // Through entry 0x73: with the rule's 0x4EF4 this would end F4 5C.
        {{0x70, 0x4F, 0x00, 0x00, 0x00}, {0x55, 0xAA, 0x55, 0xAA, 0x02, 0x11, 0x05, 0x70, 0x4F, 0x00, 0x00, 0x00, 0xF4, 0x5E}},
        {{0x68, 0x0C, 0x00}, {0x55, 0xAA, 0x55, 0xAA, 0x02, 0x11, 0x03, 0x68, 0x0C, 0x00, 0xC6, 0x2D}},
        {{0x59, 0x0A, 0x00, 0x1C, 0x00, 0x16, 0x00, 0x07, 0x00, 0x0C, 0x00, 0x7E, 0x00},
         {0x55, 0xAA, 0x55, 0xAA, 0x02, 0x11, 0x0D, 0x59, 0x0A, 0x00, 0x1C, 0x00, 0x16, 0x00, 0x07, 0x00, 0x0C, 0x00,
          0x7E, 0x00, 0xD4, 0x9E}},
        {{}, {0x55, 0xAA, 0x55, 0xAA, 0x02, 0x11, 0x00, 0x42, 0x31}},  // 9 bytes, CRC over 3
    };
    for (const Case& c : cases) {
        auto channel = std::make_unique<VpiChannel>();
        memset(channel.get(), 0xCC, sizeof *channel);
        BuildRequestFrame(channel.get(), c.payload.data(), static_cast<uint8_t>(c.payload.size()));
        EXPECT_EQ(+channel->txCount, c.payload.size() + 9);
        EXPECT_EQ(Hex(Tx(*channel)), Hex(c.frame));
        EXPECT_EQ(channel->txBuffer[c.frame.size()], 0xCC) << "nothing written behind the frame";
    }
}

TEST(BuildRequestFrame, AnOversizedPayloadStaysInsideTxBuffer) {
    auto channel = std::make_unique<VpiChannel>();
    memset(channel.get(), 0xCC, sizeof *channel);
    uint8_t payload[255];
    memset(payload, 0x41, sizeof payload);
    BuildRequestFrame(channel.get(), payload, 255);
    EXPECT_EQ(+channel->txCount, 128);
    EXPECT_EQ(channel->txBuffer[6], 119);
    // rxBuffer follows txBuffer in the record: untouched.
    EXPECT_EQ(channel->rxBuffer[0], 0xCC);
}

TEST(SessionFrames, BlockAndSingleContents) {
    SessionFrames frames;
    memset(&frames, 0xCC, sizeof frames);
    SetBlockSessionFrames(&frames);
    EXPECT_EQ(Hex(Bytes(frames.zlz, frames.zlz + 9)), "55 AA 55 AA 02 24 00 42 04");
    EXPECT_EQ(Hex(Bytes(frames.eos, frames.eos + 10)), "55 AA 55 AA 02 35 01 06 92 01");
    EXPECT_EQ(Hex(Bytes(frames.goodBye, frames.goodBye + 9)), "55 AA 55 AA 02 46 00 42 66");
    SetSingleSessionFrames(&frames);
    EXPECT_EQ(Hex(Bytes(frames.zlz, frames.zlz + 9)), "55 AA 55 AA 02 24 00 42 04");
    EXPECT_EQ(Hex(Bytes(frames.eos, frames.eos + 10)), "55 AA 55 AA 02 22 01 06 44 63");
    EXPECT_EQ(Hex(Bytes(frames.goodBye, frames.goodBye + 9)), "55 AA 55 AA 02 33 00 42 13");
}

TEST(TakeReplySequence, TheLastHeaderInTheDataWins) {
    struct Case {
        const char* what;
        Bytes bytes;
        uint32_t count;
        bool found;
        uint8_t sequence;  // starting from 0x77
    } cases[] = {
        {"one frame", gwtest::Frame(2, 0x20, {0x70}), 10, true, 0x20},
        {"two frames: the later one", gwtest::Concat({gwtest::Frame(2, 0x20, {0x70}), gwtest::Frame(1, 0x31, {0x70, 1})}),
         21, true, 0x31},
        {"header behind garbage", gwtest::Concat({Bytes{1, 2, 3}, gwtest::Frame(2, 0x45, {})}), 12, true, 0x45},
        {"no header", {0x55, 0xAA, 0x55, 0x00, 0x55, 0xAA, 0x02, 0x20}, 8, false, 0x77},
        {"header beyond count", gwtest::Frame(2, 0x20, {0x70}), 3, false, 0x77},
        {"nothing received", {}, 0, false, 0x77},
        {"sync bytes at the end, sequence byte not received", {0x00, 0x55, 0xAA, 0x55, 0xAA, 0x02}, 6, true, 0x00},
        {"sequence byte is the last received", {0x55, 0xAA, 0x55, 0xAA, 0x02, 0x3A}, 6, true, 0x3A},
    };
    for (const Case& c : cases) {
        uint8_t sequence = 0x77;
        Bytes copy = c.bytes;
        copy.resize(copy.size() + 8, 0x99);  // stale bytes behind the received ones
        EXPECT_EQ(TakeReplySequence(copy.data(), c.count, &sequence), c.found) << c.what;
        EXPECT_EQ(sequence, c.sequence) << c.what;
    }
}

TEST(PatchFrameSequence, WorkedExamples) {
    const Bytes zlz = {0x55, 0xAA, 0x55, 0xAA, 0x02, 0x24, 0x00, 0x42, 0x04};
    const Bytes eos = {0x55, 0xAA, 0x55, 0xAA, 0x02, 0x35, 0x01, 0x06, 0x92, 0x01};
    const Bytes goodBye = {0x55, 0xAA, 0x55, 0xAA, 0x02, 0x46, 0x00, 0x42, 0x66};
    const Bytes reply = gwtest::Frame(2, 0x99, {0x01});
    struct Case {
        Bytes frame;
        uint8_t last;
        const char* expected;
    } cases[] = {
        {zlz, 0x30, "55 AA 55 AA 02 23 00 42 03"},
        {zlz, 0x2A, "55 AA 55 AA 02 20 00 42 00"},  // not BCD: 0
        {zlz, 0x20, "55 AA 55 AA 02 22 00 42 02"},
        {zlz, 0x10, "55 AA 55 AA 02 21 00 42 01"},
        {zlz, 0x05, "55 AA 55 AA 02 20 00 42 00"},
        {zlz, 0xA2, "55 AA 55 AA 02 20 00 42 00"},
        {eos, 0x20, "55 AA 55 AA 02 32 01 06 75 71"},
        {goodBye, 0x40, "55 AA 55 AA 02 44 00 42 64"},
    };
    for (const Case& c : cases) {
        Bytes frame = c.frame;
        EXPECT_TRUE(PatchFrameSequence(frame.data(), static_cast<uint32_t>(frame.size()), reply.data(),
                                       static_cast<uint32_t>(reply.size()), c.last));
        EXPECT_EQ(Hex(frame), c.expected) << "last 0x" << std::hex << int(c.last);
    }
}

TEST(PatchFrameSequence, AReplyWithoutSyncLeavesTheFrameAlone) {
    const Bytes zlz = {0x55, 0xAA, 0x55, 0xAA, 0x02, 0x24, 0x00, 0x42, 0x04};
    const Bytes replies[] = {
        {0x00, 0x55, 0xAA, 0x55, 0xAA, 0x02, 0x20},
        {0x55, 0xAA, 0x55, 0xAB},
        {0x55, 0xAA, 0x55},
    };
    for (const Bytes& reply : replies) {
        Bytes frame = zlz;
        EXPECT_FALSE(PatchFrameSequence(frame.data(), 9, reply.data(), static_cast<uint32_t>(reply.size()), 0x30));
        EXPECT_EQ(frame, zlz);
    }
    // Sync bytes that lie in the buffer but did not arrive do not count.
    const Bytes stale = {0x55, 0xAA, 0x55, 0xAA, 0x02, 0x30};
    Bytes frame = zlz;
    EXPECT_FALSE(PatchFrameSequence(frame.data(), 9, stale.data(), 3, 0x30));
    EXPECT_EQ(frame, zlz);
}

}  // namespace
