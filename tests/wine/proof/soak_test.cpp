// The soak: 8 channels on 8 pty pairs, each with its simulated gateway and
// two or more host threads, for a bounded time: single reads, block reads,
// writes (bypass, restore, drill, reset) and parses, mixed at random. The
// host serialises the requests of one channel (one port) and nothing else:
// channels run in parallel and parses run on every thread at any time.
//
// Every value is checked against the panel's state as the host's own writes
// have made it; at the end the simulators' models must equal that state, the
// simulators must have seen no frame with a bad CRC or sequence byte, and
// the process's handle and thread counts must be back where they were before
// the channels started.
//
//   SK_SOAK_SECONDS       how long the requests run (150 by default)
//   SK_SOAK_THREADS       host threads per channel (2 by default)
//
// The noisy soak (Soak.NoisyLine, ctest wine_proof_soak_noisy): the same 8
// channels and panel, reads only (single and block, so the panel never
// changes), each simulator flipping bits of what it sends at a bit error
// rate of 1e-3, then of 1e-4. Every value is checked as above: a read may
// fail (status 1), but a read that gives 0 must give the panel's value. It
// counts the reads done, the reads failed and the wrong values given with
// status 0 (which must be none). Each rate runs until it has done its half of
// the reads asked for or its time is up, whichever comes first (both are
// reported). Then the noise stops, and every channel must read each kind of
// gate at once with status 0 and the right value (no channel left stuck).
//
//   SK_NOISY_SINGLES      single reads over both rates (240 by default, the quick run)
//   SK_NOISY_BLOCKS       block reads over both rates (24 by default)
//   SK_NOISY_SECONDS      the time limit of each rate (60 by default)
//   SK_NOISY_SEED         the noise's seed (1 by default; channel i uses seed + i)
//
// Then the weak CRC: each simulator answers a share of single reads with one
// of the two-bit errors the line's CRC cannot see (in the answer's last data
// bytes, where a zone's status lies), and the channels read zone 5 over and
// over: first with changes confirmed (the default), where no wrong value
// may come with status 0, then with confirm_changes = 0, where the wrong
// values it lets through are counted (and must be some: else the fault did
// not bite and the first figure proves nothing).
//
//   SK_WEAK_READS         zone reads with each setting (1000 by default; the full run 10000)
//   SK_WEAK_RATE          the share of single-read answers weakened (0.01 by default)
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <functional>
#include <mutex>  // std::lock_guard

#include "tests/wine/proof/proof_support.h"
#include "tests/wine/support/driver.h"

