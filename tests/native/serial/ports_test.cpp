// The port requests (codes 12, 13, 15) and the line-signal operations,
// against the recording fake: which calls they make, in which order, what
// they leave in the channel record and what the host log receives.
#include "tests/native/serial/serial_fixture.h"

namespace {

using Names = std::vector<std::string>;
using Lines = std::vector<std::string>;

class Ports : public SerialTest {
protected:
    void SetUp() override {
        SerialTest::SetUp();
        memset(&channel, 0xA5, sizeof channel);  // the host's allocation, not cleared
        channel.readTimeout = 100;
        channel.enabled = 0;
        channel.port = nullptr;
        strcpy(channel.name, "VpiSK01");
        Describe("COM2", Settings(19200, 8, 0, 0), 0x0101);
        request = VpiRequest{};
        request.channel = &channel;
    }

    void Describe(const char* name, PortSettings settings, uint16_t flags) {
        memset(channel.portDesc.portName, 0, sizeof channel.portDesc.portName);
        memcpy(channel.portDesc.portName, name, strlen(name));
        channel.portDesc.settings = settings;
        channel.portDesc.lineFlags = flags;
    }

    static ReopenParams Reopen(const char* name, int32_t readTimeout, PortSettings settings) {
        ReopenParams p;
        memset(&p, 0, sizeof p);
        memcpy(p.portName, name, strlen(name));
        p.readTimeout = readTimeout;
        p.settings = settings;
        return p;
    }

    static Names EscapeFunctions() {
        Names out;
        for (const fw::Call& call : fw::CallsOf("EscapeCommFunction")) {
            switch (call.args[0]) {
                case SETRTS: out.push_back("SETRTS"); break;
                case CLRRTS: out.push_back("CLRRTS"); break;
                case SETDTR: out.push_back("SETDTR"); break;
                case CLRDTR: out.push_back("CLRDTR"); break;
                default: out.push_back("?"); break;
            }
        }
        return out;
    }

    // A port the driver opened for this record (code 13), the calls and
    // log lines of the open forgotten: only such a port is ever closed.
    Handle OwnedPort() {
        EXPECT_EQ(OpenPort(&request), 0);
        fw::ClearCalls();
        KestraClear();
        return channel.port;
    }

    VpiChannel channel;
    VpiRequest request;
};

const Names kOpenCalls = {"CreateFileA", "GetCommState", "SetCommTimeouts", "SetCommState", "SetupComm"};

// --------------------------------------------------------- OpenPortDesc

TEST_F(Ports, NulldevInAnyCaseIsTheNullPort) {
    for (const char* name : {"NULLDEV", "nulldev", "NullDev", "nULLdEV"}) {
        fw::Reset();
        PortDescriptor d{};
        memcpy(d.portName, name, 7);
        memcpy(d.portName + 8, "XYZ", 3);  // bytes after the terminator do not count
        EXPECT_EQ(OpenPortDesc(&d), NoPort()) << name;
        EXPECT_TRUE(fw::Calls().empty()) << name;
    }
}

TEST_F(Ports, OtherNamesAreOpened) {
    for (const char* name : {"NULLDEV1", "NULLDE", "NUL", "COM2", "NULLDEVNULL"}) {
        fw::Reset();
        PortDescriptor d{};
        memcpy(d.portName, name, strlen(name));
        d.settings = Settings(19200, 8, 0, 0);
        const Handle port = OpenPortDesc(&d);
        ASSERT_EQ(fw::CallsOf("CreateFileA").size(), 1u) << name;
        EXPECT_EQ(port, fw::CallsOf("CreateFileA")[0].handle) << name;
        EXPECT_NE(port, nullptr) << name;
    }
}

TEST_F(Ports, DescriptorSettingsAndFlagsReachThePort) {
    PortDescriptor d{};
    memcpy(d.portName, "COM7", 4);
    d.settings = Settings(4800, 7, 2, 2);
    d.lineFlags = 0x8202;
    ASSERT_NE(OpenPortDesc(&d), nullptr);
    const DCB dcb = fw::CallsOf("SetCommState").at(0).dcb;
    EXPECT_EQ(dcb.BaudRate, 4800u);
    EXPECT_EQ(dcb.ByteSize, 7);
    EXPECT_EQ(dcb.StopBits, 2);
    EXPECT_EQ(dcb.Parity, 2);
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_HANDSHAKE));
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
}

