// The channel life below the host's requests: the channel texts, the
// live-channel table, the port lock and pause of the catch thread, and whole
// starts and ends from many threads at once. One source, two programs: built
// natively it runs on the C++ thread-library stand-in under the sanitizers,
// with the driver's clock 50 times fast; built for Windows it runs on
// Win32's own objects under Wine, in real time.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "channel/catch_thread.h"
#include "channel/channel.h"
#include "channel/live_channels.h"
#include "channel/settings.h"
#include "channel/sync.h"
#include "gateway/trace.h"
#include "gateway/trace_file.h"
#include "host/texts.h"
#include "tests/support/log_lines.h"

#ifdef _WIN32
#include <windows.h>
#include <tlhelp32.h>
#else
#include <dirent.h>
#include <unistd.h>

#include "native_sync_control.h"
#endif

namespace {

using Lines = std::vector<std::string>;

#ifdef _WIN32
constexpr bool kNative = false;
int CountThreads() {
    int count = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        count += entry.th32OwnerProcessID == GetCurrentProcessId() ? 1 : 0;
    CloseHandle(snapshot);
    return count;
}
void FastClock(bool) {}
#else
constexpr bool kNative = true;
int CountThreads() {
    int count = 0;
    DIR* tasks = opendir("/proc/self/task");
    while (dirent* entry = readdir(tasks)) count += entry->d_name[0] != '.' ? 1 : 0;
    closedir(tasks);
    return count;
}
// The driver's clock 50 times fast: a start's 1000 ms delay takes 20 ms.
void FastClock(bool on) { native_sync::SetTimeScale(on ? 0.02 : 1.0); }
#endif

double DriverMs() { return static_cast<double>(SyncNowMilliseconds()); }

// Ends the program with a message when a step does not end in time: a stop
// that never reaches the catch thread would otherwise hang the test.
class Watchdog {
public:
    Watchdog(const char* what, int seconds) : what_(what) {
        thread_ = std::thread([this, seconds] {
            for (int tenths = 0; tenths < seconds * 10 && !done_.load(); ++tenths)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (done_.load()) return;
            fprintf(stderr, "hung: %s did not end within %d s\n", what_, seconds);
            std::abort();
        });
    }
    ~Watchdog() {
        done_.store(true);
        thread_.join();
    }

private:
    const char* what_;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

TEST(ChannelTexts, NumbersHaveAtLeastTwoDigitsAndEndInsideTheirField) {
    struct Case {
        const char* prefix;
        int32_t number;
        const char* suffix;
        size_t size;
        const char* text;
    };
    const Case cases[] = {
        {"VpiSK", 1, "", 31, "VpiSK01"},
        {"VpiSK", 0, "", 31, "VpiSK00"},
        {"VpiSK", 10, "", 31, "VpiSK10"},
        {"VpiSK", 100, "", 31, "VpiSK100"},
        {"VpiSK", -1, "", 31, "VpiSK-1"},
        {"VpiSK", -12, "", 31, "VpiSK-12"},
        {"vpiSK", 3, ".int", 16, "vpiSK03.int"},
        {"vpiSK", 123456, ".int", 16, "vpiSK123456.int"},
        {"vpiSK", 1234567, ".int", 16, "vpiSK1234567.in"},
        {"vpiSK", INT32_MIN, ".int", 16, "vpiSK-214748364"},
        {"vpiSK", INT32_MAX, ".int", 32, "vpiSK2147483647.int"},
        {"VpiSK", 5, "", 4, "Vpi"},
        {"VpiSK", 5, "", 1, ""},
    };
    for (const Case& c : cases) {
        char out[40];
        memset(out, 0x7E, sizeof out);
        FormatNumbered(out, c.size, c.prefix, c.number, c.suffix);
        EXPECT_STREQ(out, c.text) << c.number << " in " << c.size;
        EXPECT_EQ(static_cast<unsigned char>(out[c.size]), 0x7E) << "wrote past the field";
    }
}

TEST(ChannelTexts, ClientNameCheckLooksAtTheTwoLettersAfterVpi) {
    struct Case {
        const char* clientName;
        bool passes;
    };
    const Case cases[] = {{"VpiSK01", true}, {"Vpisk01", true},  {"VpiSk01", true}, {"xxxsK", true},
                          {"VpiXK01", false}, {"VpiSX01", false}, {"Vpi", false},    {"VpiS", false}};
    for (const Case& c : cases) {
        char field[11] = {};
        memcpy(field, c.clientName, strlen(c.clientName));
        EXPECT_EQ(HasClientName(field), c.passes) << c.clientName;
    }
}

TEST(LiveTable, NumbersAreTheLowestFreeAndEachRecordHoldsOne) {
    static VpiChannel a, b, c, d;
    ChannelSlot* slot = nullptr;
    int32_t number = 0;
    ASSERT_EQ(ClaimForStart(&a, &slot, &number), StartClaim::Fresh);
    EXPECT_EQ(number, 1);
    SettleStart(slot, true);
    ASSERT_EQ(ClaimForStart(&b, &slot, &number), StartClaim::Fresh);
    EXPECT_EQ(number, 2);
    ChannelSlot* bSlot = slot;
    SettleStart(slot, false);
    ASSERT_EQ(ClaimForStart(&c, &slot, &number), StartClaim::Fresh);
    EXPECT_EQ(number, 3);
    ChannelSlot* cSlot = slot;  // left Starting: a start of c is running
    EXPECT_EQ(InstanceCount(), 3);

    // A started record, and one being started, refuse a start and an end.
    EXPECT_EQ(ClaimForStart(&a, &slot, &number), StartClaim::Started);
    EXPECT_EQ(number, 1);
    EXPECT_EQ(ClaimForStart(&c, &slot, &number), StartClaim::Started);
    EXPECT_EQ(ClaimForEnd(&c), nullptr);
    // A record without thread may start again under its number.
    ASSERT_EQ(ClaimForStart(&b, &slot, &number), StartClaim::Again);
    EXPECT_EQ(number, 2);
    EXPECT_EQ(slot, bSlot);
    EXPECT_EQ(InstanceCount(), 3);
    SettleStart(slot, false);

    // Ending b frees 2, which the next new record takes.
    ChannelSlot* ending = ClaimForEnd(&b);
    ASSERT_EQ(ending, bSlot);
    EXPECT_EQ(ClaimForEnd(&b), nullptr);  // an end of it is running
    EXPECT_EQ(ReleaseSlot(ending), 2);
    EXPECT_EQ(ClaimForEnd(&b), nullptr);  // no live number any more
    ASSERT_EQ(ClaimForStart(&d, &slot, &number), StartClaim::Fresh);
    EXPECT_EQ(number, 2);
    EXPECT_EQ(InstanceCount(), 3);

    SettleStart(cSlot, true);
    SettleStart(slot, true);
    for (VpiChannel* channel : {&a, &c, &d}) ReleaseSlot(ClaimForEnd(channel));
    EXPECT_EQ(InstanceCount(), 0);
}

TEST(LiveTable, HostThreadsClaimingAtOnceGetDistinctNumbers) {
    constexpr int kThreads = 8, kEach = 100;
    static VpiChannel records[kThreads * kEach];
    std::vector<int32_t> numbers(kThreads * kEach, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                ChannelSlot* slot = nullptr;
                int32_t number = 0;
                if (ClaimForStart(&records[t * kEach + i], &slot, &number) == StartClaim::Fresh) {
                    SettleStart(slot, false);
                    numbers[static_cast<size_t>(t * kEach + i)] = number;
                }
            }
        });
    }
    for (std::thread& t : threads) t.join();
    std::vector<int32_t> sorted = numbers;
    std::sort(sorted.begin(), sorted.end());
    for (int i = 0; i < kThreads * kEach; ++i) ASSERT_EQ(sorted[static_cast<size_t>(i)], i + 1);
    EXPECT_EQ(InstanceCount(), kThreads * kEach);
    for (VpiChannel& record : records) ReleaseSlot(ClaimForEnd(&record));
    EXPECT_EQ(InstanceCount(), 0);
}

