// Channel start, restart and end through the real SK5820.dll under Wine.
// Every test ends every channel it starts, so each begins with no live
// channel and its first start is VpiSK01.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "tests/wine/channel/channel_support.h"

namespace {

using Lines = std::vector<std::string>;

constexpr double kStartMs = 1000;    // a start waits for the catch thread's signal
constexpr double kEndMs = 1000;      // an end pauses after stopping the thread
constexpr double kSlowLimitMs = 8000;  // generous: Wine on a loaded machine
constexpr double kQuickLimitMs = 900;  // anything that must not wait for a thread

Lines StartLines(const std::string& name, bool nullDevice, const std::string& port = "") {
    Lines lines{name + ": ColdStart() entered, Version: 01.00"};
    if (nullDevice) lines.push_back(name + ": ColdStart() SetCommMask() fail");
    lines.push_back(name + ": CatchThread Wait...");
    lines.push_back(name + ": CatchThread Started");
    if (!nullDevice) lines.push_back(SettingsLine(name, port));
    lines.push_back(name + ": ColdStart() end OK");
    return lines;
}

Lines EndLines(const std::string& name, int left, bool hadThread = true) {
    Lines lines;
    if (!hadThread) {
        lines.push_back(name + ": CloseCatchThread failed");
        lines.push_back(name + ": Close ComBusy Semaphore failed");
    }
    lines.push_back(name + ": EndVpi()");
    lines.push_back(name + ": No. of Instances left: " + std::to_string(left));
    return lines;
}

bool AllBytes(const HostRecord& record, size_t from, size_t to, unsigned char value) {
    for (size_t i = from; i < to; ++i)
        if (record.bytes[i] != value) return false;
    return true;
}

uint32_t ReadTimeoutMs(Handle port) {
    COMMTIMEOUTS timeouts{};
    if (!GetCommTimeouts(port, &timeouts)) return 0;
    return timeouts.ReadTotalTimeoutConstant;
}

class ChannelLife : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(DriverCom(0).empty()) << "run through tests/wine/run.sh --pairs 1";
        KestraClear();
    }
    std::string Line() const { return DevicePath(DriverCom(0)); }
};

TEST_F(ChannelLife, FirstStartOnALineLogsInOrderAndTakesASecond) {
    HostRecord record;
    const double before = NowMs();
    ASSERT_EQ(Start(record, MakeStart(Line(), 1, 250), 3), 0);
    const double took = NowMs() - before;
    EXPECT_GE(took, kStartMs);
    EXPECT_LT(took, kSlowLimitMs);
    EXPECT_EQ(LogWithoutLineSignals(), StartLines("VpiSK01", false, Line()));

    const int wait = FindLine("VpiSK01: CatchThread Wait...");
    const int started = FindLine("VpiSK01: CatchThread Started");
    ASSERT_GE(wait, 0);
    ASSERT_GT(started, wait);
    EXPECT_GE(KestraLineTime(started) - KestraLineTime(wait), kStartMs);

    KestraClear();
    const double endBefore = NowMs();
    EXPECT_EQ(End(record), 0);
    const double endTook = NowMs() - endBefore;
    EXPECT_GE(endTook, kEndMs);
    EXPECT_LT(endTook, kSlowLimitMs);
    EXPECT_EQ(LogWithoutLineSignals(), EndLines("VpiSK01", 0));
}