namespace proof {
namespace {

constexpr int kChannels = 8;
constexpr uint16_t kBypassBit = 0x0100, kDrillBit = 0x0010;

int EnvInt(const char* name, int fallback) {
    const char* text = getenv(name);
    return text != nullptr && atoi(text) > 0 ? atoi(text) : fallback;
}

double EnvDouble(const char* name, double fallback) {
    const char* text = getenv(name);
    return text != nullptr && atof(text) > 0 ? atof(text) : fallback;
}

// What the host knows the panel of one channel holds: its writes change it.
struct PanelState {
    uint16_t system = kSystemStatus;
    uint16_t loop2[9] = {};
    PanelState() {
        for (int p = 1; p <= 8; ++p) loop2[p] = PointStatus(2, p);
    }
};

struct Channel {
    Line line;
    SpinLock port;  // the host's: one request at a time on the channel's port
    PanelState panel;
    std::map<std::string, int> refusals;  // exact log line -> times expected
};

// Figures of one kind of request.
struct Figure {
    uint64_t count = 0;
    double sumMs = 0, maxMs = 0, minMs = 1e12;
    void Add(double ms) {
        ++count;
        sumMs += ms;
        maxMs = std::max(maxMs, ms);
        minMs = std::min(minMs, ms);
    }
};

struct Totals {
    SpinLock lock;
    std::map<std::string, Figure> figures;
    std::vector<std::string> faults;
    uint64_t wrongValues = 0, badStatuses = 0, slow = 0, parses = 0;
    void Fault(const std::string& text) {
        std::lock_guard<SpinLock> hold(lock);
        if (faults.size() < 40) faults.push_back(text);
    }
};

struct Random {
    uint32_t state;
    uint32_t Next() {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    }
    int Below(int n) { return static_cast<int>(Next() % static_cast<uint32_t>(n)); }
};

std::string Three(int n) {
    char text[8];
    snprintf(text, sizeof text, "%03d", n);
    return text;
}

// The host's single gates and their gate types.
struct Single {
    std::unique_ptr<Gate> gate;
    int32_t type;
};

std::vector<Single> SingleGates() {
    std::vector<Single> singles;
    auto add = [&](const std::string& address, int32_t type) {
        singles.push_back(Single{std::make_unique<Gate>(address, type), type});
    };
    add("01_", 0);
    add("02_", 0);
    add("03_005", 0);
    add("04_005", 7);
    add("09_", 7);
    add("10_", 7);
    for (int p = 1; p <= 32; p += 5) add("07_001" + Three(p), 0);
    for (int p = 1; p <= 8; ++p) add("07_002" + Three(p), 0);
    for (int p = 1; p <= 8; p += 3) add("08_002" + Three(p), 7);
    return singles;
}

// What a single gate must read on this panel, and what it read (as text).
std::string Want(const Single& s, const PanelState& panel) {
    const std::string& a = s.gate->address;
    if (s.type == 7) {
        if (a == "04_005") return "WEST STAIRWELL";
        if (a == "09_") return "24/12/2001 09:15:30";
        if (a == "10_") return kVersionText;
        return PointLabel(2, atoi(a.c_str() + 6));
    }
    uint16_t w = 0;
    if (a == "01_") w = panel.system;
    else if (a == "02_") w = kTroubleStatus;
    else if (a == "03_005") w = kZone5Status;
    else if (a.rfind("07_001", 0) == 0) w = PointStatus(1, atoi(a.c_str() + 6));
    else w = panel.loop2[atoi(a.c_str() + 6)];
    char text[16];
    snprintf(text, sizeof text, "%04X", w);
    return text;
}

std::string Got(const Single& s) {
    const Gate& gate = *s.gate;
    if (s.type == 7) return gate.Text();
    char text[16];
    snprintf(text, sizeof text, "%04X", gate.Word(2));
    return std::string(text) + (gate.Word(0) != 0 ? " (word 0 not cleared)" : "");
}

// Block words that are not the panel's (and a word written beyond the block).
int WrongBlockWords(const Gate& gate, bool loop1, const PanelState& panel) {
    int wrong = 0;
    const int words = loop1 ? 32 : 8;
    for (int k = 0; k < words; ++k) {
        const uint16_t want = loop1 ? BlockWord(k) : panel.loop2[k + 1];
        if (gate.Word(2 * static_cast<size_t>(k)) != want) ++wrong;
    }
    if (gate.Word(2 * static_cast<size_t>(words)) != 0xEEEE) ++wrong;
    return wrong;
}

// Addresses the parsers refuse, with the one line each refusal logs.
struct BadAddress {
    const char* address;
    int32_t parser, type;
    const char* message;
};
const BadAddress kBad[] = {
    {"01_", kSingleParser, 7, "SingleParser() fail, wronge gateType"},
    {"16_", kSingleParser, 0, "SingleParser() fail, on max number of commands"},
    {"03_000", kSingleParser, 0, "SingleParser() fail, param1 can't be 0"},
    {"7A_", kSingleParser, 0, "SingleParser() fail, on CheckValidGas"},
    {"07_001", kSingleParser, 0, "SingleParser() fail, wronge num. of params."},
};

// One host thread of one channel: its gates, parsed once (as a host does
// when it loads its tags), and one step of its mix at a time.
class HostThread {
public:
    HostThread(Channel& ch, int threadIndex, Totals& totals)
        : ch_(ch), totals_(totals), random_{0x9E3779B9u * static_cast<uint32_t>(ch.line.pair * 16 + threadIndex + 1)},
          name_(ch.line.Name()), who_(name_ + "/" + std::to_string(threadIndex) + ": ") {
        for (int p = 1; p <= 8; ++p) {
            writes_.push_back(std::make_unique<Gate>("11_002" + Three(p), 0));
            writes_.push_back(std::make_unique<Gate>("12_002" + Three(p), 0));
        }
        writes_.push_back(std::make_unique<Gate>("13_", 0));
        writes_.push_back(std::make_unique<Gate>("14_", 0));
        for (Single& s : singles_) {
            if (Parse(ch_.line, *s.gate, kSingleParser, s.type) != 0) Fault("parse of " + s.gate->address);
        }
        if (Parse(ch_.line, block1_, kBlockParser, 0) != 0 || Parse(ch_.line, block2_, kBlockParser, 0) != 0)
            Fault("block parse");
        for (auto& w : writes_)
            if (Parse(ch_.line, *w, kSingleParser, 0) != 0) Fault("parse of " + w->address);
    }

    void Run(double deadline) {
        while (NowMs() < deadline) {
            const int pick = random_.Below(100);
            if (pick < 20) {
                // A parse, valid or not, outside the channel's port lock.
                Count(totals_.parses);
                if (pick < 10) BadParse();
                else GoodParse();
                continue;
            }
            std::lock_guard<SpinLock> hold(ch_.port);
            if (pick < 60) SingleRead();
            else if (pick < 75) BlockRead();
            else Write();
        }
    }

private:
    void Fault(const std::string& text) { totals_.Fault(who_ + text); }
    void Count(uint64_t& counter, uint64_t by = 1) {
        std::lock_guard<SpinLock> hold(totals_.lock);
        counter += by;
    }
    void Record(const std::string& what, double ms) {
        std::lock_guard<SpinLock> hold(totals_.lock);
        totals_.figures[what].Add(ms);
    }
    void Slow(const std::string& what, double ms, double lowMs, double highMs) {
        if (ms >= lowMs && ms <= highMs) return;
        Count(totals_.slow);
        Fault(what + " took " + std::to_string(ms) + " ms");
    }