TEST_F(Ports, AnOpenFailureGivesZero) {
    for (const char* failing : {"CreateFileA", "GetCommState", "SetCommTimeouts", "SetCommState"}) {
        fw::Reset();
        fw::FailNext(failing);
        PortDescriptor d{};
        memcpy(d.portName, "COM2", 4);
        EXPECT_EQ(OpenPortDesc(&d), nullptr) << failing;
        EXPECT_TRUE(fw::OpenHandles().empty()) << failing;
    }
}

TEST_F(Ports, ANameThatDoesNotEndInItsFieldIsRefused) {
    PortDescriptor d{};
    memcpy(d.portName, "COM123456789", 12);  // no terminator within the 12 bytes
    d.settings = Settings(19200, 8, 0, 0);    // its first byte is not 0 either
    EXPECT_EQ(OpenPortDesc(&d), nullptr);
    memcpy(d.portName, "NULLDEVNULLD", 12);
    EXPECT_EQ(OpenPortDesc(&d), nullptr);
    EXPECT_TRUE(fw::Calls().empty());
    EXPECT_EQ(OpenPortDesc(nullptr), nullptr);

    // Eleven characters and the terminator fit.
    memcpy(d.portName, "COM12345678", 12);
    EXPECT_NE(OpenPortDesc(&d), nullptr);
    EXPECT_EQ(fw::CallsOf("CreateFileA").at(0).name, "\\\\.\\COM12345678");
}

// --------------------------------------------------------- ClosePort (12)

TEST_F(Ports, CloseOfTheNullPortLeavesNoPort) {
    channel.port = NoPort();
    EXPECT_EQ(ClosePort(&request), 0);
    EXPECT_EQ(channel.port, nullptr);
    EXPECT_EQ(ClosePort(&request), 0);
    EXPECT_EQ(channel.port, nullptr);
    EXPECT_TRUE(fw::Calls().empty());
    EXPECT_TRUE(LogLines().empty());
}

TEST_F(Ports, CloseLowersDtrBeforeRtsThenCloses) {
    const Handle port = OwnedPort();
    channel.port = port;
    EXPECT_EQ(ClosePort(&request), 0);
    EXPECT_EQ(fw::CallNames(), (Names{"EscapeCommFunction", "EscapeCommFunction", "CloseHandle"}));
    EXPECT_EQ(EscapeFunctions(), (Names{"CLRDTR", "CLRRTS"}));
    for (const fw::Call& call : fw::Calls()) EXPECT_EQ(call.handle, port) << call.function;
    EXPECT_EQ(channel.port, nullptr);
    EXPECT_TRUE(fw::OpenHandles().empty());
    EXPECT_TRUE(LogLines().empty());
}

TEST_F(Ports, AFailedCloseKeepsTheHandle) {
    const Handle port = OwnedPort();
    channel.port = port;
    fw::FailNext("CloseHandle");
    EXPECT_EQ(ClosePort(&request), 2);
    EXPECT_EQ(channel.port, port);
    // The host may try again: the port is let go, but a handle whose close
    // failed is never closed again (Windows may have given its value to the host).
    fw::ClearCalls();
    EXPECT_EQ(ClosePort(&request), 0);
    EXPECT_EQ(channel.port, nullptr);
    EXPECT_TRUE(fw::CallsOf("CloseHandle").empty());
}