TEST_F(ChannelLife, StartFillsTheRecordAndLeavesTheRestAlone) {
    HostRecord record;
    const StartParameters parameters = MakeStart(Line(), 1, 250, PortSettings{19200, 8, 0, 0});
    ASSERT_EQ(Start(record, parameters, 3), 0);
    VpiChannel& channel = *record.get();

    EXPECT_STREQ(channel.name, "VpiSK01");
    EXPECT_EQ(record.bytes[offsetof(VpiChannel, version)], 0x00);  // version 0x0100, little-endian
    EXPECT_EQ(record.bytes[offsetof(VpiChannel, version) + 1], 0x01);
    EXPECT_STREQ(channel.VpiClientName, "VpiSK01");
    EXPECT_EQ(channel.instanceNumber, 1);
    EXPECT_EQ(channel.channelTag, 3);
    EXPECT_STREQ(channel.intFileName, "vpiSK03.int");
    EXPECT_EQ(channel.enabled, 1);
    EXPECT_EQ(channel.readTimeout, 250);
    EXPECT_NE(channel.port, nullptr);
    EXPECT_FALSE(IsNoPort(channel.port));
    EXPECT_EQ(ReadTimeoutMs(channel.port), 2500u);  // 250 units of 10 ms
    EXPECT_EQ(memcmp(channel.portDesc.portName, parameters.portName, 12), 0);
    EXPECT_EQ(memcmp(&channel.portDesc.settings, &parameters.settings, 8), 0);
    EXPECT_EQ(channel.portDesc.lineFlags, 0x0101);
    EXPECT_STREQ(channel.commBusyName, "COMMBUSYVpiSK01");
    EXPECT_STREQ(channel.syncThreadName, "SYNCTHREADVpiSK01");

    EXPECT_EQ(channel.syncEvent, nullptr);  // closed once the signal came
    EXPECT_NE(channel.commBusyMutex, nullptr);
    HANDLE named = OpenMutexA(SYNCHRONIZE, FALSE, "COMMBUSYVpiSK01");
    EXPECT_NE(named, nullptr);
    if (named != nullptr) CloseHandle(named);
    ASSERT_NE(channel.catchThread, nullptr);
    EXPECT_EQ(GetThreadId(channel.catchThread), channel.catchThreadId);
    EXPECT_TRUE(ThreadAlive(channel.catchThreadId));
    EXPECT_EQ(WaitForSingleObject(channel.catchThread, 0), static_cast<DWORD>(WAIT_TIMEOUT));

    // Unnamed ranges and the fields of the other requests stay as the host left them.
    EXPECT_TRUE(AllBytes(record, offsetof(VpiChannel, unused180), offsetof(VpiChannel, syncEvent), 0xCD));
    EXPECT_TRUE(AllBytes(record, offsetof(VpiChannel, unused190), offsetof(VpiChannel, catchThread), 0xCD));
    EXPECT_TRUE(AllBytes(record, offsetof(VpiChannel, valueTail), offsetof(VpiChannel, line), 0xCD));
    EXPECT_TRUE(AllBytes(record, offsetof(VpiChannel, unused3770), offsetof(VpiChannel, intFileName), 0xCD));
    // The line settings read at the start (no file: the defaults, all 0) and
    // what the driver learnt of the gateway (nothing yet: 0); no trace file
    // (no path, none open), the cap read as its default.
    EXPECT_TRUE(AllBytes(record, offsetof(VpiChannel, line), offsetof(VpiChannel, health), 0));
    EXPECT_TRUE(AllBytes(record, offsetof(VpiChannel, traceFile), offsetof(VpiChannel, traceFile.capKb), 0));
    const uint32_t capKb = channel.traceFile.capKb;
    EXPECT_EQ(capKb, 10240u);
    EXPECT_TRUE(AllBytes(record, offsetof(VpiChannel, traceFile.file), offsetof(VpiChannel, unused3770), 0));

    const DWORD threadId = channel.catchThreadId;
    EXPECT_EQ(End(record), 0);
    EXPECT_EQ(channel.port, nullptr);
    EXPECT_EQ(channel.instanceNumber, -1);
    EXPECT_EQ(channel.catchThread, nullptr);
    EXPECT_EQ(channel.catchThreadId, 0u);
    EXPECT_EQ(channel.commBusyMutex, nullptr);
    EXPECT_FALSE(ThreadAlive(threadId));
    EXPECT_STREQ(channel.name, "VpiSK01");  // the name stays for the end's messages
}

struct IndexCase {
    int32_t channelIndex;
    const char* intFileName;
    uint8_t tag;
};

TEST_F(ChannelLife, ChannelIndexGivesTheIntFileNameAndTheTag) {
    const IndexCase cases[] = {
        {3, "vpiSK03.int", 3},
        {300, "vpiSK300.int", 44},
        {0, "vpiSK00.int", 0},
        {-1, "vpiSK-1.int", 255},
        {123456, "vpiSK123456.int", 0x40},
        {INT32_MIN, "vpiSK-214748364", 0},  // cut to the 16-byte field, NUL included
    };
    for (const IndexCase& c : cases) {
        HostRecord record;
        ASSERT_EQ(Start(record, MakeStart("NULLDEV"), c.channelIndex), 0) << c.channelIndex;
        EXPECT_STREQ(record->intFileName, c.intFileName) << c.channelIndex;
        EXPECT_EQ(record->channelTag, c.tag) << c.channelIndex;
        EXPECT_STREQ(record->name, "VpiSK01") << c.channelIndex;
        EXPECT_EQ(End(record), 0);
    }
}

