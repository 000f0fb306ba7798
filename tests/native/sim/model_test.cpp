// The panel model: loading and refusing model files, the clock, what each
// request is answered with (at the byte positions the driver reads), and what
// the writes change.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/native/sim/sim_test_model.h"
#include "tools/sim/model.h"
#include "tools/sim/panel.h"

namespace sksim {
namespace {

Model Load(const std::string& json, uint64_t nowMs = 0) {
    Model m;
    std::string error;
    EXPECT_TRUE(LoadModel(json, 0, nowMs, &m, &error)) << error;
    return m;
}

TEST(ModelFile, LoadsTheTestModelInNumberOrder) {
    const Model m = Load(TestModelJson());
    EXPECT_EQ(m.version, "5820XL TEST 1.0");
    EXPECT_EQ(m.systemStatus, 0x1204);
    EXPECT_EQ(m.troubleStatus, 7);
    ASSERT_EQ(m.zones.size(), 3u);
    EXPECT_EQ(m.zones[0].number, 1);
    EXPECT_EQ(m.zones[1].number, 3);
    EXPECT_EQ(m.zones[2].status, 0xBEEF);
    ASSERT_EQ(m.groups.size(), 2u);
    EXPECT_EQ(m.groups[1].active, 3);
    ASSERT_EQ(m.loops.size(), 2u);
    EXPECT_EQ(m.loops[0].points.size(), 23u);
    EXPECT_EQ(m.gateway.maxFramePayload, 41u);
    EXPECT_EQ(m.gateway.replyDelayMs, 3u);
    EXPECT_FALSE(m.clock.runs);
}

TEST(ModelFile, RefusesBadModelsWithAReason) {
    struct Case {
        const char* json;
        const char* reason;  // part of the error text
    };
    const Case cases[] = {
        {"{", "not valid JSON"},
        {"{}", "\"panel\" is missing"},
        {R"({"panel": {}, "extra": 1})", "unknown key \"extra\""},
        {R"({"panel": {"zone": []}})", "panel: unknown key \"zone\""},
        {R"({"panel": {"zones": [{"number": 0}]}})", "panel.zones[0].number: must be from 1 to 999"},
        {R"({"panel": {"zones": [{"number": 1000}]}})", "must be from 1 to 999"},
        {R"({"panel": {"zones": [{"status": 1}]}})", "\"number\" is missing"},
        {R"({"panel": {"zones": [{"number": 2}, {"number": 2}]}})", "number 2 appears twice"},
        {R"({"panel": {"zones": [{"number": 2, "status": 65536}]}})", "must be from 0 to 65535"},
        {R"({"panel": {"zones": [{"number": 2, "status": -1}]}})", "must not be negative"},
        {R"({"panel": {"zones": [{"number": 2, "status": "0xG1"}]}})", "is not a number"},
        {R"({"panel": {"zones": [{"number": 2, "status": 1.5}]}})", "must be a whole number"},
        {R"({"panel": {"zones": [{"number": 2, "label": "CAF\u00c9"}]}})", "printable ASCII only"},
        {R"({"panel": {"zones": {"number": 2}}})", "panel.zones: must be a list"},
        {R"({"panel": {"loops": [{"number": 1, "points": [{"number": 4}, {"number": 4}]}]}})",
         "panel.loops[0].points: number 4 appears twice"},
        {R"({"panel": {"clock": "31/02/2020 00:00:00"}})", "panel.clock"},
        {R"({"panel": {"clock": "1/2/2020 00:00:00"}})", "panel.clock"},
        {R"({"panel": {"clock_runs": 1}})", "must be true or false"},
        {R"({"gateway": {"max_frame_payload": 12}, "panel": {}})", "gateway.max_frame_payload: must be from 13 to 255"},
        {R"({"gateway": {"zg_reply_letter": "z"}, "panel": {}})", "must be \"own\" or \"p\""},
        {R"({"gateway": {"speed": 1}, "panel": {}})", "gateway: unknown key \"speed\""},
    };
    for (const Case& c : cases) {
        Model m;
        std::string error;
        EXPECT_FALSE(LoadModel(c.json, 0, 0, &m, &error)) << c.json;
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.json << " gave: " << error;
    }
    std::string long200(200, 'A'), long201(201, 'A');
    Model m;
    std::string error;
    EXPECT_TRUE(LoadModel(R"({"panel": {"version": ")" + long200 + "\"}}", 0, 0, &m, &error)) << error;
    EXPECT_FALSE(LoadModel(R"({"panel": {"version": ")" + long201 + "\"}}", 0, 0, &m, &error));
}

