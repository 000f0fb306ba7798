// The port lock against a second process: another holder of COMMBUSYVpiSK01
// keeps the catch thread waiting, yet the channel's requests run and its end
// still takes about a second.
#include <gtest/gtest.h>

#include "tests/wine/channel/channel_support.h"

namespace {

using Lines = std::vector<std::string>;

// chan_mutex_holder.exe on a named mutex, driven through two named events.
class Holder {
public:
    Holder(const std::string& mutexName, const char* mode) {
        static int serial;
        const std::string tag = std::to_string(GetCurrentProcessId()) + "." + std::to_string(++serial);
        heldName_ = "SkChanTestHeld" + tag;
        goName_ = "SkChanTestGo" + tag;
        held_ = CreateEventA(nullptr, TRUE, FALSE, heldName_.c_str());
        go_ = CreateEventA(nullptr, TRUE, FALSE, goName_.c_str());
        std::string command = "\"" + ProgramDir() + "\\chan_mutex_holder.exe\" " + mutexName + " " + heldName_ + " " +
                              goName_ + " " + mode;
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        started_ = CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                  &process_) != 0;
        if (started_) CloseHandle(process_.hThread);
    }
    ~Holder() {
        if (started_) {
            SetEvent(go_);
            WaitForSingleObject(process_.hProcess, 10000);
            CloseHandle(process_.hProcess);
        }
        CloseHandle(held_);
        CloseHandle(go_);
    }
    bool WaitHeld() { return started_ && WaitForSingleObject(held_, 20000) == WAIT_OBJECT_0; }
    // Lets the holder go on; its exit code (0: it held the lock to the end).
    DWORD Finish() {
        SetEvent(go_);
        DWORD code = 99;
        if (WaitForSingleObject(process_.hProcess, 20000) == WAIT_OBJECT_0) GetExitCodeProcess(process_.hProcess, &code);
        CloseHandle(process_.hProcess);
        started_ = false;
        return code;
    }

private:
    std::string heldName_, goName_;
    HANDLE held_ = nullptr, go_ = nullptr;
    PROCESS_INFORMATION process_{};
    bool started_ = false;
};

class PortLock : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(DriverCom(0).empty()) << "run through tests/wine/run.sh --pairs 1";
        KestraClear();
    }
};

