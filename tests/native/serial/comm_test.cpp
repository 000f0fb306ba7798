// The serial library's exact use of the Win32 serial calls, against the
// recording fake: the open sequence and the control block it applies, the
// time-outs, the purge loop, reads and writes.
#include "tests/native/serial/serial_fixture.h"

namespace {

using Names = std::vector<std::string>;

class Comm : public SerialTest {};

// ---------------------------------------------------------------- opening

TEST_F(Comm, OpenConfiguresThePortInTheFixedOrder) {
    const PortSettings s = Settings(19200, 8, 0, 0);
    Handle port = nullptr;
    ASSERT_EQ(CommOpen("COM2", &s, 0x0101, &port), CommResult::Ok);

    EXPECT_EQ(fw::CallNames(), (Names{"CreateFileA", "GetCommState", "SetCommTimeouts", "SetCommState", "SetupComm"}));
    const fw::Call open = fw::CallsOf("CreateFileA").at(0);
    EXPECT_EQ(open.name, "\\\\.\\COM2");
    EXPECT_EQ(open.args[0], GENERIC_READ | GENERIC_WRITE);
    EXPECT_EQ(open.args[1], 0u);  // no sharing
    EXPECT_EQ(open.args[2], static_cast<DWORD>(OPEN_EXISTING));
    EXPECT_EQ(open.args[3], static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(open.args[4], 0u);  // no security attributes
    EXPECT_EQ(open.args[5], 0u);  // no template
    EXPECT_EQ(port, open.handle);
    EXPECT_EQ(fw::OpenHandles(), std::vector<HANDLE>{port});

    EXPECT_EQ(fw::CallsOf("GetCommState").at(0).args[0], 28u) << "DCBlength set before the read";

    const COMMTIMEOUTS t = fw::CallsOf("SetCommTimeouts").at(0).timeouts;
    EXPECT_EQ(t.ReadIntervalTimeout, 0u);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 1000u);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 0u);

    const fw::Call queues = fw::CallsOf("SetupComm").at(0);
    EXPECT_EQ(queues.args[0], 1200u);
    EXPECT_EQ(queues.args[1], 1200u);
    for (const fw::Call& call : fw::Calls()) EXPECT_EQ(call.handle, port) << call.function;
}

TEST_F(Comm, NamesOfComPortsOpenThroughTheDeviceNamespace) {
    struct Case {
        const char* name;
        const char* opened;
    } cases[] = {
        {"COM1", "\\\\.\\COM1"},       {"COM2", "\\\\.\\COM2"},         {"COM12", "\\\\.\\COM12"},
        {"com12", "\\\\.\\com12"},     {"CoM255", "\\\\.\\CoM255"},     {"COM12345678", "\\\\.\\COM12345678"},
        {"NUL", "NUL"},                {"COM", "COM"},                  {"COM1A", "COM1A"},
        {"COMX", "COMX"},              {"COM 1", "COM 1"},              {"LPT1", "LPT1"},
        {"\\\\.\\COM3", "\\\\.\\COM3"}, {"XCOM1", "XCOM1"},
    };
    for (const Case& c : cases) {
        fw::Reset();
        const PortSettings s = Settings(19200, 8, 0, 0);
        Handle port = nullptr;
        CommOpen(c.name, &s, 0x0101, &port);
        ASSERT_EQ(fw::CallsOf("CreateFileA").size(), 1u) << c.name;
        EXPECT_EQ(fw::CallsOf("CreateFileA")[0].name, c.opened) << c.name;
    }
}

TEST_F(Comm, NulIsOpenedAndLeftUnconfigured) {
    const PortSettings s = Settings(19200, 8, 0, 0);
    Handle port = nullptr;
    ASSERT_EQ(CommOpen("NUL", &s, 0x0101, &port), CommResult::Ok);
    EXPECT_EQ(fw::CallNames(), Names{"CreateFileA"});
    EXPECT_EQ(fw::OpenHandles(), std::vector<HANDLE>{port});

    // The special case is exact: any other spelling is configured like a port.
    fw::Reset();
    ASSERT_EQ(CommOpen("nul", &s, 0x0101, &port), CommResult::Ok);
    EXPECT_EQ(fw::CallNames(), (Names{"CreateFileA", "GetCommState", "SetCommTimeouts", "SetCommState", "SetupComm"}));
}

