// The port requests through the real SK5820.dll: open (13), close (12) and
// reopen (15) on pty pairs, as the host calls them.
#include <cstring>

#include "serial/comm.h"
#include "tests/wine/serial/wine_serial.h"

namespace {

constexpr int32_t kClose = 12, kOpen = 13, kReopen = 15;

class Requests : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(DriverCom(0).empty()) << "run through tests/wine/run.sh --pairs 2";
        memset(&channel, 0, sizeof channel);
        channel.readTimeout = 100;
        Describe(DriverCom(0));
        KestraClear();
    }
    void TearDown() override {
        CallVpi(kClose, &channel, nullptr);
    }

    void Describe(const std::string& name, PortSettings settings = {19200, 8, 0, 0}) {
        memset(channel.portDesc.portName, 0, sizeof channel.portDesc.portName);
        memcpy(channel.portDesc.portName, name.data(), std::min<size_t>(name.size(), 12));
        channel.portDesc.settings = settings;
        channel.portDesc.lineFlags = 0x0101;
    }

    static ReopenParams Reopen(const std::string& name, int32_t readTimeout, PortSettings settings) {
        ReopenParams p;
        memset(&p, 0, sizeof p);
        memcpy(p.portName, name.data(), std::min<size_t>(name.size(), 12));
        p.readTimeout = readTimeout;
        p.settings = settings;
        return p;
    }

    bool IsOpenPort(Handle h) { return h != nullptr && h != NoPort() && h != INVALID_HANDLE_VALUE; }

    // The old handle is gone: closed, or its value handed out again to the
    // new open (which needs the old one closed first).
    static void ExpectReleased(Handle old, Handle now) {
        DWORD flags = 0;
        EXPECT_TRUE(old == now || !GetHandleInformation(old, &flags)) << "the old port handle is still open";
    }

    VpiChannel channel;
};

TEST_F(Requests, OpenThenCloseThenCloseAgain) {
    channel.enabled = 0;
    ASSERT_EQ(CallVpi(kOpen, &channel, nullptr), 0);
    EXPECT_TRUE(IsOpenPort(channel.port));
    EXPECT_EQ(channel.enabled, 1);
    // The open reads the port's settings and says which are in effect.
    ASSERT_EQ(LogLines().size(), 1u);
    EXPECT_NE(LogLines()[0].find(" 19200 8N1, answers end by frame, block answers by window, CRC checked, changes confirmed"),
              std::string::npos);
    DWORD flags = 0;
    EXPECT_TRUE(GetHandleInformation(channel.port, &flags));
    // The port works: what the far end sends arrives.
    HANDLE peer = OpenPeer(0);
    ASSERT_NE(peer, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(PeerWrite(peer, "hello", 5));
    char buffer[5];
    uint32_t got = 0;
    EXPECT_EQ(CommRead(channel.port, buffer, 5, &got), CommResult::Ok);
    EXPECT_EQ(std::string(buffer, got), "hello");
    CloseHandle(peer);

    const Handle port = channel.port;
    EXPECT_EQ(CallVpi(kClose, &channel, nullptr), 0);
    EXPECT_EQ(channel.port, nullptr);
    EXPECT_FALSE(GetHandleInformation(port, &flags)) << "the port handle is closed";
    ExpectOnlyLineControlMessages(LogLines());

    KestraClear();
    EXPECT_EQ(CallVpi(kClose, &channel, nullptr), 0);
    EXPECT_EQ(channel.port, nullptr);
    EXPECT_TRUE(LogLines().empty());
}

TEST_F(Requests, OpenUsesTheDescriptorsSettings) {
    Describe(DriverCom(0), {9600, 8, 2, 0});
    ASSERT_EQ(CallVpi(kOpen, &channel, nullptr), 0);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(channel.port, &dcb));
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
    COMMTIMEOUTS t{};
    ASSERT_TRUE(GetCommTimeouts(channel.port, &t));
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 1000u) << "the open does not apply the channel's read time-out";
}

TEST_F(Requests, NulldevInAnyCaseIsTheNullPort) {
    for (const char* name : {"NULLDEV", "nulldev", "NullDev"}) {
        KestraClear();
        Describe(name);
        channel.enabled = 0;
        channel.port = nullptr;
        EXPECT_EQ(CallVpi(kOpen, &channel, nullptr), 0) << name;
        EXPECT_EQ(channel.port, NoPort()) << name;
        EXPECT_EQ(channel.enabled, 1) << name;
        EXPECT_EQ(CallVpi(kClose, &channel, nullptr), 0) << name;
        EXPECT_EQ(channel.port, nullptr) << name;
        EXPECT_EQ(CallVpi(kClose, &channel, nullptr), 0) << name;
        EXPECT_EQ(channel.port, nullptr) << name;
        EXPECT_TRUE(LogLines().empty()) << name;
    }
}

