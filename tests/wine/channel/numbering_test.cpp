// Instance numbers as starts without ends hand them out, up to a full table.
// The channels of this program stay live until it exits.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "tests/wine/channel/channel_support.h"

namespace {

constexpr int kCapacity = 1024;

TEST(ChannelNumbering, StartsWithoutEndsCountUpToAFullTable) {
    KestraClear();
    // Disabled starts: named and counted at once, no thread to wait for.
    std::vector<std::unique_ptr<HostRecord>> records;
    for (int i = 1; i <= kCapacity; ++i) {
        records.push_back(std::make_unique<HostRecord>());
        ASSERT_EQ(Start(*records.back(), MakeStart("NULLDEV", 0), i), 0) << i;
    }
    struct Case {
        int number;
        const char* name;
    };
    const Case cases[] = {{1, "VpiSK01"},  {2, "VpiSK02"},   {9, "VpiSK09"},    {10, "VpiSK10"},
                          {11, "VpiSK11"}, {99, "VpiSK99"}, {100, "VpiSK100"}, {1024, "VpiSK1024"}};
    for (const Case& c : cases) {
        HostRecord& record = *records[static_cast<size_t>(c.number - 1)];
        EXPECT_STREQ(record->name, c.name);
        EXPECT_STREQ(record->VpiClientName, c.name);
        EXPECT_EQ(record->instanceNumber, c.number);
    }
    EXPECT_EQ(LogLines()[99], "VpiSK100: ColdStart() entered, Version: 01.00");

    // Every number held: refused, and the record is not touched.
    KestraClear();
    HostRecord extra;
    const HostRecord untouched = extra;
    EXPECT_EQ(Start(extra, MakeStart("NULLDEV", 1), 5), 2);
    EXPECT_EQ(LogLines(), std::vector<std::string>{"ColdStart() fail, all 1024 instance numbers in use"});
    EXPECT_EQ(memcmp(extra.bytes, untouched.bytes, sizeof extra.bytes), 0);

    // An end frees its number for the next start, which then runs in full.
    KestraClear();
    EXPECT_EQ(End(*records[499]), 0);
    EXPECT_EQ(LogLines().back(), "VpiSK500: No. of Instances left: 1023");
    KestraClear();
    EXPECT_EQ(Start(extra, MakeStart("NULLDEV", 1), 5), 0);
    EXPECT_STREQ(extra->name, "VpiSK500");
    EXPECT_STREQ(extra->commBusyName, "COMMBUSYVpiSK500");
    EXPECT_EQ(LogLines().back(), "VpiSK500: ColdStart() end OK");
}

}  // namespace