TEST(LiveTable, FullTableRefusesWithoutCounting) {
    static VpiChannel records[kMaxLiveChannels + 1];
    for (VpiChannel& record : records) {
        ChannelSlot* slot = nullptr;
        int32_t number = 0;
        const StartClaim claim = ClaimForStart(&record, &slot, &number);
        if (&record == &records[kMaxLiveChannels]) {
            EXPECT_EQ(claim, StartClaim::Full);
        } else {
            ASSERT_EQ(claim, StartClaim::Fresh);
            SettleStart(slot, false);
        }
    }
    EXPECT_EQ(InstanceCount(), kMaxLiveChannels);
    for (int i = 0; i < kMaxLiveChannels; ++i) ReleaseSlot(ClaimForEnd(&records[i]));
    EXPECT_EQ(InstanceCount(), 0);
}

class PortLockParts : public ::testing::Test {
protected:
    void SetUp() override {
        KestraClear();
        stop_ = SyncCreateEvent(nullptr);
        mutex_ = SyncCreateMutex(nullptr);
    }
    void TearDown() override {
        SyncClose(stop_);
        SyncClose(mutex_);
    }
    Handle stop_ = nullptr, mutex_ = nullptr;
};

TEST_F(PortLockParts, TakeAndReleaseLogNothingWhenTheyWork) {
    EXPECT_TRUE(WaitUntilCommNotBusy(mutex_, stop_));
    ReleaseComm(mutex_);
    EXPECT_TRUE(LogLines().empty());
    // Released: another thread takes it at once.
    std::thread([&] {
        EXPECT_EQ(SyncWaitOne(mutex_, 0), kWaitObject0);
        SyncReleaseMutex(mutex_);
    }).join();
}