TEST_F(Comm, EveryFailedOpenClosesWhatItOpened) {
    struct Case {
        const char* failing;
        CommResult result;
        Names calls;
    } cases[] = {
        {"CreateFileA", CommResult::OpenFailed, {"CreateFileA"}},
        {"GetCommState", CommResult::GetStateFailed, {"CreateFileA", "GetCommState", "CloseHandle"}},
        {"SetCommTimeouts", CommResult::OpenFailed, {"CreateFileA", "GetCommState", "SetCommTimeouts", "CloseHandle"}},
        {"SetCommState",
         CommResult::SetStateFailed,
         {"CreateFileA", "GetCommState", "SetCommTimeouts", "SetCommState", "CloseHandle"}},
    };
    for (const Case& c : cases) {
        fw::Reset();
        fw::FailNext(c.failing);
        const PortSettings s = Settings(19200, 8, 0, 0);
        Handle port = nullptr;
        EXPECT_EQ(CommOpen("COM2", &s, 0x0101, &port), c.result) << c.failing;
        EXPECT_EQ(fw::CallNames(), c.calls) << c.failing;
        EXPECT_TRUE(fw::OpenHandles().empty()) << c.failing;
        EXPECT_EQ(port, INVALID_HANDLE_VALUE) << c.failing;
        const auto closes = fw::CallsOf("CloseHandle");
        if (c.calls.back() == "CloseHandle" && closes.size() == 1) {
            EXPECT_EQ(closes[0].handle, fw::CallsOf("CreateFileA")[0].handle) << c.failing;
        }
    }
}

TEST_F(Comm, QueueSizeRefusalDoesNotFailTheOpen) {
    fw::FailNext("SetupComm");
    const PortSettings s = Settings(19200, 8, 0, 0);
    Handle port = nullptr;
    EXPECT_EQ(CommOpen("COM2", &s, 0x0101, &port), CommResult::Ok);
    EXPECT_EQ(fw::OpenHandles(), std::vector<HANDLE>{port});
}

TEST_F(Comm, MissingArgumentsFailWithoutOpening) {
    const PortSettings s = Settings(19200, 8, 0, 0);
    Handle port = nullptr;
    EXPECT_EQ(CommOpen(nullptr, &s, 0x0101, &port), CommResult::OpenFailed);
    EXPECT_EQ(CommOpen("COM2", nullptr, 0x0101, &port), CommResult::OpenFailed);
    EXPECT_EQ(CommOpen("COM2", &s, 0x0101, nullptr), CommResult::OpenFailed);
    EXPECT_TRUE(fw::Calls().empty());
}

// ------------------------------------------------------ the control block

DCB AppliedDcb() {
    const auto set = fw::CallsOf("SetCommState");
    EXPECT_EQ(set.size(), 1u);
    return set.empty() ? DCB{} : set[0].dcb;
}

TEST_F(Comm, LineFlagsPickDtrAndRtsControl) {
    struct Case {
        uint16_t flags;
        DWORD dtr;
        DWORD rts;
    } cases[] = {
        {0x0101, DTR_CONTROL_ENABLE, RTS_CONTROL_DISABLE},
        {0x0100, DTR_CONTROL_ENABLE, RTS_CONTROL_DISABLE},
        {0x0001, DTR_CONTROL_ENABLE, RTS_CONTROL_DISABLE},
        {0x8000, DTR_CONTROL_HANDSHAKE, RTS_CONTROL_DISABLE},
        {0x8100, DTR_CONTROL_ENABLE, RTS_CONTROL_DISABLE},
        {0x0002, DTR_CONTROL_DISABLE, RTS_CONTROL_ENABLE},
        {0x0200, DTR_CONTROL_DISABLE, RTS_CONTROL_ENABLE},
        {0x1000, DTR_CONTROL_DISABLE, RTS_CONTROL_HANDSHAKE},
        {0x2000, DTR_CONTROL_DISABLE, RTS_CONTROL_TOGGLE},
        {0x3000, DTR_CONTROL_DISABLE, RTS_CONTROL_HANDSHAKE},
        {0x3200, DTR_CONTROL_DISABLE, RTS_CONTROL_ENABLE},
        {0x0303, DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE},
        {0xB000, DTR_CONTROL_HANDSHAKE, RTS_CONTROL_HANDSHAKE},
        {0x0000, DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE},
        {0x4CFC, DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE},  // bits without a meaning
    };
    for (const Case& c : cases) {
        fw::Reset();
        // Start from a block whose DTR/RTS fields hold something else.
        fw::Port().dcb.fDtrControl = 3;
        fw::Port().dcb.fRtsControl = 2;
        const PortSettings s = Settings(19200, 8, 0, 0);
        Handle port = nullptr;
        ASSERT_EQ(CommOpen("COM2", &s, c.flags, &port), CommResult::Ok);
        const DCB dcb = AppliedDcb();
        EXPECT_EQ(dcb.fDtrControl, c.dtr) << std::hex << c.flags;
        EXPECT_EQ(dcb.fRtsControl, c.rts) << std::hex << c.flags;
    }
}