TEST(ModelFile, WritesBackWhatItLoads) {
    const Model m = Load(TestModelJson());
    const Model again = Load(ModelToJson(m, 0));
    EXPECT_EQ(ModelToJson(again, 0), ModelToJson(m, 0));
    ASSERT_EQ(again.loops.size(), 2u);
    EXPECT_EQ(again.loops[0].points[6].status, 0x0080);
    EXPECT_EQ(FormatClockText(SecondsToCivil(ClockNow(again.clock, 0))), "24/12/2001 09:15:30");
}

TEST(PanelClock, CivilArithmetic) {
    struct Case {
        CivilTime t;
        int64_t seconds;
    };
    const Case cases[] = {
        {{1900, 1, 1, 0, 0, 0}, 0},
        {{1900, 1, 2, 0, 0, 1}, 86401},
        {{1900, 3, 1, 0, 0, 0}, 59 * 86400},            // 1900 is no leap year
        {{2000, 3, 1, 0, 0, 0}, 36584LL * 86400},      // 2000 is one
        {{2001, 12, 24, 9, 15, 30}, 37247LL * 86400 + 9 * 3600 + 15 * 60 + 30},
        {{2024, 2, 29, 23, 59, 59}, 45349LL * 86400 + 86399},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CivilToSeconds(c.t), c.seconds) << FormatClockText(c.t);
        EXPECT_EQ(FormatClockText(SecondsToCivil(c.seconds)), FormatClockText(c.t));
    }
    struct Validity {
        CivilTime t;
        bool valid;
    };
    const Validity checks[] = {
        {{2024, 2, 29, 0, 0, 0}, true},  {{2023, 2, 29, 0, 0, 0}, false}, {{2100, 2, 29, 0, 0, 0}, false},
        {{2026, 4, 31, 0, 0, 0}, false}, {{2026, 12, 31, 23, 59, 59}, true}, {{2026, 13, 1, 0, 0, 0}, false},
        {{2026, 1, 0, 0, 0, 0}, false},  {{2026, 1, 1, 24, 0, 0}, false}, {{2026, 1, 1, 0, 60, 0}, false},
        {{2026, 1, 1, 0, 0, 60}, false}, {{1899, 12, 31, 0, 0, 0}, false},
    };
    for (const Validity& v : checks) EXPECT_EQ(ValidCivil(v.t), v.valid) << FormatClockText(v.t);
}

TEST(PanelClock, RunsOrStandsStill) {
    Model running = Load(TestModelJson("24/12/2001 23:59:58", true), 1000);
    EXPECT_EQ(FormatClockText(SecondsToCivil(ClockNow(running.clock, 1000))), "24/12/2001 23:59:58");
    EXPECT_EQ(FormatClockText(SecondsToCivil(ClockNow(running.clock, 3999))), "25/12/2001 00:00:00");
    Model still = Load(TestModelJson("24/12/2001 23:59:58", false), 1000);
    EXPECT_EQ(FormatClockText(SecondsToCivil(ClockNow(still.clock, 600000))), "24/12/2001 23:59:58");
}

// ---- answers, read the way the driver reads them ----

// The whole frame the driver would receive for a one-frame answer.
Bytes FrameOf(const Answer& a) {
    EXPECT_EQ(a.payloads.size(), 1u);
    return BuildFrame(kTypeLast, 0x21, a.payloads.at(0));
}

uint16_t WordAt(const Bytes& frame, size_t at) {
    EXPECT_LE(at + 2, frame.size());
    return static_cast<uint16_t>(frame.at(at) | (frame.at(at + 1) << 8));
}

std::string TextAt(const Bytes& frame, size_t at) {
    std::string text;
    for (size_t i = at; i < frame.size() - 2 && frame[i] != 0; ++i) text += static_cast<char>(frame[i]);
    return text;
}

Answer Ask(Model& m, const Bytes& payload, uint64_t nowMs = 0) {
    return AnswerRequest(m, payload.data(), payload.size(), nowMs);
}