// Codes 12, 13 and 15 close only a port the driver opened for this record:
// a handle value in a record never started, or one copied from another
// record, is let go but never closed.
TEST_F(Ports, OnlyAPortOpenedForThisRecordIsEverClosed) {
    const Handle stranger = OpenedPort();  // someone else's open handle
    const struct {
        const char* what;
        int32_t (*request)(VpiRequest*);
    } requests[] = {{"close", ClosePort}, {"open", OpenPort}};
    for (const auto& r : requests) {
        channel.port = stranger;
        fw::ClearCalls();
        EXPECT_EQ(r.request(&request), 0) << r.what;
        EXPECT_NE(channel.port, stranger) << r.what;
        for (const fw::Call& call : fw::CallsOf("CloseHandle")) EXPECT_NE(call.handle, stranger) << r.what;
        ClosePort(&request);
    }
    VpiChannel other;
    memcpy(&other, &channel, sizeof other);
    const Handle own = OwnedPort();
    other.port = own;  // the host copied the record
    VpiRequest otherRequest{};
    otherRequest.channel = &other;
    EXPECT_EQ(ClosePort(&otherRequest), 0);
    EXPECT_TRUE(fw::CallsOf("CloseHandle").empty());
    EXPECT_EQ(ClosePort(&request), 0);
    EXPECT_EQ(fw::CallsOf("CloseHandle").size(), 1u);
}

TEST_F(Ports, CloseGoesOnWhenTheLinesCannotBeLowered) {
    channel.port = OwnedPort();
    fw::FailNext("EscapeCommFunction", 2);
    EXPECT_EQ(ClosePort(&request), 0);
    EXPECT_EQ(channel.port, nullptr);
    EXPECT_EQ(LogLines(), (Lines{"EscapeCommFunction fail (DTR)", "EscapeCommFunction fail (RTS)"}));
}

// ---------------------------------------------------------- OpenPort (13)

TEST_F(Ports, OpenStoresThePortAndEnablesTheChannel) {
    EXPECT_EQ(OpenPort(&request), 0);
    EXPECT_EQ(channel.enabled, 1);
    EXPECT_EQ(channel.port, fw::CallsOf("CreateFileA").at(0).handle);
    // Nothing beyond the open itself: no DTR, no event mask, no read time-out.
    EXPECT_EQ(fw::CallNames(), kOpenCalls);
    EXPECT_EQ(fw::Port().timeouts.ReadTotalTimeoutConstant, 1000u);
    EXPECT_EQ(channel.readTimeout, 100);
}

TEST_F(Ports, OpenOfNulldevGivesNoPort) {
    for (const char* name : {"NULLDEV", "nulldev", "NullDev"}) {
        fw::Reset();
        Describe(name, Settings(19200, 8, 0, 0), 0x0101);
        channel.enabled = 0;
        channel.port = nullptr;
        EXPECT_EQ(OpenPort(&request), 0) << name;
        EXPECT_EQ(channel.port, NoPort()) << name;
        EXPECT_EQ(channel.enabled, 1) << name;
        EXPECT_TRUE(fw::Calls().empty()) << name;
    }
}

// The log line ends with the Windows error of the call that failed.
TEST_F(Ports, AFailedOpenChangesNothing) {
    struct Case {
        const char* failing;
        const char* name;
        DWORD error;  // what the failing call leaves for GetLastError
        const char* reason;
    } cases[] = {
        {"CreateFileA", "COM2", 0, ": file not found: no such port (error 2)"},
        {"CreateFileA", "COM2", 5, ": access denied: the port is in use by another program (error 5)"},
        {"GetCommState", "COM2", 1, ": invalid function: not a serial port (error 1)"},
        {"SetCommState", "COM2", 87, ": invalid parameter: the port refuses these settings (error 87)"},
        {"SetCommState", "COM2", 1234, ": Windows error (error 1234)"},
        {nullptr, "COM99999999X", 0, ": invalid name: not a port name (error 123)"},
    };
    for (const Case& c : cases) {
        fw::Reset();
        KestraClear();
        fw::Port().lastError = c.error;
        if (c.failing != nullptr) fw::FailNext(c.failing);
        memcpy(channel.portDesc.portName, c.name, strlen(c.name));
        channel.enabled = 0;
        channel.port = nullptr;
        const VpiChannel before = channel;
        EXPECT_EQ(OpenPort(&request), 2) << c.name;
        EXPECT_EQ(memcmp(&before, &channel, sizeof channel), 0) << c.name;
        EXPECT_TRUE(fw::OpenHandles().empty()) << c.name;
        EXPECT_EQ(LogLines(), std::vector<std::string>{"VpiSK01: OpenPort() fail, cannot open " +
                                                       std::string(c.name, strnlen(c.name, 12)) + c.reason})
            << c.name;
    }
}