    void BadParse() {
        const BadAddress& bad = kBad[random_.Below(5)];
        Gate gate(bad.address, bad.type);
        GateRecord rec;
        memset(&rec, 0x5A, sizeof rec);
        rec.address = gate.address.c_str();
        rec.gateType = bad.type;
        const int32_t status = CallVpi(bad.parser, ch_.line.channel(), &rec);
        if (status != 1) Fault(std::string("parse of ") + bad.address + " gave " + std::to_string(status));
        std::lock_guard<SpinLock> hold(ch_.port);
        ++ch_.refusals[name_ + ": " + bad.message + " (addr = '" + bad.address + "')"];
    }

    void GoodParse() {
        const int p = 1 + random_.Below(32);
        Gate gate("07_001" + Three(p), 0);
        GateRecord rec;
        memset(&rec, 0x5A, sizeof rec);
        rec.address = gate.address.c_str();
        rec.gateType = 0;
        const int32_t status = CallVpi(kSingleParser, ch_.line.channel(), &rec);
        if (status != 0 || rec.slotA != 1 || rec.slotB != 7 || rec.slotC != p)
            Fault("parse of " + gate.address + " gave " + std::to_string(status) + " " + std::to_string(rec.slotA) +
                  "/" + std::to_string(rec.slotB) + "/" + std::to_string(rec.slotC));
    }

    void SingleRead() {
        Single& s = singles_[static_cast<size_t>(random_.Below(static_cast<int>(singles_.size())))];
        Gate& gate = *s.gate;
        gate.Fill();
        const double t0 = NowMs();
        const int32_t status = Request(ch_.line, kSingleRead, gate);
        const double ms = NowMs() - t0;
        Record("single read", ms);
        const std::string want = Want(s, ch_.panel), got = Got(s);
        if (status != 0) Count(totals_.badStatuses);
        if (got != want) Count(totals_.wrongValues);
        if (status != 0 || got != want)
            Fault(gate.address + ": status " + std::to_string(status) + ", " + got + " not " + want);
        // The answer ends with its frame: the pause is the fixed lower bound.
        Slow(gate.address + ": single read", ms, kSinglePause, 6000);
    }

    void BlockRead() {
        const bool first = random_.Below(2) == 0;
        Gate& gate = first ? block1_ : block2_;
        gate.Fill();
        const double t0 = NowMs();
        const int32_t status = Request(ch_.line, kBlockRead, gate);
        const double ms = NowMs() - t0;
        Record("block read", ms);
        const int wrong = WrongBlockWords(gate, first, ch_.panel);
        if (status != 0) Count(totals_.badStatuses);
        if (wrong != 0) Count(totals_.wrongValues, static_cast<uint64_t>(wrong));
        if (status != 0 || wrong != 0)
            Fault(gate.address + " block: status " + std::to_string(status) + ", " + std::to_string(wrong) +
                  " wrong words");
        Slow(gate.address + ": block read", ms, kBlockWindow, 10000);
    }

    void Write() {
        PanelState& panel = ch_.panel;
        const size_t which = static_cast<size_t>(random_.Below(static_cast<int>(writes_.size())));
        Gate& gate = *writes_[which];
        gate.Fill(0);
        const double t0 = NowMs();
        const int32_t status = Request(ch_.line, kSingleWrite, gate);
        const double ms = NowMs() - t0;
        Record("write", ms);
        if (status != 0) {
            Count(totals_.badStatuses);
            Fault(gate.address + ": write gave " + std::to_string(status));
        } else if (which < 16) {
            const int p = static_cast<int>(which / 2) + 1;
            panel.loop2[p] = static_cast<uint16_t>(which % 2 == 0 ? (panel.loop2[p] | kBypassBit)
                                                                   : (panel.loop2[p] & ~kBypassBit));
        } else {
            panel.system = static_cast<uint16_t>(which == 16 ? (panel.system | kDrillBit) : (panel.system & ~kDrillBit));
        }
        Slow(gate.address + ": write", ms, 0, 6000);
    }

