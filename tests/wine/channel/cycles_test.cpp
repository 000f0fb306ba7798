// Many starts and ends: nothing is left behind, and host threads that start
// and end channels at the same time never get the same live number.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <set>

#include "tests/wine/channel/channel_support.h"

namespace {

// One start and end, and one extra host thread, before the counts are
// taken: the first of each loads what stays loaded.
void WarmUp() {
    HostRecord record;
    ASSERT_EQ(Start(record, MakeStart("NULLDEV"), 1), 0);
    ASSERT_EQ(End(record), 0);
    auto nothing = [] {};
    RunOnThreads(1, nothing);
}

int CountLines(const std::string& text) {
    const std::vector<std::string> lines = LogLines();
    return static_cast<int>(std::count(lines.begin(), lines.end(), text));
}

TEST(ChannelCycles, FiftyCyclesOnFiveHostThreadsLeaveNoHandleNoThreadAndNoSharedNumber) {
    WarmUp();
    KestraClear();
    const int handles = CountHandles();
    const int threads = CountThreads();

    {
        constexpr int kHostThreads = 5;
        constexpr int kCyclesEach = 10;
        SRWLOCK liveLock = SRWLOCK_INIT;
        std::set<std::string> live;
        std::vector<std::string> faults;
        std::atomic<int> ready{0};
        double shortestStart = 1e9, shortestEnd = 1e9;

        auto host = [&] {
            HostRecord record;
            ++ready;
            while (ready.load() < kHostThreads) Sleep(1);
            for (int cycle = 0; cycle < kCyclesEach; ++cycle) {
                const double a = NowMs();
                const int32_t started = Start(record, MakeStart("NULLDEV"), cycle);
                const double b = NowMs();
                const std::string name = record->name;
                {
                    AcquireSRWLockExclusive(&liveLock);
                    shortestStart = std::min(shortestStart, b - a);
                    if (started != 0) faults.push_back(name + " start " + std::to_string(started));
                    if (!live.insert(name).second) faults.push_back(name + " is live twice");
                    if (record->instanceNumber < 1 || record->instanceNumber > kHostThreads)
                        faults.push_back(name + " number " + std::to_string(record->instanceNumber));
                    live.erase(name);  // before the end: the number is not free until the end is through
                    ReleaseSRWLockExclusive(&liveLock);
                }
                const int32_t ended = End(record);
                const double c = NowMs();
                AcquireSRWLockExclusive(&liveLock);
                shortestEnd = std::min(shortestEnd, c - b);
                if (ended != 0) faults.push_back(name + " end " + std::to_string(ended));
                ReleaseSRWLockExclusive(&liveLock);
            }
        };
        RunOnThreads(kHostThreads, host);

        EXPECT_TRUE(faults.empty()) << faults.front();
        EXPECT_GE(shortestStart, 1000.0);
        EXPECT_GE(shortestEnd, 1000.0);
        const int cycles = kHostThreads * kCyclesEach;
        int ok = 0, ends = 0;
        for (int n = 1; n <= kHostThreads; ++n) {
            const std::string name = "VpiSK0" + std::to_string(n);
            ok += CountLines(name + ": ColdStart() end OK");
            ends += CountLines(name + ": EndVpi()");
        }
        EXPECT_EQ(ok, cycles);
        EXPECT_EQ(ends, cycles);
        EXPECT_TRUE(LinesStartingWith("S1: ").empty());
    }
    const Counts after = CountsSettledTo(handles, threads);
    EXPECT_EQ(after.handles, handles);
    EXPECT_EQ(after.threads, threads);

    // All ended: the count is back to 0 and the next start is the first.
    KestraClear();
    HostRecord next;
    ASSERT_EQ(Start(next, MakeStart("NULLDEV"), 1), 0);
    EXPECT_STREQ(next->name, "VpiSK01");
    EXPECT_EQ(End(next), 0);
    EXPECT_EQ(LogLines().back(), "VpiSK01: No. of Instances left: 0");
}

TEST(ChannelCycles, CyclesOnALineAndFailedStartsLeaveNoHandle) {
    ASSERT_FALSE(DriverCom(0).empty()) << "run through tests/wine/run.sh --pairs 1";
    WarmUp();
    const int handles = CountHandles();
    const int threads = CountThreads();
    for (int cycle = 0; cycle < 5; ++cycle) {
        HostRecord record;
        ASSERT_EQ(Start(record, MakeStart(DevicePath(DriverCom(0)), 1, 100), cycle), 0) << cycle;
        EXPECT_EQ(End(record), 0) << cycle;
    }
    for (int cycle = 0; cycle < 3; ++cycle) {
        HostRecord record;
        EXPECT_EQ(Start(record, MakeStart("\\\\.\\SKNONE"), cycle), 2) << cycle;
        EXPECT_EQ(End(record), 0) << cycle;
    }
    const Counts after = CountsSettledTo(handles, threads);
    EXPECT_EQ(after.handles, handles);
    EXPECT_EQ(after.threads, threads);
}

}  // namespace