// A second open (code 13) of a channel whose port is open closes that port
// first: no handle is lost.
TEST_F(Ports, OpenOfAnOpenChannelClosesItsPortFirst) {
    const Handle old = OwnedPort();
    channel.port = old;
    EXPECT_EQ(OpenPort(&request), 0);
    EXPECT_EQ(fw::CallsOf("CloseHandle").at(0).handle, old);
    EXPECT_EQ(fw::OpenHandles(), std::vector<HANDLE>{channel.port});
}

// -------------------------------------------------------- ReopenPort (15)

TEST_F(Ports, ReopenWithAnotherNameClosesTheOldPortFirst) {
    const Handle old = OwnedPort();
    channel.port = old;
    channel.enabled = 1;
    ReopenParams p = Reopen("COM5", 0, Settings(9600, 7, 2, 1));
    request.params = &p;
    EXPECT_EQ(ReopenPort(&request), 0);

    Names expected{"EscapeCommFunction", "EscapeCommFunction", "CloseHandle"};
    expected.insert(expected.end(), kOpenCalls.begin(), kOpenCalls.end());
    EXPECT_EQ(fw::CallNames(), expected);
    EXPECT_EQ(fw::CallsOf("CloseHandle").at(0).handle, old);
    EXPECT_EQ(fw::CallsOf("CreateFileA").at(0).name, "\\\\.\\COM5");
    EXPECT_EQ(channel.port, fw::CallsOf("CreateFileA").at(0).handle);
    EXPECT_EQ(fw::OpenHandles(), std::vector<HANDLE>{channel.port});

    EXPECT_STREQ(channel.portDesc.portName, "COM5");
    EXPECT_EQ(channel.portDesc.settings.baudRate, 9600);
    EXPECT_EQ(channel.portDesc.settings.dataBits, 7);
    EXPECT_EQ(channel.portDesc.settings.stopBits, 2);
    EXPECT_EQ(channel.portDesc.settings.parity, 1);
    EXPECT_EQ(channel.portDesc.lineFlags, 0x0101) << "the flags stay";
    EXPECT_EQ(channel.readTimeout, 100) << "0 keeps the read time-out";
    const DCB dcb = fw::CallsOf("SetCommState").at(0).dcb;
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.ByteSize, 7);
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
}

TEST_F(Ports, ReopenWithTheSameNameAlsoClosesFirst) {
    const Handle old = OwnedPort();
    channel.port = old;
    ReopenParams p = Reopen("COM2", 250, Settings(38400, 8, 0, 2));
    request.params = &p;
    EXPECT_EQ(ReopenPort(&request), 0);
    const Names names = fw::CallNames();
    ASSERT_GE(names.size(), 4u);
    EXPECT_EQ(Names(names.begin(), names.begin() + 4),
              (Names{"EscapeCommFunction", "EscapeCommFunction", "CloseHandle", "CreateFileA"}));
    EXPECT_EQ(fw::CallsOf("CloseHandle").at(0).handle, old);
    EXPECT_EQ(fw::OpenHandles(), std::vector<HANDLE>{channel.port}) << "no handle left behind";
    EXPECT_EQ(channel.readTimeout, 250);
    EXPECT_EQ(fw::CallsOf("SetCommState").at(0).dcb.BaudRate, 38400u);
    // The port's own read time-out is not changed by the request.
    EXPECT_EQ(fw::Port().timeouts.ReadTotalTimeoutConstant, 1000u);
}

TEST_F(Ports, ReopenFromTheNullPortOpensTheNewName) {
    channel.port = NoPort();
    Describe("NULLDEV", Settings(19200, 8, 0, 0), 0x0101);
    ReopenParams p = Reopen("COM2", 0, Settings(19200, 8, 0, 0));
    request.params = &p;
    EXPECT_EQ(ReopenPort(&request), 0);
    EXPECT_EQ(fw::CallNames(), kOpenCalls) << "the null port closes without platform calls";
    EXPECT_EQ(channel.port, fw::CallsOf("CreateFileA").at(0).handle);
}

