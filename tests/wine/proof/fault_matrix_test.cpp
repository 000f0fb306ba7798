// The fault matrix: the real SK5820.dll against the simulated gateway, one
// kind of fault at a time, each kind in a process of its own on a pty pair of
// its own (so its host log is its own and a hang cannot touch the others),
// several kinds at once. For every kind: the status tells the truth (no 0
// for a read or write that did not happen, and never a wrong value), the
// request ends within the protocol's own time-outs, the host log holds
// exactly the lines stated, and the channel then serves a normal request of
// another gate with that gate's own value (no stale answer taken for it).
//
// The parent test (FaultMatrix.EveryKind) starts this same program once per
// kind with SK_PROOF_KIND set; ProofChild.RunKind then runs that one kind and
// writes what it saw to SK_PROOF_OUT. SK_PROOF_KINDS=a,b limits the kinds;
// SK_PROOF_TABLE=path also writes the table (Markdown) to a file.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>

#include "tests/wine/proof/proof_support.h"
#include "tests/wine/support/driver.h"

#ifndef SK_PROOF_PAIRS
#define SK_PROOF_PAIRS 8
#endif

namespace proof {
namespace {

constexpr const char* kTempError1 = "TEMP_ERROR 1 @@@@";
constexpr const char* kTempError2 = "TEMP_ERROR 2 @@@@";
constexpr const char* kTempError4 = "TEMP_ERROR 4 @@@@";

// --- one run of a kind -----------------------------------------------------

struct Outcome {
    int32_t status = -99;
    double ms = 0;
    std::vector<std::string> log;
};

struct KindRun {
    Line line;
    std::vector<std::string> failures;
    std::vector<std::pair<std::string, std::string>> seen;  // in order: what, text