TEST_F(PortLockParts, StopReachesAWaitForALockHeldElsewhere) {
    Handle taken = SyncCreateEvent(nullptr), done = SyncCreateEvent(nullptr);
    std::thread holder([&] {
        SyncWaitOne(mutex_, kWaitForever);
        SyncSetEvent(taken);
        SyncWaitOne(done, 10000);
        SyncReleaseMutex(mutex_);
    });
    ASSERT_EQ(SyncWaitOne(taken, 5000), kWaitObject0);
    std::thread stopper([&] {
        SyncSleep(200);
        SyncSetEvent(stop_);
    });
    const double before = DriverMs();
    EXPECT_FALSE(WaitUntilCommNotBusy(mutex_, stop_));
    const double took = DriverMs() - before;
    EXPECT_GE(took, 150.0);
    EXPECT_LT(took, 3000.0);
    stopper.join();
    SyncSetEvent(done);
    holder.join();
    EXPECT_TRUE(LogLines().empty());
    SyncClose(taken);
    SyncClose(done);
}

// A failed take is logged and reads as "not taken" (the catch thread then
// ends instead of releasing what it never took, every 100 ms for ever).
TEST_F(PortLockParts, FailedTakeAndReleaseAreLogged) {
    Handle bad = reinterpret_cast<Handle>(static_cast<uintptr_t>(0x7FF8));
    EXPECT_FALSE(WaitUntilCommNotBusy(bad, stop_));
    ReleaseComm(bad);
    ReleaseComm(mutex_);  // not held by this thread
    EXPECT_EQ(LogLines(), (Lines{"S1: WaitUntilCommNotBusy(): WaitSem fail -1", "S1: ReleaseComm(): ClearSem fail 0",
                                 "S1: ReleaseComm(): ClearSem fail 0"}));
}

TEST_F(PortLockParts, PauseLastsAtLeastItsTimeUnlessStopped) {
    for (uint32_t ms : {100u, 250u}) {
        const double before = DriverMs();
        EXPECT_FALSE(PauseUnlessStopped(stop_, ms));
        const double took = DriverMs() - before;
        EXPECT_GE(took, static_cast<double>(ms));
        EXPECT_LT(took, ms + 1500.0);
    }
    const double before = DriverMs();
    EXPECT_FALSE(PauseUnlessStopped(nullptr, 100));
    EXPECT_GE(DriverMs() - before, 100.0);
    SyncSetEvent(stop_);
    const double stopped = DriverMs();
    EXPECT_TRUE(PauseUnlessStopped(stop_, 5000));
    EXPECT_LT(DriverMs() - stopped, 1000.0);
}

// A channel record as the host allocates it: filled with what the
// allocation held.
struct HostRecord {
    HostRecord() { memset(bytes, 0xCD, sizeof bytes); }
    VpiChannel* get() { return reinterpret_cast<VpiChannel*>(bytes); }
    VpiChannel* operator->() { return get(); }
    alignas(8) unsigned char bytes[sizeof(VpiChannel)];
};