    Channel& ch_;
    Totals& totals_;
    Random random_;
    const std::string name_, who_;
    std::vector<Single> singles_ = SingleGates();
    Gate block1_{"07_001001", 0, 32}, block2_{"07_002001", 0, 8};
    std::vector<std::unique_ptr<Gate>> writes_;
};

uint16_t Hex(const nlohmann::json& value) {
    return static_cast<uint16_t>(strtoul(value.get<std::string>().c_str(), nullptr, 16));
}

// Every pair's simulator, then every channel started from a record the
// host's allocation filled with 0xCD, on host threads of their own (each
// start takes a second). False when one did not start (said). Not under
// ASSERT_NO_FATAL_FAILURE: gtest's per-thread reporters would leave a
// watcher thread behind for the host threads, counted as the driver's.
bool StartSimsAndChannels(Channel* channels) {
    for (int i = 0; i < kChannels; ++i) {
        channels[i].line.pair = i;
        const std::string error = channels[i].line.StartSim();
        if (!error.empty()) {
            ADD_FAILURE() << error;
            return false;
        }
    }
    std::vector<int32_t> started(kChannels, -1);
    RunOnThreads(kChannels, [&](int i) { started[static_cast<size_t>(i)] = channels[i].line.StartChannel(i + 1); });
    bool all = true;
    for (int i = 0; i < kChannels; ++i) {
        if (started[static_cast<size_t>(i)] != 0) ADD_FAILURE() << "channel " << i << " did not start";
        all = all && started[static_cast<size_t>(i)] == 0;
    }
    return all;
}

TEST(Soak, EightChannelsManyHostThreads) {
    ASSERT_FALSE(DriverCom(kChannels - 1).empty()) << "run through tests/wine/run.sh --pairs " << kChannels;
    const int seconds = EnvInt("SK_SOAK_SECONDS", 150);
    const int threadsPerChannel = std::max(2, EnvInt("SK_SOAK_THREADS", 2));

    // The counts are taken after one start and end, one extra thread and one
    // read on a line, which load what stays loaded, and before the
    // simulators start: they are counted again once all channels have ended
    // and the simulators have stopped.
    {
        HostRecord warm;
        ASSERT_EQ(Start(warm, MakeStart("NULLDEV"), 1), 0);
        ASSERT_EQ(End(warm), 0);
        RunOnThreads(2, [](int) {});
        Line line;
        ASSERT_TRUE(line.StartSim().empty());
        ASSERT_EQ(line.StartChannel(1), 0);
        Gate gate("01_", 0);
        ASSERT_EQ(Parse(line, gate, kSingleParser, 0), 0);
        ASSERT_EQ(Request(line, kSingleRead, gate), 0);
        ASSERT_EQ(line.EndChannel(), 0);
        line.StopSim();
    }
    const std::vector<uintptr_t> handleValues = HandleValues();
    const int handles = CountHandles();
    const int threads = CountThreads();

    static Channel channels[kChannels];
    ASSERT_TRUE(StartSimsAndChannels(channels));
    for (Channel& ch : channels) sksim::SimResetCounters(ch.line.sim);
    KestraClear();

    Totals totals;
    const double begin = NowMs();
    const double deadline = begin + seconds * 1000.0;
    RunOnThreads(kChannels * threadsPerChannel, [&](int i) {
        HostThread(channels[i / threadsPerChannel], i % threadsPerChannel, totals).Run(deadline);
    });
    const double ran = NowMs() - begin;

    // The log holds the refusals of the bad parses and nothing else.
    std::map<std::string, int> expected;
    for (Channel& ch : channels)
        for (const auto& r : ch.refusals) expected[r.first] += r.second;
    std::map<std::string, int> logged;
    for (const std::string& line : LogLines()) ++logged[line];
    EXPECT_EQ(logged, expected) << "the host log during the soak";

    // The simulators: no fault in any frame, every session closed, and the
    // panel as the host's writes left it.
    // A read of a value the channel has not reported runs a second session
    // to confirm it (on this clean line every such value is confirmed, and
    // no answer disagrees or needs a retry).
    uint64_t sessions = 0, frames = 0, requests = 0, writes = 0, confirming = 0;
    for (Channel& ch : channels) {
        const sksim::SimCounters c = sksim::SimGetCounters(ch.line.sim);
        const std::string name = ch.line.Name();
        const LineCounters counted = ch.line.channel()->health.total;
        EXPECT_EQ(counted.disagreements + counted.retries + counted.readsNotConfirmed, 0u) << name;
        confirming += counted.readsConfirmed;
        EXPECT_EQ(c.badCrc, 0u) << name;
        EXPECT_EQ(c.badSequence, 0u) << name;
        EXPECT_EQ(c.badFrames, 0u) << name;
        EXPECT_EQ(c.garbageBytes, 0u) << name;
        EXPECT_EQ(c.incompleteFrames, 0u) << name;
        EXPECT_EQ(c.repeats, 0u) << name;
        EXPECT_EQ(c.sessions, c.sessionsClosed) << name;
        EXPECT_EQ(c.requests, c.sessionsClosed) << name;
        sessions += c.sessionsClosed;
        frames += c.framesReceived;
        requests += c.requests;
        writes += c.writes;
        const nlohmann::json model = nlohmann::json::parse(sksim::SimModelJson(ch.line.sim));
        EXPECT_EQ(Hex(model["panel"]["system_status"]), ch.panel.system) << name;
        for (const auto& loop : model["panel"]["loops"]) {
            if (loop["number"].get<int>() != 2) continue;
            for (const auto& point : loop["points"]) {
                const int p = point["number"].get<int>();
                EXPECT_EQ(Hex(point["status"]), ch.panel.loop2[p]) << name << " loop 2 point " << p;
            }
        }
    }

    // All channels end (at once), and nothing of them is left.
    {
        std::vector<int32_t> ended(kChannels, -1);
        RunOnThreads(kChannels, [&](int i) { ended[static_cast<size_t>(i)] = channels[i].line.EndChannel(); });
        for (int i = 0; i < kChannels; ++i) EXPECT_EQ(ended[static_cast<size_t>(i)], 0) << i;
    }
    for (Channel& ch : channels) ch.line.StopSim();
    const Counts after = CountsSettledTo(handles, threads);
    EXPECT_EQ(after.handles, handles) << "handles after all channels ended; new: "
                                      << NewHandles(handleValues, HandleValues());
    EXPECT_EQ(after.threads, threads) << "threads after all channels ended";

    EXPECT_EQ(totals.wrongValues, 0u);
    EXPECT_EQ(totals.badStatuses, 0u);
    EXPECT_EQ(totals.slow, 0u);
    for (const std::string& f : totals.faults) ADD_FAILURE() << f;

    uint64_t transactions = 0;
    printf("[soak] %d channels x %d host threads, %.0f s of requests\n", kChannels, threadsPerChannel, ran / 1000);
    for (const auto& f : totals.figures) {
        transactions += f.second.count;
        printf("[soak] %-12s %6llu  mean %7.1f ms  min %7.1f ms  max %7.1f ms\n", f.first.c_str(),
               static_cast<unsigned long long>(f.second.count), f.second.sumMs / static_cast<double>(f.second.count),
               f.second.minMs, f.second.maxMs);
    }
    printf("[soak] transactions %llu and %llu confirming reads (simulators: %llu sessions closed, %llu requests, %llu "
           "writes carried out, %llu frames checked), parses %llu\n",
           static_cast<unsigned long long>(transactions), static_cast<unsigned long long>(confirming),
           static_cast<unsigned long long>(sessions),
           static_cast<unsigned long long>(requests), static_cast<unsigned long long>(writes),
           static_cast<unsigned long long>(frames), static_cast<unsigned long long>(totals.parses));
    printf("[soak] wrong values %llu, failed statuses %llu, out-of-window times %llu; handles %d -> %d, threads %d -> %d\n",
           static_cast<unsigned long long>(totals.wrongValues), static_cast<unsigned long long>(totals.badStatuses),
           static_cast<unsigned long long>(totals.slow), handles, after.handles, threads, after.threads);
    EXPECT_EQ(transactions + confirming, requests)
        << "every transaction of the host reached a simulator once, and once more each confirming read";
}

// --- the noisy soak -----------------------------------------------------------

// What one rate of noise gave, over all channels.
struct NoisyTotals {
    std::atomic<uint64_t> singles{0}, blocks{0}, failedSingles{0}, failedBlocks{0}, wrongWithStatus0{0}, stuck{0};
    uint64_t wantSingles = 0, wantBlocks = 0;
    Totals faults;  // the first 40 faults, for the failure message
    bool Done() const { return singles >= wantSingles && blocks >= wantBlocks; }
    // Block reads are chosen while they lag behind the single reads' share, so
    // that both targets are met together whatever each read costs.
    bool NextIsBlock() const {
        if (blocks >= wantBlocks) return false;
        if (singles >= wantSingles) return true;
        return blocks * wantSingles <= singles * wantBlocks;
    }
};

// One read of a gate over the noisy line: the truth check and the counting.
// A text as it can go in a log: bytes outside printable ASCII as \xNN.
std::string Printable(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        char hex[8];
        snprintf(hex, sizeof hex, "\\x%02X", c);
        out += c >= 0x20 && c < 0x7F ? std::string(1, static_cast<char>(c)) : std::string(hex);
    }
    return out;
}

// `wrong` says what is wrong with the value read ("" when it is the panel's).
void NoisyRead(Channel& ch, Gate& gate, int32_t code, const std::function<std::string()>& wrong, NoisyTotals& t) {
    gate.Fill();
    const double t0 = NowMs();
    const int32_t status = Request(ch.line, code, gate);
    const double ms = NowMs() - t0;
    const bool block = code == kBlockRead;
    ++(block ? t.blocks : t.singles);
    if (status != 0) ++(block ? t.failedBlocks : t.failedSingles);
    const std::string why = status == 0 ? wrong() : std::string();
    if (!why.empty()) {
        ++t.wrongWithStatus0;
        t.faults.Fault(ch.line.Name() + " " + gate.address + ": status 0 with a wrong value: " + why);
    }
    // The driver's own retries end well within this (7 announces of 2 s and three 5 s windows).
    if (ms > 60000) {
        ++t.stuck;
        t.faults.Fault(ch.line.Name() + " " + gate.address + ": took " + std::to_string(ms) + " ms");
    }
}

void NoisyChannel(Channel& ch, int index, double deadline, NoisyTotals& t) {
    Random random{0x9E3779B9u * static_cast<uint32_t>(index + 1)};
    std::vector<Single> singles = SingleGates();
    for (Single& s : singles) Parse(ch.line, *s.gate, kSingleParser, s.type);
    Gate block1("07_001001", 0, 32), block2("07_002001", 0, 8);
    Parse(ch.line, block1, kBlockParser, 0);
    Parse(ch.line, block2, kBlockParser, 0);
    while (NowMs() < deadline && !t.Done()) {
        if (t.NextIsBlock()) {
            const bool first = random.Below(2) == 0;
            Gate& gate = first ? block1 : block2;
            NoisyRead(ch, gate, kBlockRead, [&] {
                const int n = WrongBlockWords(gate, first, ch.panel);
                return n == 0 ? std::string() : std::to_string(n) + " words not the panel's";
            }, t);
        } else {
            Single& s = singles[static_cast<size_t>(random.Below(static_cast<int>(singles.size())))];
            NoisyRead(ch, *s.gate, kSingleRead, [&] {
                const std::string got = Got(s), want = Want(s, ch.panel);
                return got == want ? std::string() : "\"" + Printable(got) + "\", not \"" + want + "\"";
            }, t);
        }
    }
}

std::string Percent(uint64_t part, uint64_t whole) {
    char text[32];
    snprintf(text, sizeof text, "%.1f %%", whole > 0 ? 100.0 * static_cast<double>(part) / static_cast<double>(whole) : 0.0);
    return text;
}

// One rate over every channel; prints its line and returns what it counted.
void NoisyRate(Channel* channels, double ber, uint32_t seed, int seconds, NoisyTotals& t) {
    for (int i = 0; i < kChannels; ++i) {
        sksim::SimFaults f;
        f.noiseBer = ber;
        f.noiseSeed = seed + static_cast<uint32_t>(i);
        sksim::SimSetFaults(channels[i].line.sim, f);
        sksim::SimResetCounters(channels[i].line.sim);
    }
    const size_t logBefore = LogLines().size();
    std::vector<LineCounters> before(kChannels);
    for (int i = 0; i < kChannels; ++i) before[static_cast<size_t>(i)] = channels[i].line.channel()->health.total;
    const double begin = NowMs();
    const double deadline = begin + seconds * 1000.0;
    RunOnThreads(kChannels, [&](int i) { NoisyChannel(channels[i], i, deadline, t); });
    // The channels' own counters of this rate, against the soak's.
    uint64_t reads = 0, good = 0, afterRetry = 0, retries = 0;
    for (int i = 0; i < kChannels; ++i) {
        const LineCounters now = channels[i].line.channel()->health.total;
        const LineCounters& was = before[static_cast<size_t>(i)];
        reads += now.reads - was.reads;
        good += now.readsGood - was.readsGood;
        afterRetry += now.readsGoodAfterRetry - was.readsGoodAfterRetry;
        retries += now.retries - was.retries;
    }
    const uint64_t soakReads = t.singles + t.blocks, soakGood = soakReads - t.failedSingles - t.failedBlocks;
    printf("[noisy] BER %.0e counters: %llu reads, %llu good (%llu after a retry), %llu retries; the soak counted "
           "%llu reads, %llu good\n",
           ber, static_cast<unsigned long long>(reads), static_cast<unsigned long long>(good),
           static_cast<unsigned long long>(afterRetry), static_cast<unsigned long long>(retries),
           static_cast<unsigned long long>(soakReads), static_cast<unsigned long long>(soakGood));
    // What the failed reads said, by reason (channel and gate taken off).
    std::map<std::string, int> reasons;
    const std::vector<std::string> lines = LogLines();
    for (size_t i = logBefore; i < lines.size(); ++i) {
        std::string reason = lines[i];
        const size_t colon = reason.find(": ");
        if (reason.rfind("Vpi", 0) == 0 && colon != std::string::npos) reason.erase(0, colon + 2);
        const size_t addr = reason.find(" (addr = ");
        if (addr != std::string::npos) reason.erase(addr);
        ++reasons[reason];
    }
    std::string said;
    for (const auto& [reason, n] : reasons) said += (said.empty() ? "" : "; ") + reason + ": " + std::to_string(n);
    printf("[noisy] BER %.0e log lines by reason: %s\n", ber, said.empty() ? "none" : said.c_str());
    EXPECT_EQ(reads, soakReads) << "the channels' counters of reads at BER " << ber;
    EXPECT_EQ(good, soakGood) << "the channels' counters of good reads at BER " << ber;
    const double ran = (NowMs() - begin) / 1000;
    uint64_t noisyFrames = 0, framesSent = 0, flipped = 0;
    for (int i = 0; i < kChannels; ++i) {
        const sksim::SimCounters c = sksim::SimGetCounters(channels[i].line.sim);
        noisyFrames += c.noisyFrames;
        framesSent += c.framesSent;
        flipped += c.flippedBits;
    }
    printf("[noisy] BER %.0e seed %u: %llu single reads (%llu failed, %s), %llu block reads (%llu failed, %s); "
           "wrong values with status 0: %llu; %.0f s of %d s, stopped on %s; %llu of %llu frames noisy, %llu bits "
           "flipped\n",
           ber, seed, static_cast<unsigned long long>(t.singles.load()),
           static_cast<unsigned long long>(t.failedSingles.load()), Percent(t.failedSingles, t.singles).c_str(),
           static_cast<unsigned long long>(t.blocks.load()), static_cast<unsigned long long>(t.failedBlocks.load()),
           Percent(t.failedBlocks, t.blocks).c_str(), static_cast<unsigned long long>(t.wrongWithStatus0.load()), ran,
           seconds, t.Done() ? "counts" : "time", static_cast<unsigned long long>(noisyFrames),
           static_cast<unsigned long long>(framesSent), static_cast<unsigned long long>(flipped));
    fflush(stdout);
    EXPECT_GT(flipped, 0u) << "the noise flipped no bit at BER " << ber;
}

// The weak CRC over every channel, zone 5 read until `reads` reads are done
// (or `seconds` are up), with changes confirmed or not. Returns the wrong
// values given with status 0.
uint64_t WeakCrcZoneReads(Channel* channels, double rate, bool confirm, uint64_t reads, int seconds) {
    const std::string file = TempFolder("proof-settings") + "\\weak-crc.ini";
    std::ofstream(file, std::ios::binary) << "[default]\r\nconfirm_changes = " << (confirm ? 1 : 0) << "\r\n";
    EXPECT_NE(SetEnvironmentVariableA("SK5820_INI", file.c_str()), 0) << file;
    std::vector<LineCounters> before(kChannels);
    for (int i = 0; i < kChannels; ++i) {
        // The restart reads the file (and forgets the values remembered).
        EXPECT_EQ(CallVpi(kWarmStart, channels[i].line.channel(), nullptr), 0) << i;
        sksim::SimFaults f;
        f.weakCrcRate = rate;
        f.weakCrcSeed = 7 + static_cast<uint32_t>(i);
        sksim::SimSetFaults(channels[i].line.sim, f);
        sksim::SimResetCounters(channels[i].line.sim);
        before[static_cast<size_t>(i)] = channels[i].line.channel()->health.total;
    }
    NoisyTotals t;
    t.wantSingles = reads;
    const double begin = NowMs();
    const double deadline = begin + seconds * 1000.0;
    RunOnThreads(kChannels, [&](int i) {
        Single zone{std::make_unique<Gate>("03_005", 0), 0};
        Parse(channels[i].line, *zone.gate, kSingleParser, 0);
        while (NowMs() < deadline && !t.Done()) {
            NoisyRead(channels[i], *zone.gate, kSingleRead, [&] {
                const std::string got = Got(zone), want = Want(zone, channels[i].panel);
                return got == want ? std::string() : got + ", not " + want;
            }, t);
        }
    });
    uint64_t weak = 0, requests = 0, confirmed = 0, disagreements = 0, notConfirmed = 0;
    for (int i = 0; i < kChannels; ++i) {
        const sksim::SimCounters c = sksim::SimGetCounters(channels[i].line.sim);
        weak += c.weakAnswers;
        requests += c.requests;
        const LineCounters now = channels[i].line.channel()->health.total;
        const LineCounters& was = before[static_cast<size_t>(i)];
        confirmed += now.readsConfirmed - was.readsConfirmed;
        disagreements += now.disagreements - was.disagreements;
        notConfirmed += now.readsNotConfirmed - was.readsNotConfirmed;
    }
    printf("[noisy] weak CRC %.1f %%, changes %s: %llu zone reads (%llu failed, %s) in %.0f s, %llu requests on the "
           "line (%.3f a read), %llu answers weakened; wrong values with status 0: %llu; counters: %llu confirmed, %llu "
           "disagreements, %llu not confirmed\n",
           100 * rate, confirm ? "confirmed" : "not confirmed", static_cast<unsigned long long>(t.singles.load()),
           static_cast<unsigned long long>(t.failedSingles.load()), Percent(t.failedSingles, t.singles).c_str(),
           (NowMs() - begin) / 1000, static_cast<unsigned long long>(requests),
           t.singles > 0 ? static_cast<double>(requests) / static_cast<double>(t.singles.load()) : 0.0,
           static_cast<unsigned long long>(weak), static_cast<unsigned long long>(t.wrongWithStatus0.load()),
           static_cast<unsigned long long>(confirmed), static_cast<unsigned long long>(disagreements),
           static_cast<unsigned long long>(notConfirmed));
    fflush(stdout);
    EXPECT_GE(t.singles.load(), reads) << "zone reads done with the weak CRC, changes " << (confirm ? "" : "not ")
                                       << "confirmed";
    EXPECT_GT(weak, 0u) << "the simulators weakened no answer";
    EXPECT_EQ(t.stuck.load(), 0u);
    if (confirm) {
        for (const std::string& f : t.faults.faults) ADD_FAILURE() << f;
    }
    SetEnvironmentVariableA("SK5820_INI", nullptr);
    for (int i = 0; i < kChannels; ++i) EXPECT_EQ(CallVpi(kWarmStart, channels[i].line.channel(), nullptr), 0) << i;
    return t.wrongWithStatus0;
}

// With the noise stopped, each channel reads a number, a text and a block at
// once with status 0 and the panel's values. Returns the channels that did.
int Recovered(Channel* channels) {
    for (int i = 0; i < kChannels; ++i) sksim::SimSetFaults(channels[i].line.sim, sksim::SimFaults{});
    std::vector<int> ok(kChannels, 0);
    RunOnThreads(kChannels, [&](int i) {
        Channel& ch = channels[i];
        Gate system("01_", 0), label("04_005", 7), block("07_001001", 0, 32);
        Parse(ch.line, system, kSingleParser, 0);
        Parse(ch.line, label, kSingleParser, 7);
        Parse(ch.line, block, kBlockParser, 0);
        const bool s = Request(ch.line, kSingleRead, system) == 0 && system.Word(2) == kSystemStatus;
        const bool l = Request(ch.line, kSingleRead, label) == 0 && label.Text() == "WEST STAIRWELL";
        const bool b = Request(ch.line, kBlockRead, block) == 0 && WrongBlockWords(block, true, ch.panel) == 0;
        EXPECT_TRUE(s && l && b) << ch.line.Name() << " after the noise: system " << s << ", label " << l
                                 << ", block " << b;
        ok[static_cast<size_t>(i)] = s && l && b ? 1 : 0;
    });
    int recovered = 0;
    for (int v : ok) recovered += v;
    return recovered;
}

TEST(Soak, NoisyLine) {
    ASSERT_FALSE(DriverCom(kChannels - 1).empty()) << "run through tests/wine/run.sh --pairs " << kChannels;
    const uint64_t singles = static_cast<uint64_t>(EnvInt("SK_NOISY_SINGLES", 240));
    const uint64_t blocks = static_cast<uint64_t>(EnvInt("SK_NOISY_BLOCKS", 24));
    const int seconds = EnvInt("SK_NOISY_SECONDS", 60);
    const uint32_t seed = static_cast<uint32_t>(EnvInt("SK_NOISY_SEED", 1));
    static Channel channels[kChannels];
    ASSERT_TRUE(StartSimsAndChannels(channels));
    KestraClear();
    const double rates[] = {1e-3, 1e-4};
    NoisyTotals totals[2];
    uint64_t done = 0, failed = 0, wrong = 0, doneSingles = 0, doneBlocks = 0;
    for (int r = 0; r < 2; ++r) {
        NoisyTotals& t = totals[r];
        t.wantSingles = (singles + 1 - static_cast<uint64_t>(r)) / 2;  // the first rate takes the odd one
        t.wantBlocks = (blocks + 1 - static_cast<uint64_t>(r)) / 2;
        NoisyRate(channels, rates[r], seed, seconds, t);
        doneSingles += t.singles;
        doneBlocks += t.blocks;
        failed += t.failedSingles + t.failedBlocks;
        wrong += t.wrongWithStatus0;
        EXPECT_EQ(t.stuck.load(), 0u) << "reads that took more than 60 s at BER " << rates[r];
        for (const std::string& f : t.faults.faults) ADD_FAILURE() << f;
    }
    done = doneSingles + doneBlocks;
    const size_t logLines = LogLines().size();
    const uint64_t weakReads = static_cast<uint64_t>(EnvInt("SK_WEAK_READS", 1000));
    const double weakRate = EnvDouble("SK_WEAK_RATE", 0.01);
    const uint64_t wrongConfirmed = WeakCrcZoneReads(channels, weakRate, true, weakReads, 20 * seconds);
    const uint64_t wrongUnconfirmed = WeakCrcZoneReads(channels, weakRate, false, weakReads, 20 * seconds);
    EXPECT_EQ(wrongConfirmed, 0u) << "wrong zone values with status 0 under the weak CRC, changes confirmed";
    EXPECT_GT(wrongUnconfirmed, 0u) << "no wrong zone value with confirm_changes = 0: the weak CRC did not bite";
    const int recovered = Recovered(channels);
    {
        std::vector<int32_t> ended(kChannels, -1);
        RunOnThreads(kChannels, [&](int i) { ended[static_cast<size_t>(i)] = channels[i].line.EndChannel(); });
        for (int i = 0; i < kChannels; ++i) EXPECT_EQ(ended[static_cast<size_t>(i)], 0) << i;
    }
    for (Channel& ch : channels) ch.line.StopSim();
    printf("[noisy] reads %llu (single %llu of %llu asked, block %llu of %llu asked), failed %llu = %s, wrong values "
           "with status 0: %llu, log lines %llu; recovered %d of %d channels\n",
           static_cast<unsigned long long>(done), static_cast<unsigned long long>(doneSingles),
           static_cast<unsigned long long>(singles), static_cast<unsigned long long>(doneBlocks),
           static_cast<unsigned long long>(blocks), static_cast<unsigned long long>(failed),
           Percent(failed, done).c_str(), static_cast<unsigned long long>(wrong),
           static_cast<unsigned long long>(logLines), recovered, kChannels);
    EXPECT_EQ(wrong, 0u) << "wrong values reported with status 0";
    EXPECT_EQ(recovered, kChannels) << "channels that read normally once the noise stopped";
}

}  // namespace
}  // namespace proof