TEST_F(Comm, OnlyTheNamedFieldsOfTheControlBlockChange) {
    struct Case {
        PortSettings settings;
        DWORD baud;
        BYTE byteSize, stopBits, parity;
    } cases[] = {
        {Settings(19200, 8, 0, 0), 19200, 8, 0, 0},
        {Settings(9600, 0x0107, 0, 0), 9600, 7, 0, 0},
        {Settings(1200, 0x0207, 0x0102, 0x0304), 1200, 7, 2, 4},
        {Settings(65535, 5, 1, 2), 65535, 5, 1, 2},
    };
    for (const Case& c : cases) {
        fw::Reset();
        // The platform's block has every named field set "wrong" and the
        // unnamed ones set to recognisable values.
        DCB platform = fw::PlatformDcb();
        platform.fParity = 0;
        platform.fOutxCtsFlow = 1;
        platform.fOutxDsrFlow = 1;
        platform.fDsrSensitivity = 1;
        platform.fOutX = 1;
        platform.fInX = 1;
        platform.fErrorChar = 1;
        platform.fNull = 1;
        platform.fAbortOnError = 1;
        platform.fBinary = 0;
        platform.fTXContinueOnXoff = 1;
        platform.Parity = 9;
        platform.StopBits = 9;
        platform.ByteSize = 9;
        fw::Port().dcb = platform;

        Handle port = nullptr;
        ASSERT_EQ(CommOpen("COM2", &c.settings, 0x0101, &port), CommResult::Ok);

        DCB expected = platform;
        expected.BaudRate = c.baud;
        expected.fBinary = 1;
        expected.fParity = 1;
        expected.fOutxCtsFlow = 0;
        expected.fOutxDsrFlow = 0;
        expected.fDtrControl = DTR_CONTROL_ENABLE;
        expected.fDsrSensitivity = 0;
        expected.fOutX = 0;
        expected.fInX = 0;
        expected.fErrorChar = 0;
        expected.fNull = 0;
        expected.fRtsControl = RTS_CONTROL_DISABLE;
        expected.fAbortOnError = 0;
        expected.ByteSize = c.byteSize;
        expected.Parity = c.parity;
        expected.StopBits = c.stopBits;
        expected.ErrorChar = static_cast<char>(0xFC);
        const DCB applied = AppliedDcb();
        EXPECT_EQ(memcmp(&applied, &expected, sizeof(DCB)), 0) << c.baud;
        // The bytes named in the control block, checked at their offsets.
        const auto* raw = reinterpret_cast<const unsigned char*>(&applied);
        EXPECT_EQ(raw[18], c.byteSize);
        EXPECT_EQ(raw[19], c.parity);
        EXPECT_EQ(raw[20], c.stopBits);
        EXPECT_EQ(raw[23], 0xFC);
        EXPECT_EQ(raw[21], 0x11);  // XonChar as the platform had it
        EXPECT_EQ(raw[24], 0x1A);  // EofChar
        EXPECT_EQ(raw[25], 0x7E);  // EvtChar
        EXPECT_EQ(applied.fTXContinueOnXoff, 1u);
        EXPECT_EQ(applied.XonLim, 2048);
        EXPECT_EQ(applied.XoffLim, 512);
    }
}

// ---------------------------------------------------------- closing

TEST_F(Comm, CloseReportsTheOutcomeOfCloseHandle) {
    Handle port = OpenedPort();
    fw::FailNext("CloseHandle");
    EXPECT_EQ(CommClose(port), CommResult::IoFailed);
    EXPECT_EQ(CommClose(port), CommResult::Ok);
    EXPECT_TRUE(fw::OpenHandles().empty());
    EXPECT_EQ(CommClose(port), CommResult::IoFailed);  // closed already
}