TEST(CatchInstall, WrongClientNameIsRefusedBeforeAnyThreadStarts) {
    KestraClear();
    HostRecord record;
    memcpy(record->name, "VpiSK07", 8);
    memcpy(record->VpiClientName, "VpiXY07", 8);
    VpiRequest request{record.get(), 1, 7, 0, nullptr};
    ChannelSlot slot{};
    slot.channel = record.get();
    const int threads = CountThreads();
    EXPECT_FALSE(InstallCatch(&request, &slot));
    EXPECT_EQ(LogLines(), Lines{"VpiSK07: InstallCatch() fail, wrong VpiClientName"});
    EXPECT_EQ(slot.catchThread, nullptr);
    EXPECT_EQ(slot.stopEvent, nullptr);
    EXPECT_EQ(CountThreads(), threads);
}

TEST(CatchInstall, EndOfARecordWithoutSlotStillPausesAndLogsBothFailures) {
    KestraClear();
    HostRecord record;
    memcpy(record->name, "VpiSK08", 8);
    VpiRequest request{record.get(), 11, 0, 0, nullptr};
    const double before = DriverMs();
    CloseCatchThread(&request, nullptr);
    EXPECT_GE(DriverMs() - before, 1000.0);
    EXPECT_EQ(LogLines(), (Lines{"VpiSK08: CloseCatchThread failed", "VpiSK08: Close ComBusy Semaphore failed"}));
    for (size_t i = offsetof(VpiChannel, syncEvent); i < offsetof(VpiChannel, valueTail); ++i)
        EXPECT_EQ(record.bytes[i], 0xCD) << "byte " << i;  // nothing it did not create is touched
}

// The process environment as the driver reads it (null: removed).
void SetVariable(const char* name, const char* value) {
#ifdef _WIN32
    SetEnvironmentVariableA(name, value);
#else
    if (value != nullptr) {
        setenv(name, value, 1);
    } else {
        unsetenv(name);
    }
#endif
}

// Every "@" of a text as `folder`.
std::string InFolder(std::string text, const std::string& folder) {
    for (size_t at; (at = text.find('@')) != std::string::npos;) text.replace(at, 1, folder);
    return text;
}