TEST(PanelAnswers, NumbersSitWhereTheDriverReadsThem) {
    // Where: 's'/'t' at frame offsets 8-9; 'z' the 4th and 3rd last bytes
    // received; 'g' the 6th and 5th last; 'p' (one point) offsets 16-17.
    enum class Where { At8, Minus4, Minus6, At16 };
    struct Case {
        const char* name;
        Bytes request;
        Where where;
        uint16_t value;
    };
    const Case cases[] = {
        {"system status", {'s'}, Where::At8, 0x1204},
        {"trouble status", {'t'}, Where::At8, 7},
        {"zone 3", {'z', 3, 0, 1, 0}, Where::Minus4, 0x0001},
        {"zone 12", {'z', 12, 0, 1, 0}, Where::Minus4, 0xBEEF},
        {"zone 2 (none)", {'z', 2, 0, 1, 0}, Where::Minus4, kNotInstalled},
        {"zones 1 to 3: the last one asked", {'z', 1, 0, 3, 0}, Where::Minus4, 0x0001},
        {"group 5", {'g', 5, 0, 1, 0}, Where::Minus6, 0x0102},
        {"group 2", {'g', 2, 0, 1, 0}, Where::Minus6, 0x0001},
        {"group 9 (none)", {'g', 9, 0, 1, 0}, Where::Minus6, kNotInstalled},
        {"loop 1 point 5", {'p', 1, 0, 5, 0}, Where::At16, 5 * 16 + 1},
        {"loop 1 point 7", {'p', 1, 0, 7, 0}, Where::At16, 0x0080},
        {"loop 2 point 1", {'p', 2, 0, 1, 0}, Where::At16, 4660},
        {"loop 1 point 13 (a gap)", {'p', 1, 0, 13, 0}, Where::At16, kNotInstalled},
        {"loop 9 point 1 (no loop)", {'p', 9, 0, 1, 0}, Where::At16, kNotInstalled},
        {"loop 2 list: its first point", {'p', 2, 0, 0, 0}, Where::At16, 4660},
    };
    Model m = Load(TestModelJson());
    for (const Case& c : cases) {
        const Answer a = Ask(m, c.request);
        EXPECT_TRUE(a.fault.empty()) << c.name << ": " << a.fault;
        const Bytes f = FrameOf(a);
        EXPECT_EQ(f.at(7), c.request[0]) << c.name << ": the answer carries the request's letter";
        size_t at = 0;
        switch (c.where) {
            case Where::At8: at = 8; break;
            case Where::Minus4: at = f.size() - 4; break;
            case Where::Minus6: at = f.size() - 6; break;
            case Where::At16: at = 16; break;
        }
        EXPECT_EQ(WordAt(f, at), c.value) << c.name;
    }
}

TEST(PanelAnswers, TextsSitWhereTheDriverReadsThem) {
    // Payload offsets: '|' and 'h' 3, 'q' 7, 'v' 1 (frame offset = payload offset + 7).
    struct Case {
        const char* name;
        Bytes request;
        size_t payloadOffset;
        const char* text;
    };
    const Case cases[] = {
        {"zone 3 label", {'|', 3, 0}, 3, "KITCHEN"},
        {"zone 4 label (none)", {'|', 4, 0}, 3, ""},
        {"group 5 label", {'h', 5, 0}, 3, "PARKING"},
        {"point label", {'q', 1, 0, 24, 0}, 7, "L1 P24"},
        {"point label of loop 2", {'q', 2, 0, 3, 0}, 7, "HEAT 3"},
        {"point label (a gap)", {'q', 1, 0, 13, 0}, 7, ""},
        {"version", {'v'}, 1, "5820XL TEST 1.0"},
    };
    Model m = Load(TestModelJson());
    for (const Case& c : cases) {
        const Bytes f = FrameOf(Ask(m, c.request));
        EXPECT_EQ(TextAt(f, 7 + c.payloadOffset), c.text) << c.name;
        EXPECT_EQ(f.at(f.size() - 3), 0) << c.name << ": the text ends in NUL inside the payload";
    }
}

TEST(PanelAnswers, DateWordsSitWhereTheDriverReadsThem) {
    Model m = Load(TestModelJson("24/12/2001 09:15:30"));
    const Bytes f = FrameOf(Ask(m, {'i'}));
    ASSERT_EQ(f.size(), 9u + 13u);
    // seconds, minutes, hours, day, month, year - 1900 at payload offsets 1, 3, .., 11
    const uint16_t want[] = {30, 15, 9, 24, 12, 101};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(WordAt(f, 8 + 2 * static_cast<size_t>(i)), want[i]) << "word " << i;
}

