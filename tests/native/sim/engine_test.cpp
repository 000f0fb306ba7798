// The simulated gateway's protocol engine, driven with the driver's exact
// frames on a fake clock: exact answer sizes and sequence bytes, long lists in
// continuation frames, the checks on every frame the driver sends, and each
// fault switch.
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "tests/native/sim/sim_test_model.h"
#include "tools/sim/engine.h"

namespace sksim {
namespace {

constexpr uint64_t kStart = 10000;

Bytes Frame(uint8_t sequence, const Bytes& payload) {
    return BuildFrame(0x02, sequence, payload);
}

const Bytes kAnnounce(kAnnounceText, kAnnounceText + kAnnounceSize);
// The driver's frames, byte for byte.
const Bytes kRequestS = {0x55, 0xAA, 0x55, 0xAA, 0x02, 0x11, 0x01, 0x73, 0x01, 0x65};
const Bytes kEosSingle = {0x55, 0xAA, 0x55, 0xAA, 0x02, 0x22, 0x01, 0x06, 0x44, 0x63};
const Bytes kByeSingle = {0x55, 0xAA, 0x55, 0xAA, 0x02, 0x33, 0x00, 0x42, 0x13};
const Bytes kZlz4 = {0x55, 0xAA, 0x55, 0xAA, 0x02, 0x24, 0x00, 0x42, 0x04};
const Bytes kEos5 = {0x55, 0xAA, 0x55, 0xAA, 0x02, 0x35, 0x01, 0x06, 0x92, 0x01};
const Bytes kBye6 = {0x55, 0xAA, 0x55, 0xAA, 0x02, 0x46, 0x00, 0x42, 0x66};
Bytes Request(const Bytes& payload) {
    return Frame(0x11, payload);
}
Bytes Zlz(uint8_t ack) {
    return Frame(static_cast<uint8_t>(0x20 | ack), {});
}
Bytes Eos(uint8_t ack) {
    return Frame(static_cast<uint8_t>(0x30 | ack), {0x06});
}
Bytes Bye(uint8_t ack) {
    return Frame(static_cast<uint8_t>(0x40 | ack), {});
}

Model LoadModelOrDie(const std::string& json) {
    Model m;
    std::string error;
    EXPECT_TRUE(LoadModel(json, 0, kStart, &m, &error)) << error;
    return m;
}

struct Sent {
    uint64_t at;
    Bytes bytes;
    bool hangUp;
};

// The engine on a fake clock, one millisecond at a time.
class Rig {
public:
    explicit Rig(const SimFaults& faults = SimFaults{}, bool raw = false, const std::string& json = TestModelJson())
        : engine(LoadModelOrDie(json), kStart, raw) {
        engine.SetFaults(faults);
    }

    // The driver writes `in` now; returns what the gateway sends within `ms`.
    Bytes Say(const Bytes& in, uint64_t ms = 100) {
        engine.Receive(in.data(), in.size(), now);
        return Wait(ms);
    }

    Bytes Wait(uint64_t ms) {
        sent.clear();
        Bytes out;
        const uint64_t end = now + ms;
        for (;;) {
            engine.Tick(now);
            OutChunk c;
            while (engine.TakeDue(now, &c)) {
                sent.push_back({now, c.bytes, c.hangUp});
                out.insert(out.end(), c.bytes.begin(), c.bytes.end());
            }
            if (now >= end) break;
            ++now;
        }
        for (std::string& line : engine.TakeTrace()) trace += line + "\n";
        return out;
    }

