// The host records at the byte level: a host that allocates the stated sizes
// and fills the stated offsets sees the same bytes change.
#include <gtest/gtest.h>

#include <cstring>

#include "host/records.h"

TEST(Records, ChannelFieldsStayInsideTheHostsAllocation) {
    // A record of exactly the stated size (4910 bytes for the host) is enough: write every field through the
    // struct into a buffer with guard bytes behind it.
    unsigned char raw[sizeof(VpiChannel) + 16];
    memset(raw, 0xCD, sizeof raw);
    auto* channel = reinterpret_cast<VpiChannel*>(raw);
    memset(channel->intFileName, 0, sizeof channel->intFileName);
    channel->rxCount = 0xFFFF;
    for (size_t i = sizeof(VpiChannel); i < sizeof raw; ++i) EXPECT_EQ(raw[i], 0xCD) << i;
}

TEST(Records, CountsAreSixteenBitFields) {
    // Storing txCount must not change rxCount that follows it.
    VpiChannel channel;
    memset(&channel, 0, sizeof channel);
    channel.rxCount = 0x1234;
    channel.txCount = static_cast<uint16_t>(0x00012345u);
    EXPECT_EQ(channel.rxCount, 0x1234);
    const auto* raw = reinterpret_cast<const unsigned char*>(&channel) + offsetof(VpiChannel, txCount);
    EXPECT_EQ(raw[0], 0x45);
    EXPECT_EQ(raw[1], 0x23);
    EXPECT_EQ(raw[2], 0x34);
}

TEST(Records, PointRecordWordsAreLittleEndianAtTheirOffsets) {
    unsigned char raw[sizeof(PointRecord)] = {};
    const size_t argB = offsetof(PointRecord, argB);
    raw[argB] = 0x0C;      // argB low byte: first parameter 12
    raw[argB + 2] = 0x02;  // argB high half: second parameter 2
    raw[offsetof(PointRecord, argC)] = 0x0B;
    PointRecord point;
    memcpy(&point, raw, sizeof point);
    EXPECT_EQ(point.argB, 12 + 65536 * 2);
    EXPECT_EQ(point.argC, 11);
}

TEST(Records, NoPortIsAllBitsSet) {
    VpiChannel channel;
    channel.port = NoPort();
    unsigned char raw[sizeof(Handle)];
    memcpy(raw, reinterpret_cast<unsigned char*>(&channel) + offsetof(VpiChannel, port), sizeof raw);
    for (unsigned char b : raw) EXPECT_EQ(b, 0xFF);
    EXPECT_TRUE(IsNoPort(channel.port));
}
