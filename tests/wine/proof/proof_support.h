// What the proof programs share: the panel they talk to, a started channel
// with its simulator on one pty pair, gates as the host keeps them, child
// processes, and control of the socat pairs from inside Wine.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/records.h"
#include "tests/wine/channel/channel_support.h"
#include "tools/sim/sim_api.h"

namespace proof {

// The tests' own bookkeeping lock. With a std::mutex under contention the
// process was seen to keep one more Event handle after a run, which a handle
// count would take for a leak of the driver's; this lock holds no handle.
class SpinLock {
public:
    void lock() {
        for (unsigned spins = 0; flag_.test_and_set(std::memory_order_acquire); ++spins) Sleep(spins < 64 ? 0 : 2);
    }
    void unlock() { flag_.clear(std::memory_order_release); }

private:
    std::atomic_flag flag_ = ATOMIC_FLAG_INIT;
};

enum : int32_t {
    kColdStart = 1,
    kWarmStart = 2,
    kSingleParser = 3,
    kBlockParser = 4,
    kSingleRead = 5,
    kBlockRead = 6,
    kSingleWrite = 7,
    kEndVpi = 11,
    kClosePort = 12,
    kOpenPort = 13,
    kReopenPort = 15,
};

// The protocol's own windows, in ms.
constexpr double kAnnounceWindow = 2000, kStatusWindow = 1000, kSinglePause = 50, kBlockWindow = 4000,
                 kSessionWindow = 5000, kRetryWindow = 2000;

// The panel of every proof run. Loop 1 holds points 1..32 without 13 (point k
// reports 0x0010 + k, point 7 reports 0x0080, which a block list carries as
// 0x8000); loop 2 holds points 1..8 for the writes of the soak.
constexpr uint16_t kSystemStatus = 0x1224, kTroubleStatus = 0x0042, kZone5Status = 0x0021;
constexpr const char* kVersionText = "5820XL PROOF";
uint16_t PointStatus(int loop, int point);
std::string PointLabel(int loop, int point);
std::string ModelJson();
// The value a block read of loop 1 from point 1 gives in word k (0-based).
uint16_t BlockWord(int k);

// A gate as the host keeps it: its address, the slot words of its parse and
// its value buffer (filled with 0xEE before every request unless asked not to).
struct Gate {
    std::string address;
    PointRecord point;
    alignas(4) unsigned char value[600];

    Gate(const std::string& text, int32_t valueKind, int32_t count = 16);
    Gate(const Gate&) = delete;  // the point record points into the gate
    Gate& operator=(const Gate&) = delete;
    uint16_t Word(size_t offset) const;
    std::string Text() const;
    void Fill(unsigned char byte = 0xEE);
};

// A channel record of the host (0xCD-filled, as a debug heap leaves it) and
// the simulator on the far end of its pair.
struct Line {
    HostRecord record{0xCD};
    sksim::Simulator* sim = nullptr;
    int pair = 0;
    VpiChannel* channel() { return record.get(); }
    std::string Name() const;

    // Starts the simulator on the pair's far end; "" or the reason.
    std::string StartSim(const sksim::SimFaults& faults = sksim::SimFaults{}, sksim::SimOptions* options = nullptr);
    void StopSim();
    // Starts the channel on the pair's near end: the driver's status.
    int32_t StartChannel(int32_t channelIndex = 1);
    int32_t EndChannel();
    std::string Trace() const;
};

int32_t Parse(Line& line, Gate& gate, int32_t parser, int32_t gateType);
int32_t Request(Line& line, int32_t code, Gate& gate);

// The simulator's counters as one short text.
std::string CountersText(const sksim::SimCounters& c);
std::string Joined(const std::vector<std::string>& lines, const char* separator = " / ");

// The process's handle values (probed as CountHandles does), and the kind of
// object behind one ("Event", "Thread", "File", ...), for telling which
// handles a run left behind.
std::vector<uintptr_t> HandleValues();
std::string HandleKind(uintptr_t value);
// "0x1a4 Event, 0x1b0 Thread" for the values in `after` that are not in `before`.
std::string NewHandles(const std::vector<uintptr_t>& before, const std::vector<uintptr_t>& after);

// Runs body(0) .. body(count - 1) on `count` Win32 threads at once and waits
// for all of them. (With std::thread the process was seen, now and then, to
// keep one more Event handle after a run: the toolchain's, not the driver's.
// Plain Win32 threads leave nothing, so the handle counts stay exact.)
void RunOnThreads(int count, const std::function<void(int)>& body);

// --- processes -------------------------------------------------------------

// The path of this program.
std::string SelfPath();
// A child process of this program with extra environment variables, its
// output going to `outputFile`. Returns the process handle or nullptr.
HANDLE StartChild(const std::string& commandLine, const std::vector<std::string>& extraEnvironment,
                  const std::string& outputFile);
std::string ReadTextFile(const std::string& path);
std::string TempFolder(const std::string& leaf);

// --- the socat pairs ------------------------------------------------------

// Runs a shell script on the Unix side (Wine starts Unix programs but gives
// no waitable handle): waits until the script has written its marker file or
// `timeoutMs` has passed; true when it finished. The script may set the
// shell variable `result` ("done" unless it does), which comes back in *result.
bool RunUnixShell(const std::string& script, uint32_t timeoutMs, std::string* result);
// The values of the handles that Wine keeps for the Unix programs started so
// far (one per start, never given back): the handle checks leave them out.
std::vector<uintptr_t> HarnessHandles();
// Ends the socat process of pair `pair` (found by its exact command line,
// which holds this run's private pair folder) and waits until its pty nodes
// are gone. Then starts a new socat with the same nodes. Both true on success.
bool KillPair(int pair);
bool RespawnPair(int pair);
// Ends the socat processes that RespawnPair started in this run (by pid; a
// respawned pair serves the later users of its pair until then).
void EndRespawnedPairs();

}  // namespace proof