// The settings file: [default], then the port's own section; every bad
// value or unknown key one line and its default kept; the line that says
// what is in effect. Natively through the test reader, under Wine through
// GetPrivateProfileSectionA. With trace_file the trace goes to the port's
// own file (here in the folder "@"), not to the host log.
TEST(LineSettingsFile, SectionsBadValuesAndTheLineInEffect) {
    const std::string path = [] {
        char full[512];
#ifdef _WIN32
        return std::string(_fullpath(full, "sk_settings_test.ini", sizeof full));
#else
        return std::string(getcwd(full, sizeof full)) + "/sk_settings_test.ini";
#endif
    }();
    const std::string head = "VpiSK01: COM5 19200 8N1, answers end by ";
    const std::string longFile = "[default]\nanswer_end=window\n" + std::string(5000, 'x') + "\n";
    const std::string folder = (std::filesystem::current_path() / "sk_trace_test").string();
    const std::string announceLine = "VpiSK01: trace -> announce, 10 bytes [PC: SKGateway]: " + std::string(
        "53 4B 20 47 41 54 45 57 41 59");
    const uint8_t announce[] = {'S', 'K', ' ', 'G', 'A', 'T', 'E', 'W', 'A', 'Y'};
    struct Case {
        const char* what;
        const char* file;  // null: no file
        const char* crcSwitch;  // SK5820_CHECK_CRC, null: unset
        Lines log;
        int traces = 0;                 // announces traced after the settings were read
        const char* traceFile = "@/sk-trace-COM5.txt";
        Lines traced = {};              // its lines, without their time
        size_t olderLines = 0;          // the lines of its .1
        const char* traceSwitch = nullptr;  // SK5820_TRACE, null: unset
        std::string named = "";             // SK5820_INI when not the test's file
    } cases[] = {
        {"SK5820_INI names no file", nullptr, nullptr,
         {"VpiSK01: SK5820.ini: cannot read " + path + " (the file does not exist); the defaults are in force",
          head + "frame, block answers by window, CRC checked, changes confirmed"}},
        {"SK5820_INI too long", nullptr, nullptr,
         {"VpiSK01: SK5820.ini: SK5820_INI names a path of 300 characters, longer than 263; the defaults are in force",
          head + "frame, block answers by window, CRC checked, changes confirmed"},
         0, "", {}, 0, nullptr, "/" + std::string(299, 'x')},
        {"a key given twice: the first counts", "[COM5]\nread_retries = 4\nread_retries=1\n", nullptr,
         {"VpiSK01: sk_settings_test.ini [COM5] read_retries = 1: given again, the first value is used",
          head + "frame, block answers by window, CRC checked, changes confirmed, read retries 4"}},
        {"SK5820_TRACE=0 over trace = 1", "[COM5]\ntrace=1\n", nullptr,
         {head + "frame, block answers by window, CRC checked, changes confirmed, trace off (SK5820_TRACE)"}, 2, "", {}, 0, "0"},
        {"SK5820_TRACE=1 says where it came from", "[COM5]\nline_down_after=0\nstats_minutes=0\n", nullptr,
         {head + "frame, block answers by window, CRC checked, changes confirmed, trace on (SK5820_TRACE), line down never, no counters "
                 "line",
          announceLine},
         1, "", {}, 0, "1"},
        {"both sections", "[default]\nanswer_end=window\nblock_quiet_ms = 500\n[com5]\nblock_answer_end = QUIET\n"
                          "block_quiet_ms=120\n[COM6]\nanswer_end=frame\ncheck_crc=0\n",
         nullptr, {head + "window, block answers by 120 ms quiet, CRC checked, changes confirmed"}},
        {"bad values and keys", "[default]\nanswr_end=window\nblock_quiet_ms=5\n; a comment\n[COM5]\n"
                                "answer_end = soon\ncheck_crc=yes\nsend_gap_ms=1001\nconfirm_changes=2\n",
         nullptr,
         {"VpiSK01: sk_settings_test.ini [default] answr_end: unknown key, ignored",
          "VpiSK01: sk_settings_test.ini [default] block_quiet_ms = 5: not a number from 20 to 4000, 300 used",
          "VpiSK01: sk_settings_test.ini [COM5] answer_end = soon: not frame or window, frame used",
          "VpiSK01: sk_settings_test.ini [COM5] check_crc = yes: not 0 or 1, 1 used",
          "VpiSK01: sk_settings_test.ini [COM5] send_gap_ms = 1001: not a number from 0 to 1000, 0 used",
          "VpiSK01: sk_settings_test.ini [COM5] confirm_changes = 2: not 0 or 1, 1 used",
          head + "frame, block answers by window, CRC checked, changes confirmed"}},
        {"check off, confirmation off, trace, gap", "[COM5]\ncheck_crc=0\nconfirm_changes=0\ntrace=1\nsend_gap_ms=20\n",
         nullptr, {head + "frame, block answers by window, CRC not checked, changes not confirmed, send gap 20 ms, trace on"}},
        {"the environment over the file", "[COM5]\ncheck_crc=0\n", "1",
         {head + "frame, block answers by window, CRC checked (SK5820_CHECK_CRC), changes confirmed"}},
        {"a section too long", longFile.c_str(), nullptr,
         {"VpiSK01: sk_settings_test.ini [default]: longer than 4096 bytes, ignored",
          head + "frame, block answers by window, CRC checked, changes confirmed"}},
        {"trace to the port's file", "[default]\ntrace_file = \"@/sk-trace.txt\"\n[COM5]\ntrace=1\n", nullptr,
         {head + "frame, block answers by window, CRC checked, changes confirmed, trace to file @/sk-trace-COM5.txt"}, 2,
         "@/sk-trace-COM5.txt", {announceLine, announceLine}},
        {"a trace file without the trace", "[COM5]\ntrace_file = @/sk-trace.txt\n", nullptr,
         {head + "frame, block answers by window, CRC checked, changes confirmed"}, 2},
        {"a trace file that cannot be opened", "[COM5]\ntrace=1\ntrace_file=@/none/sk-trace.txt\n", nullptr,
         {"VpiSK01: COM5 trace file @/none/sk-trace-COM5.txt cannot be opened (error 3); the trace goes to the "
          "host log",
          head + "frame, block answers by window, CRC checked, changes confirmed, trace on", announceLine, announceLine},
         2, "@/none/sk-trace-COM5.txt"},
        {"the file turned over at half its cap", "[COM5]\ntrace=1\ntrace_file=@/sk-trace.txt\ntrace_file_kb=64\n",
         nullptr, {head + "frame, block answers by window, CRC checked, changes confirmed, trace to file @/sk-trace-COM5.txt"}, 400,
         "@/sk-trace-COM5.txt", Lines(100, announceLine), 300},  // 109-byte lines: 300 fill 32 KB
        {"a bad cap", "[COM5]\ntrace_file_kb = 63\ntrace_file=\n", nullptr,
         {"VpiSK01: sk_settings_test.ini [COM5] trace_file_kb = 63: not a number from 64 to 1048576, 10240 used",
          head + "frame, block answers by window, CRC checked, changes confirmed"}},
    };
    for (const Case& c : cases) {
        remove(path.c_str());
        std::filesystem::remove_all(folder);
        std::filesystem::create_directory(folder);
        if (c.file != nullptr) {
            FILE* f = fopen(path.c_str(), "wb");
            ASSERT_NE(f, nullptr);
            fputs(InFolder(c.file, folder).c_str(), f);
            fclose(f);
        }
        SetVariable("SK5820_INI", c.named.empty() ? path.c_str() : c.named.c_str());
        SetVariable("SK5820_CHECK_CRC", c.crcSwitch);
        SetVariable("SK5820_TRACE", c.traceSwitch);
        KestraClear();
        HostRecord record;
        memcpy(record->name, "VpiSK01", 8);
        memcpy(record->portDesc.portName, "COM5\0\0\0\0\0\0\0", 12);
        record->portDesc.settings = PortSettings{19200, 8, 0, 0};
        ApplyLineSettings(record.get());
        SetVariable("SK5820_CHECK_CRC", nullptr);
        for (int i = 0; i < c.traces; ++i) TraceExchange(record.get(), announce, 10, kTraceSent, "PC: SKGateway");
        CloseTraceFile(record.get());  // as the channel's end does
        SetVariable("SK5820_TRACE", nullptr);
        Lines log = c.log;
        for (std::string& line : log) line = InFolder(line, folder);
        EXPECT_EQ(LogLines(), log) << c.what;
        const std::string traceFile = InFolder(c.traceFile, folder);
        EXPECT_EQ(TraceFileLines(traceFile), c.traced) << c.what;
        EXPECT_EQ(std::filesystem::exists(traceFile), !c.traced.empty()) << c.what;
        EXPECT_EQ(TraceFileLines(traceFile + ".1"), Lines(c.olderLines, announceLine)) << c.what;
        if (c.olderLines != 0) {
            EXPECT_LE(std::filesystem::file_size(traceFile + ".1"), 32u * 1024) << c.what;
        }
    }
    remove(path.c_str());
    std::filesystem::remove_all(folder);
    SetVariable("SK5820_INI", nullptr);
}