TEST_F(ChannelLife, NullDeviceInAnyLetterCaseStartsWithoutALine) {
    for (const char* port : {"NULLDEV", "nulldev", "NullDev", "nULLdEV"}) {
        KestraClear();
        HostRecord record;
        const double before = NowMs();
        ASSERT_EQ(Start(record, MakeStart(port), 7), 0) << port;
        EXPECT_GE(NowMs() - before, kStartMs) << port;
        EXPECT_TRUE(IsNoPort(record->port)) << port;
        EXPECT_EQ(LogLines(), StartLines("VpiSK01", true)) << port;
        EXPECT_TRUE(ThreadAlive(record->catchThreadId)) << port;
        EXPECT_EQ(memcmp(record->portDesc.portName, port, strlen(port) + 1), 0) << port;

        KestraClear();
        EXPECT_EQ(Restart(record), 0) << port;
        EXPECT_EQ(LogLines(), Lines{"VpiSK01: WarmStart() entered"}) << port;

        KestraClear();
        EXPECT_EQ(End(record), 0) << port;
        EXPECT_EQ(record->port, nullptr) << port;
        EXPECT_EQ(LogLines(), EndLines("VpiSK01", 0)) << port;
    }
}

// A host that frees the driver while a channel runs: the channel's thread
// holds the DLL loaded (before, it went on running unmapped code), and the
// channel can still be ended.
TEST_F(ChannelLife, CatchThreadKeepsTheDriverLoaded) {
    HostRecord record;
    const HMODULE extra = LoadLibraryA("SK5820.dll");
    ASSERT_EQ(extra, DriverModule());
    ASSERT_EQ(Start(record, MakeStart("NULLDEV"), 7), 0);
    // Every reference of this program given back: only the thread's is left.
    ASSERT_TRUE(FreeLibrary(extra));
    ASSERT_TRUE(FreeLibrary(DriverModule()));
    Sleep(300);  // the thread passes its lock while nothing else holds the DLL
    EXPECT_EQ(GetModuleHandleA("SK5820.dll"), DriverModule());
    EXPECT_TRUE(ThreadAlive(record->catchThreadId));
    ASSERT_EQ(LoadLibraryA("SK5820.dll"), DriverModule());  // the program's reference again
    KestraClear();
    EXPECT_EQ(End(record), 0);
    EXPECT_EQ(LogLines(), EndLines("VpiSK01", 0));
}

TEST_F(ChannelLife, DisabledChannelIsNamedAndCountedWithoutThreadOrPort) {
    const int threads = CountThreads();
    HostRecord first, second;
    const double before = NowMs();
    ASSERT_EQ(Start(first, MakeStart("NULLDEV", 0), 3), 0);
    EXPECT_LT(NowMs() - before, kQuickLimitMs);
    EXPECT_EQ(LogLines(), Lines{"VpiSK01: ColdStart() entered, Version: 01.00"});
    EXPECT_STREQ(first->name, "VpiSK01");
    EXPECT_EQ(first->instanceNumber, 1);
    EXPECT_EQ(first->enabled, 0);
    EXPECT_TRUE(AllBytes(first, offsetof(VpiChannel, intFileName), sizeof(VpiChannel), 0xCD));
    EXPECT_TRUE(AllBytes(first, offsetof(VpiChannel, portDesc), offsetof(VpiChannel, name), 0xCD));
    EXPECT_EQ(first->port, nullptr);  // "no port": a later end never closes an unknown value
    EXPECT_EQ(first->catchThread, nullptr);
    EXPECT_EQ(first->commBusyMutex, nullptr);
    EXPECT_EQ(first->syncEvent, nullptr);
    EXPECT_EQ(CountThreads(), threads);

    // The disabled channel holds its number: the next start is the second.
    ASSERT_EQ(Start(second, MakeStart("NULLDEV", 0), 4), 0);
    EXPECT_STREQ(second->name, "VpiSK02");

    KestraClear();
    const double endBefore = NowMs();
    EXPECT_EQ(End(first), 0);
    EXPECT_GE(NowMs() - endBefore, kEndMs);
    EXPECT_EQ(LogLines(), EndLines("VpiSK01", 1, false));
    KestraClear();
    EXPECT_EQ(End(second), 0);
    EXPECT_EQ(LogLines(), EndLines("VpiSK02", 0, false));
}