TEST_F(Ports, ReopenToNulldevAndWithoutAnOpenPort) {
    struct Case {
        const char* name;
        Handle portBefore;
        Handle portAfter;  // nullptr: the opened handle
        size_t closes;
    } cases[] = {
        {"nulldev", Fake(0x100), NoPort(), 1},
        {"NULLDEV", NoPort(), NoPort(), 0},
        {"COM3", nullptr, nullptr, 0},
    };
    for (const Case& c : cases) {
        fw::Reset();
        if (c.portBefore == Fake(0x100)) {
            channel.port = OwnedPort();
        } else {
            channel.port = c.portBefore;
        }
        ReopenParams p = Reopen(c.name, 0, Settings(19200, 8, 0, 0));
        request.params = &p;
        EXPECT_EQ(ReopenPort(&request), 0) << c.name;
        EXPECT_EQ(fw::CallsOf("CloseHandle").size(), c.closes) << c.name;
        if (c.portAfter == nullptr) {
            EXPECT_EQ(channel.port, fw::CallsOf("CreateFileA").at(0).handle) << c.name;
        } else {
            EXPECT_EQ(channel.port, c.portAfter) << c.name;
        }
    }
}

TEST_F(Ports, AFailedReopenKeepsTheNewDescriptor) {
    channel.port = OwnedPort();
    channel.enabled = 1;
    fw::FailNext("CreateFileA");
    ReopenParams p = Reopen("COM9", 0, Settings(2400, 8, 1, 0));
    request.params = &p;
    EXPECT_EQ(ReopenPort(&request), 2);
    EXPECT_EQ(channel.port, nullptr) << "the old port was closed";
    EXPECT_STREQ(channel.portDesc.portName, "COM9");
    EXPECT_EQ(channel.portDesc.settings.baudRate, 2400);
    EXPECT_EQ(channel.enabled, 1);
    EXPECT_TRUE(fw::OpenHandles().empty());
    EXPECT_EQ(LogLines(),
              std::vector<std::string>{"VpiSK01: ReopenPort() fail, cannot open COM9: file not found: no such port (error 2)"});
}

TEST_F(Ports, ReopenWithAnUnterminatedNameFails) {
    channel.port = OwnedPort();
    ReopenParams p = Reopen("", 0, Settings(19200, 8, 0, 0));
    memcpy(p.portName, "COM123456789", 12);
    p.readTimeout = 7;  // a non-zero first byte right behind the name
    request.params = &p;
    EXPECT_EQ(ReopenPort(&request), 2);
    EXPECT_TRUE(fw::CallsOf("CreateFileA").empty());
    // The name is logged as far as its 12-byte field, never beyond.
    EXPECT_EQ(LogLines(),
              std::vector<std::string>{"VpiSK01: ReopenPort() fail, cannot open COM123456789: invalid name: not a port name (error 123)"});
    EXPECT_EQ(channel.port, nullptr);
    EXPECT_EQ(memcmp(channel.portDesc.portName, "COM123456789", 12), 0);
    // The settings that follow the name in the descriptor are the new ones,
    // not bytes of the name.
    EXPECT_EQ(channel.portDesc.settings.baudRate, 19200);
    EXPECT_EQ(channel.portDesc.lineFlags, 0x0101);
    // And a later open of that descriptor is refused the same way.
    EXPECT_EQ(OpenPort(&request), 2);
    EXPECT_TRUE(fw::CallsOf("CreateFileA").empty());
}

// ---------------------------------------------------------- line signals

TEST_F(Ports, RtsAndDtrRiseOnlyForOne) {
    struct Case {
        bool dtr;
        uint8_t on;
        const char* function;
    } cases[] = {
        {false, 1, "SETRTS"}, {false, 0, "CLRRTS"}, {false, 2, "CLRRTS"}, {false, 255, "CLRRTS"},
        {true, 1, "SETDTR"},  {true, 0, "CLRDTR"},  {true, 2, "CLRDTR"},  {true, 255, "CLRDTR"},
    };
    for (const Case& c : cases) {
        fw::Reset();
        KestraClear();
        c.dtr ? SetDtr(Fake(0x100), c.on) : SetRts(Fake(0x100), c.on);
        EXPECT_EQ(EscapeFunctions(), Names{c.function}) << c.function << " " << int{c.on};
        EXPECT_EQ(fw::Calls().at(0).handle, Fake(0x100));
        EXPECT_TRUE(LogLines().empty());
    }
}