// ------------------------------------------------------ read time-out

TEST_F(Comm, ReadTimeoutReturnsThePreviousAndWritesOnlyOnChange) {
    Handle port = OpenedPort();
    fw::Port().timeouts.WriteTotalTimeoutConstant = 77;  // must survive the change

    EXPECT_EQ(CommSetReadTimeout(port, 200), 100);
    EXPECT_EQ(fw::Port().timeouts.ReadTotalTimeoutConstant, 2000u);
    EXPECT_EQ(fw::Port().timeouts.WriteTotalTimeoutConstant, 77u);
    EXPECT_EQ(fw::CallNames(), (Names{"GetCommTimeouts", "SetCommTimeouts"}));

    fw::ClearCalls();
    EXPECT_EQ(CommSetReadTimeout(port, 200), 200);
    EXPECT_EQ(fw::CallNames(), Names{"GetCommTimeouts"});
}

TEST_F(Comm, ReadTimeoutTruncatesAndGivesZeroOnFailure) {
    struct Case {
        DWORD constant;
        const char* failing;
        int32_t result;
        DWORD after;
    } cases[] = {
        {1005, nullptr, 100, 500},
        {9, nullptr, 0, 500},
        {0, nullptr, 0, 500},
        {1000, "GetCommTimeouts", 0, 1000},
        {1000, "SetCommTimeouts", 0, 1000},
    };
    for (const Case& c : cases) {
        fw::Reset();
        fw::Port().timeouts.ReadTotalTimeoutConstant = c.constant;
        if (c.failing != nullptr) fw::FailNext(c.failing);
        EXPECT_EQ(CommSetReadTimeout(Fake(0x100), 50), c.result) << c.constant;
        EXPECT_EQ(fw::Port().timeouts.ReadTotalTimeoutConstant, c.after) << c.constant;
    }
    // Host values that would wrap in milliseconds, or mean "wait for ever",
    // are kept within what the port takes.
    const struct {
        int32_t timeout;
        DWORD constant;
    } host[] = {{0, 10}, {-1, 10}, {-2147483647 - 1, 10}, {2147483647, 4294967290u}, {429496729, 4294967290u}};
    for (const auto& h : host) {
        fw::Reset();
        CommSetReadTimeout(Fake(0x100), h.timeout);
        EXPECT_EQ(fw::Port().timeouts.ReadTotalTimeoutConstant, h.constant) << h.timeout;
    }
}

// ------------------------------------------------------------ purge

std::vector<DWORD> ReadSizes() {
    std::vector<DWORD> sizes;
    for (const fw::Call& call : fw::CallsOf("ReadFile")) {
        EXPECT_EQ(call.args[0], 512u);
        EXPECT_FALSE(call.overlapped);
        sizes.push_back(call.args[1]);
    }
    return sizes;
}

TEST_F(Comm, PurgeOfAnEmptyQueueReadsNothing) {
    Handle port = OpenedPort();
    EXPECT_EQ(CommPurgeInput(port), CommResult::Ok);
    EXPECT_EQ(fw::CallNames(), Names{"ClearCommError"});
    EXPECT_EQ(fw::Port().timeouts.ReadTotalTimeoutConstant, 1000u);
}

TEST_F(Comm, PurgeReadsInChunksWithAShortTimeoutAndRestoresIt) {
    Handle port = OpenedPort();
    fw::PushInput(1500, 0x5A);
    EXPECT_EQ(CommPurgeInput(port), CommResult::Ok);
    EXPECT_EQ(ReadSizes(), (std::vector<DWORD>{512, 512, 476}));
    EXPECT_TRUE(fw::Port().input.empty());
    EXPECT_EQ(fw::CallNames(), (Names{"ClearCommError", "GetCommTimeouts", "SetCommTimeouts", "ReadFile", "ReadFile",
                                      "ReadFile", "GetCommTimeouts", "SetCommTimeouts"}));
    const auto sets = fw::CallsOf("SetCommTimeouts");
    ASSERT_EQ(sets.size(), 2u);
    EXPECT_EQ(sets[0].timeouts.ReadTotalTimeoutConstant, 50u);
    EXPECT_EQ(sets[1].timeouts.ReadTotalTimeoutConstant, 1000u);
    EXPECT_EQ(fw::Port().timeouts.ReadTotalTimeoutConstant, 1000u);
}

