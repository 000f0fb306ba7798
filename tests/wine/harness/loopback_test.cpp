// The test machinery itself: a socat pty pair mapped to two COM ports in the
// prefix carries bytes both ways.
#include <gtest/gtest.h>

#include "tests/wine/support/driver.h"

namespace {

HANDLE OpenRaw(const std::string& com) {
    const std::string path = "\\\\.\\" + com;
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
}

void SetReadTimeout(HANDLE h, DWORD ms) {
    COMMTIMEOUTS t{};
    t.ReadTotalTimeoutConstant = ms;
    ASSERT_TRUE(SetCommTimeouts(h, &t));
}

TEST(PairLoopback, BytesCrossThePairBothWays) {
    ASSERT_FALSE(DriverCom(0).empty()) << "run through tests/wine/run.sh --pairs 1";
    HANDLE a = OpenRaw(DriverCom(0));
    HANDLE b = OpenRaw(PeerCom(0));
    ASSERT_NE(a, INVALID_HANDLE_VALUE) << DriverCom(0) << " error " << GetLastError();
    ASSERT_NE(b, INVALID_HANDLE_VALUE) << PeerCom(0) << " error " << GetLastError();
    SetReadTimeout(a, 1000);
    SetReadTimeout(b, 1000);

    const unsigned char out[] = {0x55, 0xAA, 0x55, 0xAA, 0x00, 0xFF, 0x0D, 0x0A, 0x11, 0x13};
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(a, out, sizeof out, &n, nullptr));
    EXPECT_EQ(n, sizeof out);
    unsigned char in[32] = {};
    DWORD got = 0, total = 0;
    while (total < sizeof out && ReadFile(b, in + total, sizeof in - total, &got, nullptr) && got > 0) total += got;
    ASSERT_EQ(total, sizeof out);
    EXPECT_EQ(memcmp(in, out, sizeof out), 0);

    ASSERT_TRUE(WriteFile(b, "SK GATEWAY", 10, &n, nullptr));
    total = 0;
    while (total < 10 && ReadFile(a, in + total, sizeof in - total, &got, nullptr) && got > 0) total += got;
    EXPECT_EQ(std::string(reinterpret_cast<char*>(in), total), "SK GATEWAY");
    CloseHandle(a);
    CloseHandle(b);
}

}  // namespace