// The driver's block assembly and list reading, done independently here:
// continuation frames (type 1 or 2 at offset 4) from offset 16 on, their
// payloads without the letter appended behind the first frame's payload,
// then one 16-bit word from every 4-byte group from offset 16.
std::vector<uint16_t> DriverBlockList(Bytes rx, size_t count) {
    const size_t received = rx.size();
    rx.resize(2500, 0);
    const size_t l0 = rx[6];
    if (received > 100) {
        Bytes work;
        for (size_t i = 16; i < received; ++i) {
            if (rx[i] == 0x55 && rx[i + 1] == 0xAA && rx[i + 2] == 0x55 && rx[i + 3] == 0xAA &&
                (rx[i + 4] == 2 || rx[i + 4] == 1)) {
                const size_t l = rx[i + 6];
                work.insert(work.end(), rx.begin() + static_cast<std::ptrdiff_t>(i + 8),
                            rx.begin() + static_cast<std::ptrdiff_t>(i + 8 + l - 1));
                i += 6;
            }
        }
        work.push_back(3);
        std::copy(work.begin(), work.end(), rx.begin() + static_cast<std::ptrdiff_t>(7 + l0));
    }
    std::vector<uint16_t> words;
    for (size_t at = 16; at + 4 < received && words.size() < count; at += 4) words.push_back(WordAt(rx, at));
    return words;
}

TEST(PanelAnswers, LoopListInFramesTheDriverCanAssemble) {
    Model m = Load(TestModelJson());
    const Answer a = Ask(m, {'p', 1, 0, 0, 0});
    ASSERT_EQ(a.payloads.size(), 3u);
    EXPECT_EQ(a.payloads[0].size(), 9u + 8 * 4);
    EXPECT_EQ(a.payloads[1].size(), 1u + 10 * 4);
    EXPECT_EQ(a.payloads[2].size(), 1u + 6 * 4);
    Bytes rx;
    for (size_t i = 0; i < a.payloads.size(); ++i) {
        const Bytes f = BuildFrame(i + 1 < a.payloads.size() ? kTypeMore : kTypeLast,
                                   static_cast<uint8_t>(0x21 + 0x10 * i), a.payloads[i]);
        EXPECT_LE(f.size(), 50u);
        EXPECT_EQ(f.at(7), 'p');
        rx.insert(rx.end(), f.begin(), f.end());
    }
    EXPECT_GT(rx.size(), 100u) << "the driver merges continuation frames only beyond 100 bytes";
    const std::vector<uint16_t> words = DriverBlockList(rx, 24);
    ASSERT_EQ(words.size(), 24u);
    for (uint16_t n = 1; n <= 24; ++n) {
        const uint16_t want = n == 13 ? kNotInstalled : n == 7 ? 0x0080 : static_cast<uint16_t>(n * 16 + 1);
        EXPECT_EQ(words[n - 1], want) << "point " << n;
    }
    // The head: letter, loop, 0, entries, points the loop has.
    EXPECT_EQ(WordAt(a.payloads[0], 1), 1);
    EXPECT_EQ(WordAt(a.payloads[0], 3), 0);
    EXPECT_EQ(WordAt(a.payloads[0], 5), 24);
    EXPECT_EQ(WordAt(a.payloads[0], 7), 23);
}

TEST(PanelAnswers, ListsFollowTheGatewaySettings) {
    struct Case {
        uint32_t maxPayload;
        uint32_t perAnswer;
        std::vector<size_t> entries;  // per frame
    };
    const Case cases[] = {
        {41, 32, {8, 10, 6}},
        {255, 32, {24}},
        {13, 32, std::vector<size_t>{1, 3, 3, 3, 3, 3, 3, 3, 2}},
        {41, 5, {5}},
        {41, 9, {8, 1}},
    };
    for (const Case& c : cases) {
        Model m = Load(TestModelJson());
        m.gateway.maxFramePayload = c.maxPayload;
        m.gateway.pointsPerAnswer = c.perAnswer;
        const Answer a = Ask(m, {'p', 1, 0, 0, 0});
        ASSERT_EQ(a.payloads.size(), c.entries.size()) << c.maxPayload << "/" << c.perAnswer;
        for (size_t i = 0; i < a.payloads.size(); ++i) {
            EXPECT_EQ(a.payloads[i].size(), (i == 0 ? 9 : 1) + 4 * c.entries[i]) << c.maxPayload << " frame " << i;
            EXPECT_LE(a.payloads[i].size(), c.maxPayload);
        }
    }
    Model m = Load(TestModelJson());
    const Answer none = Ask(m, {'p', 7, 0, 0, 0});
    ASSERT_EQ(none.payloads.size(), 1u);
    EXPECT_EQ(WordAt(BuildFrame(2, 0x21, none.payloads[0]), 16), kNotInstalled);
}