TEST_F(Ports, LineSignalFailuresAreLoggedWithoutAChannelName) {
    struct Case {
        const char* what;
        int32_t (*run)();  // the operation's result, 0 where it has none
        const char* failing;
        const char* line;
        int32_t failed, succeeded;
    } cases[] = {
        {"rts", [] { SetRts(Fake(0x100), 1); return 0; }, "EscapeCommFunction", "EscapeCommFunction fail (RTS)", 0, 0},
        {"dtr", [] { SetDtr(Fake(0x100), 0); return 0; }, "EscapeCommFunction", "EscapeCommFunction fail (DTR)", 0, 0},
        {"cts", [] { return GetCts(Fake(0x100)) ? 1 : 0; }, "GetCommModemStatus", "GetCommModemStatus fail (CTS)", 0, 1},
        {"clear", [] { ClearCommErrors(Fake(0x100)); return 0; }, "ClearCommError",
         "ClearCommError (Rx) failed 00000000", 0, 0},
        {"count", [] { return int32_t{RxQueueCount(Fake(0x100))}; }, "ClearCommError",
         "ClearCommError (Rx) failed 00000000", 0, 3},
        {"txempty", [] { WaitTxEmpty(Fake(0x100)); return 0; }, "WaitCommEvent",
         "WaitTxEmpty() WaitCommEvent() EV_TXEMPTY fail", 0, 0},
    };
    for (const Case& c : cases) {
        fw::Reset();
        KestraClear();
        fw::PushInput(3, 0);
        fw::Port().modemStatus = MS_CTS_ON;
        fw::FailNext(c.failing);
        EXPECT_EQ(c.run(), c.failed) << c.what;
        EXPECT_EQ(LogLines(), Lines{c.line}) << c.what;
        // The same operation with the call succeeding logs nothing.
        KestraClear();
        EXPECT_EQ(c.run(), c.succeeded) << c.what;
        EXPECT_TRUE(LogLines().empty()) << c.what;
    }
}

TEST_F(Ports, ANonZeroResultCountsAsSuccess) {
    fw::ScriptResults("EscapeCommFunction", {2, 2});
    fw::ScriptResults("GetCommModemStatus", {2});
    fw::Port().modemStatus = MS_CTS_ON;
    SetRts(Fake(0x100), 1);
    SetDtr(Fake(0x100), 1);
    EXPECT_EQ(GetCts(Fake(0x100)), 1);
    EXPECT_TRUE(LogLines().empty());
}

TEST_F(Ports, ClearCommErrorMessageShowsTheErrorWord) {
    fw::Port().outputsOnFailure = true;
    fw::Port().commErrors = 0x1A;
    fw::FailNext("ClearCommError", 2);
    ClearCommErrors(Fake(0x100));
    EXPECT_EQ(RxQueueCount(Fake(0x100)), 0);
    EXPECT_EQ(LogLines(), (Lines{"ClearCommError (Rx) failed 0000001a", "ClearCommError (Rx) failed 0000001a"}));
}

TEST_F(Ports, CtsFollowsTheModemStatusBit) {
    struct Case {
        DWORD status;
        int32_t cts;
    } cases[] = {{MS_CTS_ON, 1}, {0xFFFFFFFF, 1}, {0, 0}, {0xFFFFFFEF, 0}, {0x20, 0}};
    for (const Case& c : cases) {
        fw::Port().modemStatus = c.status;
        EXPECT_EQ(GetCts(Fake(0x100)), c.cts) << std::hex << c.status;
    }
}