TEST_F(PortLock, ChannelRunsAndEndsWhileAnotherProcessHoldsTheLock) {
    Holder holder("COMMBUSYVpiSK01", "release");
    ASSERT_TRUE(holder.WaitHeld());

    HostRecord record;
    const double before = NowMs();
    ASSERT_EQ(Start(record, MakeStart(DevicePath(DriverCom(0)), 1, 100), 1), 0);
    EXPECT_GE(NowMs() - before, 1000.0);
    EXPECT_EQ(LogWithoutLineSignals(), (Lines{"VpiSK01: ColdStart() entered, Version: 01.00",
                                              "VpiSK01: CatchThread Wait...", "VpiSK01: CatchThread Started",
                                              SettingsLine("VpiSK01", DevicePath(DriverCom(0))),
                                              "VpiSK01: ColdStart() end OK"}));
    Sleep(300);  // the catch thread is now waiting for the lock
    const DWORD threadId = record->catchThreadId;
    EXPECT_TRUE(ThreadAlive(threadId));

    // The channel's own requests do not wait for the lock.
    KestraClear();
    const double restart = NowMs();
    EXPECT_EQ(Restart(record), 0);
    EXPECT_LT(NowMs() - restart, 900.0);
    EXPECT_EQ(LogLines(), (Lines{"VpiSK01: WarmStart() entered", SettingsLine("VpiSK01", DevicePath(DriverCom(0))),
                                 "VpiSK01: WarmStart() exit"}));

    // A read runs its exchange on the line meanwhile: the far end hears the
    // announce. (No gateway answers; the read gives up on its own.)
    HANDLE peer = CreateFileA(DevicePath(PeerCom(0)).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(peer, INVALID_HANDLE_VALUE);
    COMMTIMEOUTS timeouts{};
    timeouts.ReadTotalTimeoutConstant = 100;
    SetCommTimeouts(peer, &timeouts);
    unsigned char value[64] = {};
    PointRecord point{};
    point.address = "01_";
    point.argC = 1;
    point.value = value;
    auto read = [&] { CallVpi(5, record.get(), &point); };
    HANDLE reader = StartThread(read);
    std::string heard;
    const double listening = NowMs();
    while (heard.find("SK GATEWAY") == std::string::npos && NowMs() - listening < 5000) {
        char bytes[64];
        DWORD got = 0;
        if (ReadFile(peer, bytes, sizeof bytes, &got, nullptr) && got > 0) heard.append(bytes, got);
    }
    EXPECT_NE(heard.find("SK GATEWAY"), std::string::npos) << heard;
    EXPECT_EQ(WaitForSingleObject(reader, 60000), static_cast<DWORD>(WAIT_OBJECT_0));
    CloseHandle(reader);
    CloseHandle(peer);

    // The stop reaches the waiting thread: the end is about a second.
    KestraClear();
    const double ending = NowMs();
    EXPECT_EQ(End(record), 0);
    const double took = NowMs() - ending;
    EXPECT_GE(took, 1000.0);
    EXPECT_LT(took, 3500.0);
    // The end's counters line first: the read that met no gateway, its seven announces.
    Lines ended = LogWithoutLineSignals();
    ASSERT_FALSE(ended.empty());
    const std::string counters = ended.front();
    EXPECT_EQ(counters.rfind("VpiSK01: COM", 0), 0u) << counters;
    EXPECT_NE(counters.find(" last "), std::string::npos) << counters;
    EXPECT_NE(counters.find(": 1 reads 0 good, 1 failed (no announce 1); 0 writes 0 good; line down 0 s; 0 bytes in, "
                            "70 out"),
              std::string::npos)
        << counters;
    ended.erase(ended.begin());
    EXPECT_EQ(ended, (Lines{"VpiSK01: EndVpi()", "VpiSK01: No. of Instances left: 0"}));
    EXPECT_FALSE(ThreadAlive(threadId));

    EXPECT_EQ(holder.Finish(), 0u);  // it held the lock to the end and released it itself
    EXPECT_TRUE(LinesStartingWith("S1: ").empty());
}

TEST_F(PortLock, AbandonedLockCountsAsTakenByTheWaitingCatchThread) {
    // Control: with no channel waiting, the next taker sees the abandonment.
    {
        const std::string name = "COMMBUSYSkChanControl" + std::to_string(GetCurrentProcessId());
        HANDLE keep = CreateMutexA(nullptr, FALSE, name.c_str());  // keeps the object alive
        Holder holder(name, "abandon");
        ASSERT_TRUE(holder.WaitHeld());
        EXPECT_EQ(holder.Finish(), 0u);
        EXPECT_EQ(WaitForSingleObject(keep, 2000), static_cast<DWORD>(WAIT_ABANDONED));
        ReleaseMutex(keep);
        CloseHandle(keep);
    }

    Holder holder("COMMBUSYVpiSK01", "abandon");
    ASSERT_TRUE(holder.WaitHeld());
    HostRecord record;
    ASSERT_EQ(Start(record, MakeStart("NULLDEV"), 1), 0);
    EXPECT_EQ(holder.Finish(), 0u);  // gone without releasing
    Sleep(500);

    // The catch thread took the abandoned lock (and released it): this
    // process's next take is an ordinary one.
    HANDLE lock = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, "COMMBUSYVpiSK01");
    ASSERT_NE(lock, nullptr);
    EXPECT_EQ(WaitForSingleObject(lock, 2000), static_cast<DWORD>(WAIT_OBJECT_0));

    // While this thread holds the lock, the end still takes about a second.
    KestraClear();
    const double ending = NowMs();
    EXPECT_EQ(End(record), 0);
    const double took = NowMs() - ending;
    EXPECT_GE(took, 1000.0);
    EXPECT_LT(took, 3500.0);
    EXPECT_EQ(LogLines(), (Lines{"VpiSK01: EndVpi()", "VpiSK01: No. of Instances left: 0"}));
    EXPECT_TRUE(ReleaseMutex(lock));
    CloseHandle(lock);
}

}  // namespace