TEST_F(ChannelLife, PortThatCannotBeOpenedFailsTheStart) {
    struct Case {
        std::string port;
        std::string logged;
    };
    const Case cases[] = {
        {"\\\\.\\SKNONE", "VpiSK01: Fail to open \\\\.\\SKNONE"},
        {"ABCDEFGHIJKL", "VpiSK01: Fail to open ABCDEFGHIJKL"},  // no NUL within the 12 bytes
    };
    for (const Case& c : cases) {
        KestraClear();
        const int threads = CountThreads();
        HostRecord record;
        const double before = NowMs();
        EXPECT_EQ(Start(record, MakeStart(c.port), 3), 2) << c.port;
        EXPECT_LT(NowMs() - before, kQuickLimitMs) << c.port;
        EXPECT_EQ(LogLines(), (Lines{"VpiSK01: ColdStart() entered, Version: 01.00", c.logged})) << c.port;
        EXPECT_EQ(record->port, nullptr) << c.port;
        EXPECT_TRUE(AllBytes(record, offsetof(VpiChannel, portDesc), offsetof(VpiChannel, name), 0xCD)) << c.port;
        EXPECT_STREQ(record->intFileName, "vpiSK03.int") << c.port;
        EXPECT_EQ(record->catchThread, nullptr) << c.port;
        EXPECT_EQ(CountThreads(), threads) << c.port;

        KestraClear();
        EXPECT_EQ(End(record), 0) << c.port;
        EXPECT_EQ(LogLines(), EndLines("VpiSK01", 0, false)) << c.port;
    }
}

TEST_F(ChannelLife, RestartOnALineDiscardsPendingInput) {
    HostRecord record;
    ASSERT_EQ(Start(record, MakeStart(Line(), 1, 250), 1), 0);
    HANDLE peer = CreateFileA(DevicePath(PeerCom(0)).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(peer, INVALID_HANDLE_VALUE);
    unsigned char noise[300];
    for (size_t i = 0; i < sizeof noise; ++i) noise[i] = static_cast<unsigned char>(i);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(peer, noise, sizeof noise, &written, nullptr));
    ASSERT_EQ(written, sizeof noise);

    DWORD errors = 0;
    COMSTAT status{};
    for (int i = 0; i < 100; ++i) {  // let the bytes cross the pty pair
        ASSERT_TRUE(ClearCommError(record->port, &errors, &status));
        if (status.cbInQue >= sizeof noise) break;
        Sleep(10);
    }
    ASSERT_EQ(status.cbInQue, sizeof noise);

    KestraClear();
    EXPECT_EQ(Restart(record), 0);
    EXPECT_EQ(LogLines(), (Lines{"VpiSK01: WarmStart() entered", SettingsLine("VpiSK01", Line()),
                                 "VpiSK01: WarmStart() exit"}));
    ASSERT_TRUE(ClearCommError(record->port, &errors, &status));
    EXPECT_EQ(status.cbInQue, 0u);
    EXPECT_EQ(ReadTimeoutMs(record->port), 2500u);  // the purge puts the time-out back
    EXPECT_TRUE(ThreadAlive(record->catchThreadId));

    CloseHandle(peer);
    EXPECT_EQ(End(record), 0);
}

TEST_F(ChannelLife, EndThatCannotCloseThePortReportsItAfterItsOtherSteps) {
    HostRecord record;
    ASSERT_EQ(Start(record, MakeStart(Line()), 1), 0);
    const DWORD threadId = record->catchThreadId;
    const Handle port = record->port;
    ASSERT_TRUE(CloseHandle(port));  // behind the driver's back: its close must fail

    KestraClear();
    const double before = NowMs();
    EXPECT_EQ(End(record), 2);
    EXPECT_GE(NowMs() - before, kEndMs);
    EXPECT_EQ(LogWithoutLineSignals(), EndLines("VpiSK01", 0));
    EXPECT_EQ(record->port, port);  // kept, as a failed close keeps it
    EXPECT_EQ(record->instanceNumber, -1);
    EXPECT_FALSE(ThreadAlive(threadId));

    // The number was given back all the same.
    KestraClear();
    HostRecord next;
    ASSERT_EQ(Start(next, MakeStart("NULLDEV"), 1), 0);
    EXPECT_STREQ(next->name, "VpiSK01");
    EXPECT_EQ(End(next), 0);
}