    uint64_t now = kStart;
    Engine engine;
    std::vector<Sent> sent;  // chunks of the last Say/Wait
    std::string trace;
};

// Splits an answer into its frames (by their length bytes).
std::vector<Bytes> Frames(const Bytes& bytes) {
    std::vector<Bytes> frames;
    size_t at = 0;
    while (at + 9 <= bytes.size()) {
        const size_t size = bytes[at + 6] + 9u;
        if (at + size > bytes.size()) break;
        frames.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                            bytes.begin() + static_cast<std::ptrdiff_t>(at + size));
        at += size;
    }
    EXPECT_EQ(at, bytes.size()) << "bytes that are no whole frame: " << Hex(bytes);
    return frames;
}

void ExpectGoodFrame(const Bytes& frame, uint8_t type, uint8_t sequence, size_t size, const char* what) {
    FrameView v;
    ASSERT_TRUE(ViewFrame(frame, &v)) << what << ": " << Hex(frame);
    EXPECT_TRUE(v.crcOk()) << what;
    EXPECT_EQ(v.type, type) << what;
    EXPECT_EQ(v.sequence, sequence) << what;
    EXPECT_EQ(frame.size(), size) << what;
}

TEST(GatewaySession, SingleSessionAnswersWithExactSizesAndNumbers) {
    Rig rig;
    const Bytes announce = rig.Say(kAnnounce);
    ASSERT_EQ(rig.sent.size(), 1u);
    EXPECT_EQ(rig.sent[0].at, kStart + 3) << "the model's 3 ms turn-around";
    ExpectGoodFrame(announce, 0x02, 0x10, 11, "announce answer");
    EXPECT_EQ(announce[0], 0x55);
    EXPECT_EQ(announce[1], 0xAA);

    const Bytes status = rig.Say(kRequestS);
    ExpectGoodFrame(status, 0x02, 0x21, 12, "status answer");
    EXPECT_EQ(status[7], 's');
    EXPECT_EQ(status[8], 0x04);
    EXPECT_EQ(status[9], 0x12);

    const Bytes eos = rig.Say(kEosSingle);
    ExpectGoodFrame(eos, 0x02, 0x32, 11, "end-of-session answer");
    EXPECT_EQ(eos[7], 0x01);

    const Bytes bye = rig.Say(kByeSingle);
    ExpectGoodFrame(bye, 0x02, 0x43, 10, "goodbye answer");
    EXPECT_EQ(bye[6], 1);

    const SimCounters& c = rig.engine.counters();
    EXPECT_EQ(c.announces, 1u);
    EXPECT_EQ(c.sessions, 1u);
    EXPECT_EQ(c.sessionsClosed, 1u);
    EXPECT_EQ(c.singleSessions, 1u);
    EXPECT_EQ(c.blockSessions, 0u);
    EXPECT_EQ(c.framesReceived, 3u);
    EXPECT_EQ(c.requests, 1u);
    EXPECT_EQ(c.badCrc + c.badSequence + c.badFrames + c.garbageBytes, 0u) << rig.trace;
    EXPECT_EQ(c.framesSent, 4u);
    EXPECT_EQ(c.bytesSent, 11u + 12 + 11 + 10);
    EXPECT_EQ(rig.trace.find("!!"), std::string::npos) << rig.trace;
}

TEST(GatewaySession, BlockSessionSendsTheListInContinuationFrames) {
    Rig rig;
    rig.Say(kAnnounce);
    const std::vector<Bytes> list = Frames(rig.Say(Request({'p', 1, 0, 0, 0})));
    ASSERT_EQ(list.size(), 3u);
    ExpectGoodFrame(list[0], 0x01, 0x21, 50, "first frame");
    ExpectGoodFrame(list[1], 0x01, 0x31, 50, "continuation 1");
    ExpectGoodFrame(list[2], 0x02, 0x41, 34, "continuation 2 (the last)");
    for (const Bytes& f : list) EXPECT_EQ(f[7], 'p');

    // The driver acknowledges the last frame (4) in its Zlz, then each answer in turn.
    const Bytes zlz = rig.Say(kZlz4);
    ExpectGoodFrame(zlz, 0x02, 0x52, 11, "Zlz answer");
    const Bytes eos = rig.Say(kEos5);
    ExpectGoodFrame(eos, 0x02, 0x63, 11, "end-of-session answer");
    EXPECT_EQ(eos[7], 0x01);
    const Bytes bye = rig.Say(kBye6);
    ExpectGoodFrame(bye, 0x02, 0x74, 10, "goodbye answer");
    EXPECT_EQ(bye[6], 1);

    const SimCounters& c = rig.engine.counters();
    EXPECT_EQ(c.blockSessions, 1u);
    EXPECT_EQ(c.sessionsClosed, 1u);
    EXPECT_EQ(c.badSequence, 0u) << rig.trace;
    EXPECT_EQ(c.framesSent, 1u + 3 + 3);
    // Continuation frames have their own trace lines, under the first one.
    EXPECT_NE(rig.trace.find("\n          <- T01 S31 L41  'p' 91 00 09 00"), std::string::npos) << rig.trace;
    EXPECT_NE(rig.trace.find("continuation 2 of 2"), std::string::npos);
}

TEST(GatewaySession, OneFrameBlockAnswer) {
    Rig rig;
    rig.Say(kAnnounce);
    ExpectGoodFrame(rig.Say(Request({'p', 2, 0, 0, 0})), 0x02, 0x21, 9 + 9 + 12, "loop 2 list");
    // The Zlz the driver sends after a reply whose sequence byte was 0x21.
    ExpectGoodFrame(rig.Say({0x55, 0xAA, 0x55, 0xAA, 0x02, 0x22, 0x00, 0x42, 0x02}), 0x02, 0x32, 11, "Zlz answer");
    ExpectGoodFrame(rig.Say(Eos(3)), 0x02, 0x43, 11, "end-of-session answer");
    ExpectGoodFrame(rig.Say(Bye(4)), 0x02, 0x54, 10, "goodbye answer");
    EXPECT_EQ(rig.engine.counters().badSequence, 0u) << rig.trace;
    EXPECT_EQ(rig.engine.counters().blockSessions, 1u);
}

TEST(GatewaySession, ShortSplitAnswersAreExplained) {
    struct Case {
        uint32_t maxPayload;
        uint32_t perAnswer;
        bool note;
    };
    const Case cases[] = {
        {255, 32, false},  // 24 points in one frame
        {41, 32, false},   // 8 + 10 + 6 points: 134 bytes
        {41, 12, true},    // 8 + 4 points: 76 bytes
        {41, 18, true},    // 8 + 10 points: 100 bytes
        {41, 19, false},   // 8 + 10 + 1 points: 114 bytes
    };
    for (const Case& c : cases) {
        Model m = LoadModelOrDie(TestModelJson());
        m.gateway.maxFramePayload = c.maxPayload;
        m.gateway.pointsPerAnswer = c.perAnswer;
        Engine engine(m, kStart, false);
        engine.Receive(kAnnounce.data(), kAnnounce.size(), kStart);
        const Bytes req = Request({'p', 1, 0, 0, 0});
        engine.Receive(req.data(), req.size(), kStart + 20);
        OutChunk out;
        size_t bytes = 0;
        while (engine.TakeDue(kStart + 100, &out)) bytes += out.bytes.size();
        std::string trace;
        for (const std::string& line : engine.TakeTrace()) trace += line + "\n";
        EXPECT_EQ(trace.find("only beyond 100 bytes") != std::string::npos, c.note)
            << c.maxPayload << "/" << c.perAnswer << " (" << bytes - 11 << " bytes)\n" << trace;
    }
}

TEST(GatewaySession, SequenceFaultsAreFlaggedButAnswered) {
    struct Case {
        const char* name;
        std::vector<Bytes> before;
        Bytes frame;
        const char* flag;
    };
    const Case cases[] = {
        {"request numbered 2", {kAnnounce}, Frame(0x21, {'s'}), "sequence byte 0x21"},
        {"request acknowledging nothing", {kAnnounce}, Frame(0x10, {'s'}), "sequence byte 0x10"},
        {"single end-of-session after a three-frame answer", {kAnnounce, Request({'p', 1, 0, 0, 0})}, kEosSingle,
         "expected 0x24"},
        {"block Zlz with the 0 of a non-BCD sequence", {kAnnounce, Request({'p', 2, 0, 0, 0})}, Zlz(0),
         "sequence byte 0x20"},
        {"block Zlz with its stored default", {kAnnounce, Request({'p', 2, 0, 0, 0})}, kZlz4, "expected 0x22"},
        {"goodbye numbered like the end-of-session", {kAnnounce, kRequestS, kEosSingle}, Frame(0x23, {}),
         "expected 0x33"},
    };
    for (const Case& c : cases) {
        Rig rig;
        for (const Bytes& b : c.before) rig.Say(b);
        const Bytes out = rig.Say(c.frame);
        EXPECT_FALSE(out.empty()) << c.name << ": still answered";
        EXPECT_EQ(rig.engine.counters().badSequence, 1u) << c.name << "\n" << rig.trace;
        EXPECT_NE(rig.trace.find(std::string("!! ") + "sequence byte"), std::string::npos) << c.name;
        EXPECT_NE(rig.trace.find(c.flag), std::string::npos) << c.name << "\n" << rig.trace;
    }
}

TEST(GatewaySession, FramesTheDriverGotWrong) {
    Bytes badCrc = kRequestS;
    badCrc.back() ^= 0x01;
    struct Case {
        const char* name;
        std::vector<Bytes> before;
        Bytes in;
        bool answered;
        std::function<uint32_t(const SimCounters&)> counter;
        const char* flag;
    };
    const Case cases[] = {
        {"bad CRC", {kAnnounce}, badCrc, false, [](const SimCounters& c) { return c.badCrc; }, "bad CRC"},
        {"type 0x01", {kAnnounce}, BuildFrame(0x01, 0x11, {'s'}), true,
         [](const SimCounters& c) { return c.badFrames; }, "frame type 0x01"},
        {"request before any announce", {}, kRequestS, false, [](const SimCounters& c) { return c.badFrames; },
         "outside a session"},
        {"request after the goodbye", {kAnnounce, kRequestS, kEosSingle, kByeSingle}, kRequestS, false,
         [](const SimCounters& c) { return c.badFrames; }, "outside a session"},
        {"unknown letter", {kAnnounce}, Request({'x'}), true, [](const SimCounters& c) { return c.badFrames; },
         "unknown command letter 0x78"},
        {"wrong length", {kAnnounce}, Request({'z', 3, 0}), true, [](const SimCounters& c) { return c.badFrames; },
         "the panel expects 5"},
        {"a second request", {kAnnounce, kRequestS}, Frame(0x21, {'t'}), false,
         [](const SimCounters& c) { return c.badFrames; }, "Zlz or end-of-session expected"},
        {"goodbye before end-of-session", {kAnnounce, kRequestS, Zlz(2)}, Bye(3), false,
         [](const SimCounters& c) { return c.badFrames; }, "end-of-session expected"},
        {"stray bytes", {}, Bytes{0x00, 0x13, 0xFF}, false, [](const SimCounters& c) { return c.garbageBytes; },
         "neither a frame nor the announce"},
    };
    for (const Case& c : cases) {
        Rig rig;
        for (const Bytes& b : c.before) rig.Say(b);
        const SimCounters before = rig.engine.counters();
        const Bytes out = rig.Say(c.in, 400);
        EXPECT_EQ(!out.empty(), c.answered) << c.name << "\n" << rig.trace;
        EXPECT_GT(c.counter(rig.engine.counters()), c.counter(before)) << c.name;
        EXPECT_NE(rig.trace.find(std::string("!! ")), std::string::npos) << c.name;
        EXPECT_NE(rig.trace.find(c.flag), std::string::npos) << c.name << "\n" << rig.trace;
    }
}

TEST(GatewaySession, AnnounceSplitOrAfterNoiseIsAnswered) {
    Rig rig;
    EXPECT_TRUE(rig.Say({0x00, 0xFF, 'S', 'K'}, 20).empty());
    EXPECT_TRUE(rig.Say({' ', 'G', 'A'}, 20).empty());
    EXPECT_TRUE(rig.Say(kAnnounce, 20).size() == 11u) << rig.trace;
    EXPECT_EQ(rig.engine.counters().announces, 1u);
    rig.Wait(300);
    EXPECT_EQ(rig.engine.counters().garbageBytes, 7u) << "00 FF 'SK GA' before the whole text";

    Rig split;
    for (char ch : std::string(kAnnounceText)) split.Say({static_cast<uint8_t>(ch)}, 5);
    split.Wait(20);
    EXPECT_EQ(split.engine.counters().sessions, 1u);
    EXPECT_EQ(split.engine.counters().garbageBytes, 0u);
}

TEST(GatewaySession, ARequestCutShortIsGivenUpAfterAQuietSpell) {
    Rig rig;
    rig.Say(kAnnounce);
    // Noise that looks like a header (length 64) swallows the real request.
    Bytes in = {0x55, 0xAA, 0x55, 0xAA, 0x02, 0x11, 0x40};
    in.insert(in.end(), kRequestS.begin(), kRequestS.end());
    EXPECT_TRUE(rig.Say(in, kStallMs - 10).empty());
    const Bytes out = rig.Say({}, 50);
    ExpectGoodFrame(out, 0x02, 0x21, 12, "the request, found once the line went quiet");
    EXPECT_EQ(rig.engine.counters().incompleteFrames, 1u);
}

TEST(GatewaySession, ReSentFramesGetTheSameAnswerAgain) {
    Rig rig;  // the Zlz answer is lost on the line, say, so the driver sends its Zlz again
    rig.Say(kAnnounce);
    rig.Say(Request({'p', 1, 0, 0, 0}));
    std::vector<Bytes> answers;
    for (int i = 0; i < 4; ++i) answers.push_back(rig.Say(kZlz4));
    ExpectGoodFrame(answers[0], 0x02, 0x52, 11, "Zlz answer");
    for (const Bytes& a : answers) EXPECT_EQ(a, answers[0]) << "the same answer, the same frame number";
    EXPECT_EQ(rig.engine.counters().repeats, 3u);
    // The re-sends do not count as new frames of ours: the end-of-session acknowledging 5 is right.
    ExpectGoodFrame(rig.Say(kEos5), 0x02, 0x63, 11, "end-of-session answer");
    EXPECT_EQ(rig.engine.counters().badSequence, 0u) << rig.trace;
}

TEST(GatewaySession, WritesChangeTheModelAndAreAnswered) {
    Rig rig;
    rig.Say(kAnnounce);
    const Bytes ack = rig.Say(Request({'D'}));
    ExpectGoodFrame(ack, 0x02, 0x21, 11, "write answer");
    EXPECT_EQ(ack[7], 'D');
    EXPECT_EQ(ack[8], 0x06);
    EXPECT_EQ(rig.engine.model().systemStatus, 0x1214);
    EXPECT_EQ(rig.engine.counters().writes, 1u);
}

TEST(GatewaySession, AWriteRunAsABlockSessionIsFlagged) {
    Rig rig;
    rig.Say(kAnnounce);
    // After a block read the driver sends B with its second parameter as 0, then Zlz.
    const Bytes nak = rig.Say(Request({'B', 1, 0, 0, 0}));
    EXPECT_EQ(nak.at(8), 0x15);
    rig.Say(Zlz(2));
    EXPECT_EQ(rig.engine.counters().badFrames, 1u);
    EXPECT_NE(rig.trace.find("!! the write 'B' runs as a block session"), std::string::npos) << rig.trace;
}

TEST(GatewaySession, BlockSessionAfterAZoneRequestIsExplained) {
    Rig rig;
    rig.Say(kAnnounce);
    const Bytes z = rig.Say(Request({'z', 3, 0, 1, 0}));
    EXPECT_EQ(z.at(7), 'z');
    rig.Say(Zlz(2));
    EXPECT_NE(rig.trace.find("takes block answers only when they begin with 'p'"), std::string::npos) << rig.trace;
    EXPECT_EQ(rig.engine.counters().badFrames, 0u);
}

TEST(GatewaySession, QuietSessionsEnd) {
    Rig rig;
    rig.Say(kAnnounce);
    rig.Wait(15000);
    EXPECT_NE(rig.trace.find("session over: nothing from the driver for 15000 ms"), std::string::npos) << rig.trace;
    EXPECT_TRUE(rig.Say(kRequestS).empty());
    EXPECT_NE(rig.trace.find("outside a session"), std::string::npos);
}

// ---- fault switches ----

struct Steps {
    Bytes announce, request, eos, bye;
    std::vector<Sent> requestChunks;
    uint64_t requestAt = 0;
};

// A single session of 's' (or of `payload`), each step given up to `wait` ms.
Steps RunSingle(Rig& rig, const Bytes& payload = {'s'}, uint64_t wait = 200) {
    Steps s;
    s.announce = rig.Say(kAnnounce, wait);
    s.requestAt = rig.now;
    s.request = rig.Say(Request(payload), wait);
    s.requestChunks = rig.sent;
    s.eos = rig.Say(kEosSingle, wait);
    s.bye = rig.Say(kByeSingle, wait);
    return s;
}

TEST(FaultSwitches, EachChangesWhatGoesOut) {
    Rig plainRig;
    const Steps plain = RunSingle(plainRig);
    ASSERT_EQ(plain.request.size(), 12u);

    struct Case {
        const char* name;
        SimFaults faults;
        std::function<void(const Steps&, Rig&)> check;
        Bytes request = {'s'};
    };
    auto faults = [](std::function<void(SimFaults&)> set) {
        SimFaults f;
        set(f);
        return f;
    };
    const Case cases[] = {
        {"silent after the announce", faults([](SimFaults& f) { f.mute = kSilentAfterAnnounce; }),
         [](const Steps& s, Rig& rig) {
             EXPECT_EQ(s.announce.size(), 11u);
             EXPECT_TRUE(s.request.empty() && s.eos.empty() && s.bye.empty());
             EXPECT_EQ(rig.engine.counters().sessionsClosed, 0u);
         }},
        {"silent after the request", faults([](SimFaults& f) { f.mute = kSilentAfterRequest; }),
         [](const Steps& s, Rig&) {
             EXPECT_EQ(s.request.size(), 12u);
             EXPECT_TRUE(s.eos.empty() && s.bye.empty());
         }},
        {"silent before goodbye", faults([](SimFaults& f) { f.mute = kSilentBeforeGoodbye; }),
         [](const Steps& s, Rig& rig) {
             EXPECT_EQ(s.eos.size(), 11u);
             EXPECT_TRUE(s.bye.empty());
             EXPECT_EQ(rig.engine.counters().sessionsClosed, 0u);
         }},
        {"garbage", faults([](SimFaults& f) { f.garbage = kReplyRequest; }),
         [&plain](const Steps& s, Rig&) {
             ASSERT_EQ(s.request.size(), plain.request.size());
             EXPECT_NE(s.request, plain.request);
             for (uint8_t b : s.request) EXPECT_NE(b, 0x55) << "no sync byte in the noise";
             EXPECT_EQ(s.eos, plain.eos);
         }},
        {"corrupt CRC", faults([](SimFaults& f) { f.corruptCrc = kReplyRequest | kReplyEos; }),
         [&plain](const Steps& s, Rig&) {
             Bytes want = plain.request;
             want[10] ^= 0xFF;
             want[11] ^= 0xFF;
             EXPECT_EQ(s.request, want);
             FrameView v;
             ASSERT_TRUE(ViewFrame(s.eos, &v));
             EXPECT_FALSE(v.crcOk());
             EXPECT_EQ(s.bye, plain.bye);
         }},
        {"pieces", faults([](SimFaults& f) {
             f.pieces = kReplyRequest;
             f.pieceBytes = 5;
             f.piecePauseMs = 30;
         }),
         [&plain](const Steps& s, Rig&) {
             EXPECT_EQ(s.request, plain.request);
             ASSERT_EQ(s.requestChunks.size(), 3u);
             EXPECT_EQ(s.requestChunks[0].bytes.size(), 5u);
             EXPECT_EQ(s.requestChunks[1].bytes.size(), 5u);
             EXPECT_EQ(s.requestChunks[2].bytes.size(), 2u);
             EXPECT_EQ(s.requestChunks[1].at - s.requestChunks[0].at, 30u);
             EXPECT_EQ(s.requestChunks[2].at - s.requestChunks[1].at, 30u);
         }},
        {"late", faults([](SimFaults& f) {
             f.late = kReplyRequest;
             f.lateMs = 150;
         }),
         [&plain](const Steps& s, Rig&) {
             EXPECT_EQ(s.request, plain.request);
             ASSERT_EQ(s.requestChunks.size(), 1u);
             EXPECT_EQ(s.requestChunks[0].at, s.requestAt + 3 + 150);
         }},
        {"trailing bytes", faults([](SimFaults& f) {
             f.trailing = kReplyAnnounce;
             f.trailingBytes = 3;
         }),
         [&plain](const Steps& s, Rig&) {
             Bytes want = plain.announce;
             want.insert(want.end(), {0xEE, 0xEE, 0xEE});
             EXPECT_EQ(s.announce, want);
             EXPECT_EQ(s.request, plain.request);
         }},
        {"stray A5 bytes behind a zone answer", faults([](SimFaults& f) {
             f.trailing = kReplyRequest;
             f.trailingByte = 0xA5;
         }),
         [](const Steps& s, Rig& rig) {
             Bytes want = Frame(0x21, {'z', 3, 0, 1, 0, 0x01, 0x00});  // zone 3: 0x0001, its frame whole
             want.insert(want.end(), {0xA5, 0xA5, 0xA5, 0xA5});
             EXPECT_EQ(s.request, want);
             EXPECT_NE(rig.trace.find("-- trailing switch: 4 bytes A5 behind the answer"), std::string::npos)
                 << rig.trace;
         },
         {'z', 3, 0, 1, 0}},
        {"answered with another letter, the CRC made to check", faults([](SimFaults& f) { f.otherLetter = 'v'; }),
         [&plain](const Steps& s, Rig& rig) {
             EXPECT_EQ(s.request, Frame(0x21, {'v', 0x04, 0x12}));
             EXPECT_NE(s.request, plain.request);
             EXPECT_EQ(s.eos, plain.eos);
             EXPECT_NE(rig.trace.find("-- other-letter switch: the answer's first payload byte 73 sent as 76 ('v')"),
                       std::string::npos) << rig.trace;
         }},
        {"refused by letter", faults([](SimFaults& f) { f.refuseLetters = "zs"; }),
         [&plain](const Steps& s, Rig& rig) {
             EXPECT_EQ(s.request, Frame(0x21, {0x15, 's'}));
             EXPECT_EQ(s.eos, plain.eos);
             EXPECT_NE(rig.trace.find("-- refuse switch: 's' answered with the panel's refusal 15 's'"),
                       std::string::npos) << rig.trace;
         }},
        {"a letter not in the refuse list is answered", faults([](SimFaults& f) { f.refuseLetters = "zt"; }),
         [&plain](const Steps& s, Rig&) { EXPECT_EQ(s.request, plain.request); }},
        {"an empty answer frame", faults([](SimFaults& f) { f.emptyAnswer = true; }),
         [&plain](const Steps& s, Rig& rig) {
             EXPECT_EQ(s.request, Bytes({0x55, 0xAA, 0x55, 0xAA, 0x02, 0x21, 0x00, 0x42, 0x01}));
             ExpectGoodFrame(s.request, 0x02, 0x21, 9, "empty answer");
             EXPECT_EQ(s.eos, plain.eos);
             EXPECT_NE(rig.trace.find("-- empty-answer switch"), std::string::npos) << rig.trace;
         }},
        {"a write refused with NAK", faults([](SimFaults& f) { f.refuseWrites = true; }),
         [](const Steps& s, Rig& rig) {
             EXPECT_EQ(s.request, Frame(0x21, {'D', 0x15}));
             EXPECT_EQ(rig.engine.model().systemStatus, 0x1204) << "no drill started";
             EXPECT_EQ(rig.engine.counters().writes, 0u);
             EXPECT_NE(rig.trace.find("-- refuse-writes switch: the write 'D' answered 'D' 15"), std::string::npos)
                 << rig.trace;
         },
         {'D'}},
        {"one value byte changed, the CRC of the true bytes kept", faults([](SimFaults& f) { f.changeValue = kReplyRequest; }),
         [&plain](const Steps& s, Rig& rig) {
             Bytes want = plain.request;
             want[8] ^= 0x01;  // the status word's low byte; bytes 10 and 11 (the CRC) as they were
             EXPECT_EQ(s.request, want);
             EXPECT_EQ(s.eos, plain.eos);
             EXPECT_NE(rig.trace.find("change-value switch: payload byte 1 of frame 0 changed to 05"),
                       std::string::npos) << rig.trace;
         }},
        {"cut short", faults([](SimFaults& f) { f.cutShort = kReplyRequest; }),
         [&plain](const Steps& s, Rig& rig) {
             EXPECT_EQ(s.request, Bytes(plain.request.begin(), plain.request.begin() + 8));
             EXPECT_EQ(s.eos, plain.eos);
             EXPECT_NE(rig.trace.find("the last frame cut short, 8 of 12 bytes sent"), std::string::npos) << rig.trace;
         }},
        {"ignore the announce twice", faults([](SimFaults& f) { f.ignoreAnnounce = 2; }),
         [](const Steps& s, Rig& rig) {
             EXPECT_TRUE(s.announce.empty());
             EXPECT_TRUE(s.request.empty()) << "no session";
             EXPECT_TRUE(rig.Say(kAnnounce).empty());
             EXPECT_EQ(rig.Say(kAnnounce).size(), 11u);
             EXPECT_EQ(rig.engine.counters().announcesIgnored, 2u);
             EXPECT_EQ(rig.engine.faults().ignoreAnnounce, 0);
         }},
        {"ignore every announce", faults([](SimFaults& f) { f.ignoreAnnounce = -1; }),
         [](const Steps& s, Rig& rig) {
             EXPECT_TRUE(s.announce.empty());
             for (int i = 0; i < 6; ++i) EXPECT_TRUE(rig.Say(kAnnounce).empty());
             EXPECT_EQ(rig.engine.counters().announcesIgnored, 7u);
             EXPECT_EQ(rig.engine.faults().ignoreAnnounce, -1);
         }},
        {"wrong sequence byte once", faults([](SimFaults& f) { f.announceWrongSeq = 1; }),
         [](const Steps& s, Rig& rig) {
             ASSERT_EQ(s.announce.size(), 11u);
             EXPECT_EQ(s.announce[5], 0x11);
             FrameView v;
             ASSERT_TRUE(ViewFrame(s.announce, &v));
             EXPECT_TRUE(v.crcOk());
             EXPECT_EQ(rig.Say(kAnnounce).at(5), 0x10);
         }},
        {"hang up instead of the answer", faults([](SimFaults& f) {
             f.hangUp = kReplyRequest;
             f.hangUpMs = 700;
         }),
         [](const Steps& s, Rig&) {
             EXPECT_TRUE(s.request.empty());
             ASSERT_EQ(s.requestChunks.size(), 1u);
             EXPECT_TRUE(s.requestChunks[0].hangUp);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig(c.faults);
        const Steps s = RunSingle(rig, c.request);
        c.check(s, rig);
    }
}

TEST(FaultSwitches, DropContinuationSendsOnlyTheFirstFrame) {
    SimFaults f;
    f.dropContinuation = true;
    Rig rig(f);
    rig.Say(kAnnounce);
    const std::vector<Bytes> list = Frames(rig.Say(Request({'p', 1, 0, 0, 0})));
    ASSERT_EQ(list.size(), 1u);
    ExpectGoodFrame(list[0], 0x01, 0x21, 50, "first frame");
    // Our latest frame is then 2: the driver's Zlz acknowledging 2 is right.
    ExpectGoodFrame(rig.Say(Zlz(2)), 0x02, 0x32, 11, "Zlz answer");
    EXPECT_EQ(rig.engine.counters().badSequence, 0u) << rig.trace;
}

// One continuation frame of a long list left out: counted by the gateway
// (the frames behind it and the Zlz answer keep their numbers), or not (the
// frames numbered as if it was never sent). The sequence bytes' high nibble
// wraps at 16 in an 18-frame list (loop 1 of 50 points, 3 a frame).
TEST(FaultSwitches, DropFrameNumbersTheFramesAsTheGatewayCountedThem) {
    std::string longLoop = TestModelJson();
    std::string more;
    for (int n = 25; n <= 50; ++n) more += ",{\"number\":" + std::to_string(n) + ",\"status\":" + std::to_string(n) + "}";
    longLoop.insert(longLoop.find("\"L1 P24\"}") + 9, more);
    const std::string small = "\"max_frame_payload\": 41, \"points_per_answer\": 32";
    longLoop.replace(longLoop.find(small), small.size(), "\"max_frame_payload\": 13, \"points_per_answer\": 50");
    struct Case {
        const char* name;
        bool longList;
        uint32_t drop;
        bool counted;
        size_t dropped;           // which frame of the plain answer is missing
        const char* numbers;      // the high nibbles of the frames that go out
        uint8_t lastType;         // the type of the last frame that goes out
        uint8_t zlzAck;           // the latest frame the driver got, as its Zlz acknowledges it
        uint8_t zlzAnswer;        // the sequence byte of the Zlz answer (our next number, the Zlz's 2)
    };
    const Case cases[] = {
        {"first, counted", false, kDropFirst, true, 1, "24", 0x02, 4, 0x52},
        {"first, not counted", false, kDropFirst, false, 1, "23", 0x02, 3, 0x42},
        {"last, counted", false, kDropLast, true, 2, "23", 0x01, 3, 0x52},
        {"last, not counted", false, kDropLast, false, 2, "23", 0x02, 3, 0x42},
        {"first of 18, counted", true, kDropFirst, true, 1, "2456789ABCDEF0123", 0x02, 3, 0x42},
        {"first of 18, not counted", true, kDropFirst, false, 1, "23456789ABCDEF012", 0x02, 2, 0x32},
        {"last of 18, counted", true, kDropLast, true, 17, "23456789ABCDEF012", 0x01, 2, 0x42},
        {"last of 18, not counted", true, kDropLast, false, 17, "23456789ABCDEF012", 0x02, 2, 0x32},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string& json = c.longList ? longLoop : TestModelJson();
        Rig plainRig(SimFaults{}, false, json);
        plainRig.Say(kAnnounce);
        const std::vector<Bytes> plain = Frames(plainRig.Say(Request({'p', 1, 0, 0, 0})));
        ASSERT_EQ(plain.size(), c.longList ? 18u : 3u);
        SimFaults f;
        f.dropFrame = c.drop;
        f.dropFrameCounted = c.counted;
        Rig rig(f, false, json);
        rig.Say(kAnnounce);
        const std::vector<Bytes> got = Frames(rig.Say(Request({'p', 1, 0, 0, 0})));
        ASSERT_EQ(got.size(), plain.size() - 1);
        std::string numbers;
        for (size_t i = 0; i < got.size(); ++i) {
            FrameView v;
            ASSERT_TRUE(ViewFrame(got[i], &v));
            EXPECT_TRUE(v.crcOk()) << "frame " << i;
            EXPECT_EQ(v.sequence & 0x0F, 1) << "frame " << i << " acknowledges the request";
            numbers += "0123456789ABCDEF"[v.sequence >> 4];
            const Bytes& was = plain[i < c.dropped ? i : i + 1];
            EXPECT_TRUE(std::equal(got[i].begin() + 7, got[i].end() - 2, was.begin() + 7, was.end() - 2))
                << "frame " << i << " carries the payload of plain frame " << (i < c.dropped ? i : i + 1);
            EXPECT_EQ(v.type, i + 1 == got.size() ? c.lastType : 0x01) << "frame " << i;
        }
        EXPECT_EQ(numbers, c.numbers);
        // The driver numbers its Zlz 2 and acknowledges the latest frame it got.
        const Bytes zlz = rig.Say(Frame(static_cast<uint8_t>(0x20 | c.zlzAck), {}));
        ExpectGoodFrame(zlz, 0x02, c.zlzAnswer, 11, "Zlz answer");
        EXPECT_EQ(rig.engine.counters().badSequence, 0u) << rig.trace;
        EXPECT_EQ(rig.engine.counters().framesSent, 1u + got.size() + 1);
        EXPECT_NE(rig.trace.find(c.counted ? "the gateway counted it" : "as if the gateway never sent it"),
                  std::string::npos) << rig.trace;
    }
}

// The block answer of loop 1 (3 frames): a value byte changed in a chosen
// frame, the last frame cut short, and a gap between the frames.
TEST(FaultSwitches, BlockAnswerChangedCutOrSpacedOut) {
    Rig plainRig;
    plainRig.Say(kAnnounce);
    const Bytes plain = plainRig.Say(Request({'p', 1, 0, 0, 0}));
    ASSERT_EQ(plain.size(), 134u);
    struct Case {
        const char* name;
        uint32_t changeFrame, cut, gapMs;
        size_t changedAt;  // the byte of the answer changed (0: none)
    };
    const Case cases[] = {
        {"first frame's first status", 0, 0, 0, 7 + 9},
        {"continuation's first status", 1, 0, 0, 50 + 7 + 1},
        {"last frame cut by 4", 9, 4, 0, 0},
        {"frames 25 ms apart", 9, 0, 25, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimFaults f;
        f.changeValue = c.changeFrame < 9 ? uint32_t{kReplyRequest} : 0u;
        f.changeValueFrame = c.changeFrame;
        f.cutShort = c.cut > 0 ? uint32_t{kReplyRequest} : 0u;
        f.cutBytes = c.cut;
        Rig rig(f);
        rig.engine.SetFrameGapMs(c.gapMs);
        rig.Say(kAnnounce);
        const Bytes got = rig.Say(Request({'p', 1, 0, 0, 0}));
        Bytes want(plain.begin(), plain.end() - c.cut);
        if (c.changedAt > 0) want[c.changedAt] ^= 0x01;
        EXPECT_EQ(got, want);
        ASSERT_EQ(rig.sent.size(), c.gapMs > 0 ? 3u : 1u);
        if (c.gapMs > 0) {
            EXPECT_EQ(rig.sent[1].at - rig.sent[0].at, 25u);
            EXPECT_EQ(rig.sent[2].at - rig.sent[1].at, 25u);
            EXPECT_EQ(rig.sent[0].bytes.size(), 50u);
        }
        EXPECT_EQ(rig.engine.counters().framesSent, 1u + 3);
    }
}

// The noise flips bits of what goes out, the same bits for the same seed, at
// about its rate; it is counted, traced per frame, and stops when switched off.
TEST(FaultSwitches, NoiseFlipsTheSameBitsForTheSameSeed) {
    Rig clean;
    const Steps plain = RunSingle(clean);
    auto noisy = [](uint32_t seed) {
        SimFaults f;
        f.noiseBer = 0.02;
        f.noiseSeed = seed;
        return f;
    };
    // Everything 20 single sessions bring back.
    auto all = [](Rig& rig) {
        Bytes out;
        for (int i = 0; i < 20; ++i) {
            const Steps s = RunSingle(rig);
            for (const Bytes* b : {&s.announce, &s.request, &s.eos, &s.bye}) out.insert(out.end(), b->begin(), b->end());
        }
        return out;
    };
    Rig a(noisy(7)), b(noisy(7)), c(noisy(8));
    const Bytes fromA = all(a);
    EXPECT_EQ(fromA, all(b));
    EXPECT_NE(fromA, all(c));
    const SimCounters& n = a.engine.counters();
    EXPECT_GT(n.noisyFrames, 0u);
    EXPECT_LE(n.noisyFrames, n.framesSent);
    // 8 bits a byte at 2 %: about one flip in six bytes sent.
    const double expected = n.bytesSent * 8 * 0.02;
    EXPECT_NEAR(static_cast<double>(n.flippedBits), expected, expected * 0.4) << n.bytesSent << " bytes sent";
    EXPECT_NE(a.trace.find(" flipped in frame 0 (byte"), std::string::npos) << a.trace;

    a.engine.SetFaults(SimFaults{});
    const uint32_t before = n.flippedBits;
    const Steps after = RunSingle(a);
    EXPECT_EQ(after.announce, plain.announce);
    EXPECT_EQ(after.request, plain.request);
    EXPECT_EQ(a.engine.counters().flippedBits, before);
}

// How `got` differs from `plain`: "same", "pair P bit B" for one of the
// two-bit errors the CRC cannot see (its CRC checking), or "other".
std::string UnseenError(const Bytes& plain, const Bytes& got) {
    if (got == plain) return "same";
    FrameView v;
    if (got.size() != plain.size() || !ViewFrame(got, &v) || !v.crcOk()) return "other";
    const size_t n = got.size();
    for (unsigned pair = 0; pair < 2; ++pair) {
        for (unsigned bit = 0; bit < 8; ++bit) {
            Bytes want = plain;
            want[n - 3 - pair] ^= static_cast<uint8_t>(1u << bit);
            want[n - 2 + pair] ^= static_cast<uint8_t>(1u << bit);
            if (got == want) return "pair " + std::to_string(pair) + " bit " + std::to_string(bit);
        }
    }
    return "other";
}

// The weak-CRC switch: single reads' answers with a two-bit error their CRC
// cannot see, never two in a row (at rate 1 weakened and true in turns);
// never a block answer or a write's acknowledgement.
TEST(FaultSwitches, WeakCrcHidesTwoBitErrorsInSingleReadsOnly) {
    struct Case {
        const char* name;
        double rate;
        Bytes request;
        const char* turns;  // each session's answer: 'w' weakened, 't' true
        uint8_t otherLetter = 0;
        int32_t spoiledAnswers = -1;
    };
    const Case cases[] = {
        {"rate 1: zone status", 1, {'z', 3, 0, 1, 0}, "wtwtw"},
        {"rate 1: system status", 1, {'s'}, "wtw"},
        {"rate 1: point label", 1, {'q', 1, 0, 7, 0}, "wtw"},
        {"rate 0", 0, {'z', 3, 0, 1, 0}, "ttt"},
        {"rate 1: a block answer (loop list)", 1, {'p', 2, 0, 0, 0}, "ttt"},
        {"rate 1: a write's acknowledgement", 1, {'D'}, "ttt"},
        {"rate 1 behind the other-letter switch", 1, {'t'}, "wtw", 'v'},
        {"rate 1, one spoiled answer: the first only", 1, {'z', 3, 0, 1, 0}, "wttt", 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimFaults f;
        f.otherLetter = c.otherLetter;
        Rig plainRig(f);
        f.weakCrcRate = c.rate;
        f.spoiledAnswers = c.spoiledAnswers;
        Rig rig(f);
        uint32_t weakened = 0;
        for (const char* turn = c.turns; *turn != 0; ++turn) {
            const Bytes plain = RunSingle(plainRig, c.request).request;
            const std::string error = UnseenError(plain, RunSingle(rig, c.request).request);
            const bool weak = *turn == 'w';
            EXPECT_EQ(weak ? error.substr(0, 5) : error, weak ? "pair " : "same") << "session " << turn - c.turns
                                                                                  << ": " << error;
            weakened += weak ? 1 : 0;
        }
        EXPECT_EQ(rig.engine.counters().weakAnswers, weakened);
        EXPECT_EQ(rig.engine.counters().badFrames + rig.engine.counters().badSequence, 0u) << rig.trace;
        EXPECT_EQ(rig.trace.find("-- weak-crc switch: bit ") != std::string::npos, weakened > 0) << rig.trace;
    }
}

// The same seed weakens the same answers with the same errors; asked again,
// or after the switches are set anew, the gateway answers as at the start.
TEST(FaultSwitches, WeakCrcRepeatsForItsSeedAndTellsTheTruthWhenAskedAgain) {
    const Bytes zone = {'z', 3, 0, 1, 0};
    const Bytes plain = Frame(0x21, {'z', 3, 0, 1, 0, 0x01, 0x00});
    auto weak = [](double rate, uint32_t seed) {
        SimFaults f;
        f.weakCrcRate = rate;
        f.weakCrcSeed = seed;
        return f;
    };
    auto errors = [&](uint32_t seed) {
        Rig rig(weak(0.5, seed));
        std::vector<std::string> out;
        for (int i = 0; i < 60; ++i) out.push_back(UnseenError(plain, RunSingle(rig, zone).request));
        return out;
    };
    const std::vector<std::string> seven = errors(7);
    EXPECT_EQ(seven, errors(7));
    EXPECT_NE(seven, errors(8));
    const std::set<std::string> kinds(seven.begin(), seven.end());
    EXPECT_EQ(kinds.count("other"), 0u);
    EXPECT_GE(kinds.size(), 7u) << "the true answer and the errors, picked at random";
    for (size_t i = 1; i < seven.size(); ++i) EXPECT_TRUE(seven[i - 1] == "same" || seven[i] == "same") << i;

    Rig rig(weak(1, 1));
    rig.Say(kAnnounce);
    const Bytes request = Request(zone);
    const Bytes weakened = rig.Say(request), again = rig.Say(request), third = rig.Say(request);
    EXPECT_EQ(UnseenError(plain, weakened).rfind("pair ", 0), 0u);
    EXPECT_EQ(again, plain) << "the request sent again is answered true";
    EXPECT_NE(third, plain);
    rig.Say(kEosSingle);
    rig.Say(kByeSingle);
    rig.engine.SetFaults(weak(1, 1));
    EXPECT_NE(UnseenError(plain, RunSingle(rig, zone).request), "same") << "the turns start anew with the switches";
    EXPECT_EQ(rig.engine.counters().weakAnswers, 3u);
}

TEST(FaultSwitches, HangUpClosesTheLineUntilItOpensAgain) {
    Rig rig;
    rig.engine.HangUpNow(rig.now);
    rig.Wait(1);
    ASSERT_EQ(rig.sent.size(), 1u);
    EXPECT_TRUE(rig.sent[0].hangUp);
    rig.engine.LineClosed(rig.now, 500);
    EXPECT_TRUE(rig.Say(kAnnounce).empty()) << "nothing is heard while the line is closed";
    EXPECT_EQ(rig.engine.counters().announces, 0u);
    rig.engine.LineOpened(rig.now);
    EXPECT_EQ(rig.Say(kAnnounce).size(), 11u);
    EXPECT_EQ(rig.engine.counters().hangUps, 1u);
}

TEST(FaultSwitches, ChangedAtRunTime) {
    Rig rig;
    rig.Say(kAnnounce);
    SimFaults f;
    f.mute = kReplyRequest;
    rig.engine.SetFaults(f);
    EXPECT_TRUE(rig.Say(kRequestS).empty());
    rig.engine.SetFaults(SimFaults{});
    EXPECT_EQ(rig.Say(kAnnounce).size(), 11u);
    EXPECT_EQ(rig.Say(kRequestS).size(), 12u);
}

// ---- the dead line and the timed events ----

// An announce at each probe's time (ms after the start), by the engine's
// clock: answered ('a'), dropped as it came in ('d'), or taken in alive but
// its answer (the model's 3 ms turn-around) due after the line died ('l').
TEST(TimedLine, DeadOrFlappingLineAnswersNothingWhileDead) {
    struct Probe {
        uint64_t atMs;
        char seen;
    };
    struct Case {
        const char* name;
        uint32_t afterMs, forMs;
        bool flap;
        std::vector<Probe> probes;
    };
    const Case cases[] = {
        {"dead after 1 s for 2 s", 1000, 2000, false,
         {{0, 'a'}, {990, 'a'}, {997, 'l'}, {1005, 'd'}, {2990, 'd'}, {3000, 'a'}, {60000, 'a'}}},
        {"dead for good", 1000, 0, false, {{500, 'a'}, {1000, 'd'}, {60000, 'd'}}},
        {"dead from the start for 1 s", 0, 1000, false, {{0, 'd'}, {990, 'd'}, {1000, 'a'}}},
        {"flapping: alive 500 ms, dead 300 ms", 500, 300, true,
         {{0, 'a'}, {490, 'a'}, {500, 'd'}, {790, 'd'}, {800, 'a'}, {1290, 'a'}, {1300, 'd'}, {1600, 'a'},
          {8 * 800 + 500, 'd'}, {9 * 800, 'a'}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        SimDeadLine line;
        line.on = true;
        line.afterMs = c.afterMs;
        line.forMs = c.forMs;
        line.flap = c.flap;
        rig.engine.SetDeadLine(line);
        uint32_t dropped = 0;
        for (const Probe& p : c.probes) {
            ASSERT_GE(kStart + p.atMs, rig.now) << "probes in order, 5 ms apart";
            rig.Wait(kStart + p.atMs - rig.now);
            const Bytes out = rig.Say(kAnnounce, 5);
            EXPECT_EQ(out.size(), p.seen == 'a' ? 11u : 0u) << "at " << p.atMs << " ms\n" << rig.trace;
            if (p.seen == 'd') ++dropped;
        }
        EXPECT_EQ(rig.engine.counters().droppedWhileDead, dropped);
        EXPECT_NE(rig.trace.find("-- line dead at "), std::string::npos) << rig.trace;
        EXPECT_NE(rig.trace.find("dropped: the line is dead"), std::string::npos) << rig.trace;
        EXPECT_EQ(rig.trace.find("-- line alive again at ") != std::string::npos, c.forMs > 0) << rig.trace;
    }
}

TEST(TimedLine, FramesInWhileDeadAreDroppedAndTheSessionStartsAnew) {
    SimDeadLine line;
    line.on = true;
    line.afterMs = 100;
    line.forMs = 200;
    Rig rig;
    rig.engine.SetDeadLine(line);
    EXPECT_EQ(rig.Say(kAnnounce, 10).size(), 11u);
    rig.Wait(100);
    EXPECT_TRUE(rig.Say(kRequestS, 10).empty());
    rig.Wait(200);
    EXPECT_TRUE(rig.Say(kEosSingle, 10).empty()) << "the session died with the line";
    const Steps s = RunSingle(rig, {'s'}, 10);
    EXPECT_EQ(s.request, Frame(0x21, {'s', 0x04, 0x12}));
    EXPECT_EQ(s.bye.size(), 10u);
    EXPECT_EQ(rig.engine.counters().droppedWhileDead, 1u);
    EXPECT_NE(rig.trace.find("    0.100 -- line dead at 0.100 s (dead after 0.100 s for 0.200 s)"), std::string::npos)
        << rig.trace;
    EXPECT_NE(rig.trace.find("    0.300 -- line alive again at 0.300 s"), std::string::npos) << rig.trace;
    EXPECT_NE(rig.trace.find("T02 S11 L1   's'                            crc 6501 ok   dropped: the line is dead"),
              std::string::npos) << rig.trace;
}

// The events file's events change what later reads answer, at their time.
TEST(TimedEvents, AnEventChangesTheAnswerOfALaterRead) {
    std::vector<SimEvent> events;
    std::string error;
    ASSERT_TRUE(ParseEvents("# a fire in the kitchen\r\n\n3 system 0 1\n2 zone 3 0x0081\n  2.5 point 1-002 0X41\n",
                            &events, &error)) << error;
    Rig rig;
    ASSERT_TRUE(rig.engine.SetEvents(events, &error)) << error;
    auto word = [](const Bytes& answer, size_t at) {
        return answer.size() > at + 1 ? static_cast<int>(GetWord(&answer[at])) : -1;
    };
    const Bytes zone3 = {'z', 3, 0, 1, 0}, point2 = {'p', 1, 0, 2, 0};
    EXPECT_EQ(word(RunSingle(rig, zone3, 10).request, 12), 0x0001);
    EXPECT_EQ(word(RunSingle(rig, point2, 10).request, 16), 0x0021);
    rig.Wait(kStart + 1980 - rig.now);
    EXPECT_EQ(word(RunSingle(rig, zone3, 10).request, 12), 0x0001) << "asked at 1.990 s";
    EXPECT_EQ(word(RunSingle(rig, zone3, 10).request, 12), 0x0081);
    EXPECT_EQ(word(RunSingle(rig, point2, 10).request, 16), 0x0021);
    rig.Wait(kStart + 2500 - rig.now);
    EXPECT_EQ(word(RunSingle(rig, point2, 10).request, 16), 0x0041);
    EXPECT_EQ(word(RunSingle(rig, {'s'}, 10).request, 8), 0x1204);
    rig.Wait(kStart + 3000 - rig.now);
    EXPECT_EQ(word(RunSingle(rig, {'s'}, 10).request, 8), 0x0001);
    EXPECT_EQ(rig.engine.counters().eventsApplied, 3u);
    EXPECT_NE(rig.trace.find("    2.000 -- event at 2.000 s (line 4): zone 3 status 0x0001 -> 0x0081"),
              std::string::npos) << rig.trace;
    EXPECT_NE(rig.trace.find("event at 2.500 s (line 5): point 1-002 status 0x0021 -> 0x0041"), std::string::npos);
    EXPECT_NE(rig.trace.find("event at 3.000 s (line 3): system status 0x1204 -> 0x0001"), std::string::npos);

    Rig other;
    ASSERT_TRUE(ParseEvents("1 zone 3 1\n5 zone 99 1\n", &events, &error));
    EXPECT_FALSE(other.engine.SetEvents(events, &error));
    EXPECT_EQ(error, "line 2: the model has no zone 99");
}

TEST(TimedEvents, BadLinesAreRefusedWithTheirNumber) {
    struct Case {
        const char* text;
        const char* error;
    };
    const Case cases[] = {
        {"1 zone 3 1\n\n2 zone 3\n", "line 3: expected 4 fields"},
        {"1 zone 3 1 # fire\n", "line 1: expected 4 fields"},
        {"# t what n value\n-1 zone 3 1\n", "line 2: \"-1\" is not a time"},
        {"1.2345 zone 3 1\n", "line 1: \"1.2345\" is not a time"},
        {"1000001 zone 3 1\n", "line 1: \"1000001\" is not a time"},
        {"1 loop 3 1\n", "line 1: \"loop\" is not point, zone, group or system"},
        {"1 zone 0 1\n", "line 1: a zone number is 1 to 999"},
        {"1 group 1000 1\n", "line 1: a group number is 1 to 999"},
        {"1 point 7 1\n", "line 1: a point is written loop-point"},
        {"1 point 1-0 1\n", "line 1: a point is written loop-point"},
        {"1 system 1 1\n", "line 1: the system's number is 0"},
        {"1 zone 3 65536\n", "line 1: \"65536\" is not a 16-bit value"},
        {"1 zone 3 0x10000\n", "line 1: \"0x10000\" is not a 16-bit value"},
        {"1 zone 3 0x\n", "line 1: \"0x\" is not a 16-bit value"},
        {"1 zone 3 12ab\n", "line 1: \"12ab\" is not a 16-bit value"},
    };
    for (const Case& c : cases) {
        std::vector<SimEvent> events;
        std::string error;
        EXPECT_FALSE(ParseEvents(c.text, &events, &error)) << c.text;
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << c.text << " -> " << error;
    }
    std::vector<SimEvent> events;
    std::string error;
    ASSERT_TRUE(ParseEvents("0.05 point 2-3 65535\n\t7 group 5 0xbeef\n", &events, &error)) << error;
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].atMs, 50u);
    EXPECT_EQ(events[0].kind, kEventPoint);
    EXPECT_EQ(events[0].loop, 2);
    EXPECT_EQ(events[0].number, 3);
    EXPECT_EQ(events[0].value, 0xFFFF);
    EXPECT_EQ(events[1].atMs, 7000u);
    EXPECT_EQ(events[1].value, 0xBEEF);
    EXPECT_EQ(events[1].line, 2u);
}

// ---- the trace ----

TEST(WireTrace, DecodesEveryFrameAndShowsRawBytesOnRequest) {
    Rig rig(SimFaults{}, true);
    RunSingle(rig);
    const std::string& t = rig.trace;
    const char* wanted[] = {
        "-> announce \"SK GATEWAY\"",
        "<- T02 S10 L2   06 01",
        "-> T02 S11 L1   's'",
        "crc 6501 ok",
        "request 's' system status",
        "<- T02 S21 L3   's' 04 12",
        "answer: system status 0x1204",
        "raw 55 AA 55 AA 02 11 01 73 01 65",
        "-> T02 S22 L1   06",
        "end of session (single session)",
        "-> T02 S33 L0   -",
        "goodbye",
        "session closed: single session",
    };
    for (const char* w : wanted) EXPECT_NE(t.find(w), std::string::npos) << w << "\n" << t;
    // Time stamps: seconds and milliseconds from the start.
    EXPECT_EQ(t.substr(0, 10), "    0.000 ");
}

}  // namespace
}  // namespace sksim