TEST_F(Ports, RxQueueCountGivesTheLow16BitsOfTheQueue) {
    struct Case {
        size_t pending;
        uint16_t count;
    } cases[] = {{0, 0}, {1500, 1500}, {65535, 65535}, {65536, 0}, {70000, 4464}};
    for (const Case& c : cases) {
        fw::Reset();
        fw::PushInput(c.pending, 0);
        EXPECT_EQ(RxQueueCount(Fake(0x100)), c.count) << c.pending;
        EXPECT_TRUE(fw::CallsOf("ReadFile").empty());
    }
}

TEST_F(Ports, WaitTxEmptyTestsOnlyTheReturnedMask) {
    struct Case {
        DWORD events;
        std::initializer_list<BOOL> results;
        bool logged;
    } cases[] = {
        {EV_TXEMPTY, {}, false},
        {EV_TXEMPTY | 0x1, {}, false},
        {0x1, {}, true},
        {EV_TXEMPTY, {FALSE}, true},  // the mask stays empty when the call fails
    };
    for (const Case& c : cases) {
        fw::Reset();
        KestraClear();
        fw::Port().events = c.events;
        if (c.results.size() != 0) fw::ScriptResults("WaitCommEvent", c.results);
        WaitTxEmpty(Fake(0x100));
        ASSERT_EQ(fw::CallNames(), Names{"WaitCommEvent"});
        EXPECT_FALSE(fw::Calls()[0].overlapped);
        EXPECT_EQ(LogLines().size(), c.logged ? 1u : 0u) << std::hex << c.events;
    }
}

TEST_F(Ports, WaitForCtsPollsAtMost99Times) {
    struct Case {
        const char* what;
        bool waitOn;
        DWORD status;
        int failuresFirst;
        int32_t result;
        size_t reads;
    } cases[] = {
        {"on: stays off", true, 0, 0, 0, 99},
        {"on: already on", true, MS_CTS_ON, 0, 1, 1},
        {"on: comes on at the 50th read", true, MS_CTS_ON, 49, 1, 50},
        {"on: comes on at the 99th read", true, MS_CTS_ON, 98, 1, 99},
        {"on: unreadable throughout", true, MS_CTS_ON, 99, 0, 99},
        {"off: stays on", false, MS_CTS_ON, 0, 0, 99},
        {"off: already off", false, 0, 0, 1, 1},
        {"off: unreadable ends it", false, MS_CTS_ON, 1, 1, 1},
    };
    for (const Case& c : cases) {
        fw::Reset();
        KestraClear();
        fw::Port().modemStatus = c.status;
        fw::FailNext("GetCommModemStatus", c.failuresFirst);
        const int32_t result = c.waitOn ? WaitCtsOn(Fake(0x100)) : WaitCtsOff(Fake(0x100));
        EXPECT_EQ(result, c.result) << c.what;
        EXPECT_EQ(fw::CallsOf("GetCommModemStatus").size(), c.reads) << c.what;
        EXPECT_EQ(fw::Calls().size(), c.reads) << c.what << ": no other calls, no pauses";
    }
}

TEST_F(Ports, TheNullPortTouchesNothing) {
    SetRts(NoPort(), 1);
    SetDtr(NoPort(), 1);
    EXPECT_EQ(GetCts(NoPort()), 0);
    ClearCommErrors(NoPort());
    EXPECT_EQ(RxQueueCount(NoPort()), 0);
    WaitTxEmpty(NoPort());
    EXPECT_EQ(WaitCtsOn(NoPort()), 0);
    EXPECT_EQ(WaitCtsOff(NoPort()), 0);
    EXPECT_FALSE(SetPortEventMask(NoPort(), EV_TXEMPTY));
    EXPECT_TRUE(fw::Calls().empty());
    EXPECT_TRUE(LogLines().empty());
}

TEST_F(Ports, EventMaskIsSetOnThePort) {
    EXPECT_TRUE(SetPortEventMask(Fake(0x100), EV_TXEMPTY));
    fw::FailNext("SetCommMask");
    EXPECT_FALSE(SetPortEventMask(Fake(0x100), EV_TXEMPTY));
    const auto calls = fw::CallsOf("SetCommMask");
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].args[0], 4u);
    EXPECT_EQ(calls[0].handle, Fake(0x100));
    EXPECT_TRUE(LogLines().empty());
}

}  // namespace
