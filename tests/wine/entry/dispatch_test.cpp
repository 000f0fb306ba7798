// VpiMain at the DLL boundary, under Wine: the real SK5820.dll, the stand-in
// host log.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/wine/support/driver.h"

namespace {

class Dispatch : public ::testing::Test {
protected:
    void SetUp() override { KestraClear(); }
};

TEST_F(Dispatch, CodesOutsideTheTableAreRefusedWithMessageOne) {
    for (int32_t code : {17, -1, 100, INT32_MIN, INT32_MAX}) {
        KestraClear();
        unsigned char params[64] = {};
        VpiChannel* channel = nullptr;
        EXPECT_EQ(CallVpi(code, channel, params), 2) << code;
        EXPECT_EQ(LogLines(), std::vector<std::string>{"Exited VpiMain() #1"}) << code;
    }
}

TEST_F(Dispatch, EmptySlotsAreRefusedWithMessageTwo) {
    for (int32_t code : {0, 8, 9, 16}) {
        KestraClear();
        unsigned char params[64] = {};
        EXPECT_EQ(CallVpi(code, nullptr, params), 2) << code;
        EXPECT_EQ(LogLines(), std::vector<std::string>{"Exited VpiMain() #2"}) << code;
    }
}

TEST_F(Dispatch, CodeTenAnswersOneAndReadsNothing) {
    // Pointers that would fault if they were followed.
    auto* bad = reinterpret_cast<VpiChannel*>(static_cast<uintptr_t>(0x10));
    EXPECT_EQ(CallVpi(10, bad, reinterpret_cast<void*>(static_cast<uintptr_t>(0x20))), 1);
    EXPECT_EQ(CallVpi(10, nullptr, nullptr), 1);
    EXPECT_TRUE(LogLines().empty());
}

TEST_F(Dispatch, DescriptionThroughVpiMainIsByteExactAndRepeatable) {
    unsigned char first[64], second[64];
    memset(first, 0x5A, sizeof first);
    memset(second, 0x5A, sizeof second);
    EXPECT_EQ(CallVpi(14, nullptr, first), 0);
    EXPECT_EQ(CallVpi(14, nullptr, second), 0);
    EXPECT_EQ(memcmp(first, second, sizeof first), 0);
    for (size_t i = 32; i < sizeof first; ++i) EXPECT_EQ(first[i], 0x5A) << "byte " << i;

    DriverInfo info;
    memcpy(&info, first, sizeof info);
    const unsigned char head[] = {70, 0, 0, 0};
    EXPECT_EQ(memcmp(first, head, 4), 0);
    EXPECT_STREQ(info.name, "5820 IntelliKnight fire system");
    EXPECT_EQ(strlen(info.banner), 204u);
    const auto* banner = reinterpret_cast<const unsigned char*>(info.banner);
    EXPECT_EQ(banner[2], 0xDA);
    EXPECT_EQ(banner[69], 0xB3);
    EXPECT_EQ(banner[128], 0xB3);
    EXPECT_EQ(std::string(info.banner + 71, 56), "5820 IntelliKnight fire system, 32bits driver Installed.");
    EXPECT_EQ(banner[201], 0x0D);
    EXPECT_EQ(banner[202], 0x0A);
    EXPECT_EQ(banner[203], 0x24);
    const unsigned char tail[] = {0x2E, 0x13, 0, 0, 4, 0, 0, 0, 0x00, 0x4B, 8, 0, 0, 0, 0, 0, 1, 0, 0, 0};
    EXPECT_EQ(memcmp(first + 12, tail, sizeof tail), 0);
    EXPECT_TRUE(LogLines().empty());
}

TEST_F(Dispatch, DescriptionWorksWithAChannelThatWasNeverStarted) {
    VpiChannel channel;
    memset(&channel, 0xCD, sizeof channel);
    unsigned char info[32];
    EXPECT_EQ(CallVpi(14, &channel, info), 0);
}

TEST_F(Dispatch, NullPointersANeededByTheHandlerAreRefusedWithMessageThree) {
    EXPECT_EQ(CallVpi(14, nullptr, nullptr), 2);
    EXPECT_EQ(LogLines(), std::vector<std::string>{"Exited VpiMain() #3"});
    KestraClear();
    EXPECT_EQ(Vpi()(nullptr), 2);
    EXPECT_EQ(LogLines(), std::vector<std::string>{"Exited VpiMain() #3"});
}

}  // namespace
