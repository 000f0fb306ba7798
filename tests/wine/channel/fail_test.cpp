// Starts that fail after the port was prepared: the start signal or the port
// lock cannot be created, or the catch thread ends without its signal. Each
// failure is logged, closes the port, releases what the start created and
// returns 2.
//
// Named kernel objects are shared by every program of the Wine prefix, so
// this program first holds numbers 1 to 40 with disabled channels: the
// failing channel is VpiSK41, a name no other test program uses.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>

#include "tests/wine/channel/channel_support.h"

extern "C" __declspec(dllimport) void GateArm();
extern "C" __declspec(dllimport) int GateWaitCaught(DWORD milliseconds);
extern "C" __declspec(dllimport) void GateRelease();

namespace {

using Lines = std::vector<std::string>;
constexpr int kHeld = 40;

class FailedStart : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        held_ = new std::vector<std::unique_ptr<HostRecord>>();
        for (int i = 0; i < kHeld; ++i) {
            held_->push_back(std::make_unique<HostRecord>());
            Start(*held_->back(), MakeStart("NULLDEV", 0), i);
        }
        auto nothing = [] {};
        RunOnThreads(1, nothing);  // the first extra thread loads what stays loaded
    }
    void SetUp() override {
        ASSERT_STREQ((*held_)[kHeld - 1]->get()->name, "VpiSK40");
        KestraClear();
        handles_ = CountHandles();
        threads_ = CountThreads();
    }
    // What every failed start leaves: no thread, no object, the port closed.
    void ExpectNothingLeft(HostRecord& record) {
        EXPECT_EQ(record->port, nullptr);
        EXPECT_EQ(record->syncEvent, nullptr);
        EXPECT_EQ(record->commBusyMutex, nullptr);
        EXPECT_EQ(record->catchThread, nullptr);
        EXPECT_EQ(record->catchThreadId, 0u);
        const Counts after = CountsSettledTo(handles_, threads_);
        EXPECT_EQ(after.handles, handles_);
        EXPECT_EQ(after.threads, threads_);
    }
    // The failed channel still holds its number until its end.
    void EndIt(HostRecord& record) {
        KestraClear();
        EXPECT_EQ(End(record), 0);
        EXPECT_EQ(LogLines(), (Lines{"VpiSK41: CloseCatchThread failed", "VpiSK41: Close ComBusy Semaphore failed",
                                     "VpiSK41: EndVpi()", "VpiSK41: No. of Instances left: 40"}));
    }
    static std::vector<std::unique_ptr<HostRecord>>* held_;
    int handles_ = 0, threads_ = 0;
};
std::vector<std::unique_ptr<HostRecord>>* FailedStart::held_;

const Lines kStartOfVpiSK41 = {"VpiSK41: ColdStart() entered, Version: 01.00", "VpiSK41: ColdStart() SetCommMask() fail"};

Lines With(Lines lines, std::initializer_list<const char*> more) {
    for (const char* line : more) lines.emplace_back(line);
    return lines;
}

TEST_F(FailedStart, StartSignalNameTakenByAMutex) {
    HANDLE squatter = CreateMutexA(nullptr, FALSE, "SYNCTHREADVpiSK41");
    ASSERT_NE(squatter, nullptr);
    handles_ = CountHandles();
    HostRecord record;
    EXPECT_EQ(Start(record, MakeStart("NULLDEV"), 41), 2);
    EXPECT_EQ(LogLines(), With(kStartOfVpiSK41, {"VpiSK41: failed create Sync. Threads Semaphore"}));
    EXPECT_STREQ(record->syncThreadName, "SYNCTHREADVpiSK41");
    ExpectNothingLeft(record);
    CloseHandle(squatter);
    EndIt(record);
}