TEST_F(ChannelLife, LiveChannelsNeverShareANumber) {
    HostRecord a, b, c;
    ASSERT_EQ(Start(a, MakeStart("NULLDEV"), 1), 0);
    ASSERT_EQ(Start(b, MakeStart("NULLDEV"), 2), 0);
    EXPECT_STREQ(a->name, "VpiSK01");
    EXPECT_STREQ(b->name, "VpiSK02");

    KestraClear();
    EXPECT_EQ(End(a), 0);
    EXPECT_EQ(LogLines(), EndLines("VpiSK01", 1));

    // The lowest free number, not the count plus one.
    KestraClear();
    ASSERT_EQ(Start(c, MakeStart("NULLDEV"), 3), 0);
    EXPECT_STREQ(c->name, "VpiSK01");
    EXPECT_EQ(c->instanceNumber, 1);
    EXPECT_STREQ(c->commBusyName, "COMMBUSYVpiSK01");
    EXPECT_EQ(LogLines(), StartLines("VpiSK01", true));
    EXPECT_NE(c->commBusyMutex, b->commBusyMutex);
    EXPECT_TRUE(ThreadAlive(b->catchThreadId));

    KestraClear();
    EXPECT_EQ(End(b), 0);
    EXPECT_EQ(LogLines(), EndLines("VpiSK02", 1));
    KestraClear();
    EXPECT_EQ(End(c), 0);
    EXPECT_EQ(LogLines(), EndLines("VpiSK01", 0));
}

TEST_F(ChannelLife, EndOfARecordWithoutANumberLeavesTheCountAlone) {
    HostRecord record;
    ASSERT_EQ(Start(record, MakeStart("NULLDEV"), 1), 0);
    EXPECT_EQ(End(record), 0);

    KestraClear();
    const double before = NowMs();
    EXPECT_EQ(End(record), 0);  // a second end
    EXPECT_GE(NowMs() - before, kEndMs);
    EXPECT_EQ(LogLines(), EndLines("VpiSK01", 0, false));
    EXPECT_EQ(record->instanceNumber, -1);

    HostRecord never(0x00);  // never started, cleared by its host
    KestraClear();
    EXPECT_EQ(End(never), 0);
    EXPECT_EQ(LogLines(), (Lines{": CloseCatchThread failed", ": Close ComBusy Semaphore failed", ": EndVpi()",
                                 ": No. of Instances left: 0"}));
    EXPECT_EQ(never->instanceNumber, -1);

    KestraClear();
    ASSERT_EQ(Start(record, MakeStart("NULLDEV"), 1), 0);
    EXPECT_STREQ(record->name, "VpiSK01");  // never VpiSK00
    EXPECT_EQ(End(record), 0);
}