TEST(PanelAnswers, MalformedRequestsAreRefusedAndBlamed) {
    struct Case {
        const char* name;
        Bytes request;
    };
    const Case cases[] = {
        {"no letter", {}},
        {"unknown letter", {'x'}},
        {"'s' with a parameter", {'s', 1, 0}},
        {"'z' without its count", {'z', 3, 0}},
        {"'z' with count 0", {'z', 3, 0, 0, 0}},
        {"'g' with count 17", {'g', 3, 0, 17, 0}},
        {"'p' with one parameter", {'p', 1, 0}},
        {"'Y' short", {'Y', 1, 0, 2, 0}},
    };
    Model m = Load(TestModelJson());
    const std::string before = ModelToJson(m, 0);
    for (const Case& c : cases) {
        const Answer a = Ask(m, c.request);
        EXPECT_FALSE(a.fault.empty()) << c.name;
        ASSERT_EQ(a.payloads.size(), 1u) << c.name;
        EXPECT_EQ(a.payloads[0].at(0), kNak) << c.name;
        EXPECT_FALSE(a.changed) << c.name;
    }
    EXPECT_EQ(ModelToJson(m, 0), before);
}

TEST(PanelWrites, ChangeTheModel) {
    Model m = Load(TestModelJson());
    struct Step {
        const char* name;
        Bytes request;
        bool done;
        Bytes check;       // a read afterwards
        size_t at;         // frame offset of the word read (0: from the end, 4th last)
        uint16_t value;
    };
    const Step steps[] = {
        {"bypass loop 2 point 3", {'B', 2, 0, 3, 0}, true, {'p', 2, 0, 3, 0}, 16, 0x0102},
        {"bypass again keeps the bit", {'B', 2, 0, 3, 0}, true, {'p', 2, 0, 3, 0}, 16, 0x0102},
        {"restore loop 2 point 3", {'U', 2, 0, 3, 0}, true, {'p', 2, 0, 3, 0}, 16, 0x0002},
        {"bypass a point that is not there", {'B', 2, 0, 0, 0}, false, {'p', 2, 0, 1, 0}, 16, 4660},
        {"fire drill", {'D'}, true, {'s'}, 8, 0x1214},
        {"reset ends the drill", {'I'}, true, {'s'}, 8, 0x1204},
    };
    for (const Step& s : steps) {
        const Answer a = Ask(m, s.request);
        EXPECT_TRUE(a.write) << s.name;
        EXPECT_EQ(a.changed, s.done) << s.name;
        ASSERT_EQ(a.payloads.size(), 1u);
        EXPECT_EQ(a.payloads[0], (Bytes{s.request[0], s.done ? kAck : kNak})) << s.name;
        EXPECT_EQ(WordAt(FrameOf(Ask(m, s.check)), s.at), s.value) << s.name;
    }
}

TEST(PanelWrites, SetClockIsWhatTheDateReadReturns) {
    Model m = Load(TestModelJson("24/12/2001 09:15:30", true), 0);
    // 07/12/2026 22:28:10 as the driver sends it: s, m, h, first field, second field, year - 1900.
    const Bytes set = {'Y', 0x0A, 0, 0x1C, 0, 0x16, 0, 0x07, 0, 0x0C, 0, 0x7E, 0};
    const Answer a = Ask(m, set, 5000);
    EXPECT_TRUE(a.changed);
    const Bytes f = FrameOf(Ask(m, {'i'}, 7500));
    const uint16_t want[] = {12, 28, 22, 7, 12, 126};  // two seconds later
    for (int i = 0; i < 6; ++i) EXPECT_EQ(WordAt(f, 8 + 2 * static_cast<size_t>(i)), want[i]) << "word " << i;

    const Bytes bad = {'Y', 0, 0, 0, 0, 0, 0, 31, 0, 2, 0, 126, 0};  // 31/02
    const Answer refused = Ask(m, bad, 8000);
    EXPECT_FALSE(refused.changed);
    EXPECT_EQ(refused.payloads.at(0), (Bytes{'Y', kNak}));
    EXPECT_EQ(WordAt(FrameOf(Ask(m, {'i'}, 8000)), 14), 7) << "the clock kept its day";
}

TEST(PanelAnswers, ZoneAndGroupLetterCanBeP) {
    Model m = Load(TestModelJson());
    m.gateway.zgReplyLetter = 'p';
    for (uint8_t letter : {uint8_t{'z'}, uint8_t{'g'}}) {
        const Bytes f = FrameOf(Ask(m, {letter, 3, 0, 1, 0}));
        EXPECT_EQ(f.at(7), 'p');
    }
    const Bytes z3 = FrameOf(Ask(m, {'z', 3, 0, 1, 0}));
    EXPECT_EQ(WordAt(z3, z3.size() - 4), 0x0001);
}

}  // namespace
}  // namespace sksim
