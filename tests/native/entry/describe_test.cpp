// The description record, byte for byte.
#include <gtest/gtest.h>

#include <cstring>

#include "entry/vpi.h"

namespace {

std::string ExpectedBanner() {
    const std::string hyphens(58, '-');
    std::string b = "\r\n";
    b += "\xDA" + hyphens + "\xBF     \r\n";
    b += "\xB3 5820 IntelliKnight fire system, 32bits driver Installed. \xB3     \r\n";
    b += "\xC0" + hyphens + "\xD9     \r\n";
    b += "$";
    return b;
}

}  // namespace

TEST(Describe, FillsTheRecordAndNothingBeyondIt) {
    unsigned char raw[64];
    memset(raw, 0xA5, sizeof raw);
    VpiRequest request{};
    request.function = 14;
    request.params = raw;
    ASSERT_EQ(DescribeDriver(&request), 0);

    DriverInfo info;
    memcpy(&info, raw, sizeof info);
    EXPECT_EQ(info.infoCode, 70);
    EXPECT_STREQ(info.name, "5820 IntelliKnight fire system");
    EXPECT_EQ(info.channelSize, static_cast<int32_t>(AtWidth(4910, 4934)));
    EXPECT_EQ(info.infoClass, 4);
    EXPECT_EQ(info.defaultPort.baudRate, 19200);
    EXPECT_EQ(info.defaultPort.dataBits, 8);
    EXPECT_EQ(info.defaultPort.stopBits, 0);
    EXPECT_EQ(info.defaultPort.parity, 0);
    EXPECT_EQ(info.infoFlag, 1);
    EXPECT_EQ(std::string(info.banner), ExpectedBanner());
    EXPECT_EQ(strlen(info.banner), 204u);
    for (size_t i = sizeof(DriverInfo); i < sizeof raw; ++i) EXPECT_EQ(raw[i], 0xA5) << "byte " << i;
}

TEST(Describe, BannerIsCodePage437NotUtf8) {
    const auto* b = reinterpret_cast<const unsigned char*>(kDriverBanner);
    EXPECT_EQ(b[2], 0xDA);
    EXPECT_EQ(b[61], 0xBF);
    const size_t n = strlen(kDriverBanner);
    EXPECT_EQ(b[n - 3], 0x0D);
    EXPECT_EQ(b[n - 2], 0x0A);
    EXPECT_EQ(b[n - 1], 0x24);
    for (size_t i = 0; i < n; ++i) EXPECT_NE(b[i], 0xE2) << "UTF-8 lead byte at " << i;
}