    void Expect(bool ok, const std::string& what) {
        if (!ok) failures.push_back(what);
    }
    void Saw(const std::string& what, const std::string& text) { seen.emplace_back(what, text); }
};

std::string Ms(double ms) {
    char text[32];
    snprintf(text, sizeof text, "%.0f ms", ms);
    return text;
}

std::string Hex4(uint16_t v) {
    char text[16];
    snprintf(text, sizeof text, "0x%04X", v);
    return text;
}

Outcome Do(KindRun& run, int32_t code, Gate& gate) {
    KestraClear();
    Outcome out;
    const double start = NowMs();
    out.status = Request(run.line, code, gate);
    out.ms = NowMs() - start;
    out.log = LogWithoutLineSignals();
    return out;
}

std::string Describe(const Outcome& o) {
    return "status " + std::to_string(o.status) + ", " + Ms(o.ms) + ", log [" + Joined(o.log) + "]";
}

// The gates every kind uses: two single gates with distinct values (the late
// answer of one must never become the other's value), a block of 32 points,
// and a write that the panel's model shows.
enum class Op { ReadSystem, ReadTrouble, ReadZone, ReadLabel, Block, Bypass };

constexpr const char* kZone5Label = "WEST STAIRWELL";

struct Gates {
    Gate system{"01_", 0};
    Gate trouble{"02_", 0};
    Gate zone{"03_005", 0};
    Gate label{"04_005", 7};
    Gate block{"07_001001", 0, 32};
    Gate bypass{"11_002003", 0};
};

int32_t CodeOf(Op op) {
    switch (op) {
        case Op::ReadSystem:
        case Op::ReadTrouble:
        case Op::ReadZone:
        case Op::ReadLabel: return kSingleRead;
        case Op::Block: return kBlockRead;
        case Op::Bypass: return kSingleWrite;
    }
    return 0;
}

Gate& GateOf(Gates& g, Op op) {
    switch (op) {
        case Op::ReadSystem: return g.system;
        case Op::ReadTrouble: return g.trouble;
        case Op::ReadZone: return g.zone;
        case Op::ReadLabel: return g.label;
        case Op::Block: return g.block;
        case Op::Bypass: return g.bypass;
    }
    return g.system;
}

bool ParseGates(KindRun& run, Gates& g) {
    const bool ok = Parse(run.line, g.system, kSingleParser, 0) == 0 && Parse(run.line, g.trouble, kSingleParser, 0) == 0 &&
                    Parse(run.line, g.zone, kSingleParser, 0) == 0 && Parse(run.line, g.label, kSingleParser, 7) == 0 &&
                    Parse(run.line, g.block, kBlockParser, 0) == 0 && Parse(run.line, g.bypass, kSingleParser, 0) == 0;
    run.Expect(ok, "the gates parse");
    if (!ok) return false;
    // A host polls its gates all the time: the driver knows their values
    // (a value it has not reported before costs a confirming read).
    for (Gate* gate : {&g.system, &g.trouble, &g.zone}) {
        const int32_t status = Request(run.line, kSingleRead, *gate);
        run.Expect(status == 0, std::string("the first read of ") + gate->address + " gave " + std::to_string(status));
    }
    KestraClear();
    return true;
}

// The value rule. Status 0: the gate holds exactly the panel's value. Any
// other status: no wrong value, every word is the panel's or what the request
// prepared (0 in words 0-1, the host's untouched 0xEEEE beyond) or cleared (0).
// `delivered`: how many of the 32 block words the faulty answer brings; with
// status 0 the words behind them must read 0, never what the buffer held.
void CheckValue(KindRun& run, Op op, const Gate& gate, int32_t status, const std::string& when, int delivered = 32) {
    switch (op) {
        case Op::ReadSystem:
        case Op::ReadTrouble:
        case Op::ReadZone: {
            const uint16_t want = op == Op::ReadSystem ? kSystemStatus : op == Op::ReadZone ? kZone5Status : kTroubleStatus;
            run.Expect(gate.Word(0) == 0, when + ": word 0 of the value is " + Hex4(gate.Word(0)) + " (0 expected)");
            if (status == 0) {
                run.Expect(gate.Word(2) == want,
                           when + ": status 0 with the value " + Hex4(gate.Word(2)) + " instead of " + Hex4(want));
            } else {
                run.Expect(gate.Word(2) == 0 || gate.Word(2) == want,
                           when + ": a failed read left the wrong value " + Hex4(gate.Word(2)));
            }
            return;
        }
        case Op::ReadLabel: {
            const std::string text = gate.Text();
            if (status == 0) {
                run.Expect(text == kZone5Label, when + ": status 0 with the text \"" + text + "\"");
            } else {
                run.Expect(text.empty() || text == kZone5Label, when + ": a failed read left the text \"" + text + "\"");
            }
            return;
        }
        case Op::Block: {
            int wrong = 0, fresh = 0;
            for (int k = 0; k < 32; ++k) {
                const uint16_t w = gate.Word(2 * static_cast<size_t>(k));
                if (w == BlockWord(k) && k < delivered) {
                    ++fresh;
                } else if (status == 0 ? !(k >= delivered && w == 0) : !(w == 0xEEEE || w == 0)) {
                    ++wrong;
                }
            }
            run.Expect(wrong == 0, when + ": " + std::to_string(wrong) + " of 32 block words are wrong (status " +
                                       std::to_string(status) + ")");
            run.Expect(gate.value[64] == 0xEE, when + ": the block read wrote beyond its 32 words");
            run.Saw(when + " block words", std::to_string(fresh) + " of 32 from the panel");
            return;
        }
        case Op::Bypass: return;  // the model tells (see the kinds)
    }
}

// A request that failed on its answer stores none of it: the value stays as
// the request prepared it: bytes 0-3 of a single gate and a text gate's text
// cleared; a block's words 0-1 cleared and the rest as the host left them.
void CheckCleared(KindRun& run, Op op, const Gate& gate, const std::string& when) {
    if (op == Op::ReadLabel) {
        run.Expect(gate.value[0] == 0, when + ": the text \"" + gate.Text() + "\" was not cleared");
    } else if (op == Op::Block) {
        int left = 0;
        for (size_t k = 0; k < 32; ++k) left += gate.Word(2 * k) != (k < 2 ? 0 : 0xEEEE) ? 1 : 0;
        run.Expect(left == 0, when + ": " + std::to_string(left) + " of 32 block words not as prepared");
        run.Expect(gate.value[64] == 0xEE, when + ": the block read wrote beyond its 32 words");
    } else if (op != Op::Bypass) {
        run.Expect(gate.Word(0) == 0 && gate.Word(2) == 0,
                   when + ": the value " + Hex4(gate.Word(0)) + " " + Hex4(gate.Word(2)) + " was not cleared");
    }
}

// --- set-up and the request after the fault ----------------------------------

// Each concurrent child names its channel after its pair: the numbers below
// it are taken by disabled channels, so children never share the named start
// signal and port lock. False when one of those does not start.
bool NameAfterPair(KindRun& run, int pair) {
    static HostRecord fillers[SK_PROOF_PAIRS];
    run.line.pair = pair;
    for (int i = 0; i < pair; ++i) {
        if (Start(fillers[i], MakeStart("NULLDEV", 0), 90 + i) != 0) {
            run.Expect(false, "a disabled filler channel starts");
            return false;
        }
    }
    return true;
}

bool Setup(KindRun& run, int pair) {
    if (!NameAfterPair(run, pair)) return false;
    const std::string error = run.line.StartSim();
    run.Expect(error.empty(), "the simulator starts: " + error);
    if (!error.empty()) return false;
    const int32_t started = run.line.StartChannel(pair + 1);
    run.Expect(started == 0, "the channel starts (status " + std::to_string(started) + ")");
    run.Expect(run.line.Name() == "VpiSK0" + std::to_string(pair + 1), "the channel is named after its pair");
    KestraClear();
    return started == 0;
}

// After the fault: a normal read of another gate than the faulty request's,
// with the line cooperative again. Stale bytes of the faulty session must
// not become this value.
void NextRequest(KindRun& run, Gates& g, Op after) {
    if (run.line.sim != nullptr) sksim::SimSetFaults(run.line.sim, sksim::SimFaults{});
    const Op op = after == Op::ReadTrouble ? Op::ReadSystem : Op::ReadTrouble;
    Gate& gate = GateOf(g, op);
    gate.Fill();
    const Outcome o = Do(run, kSingleRead, gate);
    run.Saw("next request", Describe(o) + ", value " + Hex4(gate.Word(2)));
    run.Expect(o.status == 0, "the next request gave " + std::to_string(o.status) + " (0 expected)");
    CheckValue(run, op, gate, o.status, "next request");
    run.Expect(o.log.empty(), "the next request logged [" + Joined(o.log) + "] (nothing expected)");
    run.Expect(o.ms >= kSinglePause, "the next request took " + Ms(o.ms) + " (at least 50 ms expected)");
    // A late answer can still be arriving while the next announce runs: the
    // driver then discards it and asks again (2 s per re-send, at most six).
    run.Expect(o.ms < 15000, "the next request took " + Ms(o.ms) + " (less than 15 s expected)");
}

void Teardown(KindRun& run) {
    KestraClear();
    const int32_t ended = run.line.EndChannel();
    run.Expect(ended == 0, "the end gave " + std::to_string(ended) + " (0 expected)");
    run.line.StopSim();
}

// --- kinds driven by the simulator's fault switches ------------------------

struct SwitchCase {
    const char* name;
    const char* fault;
    const char* expected;
    sksim::SimFaults faults;
    Op op;
    std::vector<int32_t> statuses;            // the statuses allowed
    std::vector<std::vector<std::string>> logs;  // the exact logs allowed (one per allowed status, or one for all)
    double minMs, maxMs;
    std::function<void(KindRun&, const sksim::SimCounters&, const Outcome&)> counters;
    int budgetSeconds;
    int blockWordsDelivered = 32;  // of a faulty block answer
    bool cleared = false;          // a failure must leave the value cleared
    const char* settings = nullptr;  // the channel's settings file (SK5820_INI), when not the defaults
    int sessions = 1;                // a read whose answer arrives spoiled every time: 1 + read_retries (2)
};

// A read's answer spoiled every time: the read runs its session three times
// (read_retries = 2), its one line says so, each attempt costs its windows again.
constexpr int kSpoiledSessions = 3;

std::string WithAttempts(std::string line, int sessions) {
    const size_t at = line.find(" (addr = ");
    if (sessions > 1 && at != std::string::npos && line.find("GatewayTransaction() fail") != std::string::npos) {
        line.insert(at, ", " + std::to_string(sessions) + " attempts");
    }
    return line;
}

sksim::SimFaults Faults(std::function<void(sksim::SimFaults&)> set) {
    sksim::SimFaults f;
    set(f);
    return f;
}

// The expected log lines with "{name}" replaced by the channel's name.
std::vector<std::string> Named(std::vector<std::string> lines, const std::string& name) {
    for (std::string& line : lines) {
        const size_t at = line.find("{name}");
        if (at != std::string::npos) line.replace(at, 6, name);
    }
    return lines;
}

// "answer_end = window" for the table: the file's lines on one line.
std::string OneLineSettings(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n")) text.replace(at, 2, "; ");
    return text;
}

void RunSwitchCase(KindRun& run, int pair, const SwitchCase& c) {
    if (c.settings != nullptr) run.Saw("settings", OneLineSettings(c.settings));
    if (!Setup(run, pair)) return;
    Gates g;
    if (!ParseGates(run, g)) return;
    sksim::SimSetFaults(run.line.sim, c.faults);
    sksim::SimResetCounters(run.line.sim);
    Gate& gate = GateOf(g, c.op);
    const Outcome o = Do(run, CodeOf(c.op), gate);
    run.Saw("faulty request", Describe(o));
    const bool statusAllowed = std::find(c.statuses.begin(), c.statuses.end(), o.status) != c.statuses.end();
    run.Expect(statusAllowed, "status " + std::to_string(o.status) + ", which is not one of those allowed");
    size_t which = 0;
    if (c.logs.size() == c.statuses.size()) {
        which = static_cast<size_t>(std::find(c.statuses.begin(), c.statuses.end(), o.status) - c.statuses.begin());
    }
    if (which < c.logs.size()) {
        std::vector<std::string> expected = Named(c.logs[which], run.line.Name());
        for (std::string& line : expected) line = WithAttempts(line, c.sessions);
        run.Expect(o.log == expected, "the log was [" + Joined(o.log) + "] ([" + Joined(expected) + "] expected)");
    }
    run.Expect(o.ms >= c.minMs, "took " + Ms(o.ms) + ", less than the protocol's windows: " + Ms(c.minMs));
    run.Expect(o.ms < c.maxMs * c.sessions, "took " + Ms(o.ms) + ", more than the allowed " + Ms(c.maxMs * c.sessions));
    CheckValue(run, c.op, gate, o.status, "faulty request", c.blockWordsDelivered);
    if (c.cleared && o.status != 0) CheckCleared(run, c.op, gate, "faulty request");
    if (c.op == Op::ReadSystem || c.op == Op::ReadTrouble || c.op == Op::ReadZone) run.Saw("value", Hex4(gate.Word(2)));
    if (c.op == Op::ReadLabel) run.Saw("text", "\"" + gate.Text() + "\"");
    if (c.op == Op::Block) run.Saw("block word 1", Hex4(gate.Word(0)));
    // Let whatever the fault delayed reach the line before the counters are read.
    Sleep(300);
    const sksim::SimCounters counters = sksim::SimGetCounters(run.line.sim);
    run.Saw("simulator", CountersText(counters));
    if (c.sessions > 1 && o.status != 0) {
        run.Expect(counters.sessions == static_cast<uint32_t>(c.sessions),
                   "the simulator saw " + std::to_string(counters.sessions) + " sessions (" +
                       std::to_string(c.sessions) + " expected: the spoiled answer asked again)");
    }
    if (c.counters) c.counters(run, counters, o);
    NextRequest(run, g, c.op);
    const sksim::SimCounters after = sksim::SimGetCounters(run.line.sim);
    run.Expect(after.badCrc == 0, "the simulator saw " + std::to_string(after.badCrc) + " frames with a bad CRC");
    Teardown(run);
}

std::vector<SwitchCase> SwitchCases() {
    using sksim::kReplyAnnounce;
    using sksim::kReplyEos;
    using sksim::kReplyGoodbye;
    using sksim::kReplyRequest;
    using sksim::kReplyZlz;
    const std::vector<std::string> none;
    const std::vector<std::string> e2{kTempError2};
    const std::vector<std::string> e4{kTempError4};
    // A read or write whose answer was no frame says so, with its gate.
    const std::vector<std::string> noFrame{"{name}: GatewayTransaction() fail, no answer frame (addr = '01_')"};
    const std::vector<std::string> noBlockFrame{
        "{name}: GatewayTransaction() fail, no answer frame (addr = '07_001001')"};
    const std::vector<std::string> noWriteFrame{
        "{name}: GatewayTransaction() fail, no answer frame (addr = '11_002003')"};
    // An answer that arrived changed or cut short: its value is not taken.
    const std::vector<std::string> crcSingle{
        "{name}: GatewayTransaction() fail, answer CRC does not check (addr = '01_')"};
    const std::vector<std::string> crcLabel{
        "{name}: GatewayTransaction() fail, answer CRC does not check (addr = '04_005')"};
    const std::vector<std::string> crcBlock{
        "{name}: GatewayTransaction() fail, answer CRC does not check (addr = '07_001001')"};
    // 's' answer: 12 bytes; the block's last frame: 8 + 10 + 10 points before it, 4 in it: 26 bytes.
    const std::vector<std::string> cutSingle{
        "{name}: GatewayTransaction() fail, answer cut short: 8 of 12 bytes (addr = '01_')"};
    const std::vector<std::string> cutBlock{
        "{name}: GatewayTransaction() fail, answer cut short: 22 of 26 bytes (addr = '07_001001')"};
    // An answer that is not this request's, or not whole: none of it is taken.
    const std::vector<std::string> otherLetter{
        "{name}: GatewayTransaction() fail, answer is not for this request: 'v' to 's' (addr = '01_')"};
    const std::vector<std::string> refusedRead{
        "{name}: GatewayTransaction() fail, answer is not for this request: 0x15 to 's' (addr = '01_')"};
    const std::vector<std::string> emptyFrame{
        "{name}: GatewayTransaction() fail, answer too short for its value: 0 payload bytes (addr = '01_')"};
    // The block answer of loop 1 is the gateway's frames 2 to 5 (the announce answer is its frame 1).
    const std::vector<std::string> lostFirst{
        "{name}: GatewayTransaction() fail, answer lost frame 3 of the gateway's session (addr = '07_001001')"};
    const std::vector<std::string> lostLast{
        "{name}: GatewayTransaction() fail, answer lost frame 5 of the gateway's session (addr = '07_001001')"};
    const std::vector<std::string> writeRefused{"{name}: SingleWrite() fail, the panel refused it (addr = '11_002003')"};
    auto announces = [](uint32_t n) {
        return [n](KindRun& run, const sksim::SimCounters& c, const Outcome&) {
            run.Expect(c.announces == n, "the simulator saw " + std::to_string(c.announces) + " announces (" +
                                             std::to_string(n) + " expected)");
        };
    };
    // A single read whose answer never comes whole waits out its 1 s window;
    // one whose answer arrives ends with the answer's frame: only the pause
    // after it is a fixed lower bound.
    const double single = kStatusWindow + kSinglePause;
    const double answered = kSinglePause;
    // A block session whose gateway stays silent from the Zlz on: each of the
    // three session frames gets its read and three re-sends.
    const double closeSilent = kSessionWindow + 3 * kRetryWindow;
    std::vector<SwitchCase> cases = {
        {"announce-never-answered", "the gateway never answers \"SK GATEWAY\"",
         "1, TEMP_ERROR 2 after 7 announces of 2 s each", Faults([](auto& f) { f.ignoreAnnounce = -1; }),
         Op::ReadSystem, {1}, {e2}, 7 * kAnnounceWindow, 7 * kAnnounceWindow + 6000, announces(7), 60},
        {"announce-answered-at-the-4th", "the first 3 announces are not answered",
         "0 and the value, after 3 announce windows", Faults([](auto& f) { f.ignoreAnnounce = 3; }), Op::ReadSystem,
         {0}, {none}, 3 * kAnnounceWindow + answered, 3 * kAnnounceWindow + 5000, announces(4), 45},
        {"announce-wrong-sequence", "every announce answer carries sequence byte 0x11",
         "1, TEMP_ERROR 2 after 7 announces", Faults([](auto& f) { f.announceWrongSeq = -1; }), Op::ReadSystem, {1},
         {e2}, 0, 7 * kAnnounceWindow + 3000, announces(7), 45},
        {"announce-wrong-sequence-once", "the first announce answer carries sequence byte 0x11",
         "0 and the value after a second announce", Faults([](auto& f) { f.announceWrongSeq = 1; }), Op::ReadSystem,
         {0}, {none}, answered, 5000, announces(2), 30},
        {"announce-garbage", "the announce is answered with 11 bytes of noise", "1, TEMP_ERROR 2 after 7 announces",
         Faults([](auto& f) { f.garbage = kReplyAnnounce; }), Op::ReadSystem, {1}, {e2}, 0,
         7 * kAnnounceWindow + 3000, announces(7), 45},
        {"announce-bad-crc", "the announce answer carries an inverted CRC",
         "0 and the value (the announce answer is taken on its sync and sequence bytes)",
         Faults([](auto& f) { f.corruptCrc = kReplyAnnounce; }), Op::ReadSystem, {0}, {none}, answered, 4000,
         announces(1), 30},
        {"announce-in-pieces", "the announce answer comes 3 bytes at a time, 40 ms apart", "0 and the value",
         Faults([](auto& f) { f.pieces = kReplyAnnounce; }), Op::ReadSystem, {0}, {none}, answered, 4000, announces(1),
         30},
        {"announce-trailing-bytes", "4 stray bytes (EE) follow the announce answer",
         "never a wrong value: 0 and the value, or 1", Faults([](auto& f) { f.trailing = kReplyAnnounce; }),
         Op::ReadSystem, {0, 1}, {none, noFrame}, answered, 4000, nullptr, 30},
        {"announce-late", "the announce answers come 2.5 s late (past the 2 s window)",
         "never a wrong value; ends within the announce retries",
         Faults([](auto& f) {
             f.late = kReplyAnnounce;
             f.lateMs = 2500;
         }),
         Op::ReadSystem, {0, 1}, {}, kAnnounceWindow, 7 * kAnnounceWindow + 2 * kSessionWindow + 6000, nullptr, 60},
        {"request-muted-single", "no answer to the request frame of a single read",
         "1, value left as prepared; the session is still closed", Faults([](auto& f) { f.mute = kReplyRequest; }),
         Op::ReadSystem, {1}, {noFrame}, single, 4000,
         [](KindRun& run, const sksim::SimCounters& c, const Outcome&) {
             run.Expect(c.sessionsClosed == 1, "the session was closed with the goodbye");
         },
         30},
        {"request-muted-block", "no answer to the request frame of a block read", "1, no block word changed",
         Faults([](auto& f) { f.mute = kReplyRequest; }), Op::Block, {1}, {noBlockFrame}, kBlockWindow, 8000, nullptr,
         30},
        {"silent-after-announce-single", "the gateway answers the announce, then nothing",
         "1 after 1 s + 5 s + 5 s", Faults([](auto& f) { f.mute = sksim::kSilentAfterAnnounce; }), Op::ReadSystem,
         {1}, {noFrame}, kStatusWindow + 2 * kSessionWindow + kSinglePause, 16000, nullptr, 45},
        {"silent-after-announce-block", "the gateway answers the announce, then nothing",
         "1, TEMP_ERROR 4 after 4 s + 3 x (5 s + 3 x 2 s)",
         Faults([](auto& f) { f.mute = sksim::kSilentAfterAnnounce; }), Op::Block, {1}, {e4},
         kBlockWindow + 3 * closeSilent, kBlockWindow + 3 * closeSilent + 8000,
         [](KindRun& run, const sksim::SimCounters& c, const Outcome&) {
             run.Expect(c.repeats == 9, std::to_string(c.repeats) + " session frames re-sent (9 expected)");
         },
         75},
        {"silent-after-request-single", "the gateway answers the request, then nothing (no end-of-session answer)",
         "0 and the value (read) after 5 s + 5 s",
         Faults([](auto& f) { f.mute = sksim::kSilentAfterRequest; }), Op::ReadSystem, {0}, {none},
         2 * kSessionWindow + kSinglePause, 16000, nullptr, 45},
        {"silent-after-request-block", "the gateway answers the block request, then nothing",
         "1, TEMP_ERROR 4 (the words already decoded are the panel's)",
         Faults([](auto& f) { f.mute = sksim::kSilentAfterRequest; }), Op::Block, {1}, {e4},
         kBlockWindow + 3 * closeSilent, kBlockWindow + 3 * closeSilent + 8000, nullptr, 75},
        {"silent-before-goodbye-block", "no answer to the goodbye of a block session",
         "1, TEMP_ERROR 4 after the goodbye and 3 re-sends",
         Faults([](auto& f) { f.mute = sksim::kSilentBeforeGoodbye; }), Op::Block, {1}, {e4},
         kBlockWindow + closeSilent, kBlockWindow + closeSilent + 6000, nullptr, 45},
        {"silent-before-goodbye-single", "no answer to the goodbye of a single session",
         "0 and the value (the single session does not test the goodbye)",
         Faults([](auto& f) { f.mute = sksim::kSilentBeforeGoodbye; }), Op::ReadSystem, {0}, {none},
         kSessionWindow + kSinglePause, 10000, nullptr, 30},
        {"request-garbage-single", "the request is answered with noise", "1, value left as prepared",
         Faults([](auto& f) { f.garbage = kReplyRequest; }), Op::ReadSystem, {1}, {noFrame}, single, 4000, nullptr,
         30},
        {"request-garbage-block", "the block request is answered with noise", "1, no block word changed",
         Faults([](auto& f) { f.garbage = kReplyRequest; }), Op::Block, {1}, {noBlockFrame}, kBlockWindow, 8000,
         nullptr, 30},
        {"request-bad-crc-single", "the answer to the request carries an inverted CRC",
         "1, value cleared, the CRC line", Faults([](auto& f) { f.corruptCrc = kReplyRequest; }), Op::ReadSystem,
         {1}, {crcSingle}, answered, 4000, nullptr, 30, 32, true},
        {"request-bad-crc-block", "every frame of the block answer carries an inverted CRC",
         "1, the list as prepared (no word of the answer stored), the CRC line", Faults([](auto& f) { f.corruptCrc = kReplyRequest; }), Op::Block,
         {1}, {crcBlock}, kBlockWindow, 8000, nullptr, 30, 32, true},
        {"answer-value-changed-single", "one byte of the status in the answer changed, the frame's CRC that of the "
         "true bytes", "1, value cleared, the CRC line", Faults([](auto& f) { f.changeValue = kReplyRequest; }),
         Op::ReadSystem, {1}, {crcSingle}, answered, 4000, nullptr, 30, 32, true},
        {"answer-value-changed-label", "one letter of the zone label in the answer changed, the CRC that of the true "
         "bytes", "1, text empty, the CRC line", Faults([](auto& f) { f.changeValue = kReplyRequest; }),
         Op::ReadLabel, {1}, {crcLabel}, answered, 4000, nullptr, 30, 32, true},
        {"answer-value-changed-block-first", "one byte of the first status in the block answer's first frame "
         "changed, its CRC that of the true bytes", "1, the list as prepared (no word of the answer stored), the CRC line",
         Faults([](auto& f) { f.changeValue = kReplyRequest; }), Op::Block, {1}, {crcBlock}, kBlockWindow, 8000,
         nullptr, 30, 32, true},
        {"answer-value-changed-block-continuation", "one byte of the first status in the block answer's first "
         "continuation frame changed, its CRC that of the true bytes", "1, the list as prepared (no word of the answer stored), the CRC line",
         Faults([](auto& f) {
             f.changeValue = kReplyRequest;
             f.changeValueFrame = 1;
         }),
         Op::Block, {1}, {crcBlock}, kBlockWindow, 8000, nullptr, 30, 32, true},
        {"answer-cut-short-single", "the answer to the request stops 4 bytes short (its status and CRC)",
         "1, value cleared, the cut-short line", Faults([](auto& f) { f.cutShort = kReplyRequest; }), Op::ReadSystem,
         {1}, {cutSingle}, single, 4000, nullptr, 30, 32, true},
        {"answer-cut-short-block", "the block answer's last frame stops 4 bytes short (its last point and CRC)",
         "1, the list as prepared (no word of the answer stored), the cut-short line", Faults([](auto& f) { f.cutShort = kReplyRequest; }), Op::Block,
         {1}, {cutBlock}, kBlockWindow, 8000, nullptr, 30, 32, true},
        {"answer-other-letter-single", "the system status read is answered with the letter 'v' (the CRC made to "
         "check)", "1, value cleared, the not-for-this-request line", Faults([](auto& f) { f.otherLetter = 'v'; }),
         Op::ReadSystem, {1}, {otherLetter}, answered, 4000, nullptr, 30, 32, true},
        {"answer-refused-single", "the system status read is answered with the panel's refusal (15 's')",
         "1, value cleared, the not-for-this-request line", Faults([](auto& f) { f.refuseLetters = "s"; }),
         Op::ReadSystem, {1}, {refusedRead}, answered, 4000, nullptr, 30, 32, true},
        {"answer-empty-frame", "the system status read is answered with one frame of no payload (good CRC)",
         "1, value cleared, the too-short line", Faults([](auto& f) { f.emptyAnswer = true; }), Op::ReadSystem, {1},
         {emptyFrame}, answered, 4000, nullptr, 30, 32, true},
        {"request-in-pieces-block", "the 4-frame block answer comes 3 bytes at a time, 40 ms apart",
         "0 and the 32 values", Faults([](auto& f) { f.pieces = kReplyRequest; }), Op::Block, {0}, {none},
         kBlockWindow, 8000, nullptr, 30},
        {"request-late-single", "the answer to the request comes 1.5 s late (past the 1 s window)",
         "1; the late answer is never taken for a value",
         Faults([](auto& f) {
             f.late = kReplyRequest;
             f.lateMs = 1500;
         }),
         Op::ReadSystem, {1}, {noFrame}, single, kStatusWindow + 2 * kSessionWindow + 3000, nullptr, 45},
        {"request-late-block", "the block answer comes 4.5 s late (past the 4 s window)",
         "1; the late answer is never taken for a value",
         Faults([](auto& f) {
             f.late = kReplyRequest;
             f.lateMs = 4500;
         }),
         Op::Block, {1}, {}, kBlockWindow, kBlockWindow + 3 * closeSilent + 8000, nullptr, 75},
        {"zlz-late", "the Zlz answer comes 5.5 s late (past the 5 s window)",
         "never a wrong value; TEMP_ERROR 4 when the goodbye is not seen",
         Faults([](auto& f) {
             f.late = kReplyZlz;
             f.lateMs = 5500;
         }),
         Op::Block, {0, 1}, {none, e4}, kBlockWindow + kSessionWindow, kBlockWindow + 3 * closeSilent + 8000, nullptr,
         75},
        {"eos-late-single", "the end-of-session answer comes 5.5 s late (past the 5 s window)", "0 and the value",
         Faults([](auto& f) {
             f.late = kReplyEos;
             f.lateMs = 5500;
         }),
         Op::ReadSystem, {0}, {none}, kSessionWindow + kSinglePause, 16000, nullptr, 45},
        {"eos-late-block", "the end-of-session answer comes 5.5 s late (past the 5 s window)",
         "never a wrong value; TEMP_ERROR 4 when the goodbye is not seen",
         Faults([](auto& f) {
             f.late = kReplyEos;
             f.lateMs = 5500;
         }),
         Op::Block, {0, 1}, {none, e4}, kBlockWindow + kSessionWindow, kBlockWindow + 3 * closeSilent + 8000, nullptr,
         75},
        {"goodbye-late-single", "the goodbye answer comes 5.5 s late, after the read has returned",
         "0 and the value; the late goodbye answer does not spoil the next request",
         Faults([](auto& f) {
             f.late = kReplyGoodbye;
             f.lateMs = 5500;
         }),
         Op::ReadSystem, {0}, {none}, kSessionWindow + kSinglePause, 10000, nullptr, 45},
        {"goodbye-late-block", "the goodbye answer comes 5.5 s late (past the 5 s window)",
         "never a wrong value; TEMP_ERROR 4 when the goodbye is not seen",
         Faults([](auto& f) {
             f.late = kReplyGoodbye;
             f.lateMs = 5500;
         }),
         Op::Block, {0, 1}, {none, e4}, kBlockWindow + kSessionWindow, kBlockWindow + closeSilent + 8000, nullptr,
         60},
        {"request-trailing-bytes", "4 stray bytes (EE) follow the answer to the request", "0 and the value",
         Faults([](auto& f) { f.trailing = kReplyRequest; }), Op::ReadSystem, {0}, {none}, answered, 4000, nullptr, 30},
        {"answer-stray-bytes-zone", "4 stray bytes A5 follow the zone status answer, read with answer_end = window",
         "0 and the zone's status (never 0xA5A5)",
         Faults([](auto& f) {
             f.trailing = kReplyRequest;
             f.trailingByte = 0xA5;
         }),
         Op::ReadZone, {0}, {none}, single, 4000, nullptr, 30, 32, false, "[default]\r\nanswer_end = window\r\n"},
        {"goodbye-trailing-bytes", "4 stray bytes (EE) follow the goodbye answer",
         "0 and the value; the stray bytes do not spoil the next request",
         Faults([](auto& f) { f.trailing = kReplyGoodbye; }), Op::ReadSystem, {0}, {none}, answered, 4000, nullptr, 30},
        {"continuation-dropped", "a 4-frame block answer arrives without its 3 continuation frames",
         "0 with the first frame's 8 words; words 9-32 read 0, never what the buffer held before",
         Faults([](auto& f) { f.dropContinuation = true; }), Op::Block, {0}, {none}, kBlockWindow, 8000, nullptr, 30,
         8},
        {"block-frame-lost-first", "the block answer's first continuation frame is lost; the gateway numbered it",
         "1, the list as prepared, the lost-frame line naming frame 3",
         Faults([](auto& f) {
             f.dropFrame = sksim::kDropFirst;
             f.dropFrameCounted = true;
         }),
         Op::Block, {1}, {lostFirst}, kBlockWindow, 8000, nullptr, 30, 32, true},
        {"block-frame-lost-last", "the block answer's last frame is lost; the gateway numbered it (the Zlz answer "
         "shows the gap)", "1, the list as prepared, the lost-frame line naming frame 5",
         Faults([](auto& f) {
             f.dropFrame = sksim::kDropLast;
             f.dropFrameCounted = true;
         }),
         Op::Block, {1}, {lostLast}, kBlockWindow, 8000, nullptr, 30, 32, true},
        {"block-frame-dropped-unnumbered-last", "the block answer's last frame is not sent and the frames are "
         "numbered as if it never was (nothing on the wire shows it)",
         "0 with the 28 words of the frames that came; words 29-32 read 0 (a loss nothing shows cannot be told)",
         Faults([](auto& f) { f.dropFrame = sksim::kDropLast; }), Op::Block, {0}, {none}, kBlockWindow, 8000, nullptr,
         30, 28},
        {"hang-up-instead-of-answer", "the gateway hangs up instead of answering the request; back after 3 s",
         "1; the channel serves the next request once the line is back",
         Faults([](auto& f) {
             f.hangUp = kReplyRequest;
             f.hangUpMs = 3000;
         }),
         Op::ReadSystem, {1}, {noFrame}, single, kStatusWindow + 2 * kSessionWindow + 3000,
         [](KindRun& run, const sksim::SimCounters& c, const Outcome&) {
             run.Expect(c.hangUps == 1, "the line was hung up once");
         },
         45},
        {"hang-up-mid-block-session", "the gateway hangs up instead of answering the end-of-session; back after 2 s",
         "1, TEMP_ERROR 4; the channel serves the next request",
         Faults([](auto& f) {
             f.hangUp = kReplyEos;
             f.hangUpMs = 2000;
         }),
         Op::Block, {1}, {e4}, kBlockWindow + 2 * closeSilent, kBlockWindow + 3 * closeSilent + 8000,
         [](KindRun& run, const sksim::SimCounters& c, const Outcome&) {
             run.Expect(c.hangUps == 1, "the line was hung up once");
         },
         75},
        {"write-unconfirmed", "the gateway answers the announce of a write, then nothing",
         "1: a write the gateway never confirmed is not reported as done",
         Faults([](auto& f) { f.mute = sksim::kSilentAfterAnnounce; }), Op::Bypass, {1}, {noWriteFrame},
         kStatusWindow + 2 * kSessionWindow, 16000, nullptr, 45},
        {"write-garbage-answer", "the write is answered with noise", "1",
         Faults([](auto& f) { f.garbage = kReplyRequest; }), Op::Bypass, {1}, {noWriteFrame}, kStatusWindow, 4000, nullptr,
         30},
        {"spoiled-answer-healed-by-a-retry", "the first answer to the request carries an inverted CRC, the second "
         "goes out well", "0 and the value, nothing logged; the read counted as good after a retry",
         Faults([](auto& f) {
             f.corruptCrc = kReplyRequest;
             f.spoiledAnswers = 1;
         }),
         Op::ReadSystem, {0}, {none}, answered, 4000,
         [](KindRun& run, const sksim::SimCounters& c, const Outcome&) {
             run.Expect(c.sessions == 2, "the simulator saw " + std::to_string(c.sessions) + " sessions (2 expected)");
             const LineCounters counted = run.line.channel()->health.total;
             run.Expect(counted.readsGoodAfterRetry == 1 && counted.retries == 1,
                        "the channel counted " + std::to_string(counted.readsGoodAfterRetry) +
                            " reads good after a retry and " + std::to_string(counted.retries) + " retries (1 and 1 expected)");
             run.Saw("counted", std::to_string(counted.readsGoodAfterRetry) + " good after a retry");
         },
         30},
        {"undetected-two-bit-error-steady-value", "the zone read's answer carries a two-bit error the line's CRC cannot "
         "see (a bit of a last data byte and the same bit of the CRC); the answer after it is true; the zone's value "
         "was read before", "0 and the zone's true value, nothing logged; one read more than a clean read (the answer "
         "after the wrong one brings the value reported last)",
         Faults([](auto& f) {
             f.weakCrcRate = 1;
             f.spoiledAnswers = 1;
         }),
         Op::ReadZone, {0}, {none}, 2 * answered, 4000,
         [](KindRun& run, const sksim::SimCounters& c, const Outcome&) {
             const LineCounters counted = run.line.channel()->health.total;
             run.Expect(c.weakAnswers == 1, "the simulator weakened " + std::to_string(c.weakAnswers) + " answers (1 expected)");
             run.Expect(c.sessions == 2, "the simulator saw " + std::to_string(c.sessions) + " sessions (2 expected)");
             run.Expect(counted.disagreements == 1, "the channel counted " + std::to_string(counted.disagreements) +
                                                        " disagreements (1 expected)");
             run.Saw("cost", std::to_string(c.sessions) + " sessions for the read, 1 more than a clean read");
         },
         30},
        {"write-spoiled-acknowledgement", "the bypass is carried out, its acknowledgement arrives with an inverted CRC",
         "1 (not confirmed), the CRC line; the write was sent once and carried out once, never again",
         Faults([](auto& f) { f.corruptCrc = kReplyRequest; }), Op::Bypass, {1},
         {{"{name}: GatewayTransaction() fail, answer CRC does not check (addr = '11_002003')"}}, 0, 4000,
         [](KindRun& run, const sksim::SimCounters& c, const Outcome&) {
             run.Expect(c.sessions == 1 && c.requests == 1,
                        "the write went to the gateway " + std::to_string(c.requests) + " times (once expected)");
             run.Expect(c.writes == 1, "the panel carried out " + std::to_string(c.writes) + " writes (1 expected)");
             run.Saw("panel", "the bypass was carried out " + std::to_string(c.writes) + " time(s)");
         },
         30},
        {"write-refused", "the bypass is answered 'B' 15 (the panel refuses it; the model stays as it was)",
         "1, the refused line", Faults([](auto& f) { f.refuseWrites = true; }), Op::Bypass, {1}, {writeRefused},
         0, 4000,
         [](KindRun& run, const sksim::SimCounters& c, const Outcome&) {
             run.Expect(c.writes == 0, "the panel carried out " + std::to_string(c.writes) + " writes (0 expected)");
             run.Saw("panel", c.writes == 0 ? "no bypass" : "the bypass was carried out");
         },
         30},
    };
    // The kinds whose answer arrives, spoiled, every time: asked again.
    const char* spoiled[] = {"announce-trailing-bytes", "request-garbage-single", "request-garbage-block",
                             "request-bad-crc-single", "request-bad-crc-block", "answer-value-changed-single",
                             "answer-value-changed-label", "answer-value-changed-block-first",
                             "answer-value-changed-block-continuation", "answer-cut-short-single",
                             "answer-cut-short-block", "answer-other-letter-single", "answer-refused-single",
                             "answer-empty-frame", "block-frame-lost-first", "block-frame-lost-last"};
    for (SwitchCase& c : cases) {
        for (const char* name : spoiled) {
            if (c.name != std::string(name)) continue;
            c.sessions = kSpoiledSessions;
            c.budgetSeconds *= kSpoiledSessions;
        }
    }
    return cases;
}

// --- kinds that need more than a switch ------------------------------------

// Stray bytes on the line between the announce and its answer: written by a
// second handle on the gateway's end of the pair (Wine does not refuse a
// second open) the moment the simulator reports the announce.
void StrayBytesBeforeAnnounceReply(KindRun& run, int pair) {
    sksim::SimOptions options;
    HANDLE stray = INVALID_HANDLE_VALUE;
    std::atomic<int> injected{0};
    options.onTrace = [&](const std::string& line) {
        if (injected.load() == 0 && line.find("-> announce") != std::string::npos && stray != INVALID_HANDLE_VALUE) {
            const uint8_t noise[3] = {0x13, 0x37, 0x42};
            DWORD written = 0;
            WriteFile(stray, noise, sizeof noise, &written, nullptr);
            injected = static_cast<int>(written);
        }
    };
    if (!NameAfterPair(run, pair)) return;
    const std::string error = run.line.StartSim(sksim::SimFaults{}, &options);
    run.Expect(error.empty(), "the simulator starts: " + error);
    if (!error.empty()) return;
    stray = CreateFileA(DevicePath(PeerCom(pair)).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    run.Expect(stray != INVALID_HANDLE_VALUE, "a second handle on the gateway's end opens");
    run.Expect(run.line.StartChannel(pair + 1) == 0, "the channel starts");
    Gates g;
    if (!ParseGates(run, g)) return;
    const Outcome o = Do(run, kSingleRead, g.system);
    run.Saw("faulty request", Describe(o) + ", value " + Hex4(g.system.Word(2)));
    run.Expect(injected.load() == 3, "3 stray bytes went out before the announce answer");
    run.Expect(o.status == 0 || (o.status == 1 && o.log == std::vector<std::string>{kTempError2}),
               "it gave " + Describe(o) + " (0, or 1 with TEMP_ERROR 2 expected)");
    run.Expect(o.ms < 7 * kAnnounceWindow + 3000, "ends within the announce retries");
    CheckValue(run, Op::ReadSystem, g.system, o.status, "faulty request");
    Sleep(300);
    run.Saw("simulator", CountersText(sksim::SimGetCounters(run.line.sim)));
    injected = 99;  // no more stray bytes
    NextRequest(run, g, Op::ReadSystem);
    CloseHandle(stray);
    Teardown(run);
}

// The socat pair itself goes away in the middle of a single read (while the
// driver waits in the status window) and comes back; the host then reopens
// the port (code 15) and the channel serves requests again.
void LineKilledMidSession(KindRun& run, int pair, bool midSession) {
    if (!Setup(run, pair)) return;
    Gates g;
    if (!ParseGates(run, g)) return;
    if (midSession) {
        // The gateway answers the announce, then waits: the read sits in its
        // windows while the line goes.
        sksim::SimSetFaults(run.line.sim, Faults([](auto& f) { f.mute = sksim::kSilentAfterAnnounce; }));
        Outcome o;
        RunOnThreads(2, [&](int i) {
            if (i == 0) {
                o = Do(run, kSingleRead, g.system);
            } else {
                Sleep(500);
                run.Expect(KillPair(pair), "the socat pair is ended");
            }
        });
        run.Saw("read while the line goes", Describe(o));
        run.Expect(o.status == 1, "the read during the loss gave " + std::to_string(o.status) + " (1 expected)");
        run.Expect(!o.log.empty(), "the read that failed during the loss left nothing in the host log");
        run.Expect(o.ms < kStatusWindow + 2 * kSessionWindow + 3000, "it took " + Ms(o.ms) + " (within its windows expected)");
        CheckValue(run, Op::ReadSystem, g.system, o.status, "read while the line goes");
    } else {
        run.Expect(KillPair(pair), "the socat pair is ended");
    }
    // The line is gone: a read fails within the announce retries.
    g.system.Fill();
    Outcome gone = Do(run, kSingleRead, g.system);
    run.Saw("read while the line is gone", Describe(gone));
    run.Expect(gone.status == 1, "a read on a line that is gone gave " + std::to_string(gone.status) + " (1 expected)");
    run.Expect(gone.log == std::vector<std::string>{kTempError2}, "it logged [" + Joined(gone.log) + "] (TEMP_ERROR 2 expected)");
    run.Expect(gone.ms < 7 * kAnnounceWindow + 3000, "it took " + Ms(gone.ms) + " (within the announce retries expected)");
    CheckValue(run, Op::ReadSystem, g.system, gone.status, "read while the line is gone");

    ReopenParams reopen;
    memset(&reopen, 0, sizeof reopen);
    const std::string port = DevicePath(DriverCom(pair));
    memcpy(reopen.portName, port.data(), port.size());
    reopen.settings = PortSettings{19200, 8, 0, 0};
    KestraClear();
    const int32_t whileGone = CallVpi(kReopenPort, run.line.channel(), &reopen);
    const std::vector<std::string> reopenLog = LogWithoutLineSignals();
    run.Saw("reopen while gone", "status " + std::to_string(whileGone) + ", log [" + Joined(reopenLog) + "]");
    run.Expect(whileGone == 2, "a reopen while the line is gone gave " + std::to_string(whileGone) + " (2 expected)");
    const std::vector<std::string> cannotOpen{run.line.Name() + ": ReopenPort() fail, cannot open " + port +
                                              ": file not found: no such port (error 2)"};
    run.Expect(reopenLog == cannotOpen, "the failed reopen logged [" + Joined(reopenLog) + "] ([" + Joined(cannotOpen) +
                                            "] expected)");

    run.Expect(RespawnPair(pair), "the socat pair is back");
    run.line.StopSim();
    const std::string error = run.line.StartSim();
    run.Expect(error.empty(), "the simulator is back: " + error);
    KestraClear();
    const int32_t back = CallVpi(kReopenPort, run.line.channel(), &reopen);
    run.Saw("reopen once back", "status " + std::to_string(back));
    run.Expect(back == 0, "the reopen once the line is back gave " + std::to_string(back) + " (0 expected)");
    if (run.line.sim != nullptr) NextRequest(run, g, Op::ReadSystem);
    Teardown(run);
}

// A channel record that is started from the host's 0xCD fill, and one that is
// used without ever being started.
void GarbageRecord(KindRun& run, int pair) {
    if (!Setup(run, pair)) return;  // the record is 0xCD-filled before the start
    Gates g;
    if (!ParseGates(run, g)) return;
    const Outcome single = Do(run, kSingleRead, g.system);
    CheckValue(run, Op::ReadSystem, g.system, single.status, "single read");
    run.Expect(single.status == 0 && single.log.empty(), "a single read gave " + Describe(single) + " (0 and no log expected)");
    const Outcome block = Do(run, kBlockRead, g.block);
    CheckValue(run, Op::Block, g.block, block.status, "block read");
    run.Expect(block.status == 0 && block.log.empty(), "a block read gave " + Describe(block) + " (0 and no log expected)");
    run.Saw("started from 0xCD", "single " + Describe(single) + "; block " + Describe(block));

    // Never started: every field holds 0xCD, the port too.
    HostRecord never(0xCD);
    Gate gate("01_", 0);
    gate.point.argB = 0;
    gate.point.argC = 1;
    KestraClear();
    const double start = NowMs();
    const int32_t status = CallVpi(kSingleRead, never.get(), &gate.point);
    const double ms = NowMs() - start;
    const std::vector<std::string> log = LogWithoutLineSignals();
    run.Saw("never started", "status " + std::to_string(status) + ", " + Ms(ms) + ", log [" + Joined(log) + "]");
    run.Expect(status == 1, "a read on a record that was never started gave " + std::to_string(status) + " (1 expected)");
    run.Expect(log == std::vector<std::string>{kTempError2}, "it logged [" + Joined(log) + "] (TEMP_ERROR 2 expected)");
    run.Expect(ms < 7 * kAnnounceWindow + 3000, "within the announce retries");
    run.Expect(gate.Word(0) == 0 && gate.Word(2) == 0, "the value is left as prepared");
    NextRequest(run, g, Op::ReadSystem);
    Teardown(run);
}

// The channel's port lock held by another process for the whole life of the
// channel: requests still run, and the end still stops the catch thread.
void PortLockHeld(KindRun& run, int pair) {
    if (!NameAfterPair(run, pair)) return;
    const std::string name = "VpiSK0" + std::to_string(pair + 1);
    const std::string held = "ProofLockHeld" + std::to_string(GetCurrentProcessId());
    const std::string go = "ProofLockGo" + std::to_string(GetCurrentProcessId());
    HANDLE heldEvent = CreateEventA(nullptr, TRUE, FALSE, held.c_str());
    HANDLE goEvent = CreateEventA(nullptr, TRUE, FALSE, go.c_str());
    const std::string holder = "\"" + ProgramDir() + "\\proof_lock_holder.exe\" COMMBUSY" + name + " " + held + " " + go;
    const std::string output = TempFolder("proof-lock") + "\\holder.txt";
    HANDLE process = StartChild(holder, {}, output);
    run.Expect(process != nullptr, "the lock holder starts");
    run.Expect(WaitForSingleObject(heldEvent, 20000) == WAIT_OBJECT_0, "the other process holds COMMBUSY" + name);

    const std::string error = run.line.StartSim();
    run.Expect(error.empty(), "the simulator starts: " + error);
    KestraClear();
    const double t0 = NowMs();
    const int32_t started = run.line.StartChannel(pair + 1);
    const double startMs = NowMs() - t0;
    run.Expect(started == 0, "the start gives 0 while the lock is held elsewhere");
    run.Expect(startMs >= 1000 && startMs < 6000, "the start took " + Ms(startMs) + " (1 s to 6 s expected)");
    Gates g;
    if (!ParseGates(run, g)) return;
    const Outcome read = Do(run, kSingleRead, g.system);
    run.Saw("read with the lock held", Describe(read));
    run.Expect(read.status == 0 && read.log.empty(), "a read while the lock is held gave " + Describe(read) + " (0 and no log expected)");
    CheckValue(run, Op::ReadSystem, g.system, read.status, "read with the lock held");
    KestraClear();
    const double t1 = NowMs();
    const int32_t ended = run.line.EndChannel();
    const double endMs = NowMs() - t1;
    const std::vector<std::string> log = LogWithoutLineSignals();
    run.Saw("end with the lock held", "status " + std::to_string(ended) + ", " + Ms(endMs) + ", log [" + Joined(log) + "]");
    run.Expect(ended == 0, "the end gives 0");
    run.Expect(endMs >= 1000 && endMs < 6000, "the end took " + Ms(endMs) + " (1 s to 6 s expected)");
    // The end's counters line (the three first reads, each confirmed, and the
    // one with the lock held, all good) comes before its two lines.
    const bool counted = log.size() == 3 && log[0].find(": 4 reads 4 good (3 confirmed); 0 writes 0 good; line down 0 s;") !=
                                                std::string::npos;
    run.Expect(counted && std::vector<std::string>(log.begin() + 1, log.end()) ==
                              std::vector<std::string>{name + ": EndVpi()",
                                                       name + ": No. of Instances left: " + std::to_string(pair)},
               "the end logged [" + Joined(log) + "] (its counters line and its two lines expected)");
    SetEvent(goEvent);
    if (process != nullptr) {
        run.Expect(WaitForSingleObject(process, 20000) == WAIT_OBJECT_0, "the lock holder ends");
        DWORD code = 99;
        GetExitCodeProcess(process, &code);
        run.Expect(code == 0, "the lock holder released the lock (exit " + std::to_string(code) + ")");
        CloseHandle(process);
    }
    CloseHandle(heldEvent);
    CloseHandle(goEvent);
    run.line.StopSim();
}

// The host closes the port and reads: a refusal within the announce retries,
// then it opens the port again (code 13) and reads.
void ReadOnClosedPort(KindRun& run, int pair) {
    if (!Setup(run, pair)) return;
    Gates g;
    if (!ParseGates(run, g)) return;
    KestraClear();
    run.Expect(CallVpi(kClosePort, run.line.channel(), nullptr) == 0, "the port closes");
    run.Expect(run.line.channel()->port == nullptr, "the channel has no port");
    const Outcome closed = Do(run, kSingleRead, g.system);
    run.Saw("read on the closed port", Describe(closed));
    run.Expect(closed.status == 1, "a read without a port gave " + std::to_string(closed.status) + " (1 expected)");
    run.Expect(closed.log == std::vector<std::string>{kTempError2}, "it logged [" + Joined(closed.log) + "] (TEMP_ERROR 2 expected)");
    run.Expect(closed.ms < 7 * kAnnounceWindow + 3000, "it took " + Ms(closed.ms) + " (within the announce retries expected)");
    CheckValue(run, Op::ReadSystem, g.system, closed.status, "read on the closed port");
    const int32_t opened = CallVpi(kOpenPort, run.line.channel(), nullptr);
    run.Expect(opened == 0, "the port opens again (status " + std::to_string(opened) + ")");
    NextRequest(run, g, Op::ReadSystem);
    Teardown(run);
}

// A read of an address no parse ever accepted: refused before anything is sent.
void UnparsedAddress(KindRun& run, int pair) {
    if (!Setup(run, pair)) return;
    Gates g;
    if (!ParseGates(run, g)) return;
    sksim::SimResetCounters(run.line.sim);
    Gate bad("99_", 0);
    bad.point.argC = 99;
    const Outcome o = Do(run, kSingleRead, bad);
    run.Saw("read of 99_", Describe(o));
    run.Expect(o.status == 1 && o.log == std::vector<std::string>{kTempError1}, "it gave " + Describe(o) + " (1 with TEMP_ERROR 1 expected)");
    run.Expect(o.ms < 1000, "it took " + Ms(o.ms) + " (refused at once expected)");
    Sleep(300);
    const sksim::SimCounters c = sksim::SimGetCounters(run.line.sim);
    run.Expect(c.announces == 0 && c.framesReceived == 0 && c.garbageBytes == 0, "nothing went on the line");
    NextRequest(run, g, Op::ReadSystem);
    Teardown(run);
}

// A gateway that stops answering: after line_down_after requests without an
// announce answer (1 here, read from the kind's settings) the line is down
// and reads fail at once, sending nothing. Then either the gateway comes
// back and the read tried after line_retry_s (2 s) brings the "line up" line,
// or a restart ends the down state and the next read goes to the line.
void LineDown(KindRun& run, int pair, bool restart) {
    if (!Setup(run, pair)) return;
    Gates g;
    if (!ParseGates(run, g)) return;
    std::string port(run.line.channel()->portDesc.portName, strnlen(run.line.channel()->portDesc.portName, 12));
    if (port.rfind("\\\\.\\", 0) == 0) port.erase(0, 4);  // the log names a port by its plain name
    const std::string name = run.line.Name() + ": " + port;
    sksim::SimSetFaults(run.line.sim, Faults([](auto& f) { f.ignoreAnnounce = -1; }));
    const Outcome dead = Do(run, kSingleRead, g.system);
    run.Saw("read on the dead line", Describe(dead));
    const std::vector<std::string> down{kTempError2, name + " line down: the gateway has not answered 1 request in a "
                                                         "row; reads fail at once, the line is tried again every 2 s"};
    run.Expect(dead.status == 1 && dead.log == down, "it gave " + Describe(dead) + " (1, TEMP_ERROR 2 and line down expected)");
    sksim::SimResetCounters(run.line.sim);
    const Outcome atOnce = Do(run, kSingleRead, g.system);
    run.Saw("read while down", Describe(atOnce));
    run.Expect(atOnce.status == 1 && atOnce.log.empty(), "it gave " + Describe(atOnce) + " (1 and no line expected)");
    run.Expect(atOnce.ms < 1000, "it took " + Ms(atOnce.ms) + " (at once expected)");
    CheckValue(run, Op::ReadSystem, g.system, atOnce.status, "read while down");
    Sleep(300);
    run.Expect(sksim::SimGetCounters(run.line.sim).announces == 0, "a read while down sent an announce");
    sksim::SimSetFaults(run.line.sim, sksim::SimFaults{});  // the gateway is back
    if (restart) {
        run.Expect(CallVpi(kWarmStart, run.line.channel(), nullptr) == 0, "the restart gives 0");
    } else {
        Sleep(2100);  // line_retry_s
    }
    KestraClear();
    const Outcome back = Do(run, kSingleRead, g.system);
    run.Saw("read after " + std::string(restart ? "the restart" : "line_retry_s"), Describe(back));
    run.Expect(back.status == 0, "the read gave " + std::to_string(back.status) + " (0 expected)");
    CheckValue(run, Op::ReadSystem, g.system, back.status, "read after the line came back");
    if (!restart) {
        const bool up = back.log.size() == 1 && back.log[0].find(name + " line up again after ") == 0 &&
                        back.log[0].find(" s; 1 reads failed at once meanwhile") != std::string::npos;
        run.Expect(up, "it logged [" + Joined(back.log) + "] (the line up line expected)");
    }
    NextRequest(run, g, Op::ReadSystem);
    Teardown(run);
}

// Zone 5 goes into alarm on the panel after the driver has read its normal
// value, and the first answer that brings the alarm carries a two-bit error
// the line's CRC cannot see: the driver asks again until two answers agree.
void UndetectedErrorOnAChange(KindRun& run, int pair) {
    constexpr uint16_t kZone5Alarm = 0x0081;
    constexpr uint32_t kChangeAtMs = 5000;
    if (!NameAfterPair(run, pair)) return;
    sksim::SimOptions options;
    sksim::SimEvent change;
    change.atMs = kChangeAtMs;
    change.kind = sksim::kEventZone;
    change.number = 5;
    change.value = kZone5Alarm;
    options.events.push_back(change);
    const double simStart = NowMs();
    const std::string error = run.line.StartSim(sksim::SimFaults{}, &options);
    run.Expect(error.empty(), "the simulator starts: " + error);
    if (!error.empty()) return;
    run.Expect(run.line.StartChannel(pair + 1) == 0, "the channel starts");
    Gates g;
    if (!ParseGates(run, g)) return;  // zone 5 read normal
    run.Expect(g.zone.Word(2) == kZone5Status, "zone 5 read " + Hex4(g.zone.Word(2)) + " before the change");
    const double wait = simStart + kChangeAtMs + 500 - NowMs();
    if (wait > 0) Sleep(static_cast<DWORD>(wait));
    sksim::SimSetFaults(run.line.sim, Faults([](auto& f) {
                            f.weakCrcRate = 1;
                            f.spoiledAnswers = 1;
                        }));
    sksim::SimResetCounters(run.line.sim);
    const LineCounters before = run.line.channel()->health.total;
    const Outcome o = Do(run, kSingleRead, g.zone);
    run.Saw("read after the change", Describe(o) + ", value " + Hex4(g.zone.Word(2)));
    run.Expect(o.status == 0 && o.log.empty(), "it gave " + Describe(o) + " (0 and no line expected)");
    run.Expect(o.status != 0 || g.zone.Word(2) == kZone5Alarm,
               "status 0 with " + Hex4(g.zone.Word(2)) + " (the alarm " + Hex4(kZone5Alarm) + " expected)");
    Sleep(300);
    const sksim::SimCounters c = sksim::SimGetCounters(run.line.sim);
    const LineCounters after = run.line.channel()->health.total;
    run.Expect(c.weakAnswers == 1, "the simulator weakened " + std::to_string(c.weakAnswers) + " answers (1 expected)");
    run.Expect(c.sessions == 3, "the simulator saw " + std::to_string(c.sessions) + " sessions (3 expected)");
    run.Expect(after.readsConfirmed - before.readsConfirmed == 1 && after.disagreements - before.disagreements == 1,
               "the channel counted " + std::to_string(after.readsConfirmed - before.readsConfirmed) + " confirmed and " +
                   std::to_string(after.disagreements - before.disagreements) + " disagreements (1 and 1 expected)");
    run.Saw("cost", std::to_string(c.sessions) + " sessions for the read: 1 more than a clean change, 2 more than an "
                                                 "unchanged value");
    NextRequest(run, g, Op::ReadZone);
    Teardown(run);
}

// The write kinds also look at the panel: a write that gave 0 is in the model.
void WriteCheck(KindRun& run, const sksim::SimCounters& c, const Outcome& o) {
    if (o.status == 0) run.Expect(c.writes == 1, "a write that gave 0 reached the panel");
    run.Saw("panel", c.writes == 1 ? "the bypass was carried out (unconfirmed to the driver)" : "no bypass");
}

// --- the table of kinds ------------------------------------------------------

struct Kind {
    std::string name, fault, expected;
    int budgetSeconds;
    std::function<void(KindRun&, int)> run;
    std::string settings{};  // the settings file the kind's channel reads (empty: none, the defaults)
};

std::vector<Kind> AllKinds() {
    std::vector<Kind> kinds;
    for (SwitchCase c : SwitchCases()) {
        if (c.op == Op::Bypass && !c.counters) c.counters = WriteCheck;
        kinds.push_back(Kind{c.name, c.fault, c.expected, c.budgetSeconds,
                             [c](KindRun& run, int pair) { RunSwitchCase(run, pair, c); },
                             c.settings != nullptr ? c.settings : ""});
    }
    kinds.push_back({"stray-bytes-before-announce-reply", "3 stray bytes reach the driver just before the announce answer",
                     "never a wrong value: 0 and the value, or 1 with TEMP_ERROR 2", 45, StrayBytesBeforeAnnounceReply});
    kinds.push_back({"line-killed-mid-session", "the socat pair is ended while a single read waits for its answer",
                     "1; reads give 1 with TEMP_ERROR 2 while the line is gone; a reopen then gives 2, and 0 once the "
                     "line is back, and the channel reads again",
                     90, [](KindRun& run, int pair) { LineKilledMidSession(run, pair, true); }});
    kinds.push_back({"port-vanishes-before-read", "the socat pair is ended between the start and the first read",
                     "the read gives 1 with TEMP_ERROR 2; a reopen gives 2 while gone, 0 once back; reads again", 75,
                     [](KindRun& run, int pair) { LineKilledMidSession(run, pair, false); }});
    kinds.push_back({"garbage-record", "channel records filled with 0xCD: one started from it, one never started",
                     "the started one reads normally; the never-started one gives 1 with TEMP_ERROR 2, no crash", 45,
                     GarbageRecord});
    kinds.push_back({"port-lock-held-elsewhere", "another process holds the channel's COMMBUSY mutex throughout",
                     "start 0 (>= 1 s), reads 0, end 0 in about 1 s with its counters line and its two log lines", 45, PortLockHeld});
    kinds.push_back({"read-on-closed-port", "the host closes the port (code 12) and reads",
                     "1 with TEMP_ERROR 2; after an open (code 13) the channel reads again", 45, ReadOnClosedPort});
    const std::string downSettings = "[default]\r\nline_down_after = 1\r\nline_retry_s = 2\r\n";
    kinds.push_back({"line-dies-and-comes-back", "the gateway stops answering announces, then answers again",
                     "1 with TEMP_ERROR 2 and the line down line; then reads fail at once, sending nothing; after "
                     "line_retry_s the tried read gives 0 and the line up line",
                     45, [](KindRun& run, int pair) { LineDown(run, pair, false); }, downSettings});
    kinds.push_back({"restart-while-down", "the line is down, the gateway answers again, the host restarts the channel",
                     "reads fail at once while down; after the restart (2) the next read goes to the line and gives 0",
                     45, [](KindRun& run, int pair) { LineDown(run, pair, true); }, downSettings});
    kinds.push_back({"undetected-two-bit-error-on-a-change", "zone 5 goes into alarm on the panel; the first answer "
                     "that brings it carries a two-bit error the line's CRC cannot see; the answers after it are true",
                     "0 and the alarm, nothing logged: the wrong value never reported; one read more than a clean change",
                     45, UndetectedErrorOnAChange});
    kinds.push_back({"unparsed-address", "a read of the address 99_, which no parse accepts",
                     "1 with TEMP_ERROR 1 at once; nothing goes on the line", 30, UnparsedAddress});
    return kinds;
}

// --- the child: one kind ------------------------------------------------------

std::string OneLine(std::string text) {
    for (char& c : text)
        if (c == '\n' || c == '\t' || c == '\r') c = ' ';
    return text;
}

TEST(ProofChild, RunKind) {
    const char* which = getenv("SK_PROOF_KIND");
    if (which == nullptr) GTEST_SKIP() << "run by FaultMatrix.EveryKind";
    const char* pairText = getenv("SK_PROOF_PAIR");
    const char* outPath = getenv("SK_PROOF_OUT");
    ASSERT_NE(pairText, nullptr);
    ASSERT_NE(outPath, nullptr);
    const int pair = atoi(pairText);
    const std::vector<Kind> kinds = AllKinds();
    auto kind = std::find_if(kinds.begin(), kinds.end(), [&](const Kind& k) { return k.name == which; });
    ASSERT_NE(kind, kinds.end()) << which;

    // The kind's settings file, named to the driver by SK5820_INI (the channel
    // reads it at its start). Wine keeps a registry key open for good after
    // the first use of the profile functions (its IniFileMapping); that first
    // read is made here, before the handles are noted, so only the driver's count.
    if (!kind->settings.empty()) {
        const std::string file = TempFolder("proof-settings") + "\\" + kind->name + ".ini";
        std::ofstream(file, std::ios::binary) << kind->settings;
        ASSERT_NE(SetEnvironmentVariableA("SK5820_INI", file.c_str()), 0) << file;
        char section[512];
        ASSERT_GT(GetPrivateProfileSectionA("default", section, sizeof section, file.c_str()), 0u) << file;
    }
    // The counts are taken after one start and end, which loads what stays loaded.
    {
        HostRecord warm;
        Start(warm, MakeStart("NULLDEV"), 1);
        End(warm);
    }
    const std::vector<uintptr_t> handles = HandleValues();
    const int threads = CountThreads();
    KindRun run;
    const double start = NowMs();
    kind->run(run, pair);
    const double wall = NowMs() - start;
    run.line.StopSim();
    // Wine keeps a handle of its own for each Unix program a kind starts
    // (noted as they start; 64-bit Wine may close some of them again). Any
    // other new handle would be the driver's, and so would one of the
    // baseline's gone missing.
    std::vector<uintptr_t> allowed = handles;
    for (uintptr_t value : HarnessHandles()) allowed.push_back(value);
    std::vector<uintptr_t> now = HandleValues();
    int nowThreads = CountThreads();
    auto gone = [&] {
        return std::count_if(handles.begin(), handles.end(),
                             [&](uintptr_t v) { return std::find(now.begin(), now.end(), v) == now.end(); });
    };
    for (int i = 0; i < 20 && (NewHandles(allowed, now) != "none" || gone() != 0 || nowThreads != threads); ++i) {
        Sleep(150);
        now = HandleValues();
        nowThreads = CountThreads();
    }
    const std::string extra = NewHandles(allowed, now);
    run.Expect(extra == "none" && gone() == 0,
               "handles " + std::to_string(handles.size()) + " before, " + std::to_string(now.size()) + " after (" +
                   std::to_string(allowed.size() - handles.size()) + " of them Wine's for the Unix programs started); " +
                   "new: [" + extra + "], gone: " + std::to_string(gone()));
    run.Expect(nowThreads == threads, "threads " + std::to_string(threads) + " before, " + std::to_string(nowThreads) +
                                          " after");

    std::ofstream out(outPath, std::ios::binary);
    out << "wall\t" << Ms(wall) << "\n";
    for (const auto& s : run.seen) out << "seen\t" << OneLine(s.first) << ": " << OneLine(s.second) << "\n";
    for (const std::string& f : run.failures) out << "fail\t" << OneLine(f) << "\n";
    out << "end\t" << (run.failures.empty() ? "ok" : "FAILED") << "\n";
    for (const std::string& f : run.failures) ADD_FAILURE() << f;
}

// --- the parent: every kind, several at once -----------------------------------

struct Slot {
    HANDLE process = nullptr;
    size_t kind = 0;
    double started = 0;
};

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::stringstream in(text);
    std::string part;
    while (std::getline(in, part, separator))
        if (!part.empty()) parts.push_back(part);
    return parts;
}

TEST(FaultMatrix, EveryKind) {
    if (getenv("SK_PROOF_KIND") != nullptr) GTEST_SKIP();
    ASSERT_FALSE(DriverCom(SK_PROOF_PAIRS - 1).empty()) << "run through tests/wine/run.sh --pairs " << SK_PROOF_PAIRS;
    std::vector<Kind> kinds = AllKinds();
    ASSERT_GE(kinds.size(), 20u);
    if (const char* only = getenv("SK_PROOF_KINDS")) {
        const std::vector<std::string> wanted = Split(only, ',');
        kinds.erase(std::remove_if(kinds.begin(), kinds.end(),
                                   [&](const Kind& k) {
                                       return std::find(wanted.begin(), wanted.end(), k.name) == wanted.end();
                                   }),
                    kinds.end());
    }
    // The longest first, so the slowest kinds do not end the run alone.
    std::stable_sort(kinds.begin(), kinds.end(),
                     [](const Kind& a, const Kind& b) { return a.budgetSeconds > b.budgetSeconds; });
    const std::string folder = TempFolder("proof-matrix");
    std::vector<Slot> slots(SK_PROOF_PAIRS);
    std::vector<std::string> results(kinds.size()), outputs(kinds.size());
    std::vector<double> walls(kinds.size(), 0);
    size_t next = 0, running = 0;
    const double begin = NowMs();
    while (next < kinds.size() || running > 0) {
        for (size_t p = 0; p < slots.size() && next < kinds.size(); ++p) {
            if (slots[p].process != nullptr) continue;
            const size_t k = next++;
            const std::string out = folder + "\\" + kinds[k].name + ".result";
            const std::string log = folder + "\\" + kinds[k].name + ".output";
            DeleteFileA(out.c_str());
            slots[p].process = StartChild("\"" + SelfPath() + "\" --gtest_filter=ProofChild.RunKind",
                                          {"SK_PROOF_KIND=" + kinds[k].name, "SK_PROOF_PAIR=" + std::to_string(p),
                                           "SK_PROOF_OUT=" + out},
                                          log);
            ASSERT_NE(slots[p].process, nullptr) << kinds[k].name;
            slots[p].kind = k;
            slots[p].started = NowMs();
            ++running;
        }
        for (Slot& slot : slots) {
            if (slot.process == nullptr) continue;
            const Kind& kind = kinds[slot.kind];
            const bool done = WaitForSingleObject(slot.process, 0) == WAIT_OBJECT_0;
            const bool overdue = NowMs() - slot.started > kind.budgetSeconds * 1000.0;
            if (!done && !overdue) continue;
            if (!done) {
                TerminateProcess(slot.process, 3);  // our own child, past its budget: a hang
                WaitForSingleObject(slot.process, 10000);
            }
            DWORD code = 0;
            GetExitCodeProcess(slot.process, &code);
            CloseHandle(slot.process);
            slot.process = nullptr;
            --running;
            walls[slot.kind] = NowMs() - slot.started;
            results[slot.kind] = ReadTextFile(folder + "\\" + kind.name + ".result");
            outputs[slot.kind] = ReadTextFile(folder + "\\" + kind.name + ".output");
            if (!done) {
                ADD_FAILURE() << kind.name << ": still running after its budget of " << kind.budgetSeconds
                              << " s: a hang\n" << outputs[slot.kind];
            } else if (code != 0 || results[slot.kind].find("end\tok") == std::string::npos) {
                ADD_FAILURE() << kind.name << " (exit " << code << "):\n" << results[slot.kind] << "\n"
                              << outputs[slot.kind];
            }
        }
        Sleep(100);
    }
    const double total = NowMs() - begin;
    EndRespawnedPairs();

    // The table, in the order of the kinds list.
    std::ostringstream table;
    table << "| # | Kind | Fault | Expected | Observed | Next request | Verdict |\n";
    table << "|---|---|---|---|---|---|---|\n";
    int number = 0, passed = 0;
    for (const Kind& ordered : AllKinds()) {
        const auto it = std::find_if(kinds.begin(), kinds.end(), [&](const Kind& k) { return k.name == ordered.name; });
        if (it == kinds.end()) continue;
        const size_t k = static_cast<size_t>(it - kinds.begin());
        std::string observed, nextRequest, failures;
        for (const std::string& line : Split(results[k], '\n')) {
            if (line.rfind("seen\tnext request: ", 0) == 0) {
                nextRequest = line.substr(19);
            } else if (line.rfind("seen\t", 0) == 0) {
                observed += (observed.empty() ? "" : "; ") + line.substr(5);
            } else if (line.rfind("fail\t", 0) == 0) {
                failures += (failures.empty() ? "" : "; ") + line.substr(5);
            }
        }
        const bool ok = results[k].find("end\tok") != std::string::npos;
        passed += ok ? 1 : 0;
        table << "| " << ++number << " | " << it->name << " | " << it->fault << " | " << it->expected << " | "
              << observed << " | " << nextRequest << " | " << (ok ? "pass" : "FAIL: " + failures) << " ("
              << Ms(walls[k]) << ") |\n";
    }
    table << "\n" << passed << " of " << number << " kinds pass; wall time " << Ms(total) << " on " << SK_PROOF_PAIRS
          << " pairs at once.\n";
    printf("%s", table.str().c_str());
    if (const char* path = getenv("SK_PROOF_TABLE")) {
        std::ofstream(path, std::ios::binary) << table.str();
    }
}

}  // namespace
}  // namespace proof
