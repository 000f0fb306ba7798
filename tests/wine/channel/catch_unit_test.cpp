// The catch thread's parts, the live-channel table and the channel texts,
// compiled into this program from the driver's sources: the paths that the
// host's requests cannot reach (a failing take or release of the port lock,
// the start's own client-name check, a full table).
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <thread>

#include "entry/catch_thread.h"
#include "entry/channel_names.h"
#include "entry/live_channels.h"
#include "tests/wine/channel/channel_support.h"

namespace {

using Lines = std::vector<std::string>;

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
        stop_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        mutex_ = CreateMutexA(nullptr, FALSE, nullptr);
    }
    void TearDown() override {
        CloseHandle(stop_);
        CloseHandle(mutex_);
    }
    HANDLE stop_ = nullptr, mutex_ = nullptr;
};

TEST_F(PortLockParts, TakeAndReleaseLogNothingWhenTheyWork) {
    EXPECT_TRUE(WaitUntilCommNotBusy(mutex_, stop_));
    ReleaseComm(mutex_);
    EXPECT_TRUE(LogLines().empty());
    // Released: another thread takes it at once.
    std::thread([&] {
        EXPECT_EQ(WaitForSingleObject(mutex_, 0), static_cast<DWORD>(WAIT_OBJECT_0));
        ReleaseMutex(mutex_);
    }).join();
}

TEST_F(PortLockParts, StopReachesAWaitForALockHeldElsewhere) {
    HANDLE taken = CreateEventA(nullptr, TRUE, FALSE, nullptr), done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread holder([&] {
        WaitForSingleObject(mutex_, INFINITE);
        SetEvent(taken);
        WaitForSingleObject(done, 10000);
        ReleaseMutex(mutex_);
    });
    ASSERT_EQ(WaitForSingleObject(taken, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
    std::thread stopper([&] {
        Sleep(200);
        SetEvent(stop_);
    });
    const double before = NowMs();
    EXPECT_FALSE(WaitUntilCommNotBusy(mutex_, stop_));
    const double took = NowMs() - before;
    EXPECT_GE(took, 150.0);
    EXPECT_LT(took, 3000.0);
    stopper.join();
    SetEvent(done);
    holder.join();
    EXPECT_TRUE(LogLines().empty());
    CloseHandle(taken);
    CloseHandle(done);
}

TEST_F(PortLockParts, FailedTakeAndReleaseAreLoggedAndTheLoopGoesOn) {
    HANDLE bad = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7FF8));
    EXPECT_TRUE(WaitUntilCommNotBusy(bad, stop_));
    ReleaseComm(bad);
    ReleaseComm(mutex_);  // not held by this thread
    EXPECT_EQ(LogLines(), (Lines{"S1: WaitUntilCommNotBusy(): WaitSem fail -1", "S1: ReleaseComm(): ClearSem fail 0",
                                 "S1: ReleaseComm(): ClearSem fail 0"}));
}

TEST_F(PortLockParts, PauseLastsAtLeastItsTimeUnlessStopped) {
    for (uint32_t ms : {100u, 250u}) {
        const double before = NowMs();
        EXPECT_FALSE(PauseUnlessStopped(stop_, ms));
        const double took = NowMs() - before;
        EXPECT_GE(took, static_cast<double>(ms));
        EXPECT_LT(took, ms + 1500.0);
    }
    const double before = NowMs();
    EXPECT_FALSE(PauseUnlessStopped(nullptr, 100));
    EXPECT_GE(NowMs() - before, 100.0);
    SetEvent(stop_);
    const double stopped = NowMs();
    EXPECT_TRUE(PauseUnlessStopped(stop_, 5000));
    EXPECT_LT(NowMs() - stopped, 1000.0);
}

TEST(CatchInstall, WrongClientNameIsRefusedBeforeAnyThreadStarts) {
    KestraClear();
    HostRecord record;
    memcpy(record->name, "VpiSK07", 8);
    memcpy(record->VpiClientName, "VpiXY07", 8);
    VpiRequest request{record.get(), 1, 7, 0, nullptr};
    ChannelSlot slot{};
    slot.channel = record.get();
    const int threads = CountThreads();
    EXPECT_EQ(InstallCatch(&request, &slot), -1);
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
    const double before = NowMs();
    EXPECT_EQ(CloseCatchThread(&request, nullptr), 0);
    EXPECT_GE(NowMs() - before, 1000.0);
    EXPECT_EQ(LogLines(), (Lines{"VpiSK08: CloseCatchThread failed", "VpiSK08: Close ComBusy Semaphore failed"}));
    for (size_t i = offsetof(VpiChannel, syncEvent); i < offsetof(VpiChannel, valueTail); ++i)
        EXPECT_EQ(record.bytes[i], 0xCD) << "byte " << i;  // nothing it did not create is touched
}

}  // namespace
