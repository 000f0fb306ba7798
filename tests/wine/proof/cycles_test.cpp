// Start/end cycles of NULLDEV channels, many at once: every start and every
// end gives 0 and lasts its second, no two live channels share a name, each
// cycle's read on the channel answers 0 at once, and after the last end the
// process holds exactly the handles and threads it held before the first.
//
//   SK_CYCLES           cycles in all (1000 by default)
//   SK_CYCLE_THREADS    host threads, each cycling its own record (40 by default)
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>  // std::lock_guard
#include <set>

#include "tests/wine/proof/proof_support.h"
#include "tests/wine/support/driver.h"

namespace proof {
namespace {

int EnvInt(const char* name, int fallback) {
    const char* text = getenv(name);
    return text != nullptr && atoi(text) > 0 ? atoi(text) : fallback;
}

TEST(Cycles, ThousandStartsAndEndsLeaveNothingBehind) {
    const int cycles = EnvInt("SK_CYCLES", 1000);
    const int hostThreads = std::min(EnvInt("SK_CYCLE_THREADS", 40), cycles);

    // A first round, one cycle on every host thread at once: it loads what
    // stays loaded.
    {
        std::atomic<int> bad{0};
        RunOnThreads(hostThreads, [&bad](int i) {
            HostRecord record;
            if (Start(record, MakeStart("NULLDEV"), i + 1) != 0 || End(record) != 0) ++bad;
        });
        ASSERT_EQ(bad.load(), 0);
    }
    KestraClear();
    const std::vector<uintptr_t> handleValues = HandleValues();
    const int handles = CountHandles();
    const int threads = CountThreads();

    std::atomic<int> claimed{0};
    SpinLock lock;
    std::set<std::string> live;
    std::vector<std::string> faults;
    double shortestStart = 1e12, shortestEnd = 1e12, longestStart = 0, longestEnd = 0;
    int highestNumber = 0;
    auto fault = [&](const std::string& text) {
        std::lock_guard<SpinLock> hold(lock);
        if (faults.size() < 40) faults.push_back(text);
    };

    auto host = [&](int index) {
        HostRecord record;
        Gate gate("01_", 0);
        while (claimed.fetch_add(1) < cycles) {
            const double a = NowMs();
            const int32_t started = Start(record, MakeStart("NULLDEV"), index);
            const double b = NowMs();
            const std::string name = record->name;
            {
                std::lock_guard<SpinLock> hold(lock);
                shortestStart = std::min(shortestStart, b - a);
                longestStart = std::max(longestStart, b - a);
                if (!live.insert(name).second) faults.push_back(name + " is live twice");
                highestNumber = std::max(highestNumber, static_cast<int>(record->instanceNumber));
            }
            if (started != 0) fault(name + ": start gave " + std::to_string(started));
            // A channel without a line answers a read at once with 0.
            gate.Fill();
            const int32_t read = CallVpi(kSingleRead, record.get(), &gate.point);
            if (read != 0 || gate.Word(0) != 0 || gate.Word(2) != 0) fault(name + ": NULLDEV read");
            {
                std::lock_guard<SpinLock> hold(lock);
                live.erase(name);  // before the end: the number is free once the end is through
            }
            const int32_t ended = End(record);
            const double c = NowMs();
            std::lock_guard<SpinLock> hold(lock);
            shortestEnd = std::min(shortestEnd, c - b);
            longestEnd = std::max(longestEnd, c - b);
            if (ended != 0) faults.push_back(name + ": end gave " + std::to_string(ended));
        }
    };
    const double begin = NowMs();
    RunOnThreads(hostThreads, [&host](int i) { host(i + 1); });
    const double wall = NowMs() - begin;

    for (const std::string& f : faults) ADD_FAILURE() << f;
    EXPECT_GE(shortestStart, 1000.0) << "a start takes at least a second";
    EXPECT_GE(shortestEnd, 1000.0) << "an end takes at least a second";
    int ok = 0, ends = 0, left = 0;
    for (const std::string& line : LogLines()) {
        if (line.find(": ColdStart() end OK") != std::string::npos) ++ok;
        if (line.find(": EndVpi()") != std::string::npos) ++ends;
        if (line.find(": No. of Instances left: ") != std::string::npos) ++left;
        if (line.rfind("S1: ", 0) == 0) ADD_FAILURE() << "port-lock message: " << line;
    }
    EXPECT_EQ(ok, cycles);
    EXPECT_EQ(ends, cycles);
    EXPECT_EQ(left, cycles);
    EXPECT_LE(highestNumber, hostThreads) << "numbers are reused: never more live than host threads";

    const Counts after = CountsSettledTo(handles, threads);
    EXPECT_EQ(after.handles, handles) << "new: " << NewHandles(handleValues, HandleValues());
    EXPECT_EQ(after.threads, threads);
    printf("[cycles] %d start/end cycles on %d host threads in %.1f s (%.2f s per cycle per thread); start %.0f-%.0f ms, "
           "end %.0f-%.0f ms; highest instance number %d; handles %d -> %d, threads %d -> %d\n",
           cycles, hostThreads, wall / 1000, wall / 1000 * hostThreads / cycles, shortestStart, longestStart,
           shortestEnd, longestEnd, highestNumber, handles, after.handles, threads, after.threads);

    // All ended: the next start is the first channel again.
    KestraClear();
    HostRecord next;
    ASSERT_EQ(Start(next, MakeStart("NULLDEV"), 1), 0);
    EXPECT_STREQ(next->name, "VpiSK01");
    EXPECT_EQ(End(next), 0);
    EXPECT_EQ(LogLines().back(), "VpiSK01: No. of Instances left: 0");
}

}  // namespace
}  // namespace proof