TEST_F(Requests, APortThatCannotBeOpenedChangesNothing) {
    std::string unterminated = "COM" + std::string(9, '1');
    strcpy(channel.name, "VpiSK07");
    for (const std::string& name : {UnusedCom(), std::string("NOSUCHPORT1"), unterminated}) {
        KestraClear();
        Describe(name);
        channel.enabled = 0;
        channel.port = nullptr;
        unsigned char before[sizeof(VpiChannel)];
        memcpy(before, &channel, sizeof channel);
        EXPECT_EQ(CallVpi(kOpen, &channel, nullptr), 2) << name;
        EXPECT_EQ(memcmp(before, &channel, sizeof channel), 0) << name;
        // The name as far as its 12-byte field, and the Windows reason.
        const std::string reason = name == unterminated ? ": invalid name: not a port name (error 123)"
                                                        : ": file not found: no such port (error 2)";
        EXPECT_EQ(LogLines(),
                  std::vector<std::string>{"VpiSK07: OpenPort() fail, cannot open " + name.substr(0, 12) + reason})
            << name;
    }
}

TEST_F(Requests, ReopenMovesToAnotherPortWithNewSettings) {
    ASSERT_EQ(CallVpi(kOpen, &channel, nullptr), 0);
    const Handle old = channel.port;
    ReopenParams p = Reopen(DriverCom(1), 0, {4800, 8, 0, 0});
    ASSERT_EQ(CallVpi(kReopen, &channel, &p), 0);
    EXPECT_TRUE(IsOpenPort(channel.port));
    ExpectReleased(old, channel.port);
    EXPECT_STREQ(channel.portDesc.portName, DriverCom(1).c_str());
    EXPECT_EQ(channel.portDesc.settings.baudRate, 4800);
    EXPECT_EQ(channel.readTimeout, 100) << "0 keeps the read time-out";
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(channel.port, &dcb));
    EXPECT_EQ(dcb.BaudRate, 4800u);

    // It is the second line now.
    HANDLE peer = OpenPeer(1);
    ASSERT_NE(peer, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(PeerWrite(peer, "abc", 3));
    char buffer[3];
    uint32_t got = 0;
    EXPECT_EQ(CommRead(channel.port, buffer, 3, &got), CommResult::Ok);
    EXPECT_EQ(std::string(buffer, got), "abc");
    CloseHandle(peer);
    ExpectOnlyLineControlMessages(LogLines());
}

TEST_F(Requests, ReopenOfTheSamePortReleasesTheOldHandle) {
    ASSERT_EQ(CallVpi(kOpen, &channel, nullptr), 0);
    const Handle old = channel.port;
    ReopenParams p = Reopen(DriverCom(0), 250, {2400, 8, 0, 0});
    ASSERT_EQ(CallVpi(kReopen, &channel, &p), 0);
    EXPECT_TRUE(IsOpenPort(channel.port));
    ExpectReleased(old, channel.port);
    EXPECT_EQ(channel.readTimeout, 250);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(channel.port, &dcb));
    EXPECT_EQ(dcb.BaudRate, 2400u) << "the new settings reached the port";
    COMMTIMEOUTS t{};
    ASSERT_TRUE(GetCommTimeouts(channel.port, &t));
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 1000u) << "the request does not change the port's read time-out";
}

TEST_F(Requests, ReopenFromAndToTheNullPort) {
    Describe("NULLDEV");
    ASSERT_EQ(CallVpi(kOpen, &channel, nullptr), 0);
    ASSERT_EQ(channel.port, NoPort());
    ReopenParams toLine = Reopen(Lower(DriverCom(0)), 0, {19200, 8, 0, 0});
    ASSERT_EQ(CallVpi(kReopen, &channel, &toLine), 0);
    EXPECT_TRUE(IsOpenPort(channel.port));
    const Handle line = channel.port;

    ReopenParams toNull = Reopen("nullDEV", 0, {19200, 8, 0, 0});
    ASSERT_EQ(CallVpi(kReopen, &channel, &toNull), 0);
    EXPECT_EQ(channel.port, NoPort());
    DWORD flags = 0;
    EXPECT_FALSE(GetHandleInformation(line, &flags)) << "the line was closed";
}

TEST_F(Requests, AFailedReopenLeavesTheChannelWithoutAPort) {
    ASSERT_EQ(CallVpi(kOpen, &channel, nullptr), 0);
    const Handle old = channel.port;
    for (const std::string& name : {UnusedCom(), std::string("COM") + std::string(9, '2')}) {
        ReopenParams p = Reopen(name, 0, {19200, 8, 0, 0});
        EXPECT_EQ(CallVpi(kReopen, &channel, &p), 2) << name;
        EXPECT_EQ(channel.port, nullptr) << name;
        EXPECT_EQ(memcmp(channel.portDesc.portName, p.portName, 12), 0) << name;
        EXPECT_EQ(channel.enabled, 1) << name;
    }
    DWORD flags = 0;
    EXPECT_FALSE(GetHandleInformation(old, &flags)) << "the old port was closed";
    // The host can open again once the descriptor names a port that exists.
    ReopenParams back = Reopen(DriverCom(0), 0, {19200, 8, 0, 0});
    EXPECT_EQ(CallVpi(kReopen, &channel, &back), 0);
    EXPECT_TRUE(IsOpenPort(channel.port));
}

TEST_F(Requests, RequestsWithoutTheirRecordsAreRefused) {
    EXPECT_EQ(CallVpi(kOpen, nullptr, nullptr), 2);
    EXPECT_EQ(CallVpi(kClose, nullptr, nullptr), 2);
    EXPECT_EQ(CallVpi(kReopen, &channel, nullptr), 2);
    EXPECT_EQ(LogLines(), std::vector<std::string>(3, "Exited VpiMain() #3"));
    EXPECT_EQ(channel.port, nullptr);
}

}  // namespace