TEST_F(FailedStart, PortLockNameTakenByAnEvent) {
    HANDLE squatter = CreateEventA(nullptr, TRUE, FALSE, "COMMBUSYVpiSK41");
    ASSERT_NE(squatter, nullptr);
    handles_ = CountHandles();
    HostRecord record;
    EXPECT_EQ(Start(record, MakeStart("NULLDEV"), 41), 2);
    EXPECT_EQ(LogLines(), With(kStartOfVpiSK41, {"VpiSK41: failed create Mutex CommBusy Semaphore"}));
    ExpectNothingLeft(record);
    // The start signal it had created is gone with it.
    EXPECT_EQ(OpenEventA(SYNCHRONIZE, FALSE, "SYNCTHREADVpiSK41"), nullptr);
    CloseHandle(squatter);
    EndIt(record);
}

TEST_F(FailedStart, StartSignalGivenElsewhereDoesNotEndTheStartEarly) {
    // Another process's channel of the same name has already set the shared signal.
    HANDLE elsewhere = CreateEventA(nullptr, TRUE, TRUE, "SYNCTHREADVpiSK41");
    ASSERT_NE(elsewhere, nullptr);
    HostRecord record;
    const double before = NowMs();
    EXPECT_EQ(Start(record, MakeStart("NULLDEV"), 41), 0);
    EXPECT_GE(NowMs() - before, 1000.0);
    EXPECT_EQ(LogLines(), With(kStartOfVpiSK41, {"VpiSK41: CatchThread Wait...", "VpiSK41: CatchThread Started",
                                                 "VpiSK41: ColdStart() end OK"}));
    KestraClear();
    EXPECT_EQ(End(record), 0);
    EXPECT_EQ(LogLines(), (Lines{"VpiSK41: EndVpi()", "VpiSK41: No. of Instances left: 40"}));
    CloseHandle(elsewhere);
}

// Runs a start whose catch thread is held at its very start while
// `change` edits the record, then lets it go.
int32_t StartWhileThreadIsHeld(HostRecord& record, void (*change)(VpiChannel*)) {
    std::atomic<bool> running{false}, armed{false}, edited{false};
    auto edit = [&] {
        running = true;
        while (!armed) Sleep(1);
        if (!GateWaitCaught(20000)) return;
        change(record.get());
        edited = true;
        GateRelease();
    };
    HANDLE editor = StartThread(edit);
    while (!running) Sleep(1);  // the editor is through its own start: the gate is for the next thread
    GateArm();
    armed = true;
    const int32_t status = Start(record, MakeStart("NULLDEV"), 41);
    JoinThread(editor);
    EXPECT_TRUE(edited) << "the catch thread was not held at its start";
    return status;
}

TEST_F(FailedStart, CatchThreadEndingWithoutItsSignalFailsTheWait) {
    HostRecord record;
    const double before = NowMs();
    const int32_t status =
        StartWhileThreadIsHeld(record, [](VpiChannel* channel) { memcpy(channel->VpiClientName, "VpiXX41", 8); });
    EXPECT_EQ(status, 2);
    EXPECT_LT(NowMs() - before, 900.0);  // no waiting for a signal that cannot come
    EXPECT_EQ(LogLines(), With(kStartOfVpiSK41, {"VpiSK41: CatchThread() fail, wrong VpiClientName",
                                                 "VpiSK41: WaitSyncSem fail -1"}));
    ExpectNothingLeft(record);
    EndIt(record);
}

TEST_F(FailedStart, ClientNameInLowerCasePassesTheThreadsCheck) {
    HostRecord record;
    const int32_t status =
        StartWhileThreadIsHeld(record, [](VpiChannel* channel) { memcpy(channel->VpiClientName, "Vpisk41", 8); });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(LogLines(), With(kStartOfVpiSK41, {"VpiSK41: CatchThread Wait...", "VpiSK41: CatchThread Started",
                                                 "VpiSK41: ColdStart() end OK"}));
    EXPECT_TRUE(ThreadAlive(record->catchThreadId));
    KestraClear();
    EXPECT_EQ(End(record), 0);
    EXPECT_EQ(LogLines(), (Lines{"VpiSK41: EndVpi()", "VpiSK41: No. of Instances left: 40"}));
}

}  // namespace