// The port's own trace file: the port's name before the extension, a path
// that is not full taken within the DLL's folder, room kept for its ".1".
TEST(LineSettingsFile, TraceFileOfAPort) {
    struct Case {
        const char* setting;
        const char* port;
        const char* path;  // null: too long
    } cases[] = {
        {"D:\\logs\\sk-trace.txt", "COM5", "D:\\logs\\sk-trace-COM5.txt"},
        {"sk-trace.txt", "COM12", "C:\\scada\\drv.v2\\sk-trace-COM12.txt"},
        {"logs\\trace", "COM5", "C:\\scada\\drv.v2\\logs\\trace-COM5"},
        {"\\\\server\\share\\sk.trace.log", "COM1", "\\\\server\\share\\sk.trace-COM1.log"},
        {"/var/log/.trace", "COM5", "/var/log/.trace-COM5"},
        {"D:\\x.txt", "COM5", "D:\\x-COM5.txt"},
    };
    for (const Case& c : cases) {
        char out[260];
        EXPECT_TRUE(TraceFilePath(c.setting, c.port, "C:\\scada\\drv.v2\\", out, sizeof out)) << c.setting;
        EXPECT_STREQ(out, c.path) << c.setting;
    }
    // 257 characters and the ".1" fill the 260 bytes with its NUL; one more does not fit.
    char out[260];
    const std::string folder = "C:\\" + std::string(243, 'f') + "\\";
    EXPECT_TRUE(TraceFilePath("t.log", "COM5", folder.c_str(), out, sizeof out));
    EXPECT_EQ(strlen(out), 257u);
    EXPECT_FALSE(TraceFilePath("tt.log", "COM5", folder.c_str(), out, sizeof out));
}