TEST_F(ChannelLife, HandlesTheDriverDidNotCreateAreNeverClosed) {
    HANDLE foreign = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(foreign, nullptr);
    HostRecord record;
    record->port = foreign;
    record->syncEvent = foreign;
    record->commBusyMutex = foreign;
    record->catchThread = foreign;

    // The end of a record that was never started touches none of them.
    EXPECT_EQ(End(record), 0);
    DWORD flags = 0;
    EXPECT_TRUE(GetHandleInformation(foreign, &flags));
    EXPECT_EQ(record->port, foreign);

    // A start forgets them before it creates its own; its end closes only its own.
    record->instanceNumber = 77;
    ASSERT_EQ(Start(record, MakeStart("NULLDEV"), 1), 0);
    EXPECT_NE(record->commBusyMutex, foreign);
    EXPECT_NE(record->catchThread, foreign);
    EXPECT_EQ(record->syncEvent, nullptr);
    EXPECT_EQ(End(record), 0);
    EXPECT_TRUE(GetHandleInformation(foreign, &flags));
    EXPECT_EQ(WaitForSingleObject(foreign, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    CloseHandle(foreign);
}

TEST_F(ChannelLife, SecondStartOfAStartedChannelIsRefusedAndChangesNothing) {
    HostRecord record;
    ASSERT_EQ(Start(record, MakeStart(Line(), 1, 250), 3), 0);
    HostRecord before = record;

    KestraClear();
    const double started = NowMs();
    EXPECT_EQ(Start(record, MakeStart("NULLDEV", 1, 50), 9), 2);
    EXPECT_LT(NowMs() - started, kQuickLimitMs);
    EXPECT_EQ(LogLines(), Lines{"VpiSK01: ColdStart() fail, channel already started"});
    EXPECT_EQ(memcmp(before.bytes, record.bytes, sizeof record.bytes), 0);
    EXPECT_TRUE(ThreadAlive(record->catchThreadId));
    EXPECT_EQ(ReadTimeoutMs(record->port), 2500u);

    KestraClear();
    EXPECT_EQ(End(record), 0);
    EXPECT_EQ(LogWithoutLineSignals(), EndLines("VpiSK01", 0));
}

TEST_F(ChannelLife, ChannelWithoutThreadMayBeStartedAgainUnderItsNumber) {
    HostRecord other, record;
    ASSERT_EQ(Start(other, MakeStart("NULLDEV", 0), 1), 0);  // holds VpiSK01
    ASSERT_EQ(Start(record, MakeStart("\\\\.\\SKNONE"), 2), 2);
    EXPECT_STREQ(record->name, "VpiSK02");

    // Again after the failed open; then after a disabled start.
    for (int32_t enabled : {0, 1}) {
        KestraClear();
        EXPECT_EQ(Start(record, MakeStart("NULLDEV", enabled), 2), 0) << enabled;
        EXPECT_STREQ(record->name, "VpiSK02") << enabled;
        EXPECT_EQ(LogLines().front(), "VpiSK02: ColdStart() entered, Version: 01.00") << enabled;
    }
    EXPECT_TRUE(ThreadAlive(record->catchThreadId));

    KestraClear();
    EXPECT_EQ(End(record), 0);
    EXPECT_EQ(LogLines(), EndLines("VpiSK02", 1));
    KestraClear();
    EXPECT_EQ(End(other), 0);
    EXPECT_EQ(LogLines(), EndLines("VpiSK01", 0, false));
}

TEST_F(ChannelLife, StartAgainClosesThePortTheChannelWasGivenSince) {
    // The first named object of a process opens the session's object folder for good.
    CloseHandle(CreateEventA(nullptr, TRUE, FALSE, "SkChanTestFirstNamedObject"));
    const int handles = CountHandles();
    const int threads = CountThreads();
    HostRecord record;
    ASSERT_EQ(Start(record, MakeStart("NULLDEV", 0), 1), 0);
    ReopenParams reopen;
    memset(&reopen, 0, sizeof reopen);
    memcpy(reopen.portName, Line().c_str(), Line().size());
    reopen.settings = PortSettings{19200, 8, 0, 0};
    ASSERT_EQ(CallVpi(15, record.get(), &reopen), 0);  // the disabled channel gets a line
    ASSERT_NE(record->port, nullptr);

    ASSERT_EQ(Start(record, MakeStart(Line()), 1), 0);
    EXPECT_STREQ(record->name, "VpiSK01");
    EXPECT_EQ(End(record), 0);
    EXPECT_EQ(CountsSettledTo(handles, threads).handles, handles);  // neither port handle is left open
}

TEST_F(ChannelLife, CatchThreadRestsBetweenLockPasses) {
    HostRecord record;
    ASSERT_EQ(Start(record, MakeStart("NULLDEV"), 1), 0);
    FILETIME created, exited, kernelBefore, userBefore, kernelAfter, userAfter;
    ASSERT_TRUE(GetThreadTimes(record->catchThread, &created, &exited, &kernelBefore, &userBefore));
    Sleep(2000);
    ASSERT_TRUE(GetThreadTimes(record->catchThread, &created, &exited, &kernelAfter, &userAfter));
    auto ticks = [](const FILETIME& t) { return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
    const double busyMs =
        static_cast<double>(ticks(kernelAfter) - ticks(kernelBefore) + ticks(userAfter) - ticks(userBefore)) / 1e4;
    EXPECT_LT(busyMs, 300.0);  // 20 passes in 2 s; a loop without its pause would spin the whole time
    EXPECT_TRUE(LinesStartingWith("S1: ").empty());
    EXPECT_EQ(End(record), 0);
}

}  // namespace