TEST_F(Comm, PurgeOutcomes) {
    struct Case {
        const char* what;
        size_t pending;
        std::initializer_list<BOOL> clearResults;
        std::initializer_list<BOOL> readResults;
        DWORD timeoutBefore;
        CommResult result;
        std::vector<DWORD> reads;
        size_t timeoutWrites;
    } cases[] = {
        {"exactly one chunk", 512, {}, {}, 1000, CommResult::Ok, {512, 0}, 2},
        {"one byte", 1, {}, {}, 1000, CommResult::Ok, {1}, 2},
        {"second read fails", 1500, {}, {TRUE, FALSE}, 1000, CommResult::IoFailed, {512, 0}, 2},
        {"first read fails", 3, {}, {FALSE}, 1000, CommResult::IoFailed, {0}, 2},
        {"status unreadable, queue empty", 0, {FALSE}, {}, 1000, CommResult::Ok, {0}, 2},
        {"status unreadable, read fails", 0, {FALSE}, {FALSE}, 1000, CommResult::IoFailed, {0}, 2},
        {"previous time-out below 10 ms", 40, {}, {}, 9, CommResult::Ok, {40}, 1},
        {"already at 50 ms", 40, {}, {}, 50, CommResult::Ok, {40}, 0},
    };
    for (const Case& c : cases) {
        fw::Reset();
        fw::PushInput(c.pending, 0x33);
        fw::Port().timeouts.ReadTotalTimeoutConstant = c.timeoutBefore;
        if (c.clearResults.size() != 0) fw::ScriptResults("ClearCommError", c.clearResults);
        if (c.readResults.size() != 0) fw::ScriptResults("ReadFile", c.readResults);
        EXPECT_EQ(CommPurgeInput(Fake(0x100)), c.result) << c.what;
        EXPECT_EQ(ReadSizes(), c.reads) << c.what;
        EXPECT_EQ(fw::CallsOf("SetCommTimeouts").size(), c.timeoutWrites) << c.what;
        const DWORD expectedAfter = c.timeoutBefore < 10 ? 50 : c.timeoutBefore;
        EXPECT_EQ(fw::Port().timeouts.ReadTotalTimeoutConstant, expectedAfter) << c.what;
    }
}

TEST_F(Comm, PurgeWithUnreadableTimeoutsDoesNotRestore) {
    fw::PushInput(600, 1);
    fw::Port().timeouts.ReadTotalTimeoutConstant = 1000;
    fw::FailNext("GetCommTimeouts");
    EXPECT_EQ(CommPurgeInput(Fake(0x100)), CommResult::Ok);
    EXPECT_EQ(ReadSizes(), (std::vector<DWORD>{512, 88}));
    EXPECT_TRUE(fw::CallsOf("SetCommTimeouts").empty());
    EXPECT_EQ(fw::CallsOf("GetCommTimeouts").size(), 1u);
}

// ------------------------------------------------------------ break, sleep

TEST_F(Comm, BreakHoldsTheLineForTheDuration) {
    CommBreak(250, Fake(0x104));
    ASSERT_EQ(fw::CallNames(), (Names{"SetCommBreak", "Sleep", "ClearCommBreak"}));
    EXPECT_EQ(fw::Calls()[0].handle, Fake(0x104));
    EXPECT_EQ(fw::Calls()[1].args[0], 250u);
    EXPECT_EQ(fw::Calls()[2].handle, Fake(0x104));

    fw::Reset();
    fw::FailNext("SetCommBreak");
    fw::FailNext("ClearCommBreak");
    CommBreak(10, Fake(0x104));
    EXPECT_EQ(fw::CallNames(), (Names{"SetCommBreak", "Sleep", "ClearCommBreak"}));
}

TEST_F(Comm, SleepSleeps) {
    CommSleep(50);
    ASSERT_EQ(fw::CallNames(), Names{"Sleep"});
    EXPECT_EQ(fw::Calls()[0].args[0], 50u);
}

// ------------------------------------------------------------ writing

