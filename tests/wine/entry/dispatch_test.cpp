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
    for (size_t i = sizeof(DriverInfo); i < sizeof first; ++i) EXPECT_EQ(first[i], 0x5A) << "byte " << i;

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
    // channelSize 4910 (the twin's: 4934), class 4, 19200 8N1, flag 1.
    const unsigned char tail[] = {0x2E, 0x13, 0, 0, 4, 0, 0, 0, 0x00, 0x4B, 8, 0, 0, 0, 0, 0, 1, 0, 0, 0};
    unsigned char expected[sizeof tail];
    memcpy(expected, tail, sizeof tail);
    const auto size = static_cast<uint16_t>(AtWidth(4910, 4934));
    expected[0] = static_cast<unsigned char>(size & 0xFF);
    expected[1] = static_cast<unsigned char>(size >> 8);
    EXPECT_EQ(memcmp(first + offsetof(DriverInfo, channelSize), expected, sizeof expected), 0);
    EXPECT_TRUE(LogLines().empty());
}

TEST_F(Dispatch, DescriptionWorksWithAChannelThatWasNeverStarted) {
    VpiChannel channel;
    memset(&channel, 0xCD, sizeof channel);
    unsigned char info[32];
    EXPECT_EQ(CallVpi(14, &channel, info), 0);
}

TEST_F(Dispatch, NullPointersTheHandlerNeedsAreRefusedWithMessageThree) {
    EXPECT_EQ(CallVpi(14, nullptr, nullptr), 2);
    EXPECT_EQ(LogLines(), std::vector<std::string>{"Exited VpiMain() #3"});
    KestraClear();
    EXPECT_EQ(Vpi()(nullptr), 2);
    EXPECT_EQ(LogLines(), std::vector<std::string>{"Exited VpiMain() #3"});
}

TEST_F(Dispatch, EveryHandlerIsGuardedAgainstTheNullPointersItNeeds) {
    // Which pointer each code's handler follows.
    struct Case {
        int32_t code;
        bool channel;
        bool params;
    };
    const Case cases[] = {{1, true, true},  {2, true, false},  {3, true, true},   {4, true, true},
                          {5, true, true},  {6, true, true},   {7, true, true},   {11, true, false},
                          {12, true, false}, {13, true, false}, {14, false, true}, {15, true, true}};
    VpiChannel channel;
    memset(&channel, 0, sizeof channel);
    unsigned char params[64] = {};
    for (const Case& c : cases) {
        if (c.channel) {
            KestraClear();
            EXPECT_EQ(CallVpi(c.code, nullptr, params), 2) << c.code;
            EXPECT_EQ(LogLines(), std::vector<std::string>{"Exited VpiMain() #3"}) << c.code;
        }
        if (c.params) {
            KestraClear();
            EXPECT_EQ(CallVpi(c.code, &channel, nullptr), 2) << c.code;
            EXPECT_EQ(LogLines(), std::vector<std::string>{"Exited VpiMain() #3"}) << c.code;
        }
    }
}

TEST_F(Dispatch, HandlerStatusesPassThroughUnchanged) {
    VpiChannel channel;
    memset(&channel, 0, sizeof channel);
    strcpy(channel.name, "VpiSK01");
    // 0: closing a channel that has no port open.
    EXPECT_EQ(CallVpi(12, &channel, nullptr), 0);
    // 1: a parse the parser refuses.
    GateRecord gate{};
    gate.address = "16_";
    EXPECT_EQ(CallVpi(3, &channel, &gate), 1);
    // 2: opening a port that does not exist.
    strcpy(channel.portDesc.portName, "COM250");
    channel.portDesc.settings = PortSettings{19200, 8, 0, 0};
    EXPECT_EQ(CallVpi(13, &channel, nullptr), 2);
    EXPECT_EQ(channel.port, nullptr);
}

}  // namespace