// Whole starts and ends through the request handlers, on channels without a
// line ("NULLDEV": catch thread and port lock, no port).
class ChannelRuns : public ::testing::Test {
protected:
    void SetUp() override {
        FastClock(true);
        KestraClear();
    }
    void TearDown() override { FastClock(false); }

    static int32_t Start(HostRecord& record, int32_t channelIndex = 1) {
        StartParameters parameters{};
        memcpy(parameters.portName, "NULLDEV", 8);
        parameters.enabled = 1;
        parameters.readTimeout = 100;
        parameters.settings = PortSettings{19200, 8, 0, 0};
        VpiRequest request{record.get(), 1, channelIndex, 0, &parameters};
        return ColdStart(&request);
    }
    static int32_t End(HostRecord& record) {
        VpiRequest request{record.get(), 11, 0, 0, nullptr};
        return EndVpi(&request);
    }
};

TEST_F(ChannelRuns, EndStopsTheCatchThreadAndFreesTheLowestNumber) {
    HostRecord a, b, c;
    Watchdog dog("three starts and two ends", 60);
    const double before = DriverMs();
    ASSERT_EQ(Start(a), 0);
    EXPECT_GE(DriverMs() - before, 1000.0) << "the catch thread waits 1000 ms before its start signal";
    ASSERT_EQ(Start(b), 0);
    ASSERT_EQ(Start(c), 0);
    EXPECT_STREQ(b->name, "VpiSK02");
    EXPECT_STREQ(c->name, "VpiSK03");

    KestraClear();
    const double endBefore = DriverMs();
    EXPECT_EQ(End(b), 0);
    EXPECT_GE(DriverMs() - endBefore, 1000.0);
    EXPECT_LT(DriverMs() - endBefore, 3000.0) << "the stop reaches the catch thread in its 100 ms rest";
    EXPECT_EQ(LogLines(), (Lines{"VpiSK02: EndVpi()", "VpiSK02: No. of Instances left: 2"}));
    EXPECT_TRUE(b->catchThread == nullptr);
    EXPECT_TRUE(b->commBusyMutex == nullptr);

    // A second end finds no live number: it changes no count.
    KestraClear();
    EXPECT_EQ(End(b), 0);
    EXPECT_EQ(LogLines(), (Lines{"VpiSK02: CloseCatchThread failed", "VpiSK02: Close ComBusy Semaphore failed",
                                 "VpiSK02: EndVpi()", "VpiSK02: No. of Instances left: 2"}));

    // The freed number 2 is the lowest: the next new record takes it.
    HostRecord d;
    ASSERT_EQ(Start(d), 0);
    EXPECT_STREQ(d->name, "VpiSK02");
    for (HostRecord* record : {&a, &c, &d}) EXPECT_EQ(End(*record), 0);
    EXPECT_EQ(InstanceCount(), 0);
}

TEST_F(ChannelRuns, HostThreadsStartingAndEndingAtOnceNeverShareANumberAndLeaveNothing) {
    constexpr int kThreads = 6;
    const int kCycles = kNative ? 8 : 2;
#ifndef _WIN32
    const int objectsBefore = native_sync::LiveObjects();
#endif
    Watchdog dog("the starts and ends of six threads", kNative ? 120 : 240);
    std::atomic<int> failures{0};
    // How many live records hold each number: a number held twice is a fault.
    static std::atomic<int> holders[kMaxLiveChannels + 1];
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            HostRecord records[2];
            for (int cycle = 0; cycle < kCycles; ++cycle) {
                for (HostRecord& record : records) {
                    if (Start(record, t + 1) != 0) ++failures;
                    const int32_t number = record->instanceNumber;
                    if (number < 1 || number > kMaxLiveChannels || holders[number].fetch_add(1) != 0) ++failures;
                }
                for (HostRecord& record : records) {
                    const int32_t number = record->instanceNumber;
                    if (number >= 1 && number <= kMaxLiveChannels) holders[number].fetch_sub(1);
                    if (End(record) != 0) ++failures;
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(InstanceCount(), 0);
    // Only the line every start without a port logs may say "fail".
    for (const std::string& line : LogLines()) {
        if (line.find("ColdStart() SetCommMask() fail") != std::string::npos) continue;
        EXPECT_EQ(line.find("fail"), std::string::npos) << line;
    }
#ifndef _WIN32
    EXPECT_EQ(native_sync::LiveObjects(), objectsBefore) << "a start or end left a kernel object open";
#endif
}

}  // namespace