TEST_F(Comm, WriteResults) {
    const unsigned char frame[10] = {0x55, 0xAA, 0x55, 0xAA, 0x02, 0x11, 0x01, 0x73, 0x01, 0x65};
    struct Case {
        const char* what;
        long limit;
        bool fails;
        bool countPointer;
        CommResult result;
        uint32_t written;  // 0xDEADBEEF: untouched
    } cases[] = {
        {"whole frame", -1, false, true, CommResult::Ok, 10},
        {"whole frame, no count", -1, false, false, CommResult::Ok, 0xDEADBEEF},
        {"short", 4, false, true, CommResult::Partial, 4},
        {"short, no count", 4, false, false, CommResult::Partial, 0xDEADBEEF},
        {"nothing written", 0, false, true, CommResult::Partial, 0},
        {"call fails", -1, true, true, CommResult::IoFailed, 0xDEADBEEF},
    };
    for (const Case& c : cases) {
        fw::Reset();
        fw::Port().writeLimit = c.limit;
        if (c.fails) fw::FailNext("WriteFile");
        uint32_t written = 0xDEADBEEF;
        EXPECT_EQ(CommWrite(Fake(0x100), frame, sizeof frame, c.countPointer ? &written : nullptr), c.result) << c.what;
        EXPECT_EQ(written, c.written) << c.what;
        const auto writes = fw::CallsOf("WriteFile");
        ASSERT_EQ(writes.size(), 1u) << c.what;
        EXPECT_EQ(writes[0].args[0], 10u) << c.what;
        EXPECT_FALSE(writes[0].overlapped) << c.what;
        EXPECT_TRUE(writes[0].countPointer) << c.what;
        if (!c.fails) {
            const size_t n = c.limit < 0 ? sizeof frame : static_cast<size_t>(c.limit);
            EXPECT_EQ(writes[0].data, std::vector<unsigned char>(frame, frame + n)) << c.what;
        }
    }
}

// ------------------------------------------------------------ reading

TEST_F(Comm, ReadTakesWhatArrivedInOneCall) {
    unsigned char sent[37];
    for (size_t i = 0; i < sizeof sent; ++i) sent[i] = static_cast<unsigned char>(0xA0 + i);
    fw::PushInput(sent, sizeof sent);
    unsigned char buffer[2000];
    memset(buffer, 0xEE, sizeof buffer);
    uint32_t received = 0xDEADBEEF;
    EXPECT_EQ(CommRead(Fake(0x100), buffer, 2000, &received), CommResult::Ok);
    EXPECT_EQ(received, 37u);
    EXPECT_EQ(memcmp(buffer, sent, sizeof sent), 0);
    EXPECT_EQ(buffer[37], 0xEE);
    const auto reads = fw::CallsOf("ReadFile");
    ASSERT_EQ(reads.size(), 1u) << "a short read is not topped up";
    EXPECT_EQ(reads[0].args[0], 2000u);
    EXPECT_FALSE(reads[0].overlapped);
}

TEST_F(Comm, ReadResults) {
    struct Case {
        const char* what;
        size_t pending;
        uint32_t asked;
        bool fails;
        bool countPointer;
        CommResult result;
        uint32_t received;
        DWORD askedOfPlatform;
    } cases[] = {
        {"silent line", 0, 255, false, true, CommResult::IoFailed, 0, 255},
        {"read fails", 20, 255, true, true, CommResult::IoFailed, 0, 255},
        {"exact size", 11, 11, false, true, CommResult::Ok, 11, 11},
        {"more waiting than asked", 30, 11, false, true, CommResult::Ok, 11, 11},
        {"no count pointer", 5, 255, false, false, CommResult::Ok, 0xDEADBEEF, 255},
        {"silent, no count pointer", 0, 255, false, false, CommResult::IoFailed, 0xDEADBEEF, 255},
        // The whole count reaches the platform (cut to 16 bits it asked for 5).
        {"count over 16 bits", 20, 0x10005, false, true, CommResult::Ok, 20, 0x10005},
    };
    for (const Case& c : cases) {
        fw::Reset();
        fw::PushInput(c.pending, 0x42);
        if (c.fails) fw::FailNext("ReadFile");
        unsigned char buffer[300];
        uint32_t received = 0xDEADBEEF;
        EXPECT_EQ(CommRead(Fake(0x100), buffer, c.asked, c.countPointer ? &received : nullptr), c.result) << c.what;
        EXPECT_EQ(received, c.received) << c.what;
        const auto reads = fw::CallsOf("ReadFile");
        ASSERT_EQ(reads.size(), 1u) << c.what;
        EXPECT_EQ(reads[0].args[0], c.askedOfPlatform) << c.what;
    }
}

}  // namespace
