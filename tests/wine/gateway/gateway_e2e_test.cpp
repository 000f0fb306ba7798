// Reads, block reads and writes through VpiMain of the real driver, against
// the simulated gateway and panel on the far end of a pty pair. Two channels
// on two pairs, each with its own simulator.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/wine/support/driver.h"
#include "tools/sim/sim_api.h"

namespace {

constexpr int32_t kColdStart = 1, kSingleParser = 3, kBlockParser = 4, kSingleRead = 5, kBlockRead = 6,
                  kSingleWrite = 7, kEndVpi = 11;

double NowMs() {
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

// Loop 1 holds points 1..32 without 13; point k reports 0x0010 + k, point 7
// reports 0x0080 (which a block list carries as 0x8000).
uint16_t PointStatus(int k) {
    return k == 7 ? 0x0080 : static_cast<uint16_t>(0x0010 + k);
}

std::string PointLabel(int k) {
    char text[16];
    snprintf(text, sizeof text, "DET L1 D%03d", k);
    return text;
}

std::string ModelJson() {
    std::string points;
    for (int k = 1; k <= 32; ++k) {
        if (k == 13) continue;
        char one[96];
        snprintf(one, sizeof one, "%s{\"number\": %d, \"status\": \"0x%04X\", \"label\": \"%s\"}",
                 points.empty() ? "" : ", ", k, PointStatus(k), PointLabel(k).c_str());
        points += one;
    }
    return R"({
  "gateway": {"reply_delay_ms": 2, "max_frame_payload": 41, "points_per_answer": 32,
              "session_timeout_ms": 15000, "zg_reply_letter": "own"},
  "panel": {
    "version": "5820XL GW-TEST", "system_status": "0x1234", "trouble_status": "0x0042",
    "clock": "24/12/2001 09:15:30", "clock_runs": false,
    "zones": [{"number": 5, "status": "0x0021", "label": "WEST STAIRWELL"}],
    "groups": [{"number": 3, "status": "0x0102", "active": 2, "label": "SECOND FLOOR"}],
    "loops": [{"number": 1, "points": [)" +
           points + "]}]}}";
}

// A started channel on pair `pair` with its simulator.
struct Line {
    alignas(8) unsigned char record[sizeof(VpiChannel)];
    sksim::Simulator* sim = nullptr;
    VpiChannel* channel() { return reinterpret_cast<VpiChannel*>(record); }
};

Line g_lines[2];

// A gate as the host keeps it: its address text and the slot words of its parse.
struct Gate {
    std::string address;
    PointRecord point;
    alignas(4) unsigned char value[600];

    Gate(const std::string& text, int32_t valueKind, int32_t count = 16) : address(text) {
        memset(&point, 0, sizeof point);
        memset(value, 0xEE, sizeof value);
        point.address = address.c_str();
        point.valueKind = valueKind;
        point.count = count;
        point.value = value;
    }
    uint16_t Word(size_t offset) const { return static_cast<uint16_t>(value[offset] | (value[offset + 1] << 8)); }
    std::string Text() const { return std::string(reinterpret_cast<const char*>(value)); }
};

// The host's parse of a gate: the slot words come back as argA, argB, argC.
int32_t Parse(Line& line, Gate& gate, int32_t parser, int32_t gateType) {
    GateRecord record;
    memset(&record, 0, sizeof record);
    record.address = gate.address.c_str();
    record.gateType = gateType;
    const int32_t result = CallVpi(parser, line.channel(), &record);
    gate.point.argA = record.slotA;
    gate.point.argB = record.slotB;
    gate.point.argC = record.slotC;
    return result;
}

int32_t Request(Line& line, int32_t code, Gate& gate) {
    return CallVpi(code, line.channel(), &gate.point);
}

class Gateway : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_FALSE(DriverCom(1).empty()) << "run through tests/wine/run.sh --pairs 2";
        for (int i = 0; i < 2; ++i) {
            Line& line = g_lines[i];
            sksim::SimOptions options;
            options.port = PeerCom(i);
            options.modelJson = ModelJson();
            std::string error;
            line.sim = sksim::SimStart(options, &error);
            ASSERT_NE(line.sim, nullptr) << error;

            memset(line.record, 0xCD, sizeof line.record);
            StartParameters start;
            memset(&start, 0, sizeof start);
            const std::string port = "\\\\.\\" + DriverCom(i);
            memcpy(start.portName, port.data(), port.size());
            start.enabled = 1;
            start.readTimeout = 100;
            start.settings = PortSettings{19200, 8, 0, 0};
            ASSERT_EQ(CallVpi(kColdStart, line.channel(), &start, i + 1), 0) << port;
        }
    }
    static void TearDownTestSuite() {
        for (Line& line : g_lines) {
            CallVpi(kEndVpi, line.channel(), nullptr);
            sksim::SimStop(line.sim);
            line.sim = nullptr;
        }
    }
    void SetUp() override {
        for (Line& line : g_lines) {
            ASSERT_NE(line.sim, nullptr);
            sksim::SimSetFaults(line.sim, sksim::SimFaults{});
            sksim::SimResetCounters(line.sim);
            sksim::SimClearTrace(line.sim);
        }
        KestraClear();
    }
    // The simulator found nothing wrong in what the driver sent. (When the
    // gateway stays silent, the driver's session frames still acknowledge
    // the frames it should have sent: their sequence bytes are not checked then.)
    static void ExpectSoundFrames(const Line& line, bool sequences = true) {
        const sksim::SimCounters c = sksim::SimGetCounters(line.sim);
        EXPECT_EQ(c.badCrc, 0u);
        if (sequences) {
            EXPECT_EQ(c.badSequence, 0u);
        }
        EXPECT_EQ(c.badFrames, 0u);
        EXPECT_EQ(c.garbageBytes, 0u);
        EXPECT_EQ(c.incompleteFrames, 0u);
    }
    static std::string Trace(const Line& line) {
        std::string text;
        for (const std::string& l : sksim::SimTraceLines(line.sim)) text += l + "\n";
        return text;
    }
};

TEST_F(Gateway, SingleReadOfEveryReadCommand) {
    Line& line = g_lines[0];
    struct Case {
        const char* address;
        int32_t gateType;
        int number;         // -1: a text gate
        const char* text;
    } cases[] = {
        {"01_", 0, 0x1234, nullptr},
        {"02_", 0, 0x0042, nullptr},
        {"03_005", 0, 0x0021, nullptr},
        {"04_005", 7, -1, "WEST STAIRWELL"},
        {"05_003", 0, 0x0102, nullptr},
        {"06_003", 7, -1, "SECOND FLOOR"},
        {"07_001007", 0, 0x0080, nullptr},  // a single read keeps 128 as it came
        {"07_001013", 0, 0xFFFF, nullptr},  // a point the panel does not have
        {"08_001004", 7, -1, "DET L1 D004"},
        {"09_", 7, -1, "24/12/2001 09:15:30"},
        {"10_", 7, -1, "5820XL GW-TEST"},
    };
    // The first read of a number the channel has not reported is confirmed
    // by a second session; read again, unchanged, it costs one.
    uint32_t sessions = 0;
    for (int pass = 0; pass < 2; ++pass)
    for (const Case& c : cases) {
        KestraClear();
        Gate gate(c.address, c.gateType == 7 ? 7 : 0);
        ASSERT_EQ(Parse(line, gate, kSingleParser, c.gateType), 0) << c.address;
        const double start = NowMs();
        EXPECT_EQ(Request(line, kSingleRead, gate), 0) << c.address << "\n" << Trace(line);
        const double took = NowMs() - start;
        if (c.number >= 0) {
            EXPECT_EQ(gate.Word(0), 0) << c.address;
            EXPECT_EQ(gate.Word(2), c.number) << c.address;
        } else {
            EXPECT_EQ(gate.Text(), c.text) << c.address;
        }
        EXPECT_TRUE(LogLines().empty()) << c.address;
        // The answer ends with its frame, long before its 1 s window; then the pause.
        EXPECT_GE(took, 50.0) << c.address;
        EXPECT_LT(took, 1000.0) << c.address;
        sessions += c.number >= 0 && pass == 0 ? 2 : 1;
        const sksim::SimCounters counters = sksim::SimGetCounters(line.sim);
        EXPECT_EQ(counters.singleSessions, sessions) << c.address << ", pass " << pass;
        EXPECT_EQ(counters.repeats, 0u) << c.address;
    }
    ExpectSoundFrames(line);
}

TEST_F(Gateway, TimingOfASingleAndABlockRead) {
    Line& line = g_lines[0];
    Gate single("01_", 0);
    ASSERT_EQ(Parse(line, single, kSingleParser, 0), 0);
    Gate block("07_001001", 0, 16);
    ASSERT_EQ(Parse(line, block, kBlockParser, 0), 0);
    std::vector<double> singles, blocks;
    for (int i = 0; i < 3; ++i) {
        double start = NowMs();
        EXPECT_EQ(Request(line, kSingleRead, single), 0);
        singles.push_back(NowMs() - start);
        start = NowMs();
        EXPECT_EQ(Request(line, kBlockRead, block), 0);
        blocks.push_back(NowMs() - start);
    }
    for (double ms : singles) {
        printf("[timing] single read %.1f ms\n", ms);
        EXPECT_GE(ms, 50.0);
        EXPECT_LT(ms, 1000.0);
    }
    for (double ms : blocks) {
        printf("[timing] block read %.1f ms\n", ms);
        EXPECT_GE(ms, 4000.0);
        EXPECT_LT(ms, 8000.0);
    }
    EXPECT_TRUE(LogLines().empty());
    ExpectSoundFrames(line);
}

TEST_F(Gateway, BlockReadOfALongListWithContinuationFrames) {
    Line& line = g_lines[0];
    Gate gate("07_001001", 0, 32);
    ASSERT_EQ(Parse(line, gate, kBlockParser, 0), 0);
    EXPECT_EQ(gate.point.argA, 1);
    EXPECT_EQ(gate.point.argB, 7);
    EXPECT_EQ(gate.point.argC, 1);
    EXPECT_EQ(Request(line, kBlockRead, gate), 0) << Trace(line);
    // Points 1..8 come in the first frame, 9..32 in three continuation frames.
    for (int k = 1; k <= 32; ++k) {
        const uint16_t expected = k == 13 ? 0xFFFF : (k == 7 ? 0x8000 : PointStatus(k));
        EXPECT_EQ(gate.Word(2 * (k - 1)), expected) << "point " << k;
    }
    EXPECT_EQ(gate.value[64], 0xEE) << "nothing beyond count words";
    const sksim::SimCounters counters = sksim::SimGetCounters(line.sim);
    EXPECT_EQ(counters.blockSessions, 1u);
    EXPECT_EQ(counters.repeats, 0u) << Trace(line);
    EXPECT_GE(counters.framesSent, 4u + 4u);  // announce, 4 list frames, zlz, eos, goodbye
    EXPECT_TRUE(LogLines().empty());
    ExpectSoundFrames(line);
}

TEST_F(Gateway, DateWriteThenDateRead) {
    Line& line = g_lines[1];
    Gate write("15_", 7);
    ASSERT_EQ(Parse(line, write, kSingleParser, 7), 0);
    strcpy(reinterpret_cast<char*>(write.value), "07/12/2026 22:28:10");
    EXPECT_EQ(Request(line, kSingleWrite, write), 0) << Trace(line);
    EXPECT_STREQ(reinterpret_cast<const char*>(write.value), "07/12/2026 22:28:10");
    EXPECT_EQ(sksim::SimGetCounters(line.sim).writes, 1u);

    Gate read("09_", 7);
    ASSERT_EQ(Parse(line, read, kSingleParser, 7), 0);
    EXPECT_EQ(Request(line, kSingleRead, read), 0);
    EXPECT_EQ(read.Text(), "07/12/2026 22:28:10");

    // Put the clock back for the other tests.
    strcpy(reinterpret_cast<char*>(write.value), "24/12/2001 09:15:30");
    EXPECT_EQ(Request(line, kSingleWrite, write), 0);
    EXPECT_TRUE(LogLines().empty());
    ExpectSoundFrames(line);
}

TEST_F(Gateway, WriteAfterABlockReadSendsBothParameters) {
    // A block read on the other channel, then a bypass of loop 1 point 3: the
    // write carries its point number, and the panel applies it.
    Gate block("07_001001", 0, 16);
    ASSERT_EQ(Parse(g_lines[1], block, kBlockParser, 0), 0);
    EXPECT_EQ(Request(g_lines[1], kBlockRead, block), 0);

    Line& line = g_lines[0];
    Gate bypass("11_001003", 0);
    ASSERT_EQ(Parse(line, bypass, kSingleParser, 0), 0);
    EXPECT_EQ(Request(line, kSingleWrite, bypass), 0) << Trace(line);
    Gate point("07_001003", 0);
    ASSERT_EQ(Parse(line, point, kSingleParser, 0), 0);
    EXPECT_EQ(Request(line, kSingleRead, point), 0);
    EXPECT_EQ(point.Word(2), PointStatus(3) | 0x0100);

    Gate restore("12_001003", 0);
    ASSERT_EQ(Parse(line, restore, kSingleParser, 0), 0);
    EXPECT_EQ(Request(line, kSingleWrite, restore), 0);
    EXPECT_EQ(Request(line, kSingleRead, point), 0);
    EXPECT_EQ(point.Word(2), PointStatus(3));
    EXPECT_EQ(sksim::SimGetCounters(line.sim).writes, 2u);
    // Two writes, and two reads each of a changed value: confirmed by a second session.
    EXPECT_EQ(sksim::SimGetCounters(line.sim).singleSessions, 6u);
    EXPECT_TRUE(LogLines().empty());
    ExpectSoundFrames(line);
}

TEST_F(Gateway, AnnounceNeverAnswered) {
    Line& line = g_lines[0];
    sksim::SimFaults faults;
    faults.ignoreAnnounce = -1;
    sksim::SimSetFaults(line.sim, faults);
    Gate gate("01_", 0);
    ASSERT_EQ(Parse(line, gate, kSingleParser, 0), 0);
    const double start = NowMs();
    EXPECT_EQ(Request(line, kSingleRead, gate), 1);
    const double took = NowMs() - start;
    EXPECT_EQ(LogLines(), std::vector<std::string>{"TEMP_ERROR 2 @@@@"});
    EXPECT_EQ(gate.Word(2), 0);
    Sleep(300);
    const sksim::SimCounters counters = sksim::SimGetCounters(line.sim);
    EXPECT_EQ(counters.announces, 7u);
    EXPECT_EQ(counters.framesReceived, 0u) << "nothing but the announces";
    EXPECT_GE(took, 14000.0);
    EXPECT_LT(took, 20000.0);
    ExpectSoundFrames(line);
}

TEST_F(Gateway, SingleSessionSilentAfterTheAnnounce) {
    Line& line = g_lines[0];
    sksim::SimFaults faults;
    faults.mute = sksim::kSilentAfterAnnounce;
    sksim::SimSetFaults(line.sim, faults);
    Gate gate("01_", 0);
    ASSERT_EQ(Parse(line, gate, kSingleParser, 0), 0);
    const double start = NowMs();
    EXPECT_EQ(Request(line, kSingleRead, gate), 1);  // nothing decoded: not reported as read
    const double took = NowMs() - start;
    EXPECT_EQ(gate.Word(0), 0);
    EXPECT_EQ(gate.Word(2), 0);
    EXPECT_EQ(LogLines(), std::vector<std::string>{std::string(line.channel()->name) +
                                                   ": GatewayTransaction() fail, no answer frame (addr = '01_')"});
    Sleep(300);
    const sksim::SimCounters counters = sksim::SimGetCounters(line.sim);
    EXPECT_EQ(counters.announces, 1u);
    EXPECT_EQ(counters.framesReceived, 3u);  // request, end of session, goodbye: once each
    EXPECT_EQ(counters.repeats, 0u);
    EXPECT_GE(took, 11050.0);  // 1 s + 5 s + 5 s + 50 ms
    EXPECT_LT(took, 16000.0);
    ExpectSoundFrames(line, false);
}

TEST_F(Gateway, BlockSessionSilentAfterTheAnnounce) {
    Line& line = g_lines[1];
    sksim::SimFaults faults;
    faults.mute = sksim::kSilentAfterAnnounce;
    sksim::SimSetFaults(line.sim, faults);
    Gate gate("07_001001", 0, 16);
    ASSERT_EQ(Parse(line, gate, kBlockParser, 0), 0);
    const double start = NowMs();
    EXPECT_EQ(Request(line, kBlockRead, gate), 1);
    const double took = NowMs() - start;
    EXPECT_EQ(LogLines(), std::vector<std::string>{"TEMP_ERROR 4 @@@@"});
    Sleep(300);
    const sksim::SimCounters counters = sksim::SimGetCounters(line.sim);
    EXPECT_EQ(counters.announces, 1u);
    EXPECT_EQ(counters.framesReceived, 1u + 4 + 4 + 4);  // request, then 4 x Zlz, end of session, goodbye
    EXPECT_EQ(counters.repeats, 9u);
    EXPECT_GE(took, 37000.0);  // 4 s, then 3 x (5 s + 3 x 2 s)
    EXPECT_LT(took, 45000.0);
    ExpectSoundFrames(line, false);
}

TEST_F(Gateway, RefusalsSendNothing) {
    Line& line = g_lines[0];
    Gate write("13_", 0);
    ASSERT_EQ(Parse(line, write, kSingleParser, 0), 0);
    Gate read("01_", 0);
    ASSERT_EQ(Parse(line, read, kSingleParser, 0), 0);
    const std::string name = line.channel()->name;

    KestraClear();
    EXPECT_EQ(Request(line, kBlockRead, write), 1);
    EXPECT_EQ(Request(line, kSingleWrite, read), 1);
    Gate noRow("16_", 0);
    noRow.point.argC = 1;
    EXPECT_EQ(Request(line, kSingleRead, noRow), 1);
    Gate noAddress("01_", 0);
    noAddress.point.address = nullptr;
    EXPECT_EQ(Request(line, kSingleRead, noAddress), 1);
    Gate noValue("01_", 0);
    noValue.point.value = nullptr;
    EXPECT_EQ(Request(line, kBlockRead, noValue), 1);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{
                              name + ": BlockRead() fail, read not alowed (addr = '13_')",
                              name + ": SingleRead() fail, write not alowed (addr = '01_')",
                              "TEMP_ERROR 1 @@@@",
                              name + ": SingleRead() fail, null address pointer",
                              name + ": BlockRead() fail, null value pointer (addr = '01_')",
                          }));
    Sleep(500);
    const sksim::SimCounters counters = sksim::SimGetCounters(line.sim);
    EXPECT_EQ(counters.announces, 0u);
    EXPECT_EQ(counters.framesReceived, 0u);
    EXPECT_EQ(counters.garbageBytes, 0u);
}

TEST_F(Gateway, TwoChannelsFromTwoThreadsAtOnce) {
    Gate block("07_001001", 0, 32);
    ASSERT_EQ(Parse(g_lines[0], block, kBlockParser, 0), 0);
    Gate single("07_001020", 0);
    ASSERT_EQ(Parse(g_lines[1], single, kSingleParser, 0), 0);
    Gate text("08_001021", 7);
    ASSERT_EQ(Parse(g_lines[1], text, kSingleParser, 7), 0);

    for (int round = 0; round < 2; ++round) {
        memset(block.value, 0xEE, sizeof block.value);
        memset(single.value, 0xEE, sizeof single.value);
        int32_t blockResult = -1, singleResult = -1, textResult = -1;
        std::thread a([&] { blockResult = Request(g_lines[0], kBlockRead, block); });
        std::thread b([&] {
            singleResult = Request(g_lines[1], kSingleRead, single);
            textResult = Request(g_lines[1], kSingleRead, text);
        });
        a.join();
        b.join();
        EXPECT_EQ(blockResult, 0);
        EXPECT_EQ(singleResult, 0);
        EXPECT_EQ(textResult, 0);
        for (int k = 1; k <= 32; ++k) {
            const uint16_t expected = k == 13 ? 0xFFFF : (k == 7 ? 0x8000 : PointStatus(k));
            EXPECT_EQ(block.Word(2 * (k - 1)), expected) << "point " << k;
        }
        EXPECT_EQ(single.Word(2), PointStatus(20));
        EXPECT_EQ(text.Text(), PointLabel(21));
    }
    const sksim::SimCounters first = sksim::SimGetCounters(g_lines[0].sim);
    const sksim::SimCounters second = sksim::SimGetCounters(g_lines[1].sim);
    EXPECT_EQ(first.blockSessions, 2u);
    EXPECT_EQ(first.repeats, 0u);
    EXPECT_EQ(second.singleSessions, 5u);  // the point's first read confirmed, its second unchanged
    EXPECT_EQ(second.repeats, 0u);
    EXPECT_TRUE(LogLines().empty());
    ExpectSoundFrames(g_lines[0]);
    ExpectSoundFrames(g_lines[1]);
}

// What a host that reads and writes a gate of every command puts on the
// wire: reads of the read commands send their letter; reads of the action
// commands (11-15) are refused and send nothing; writes go out only for the
// action commands (and for a point above 10, whose "write" is a read).
TEST_F(Gateway, EveryCommandReadAndWrittenPutsOnlyWhatItMayOnTheWire) {
    Line& line = g_lines[1];
    struct Case {
        const char* address;
        int32_t gateType;
        char letter;
        int32_t readResult;   // 1: refused, nothing sent
        int32_t writeResult;  // 1: refused, nothing sent
        bool writeSends;
    } cases[] = {
        {"01_", 0, 's', 0, 1, false},       {"02_", 0, 't', 0, 1, false},
        {"03_005", 0, 'z', 0, 1, false},    {"04_005", 7, '|', 0, 1, false},
        {"05_003", 0, 'g', 0, 1, false},    {"06_003", 7, 'h', 0, 1, false},
        {"07_001004", 0, 'p', 0, 1, false}, {"07_001011", 0, 'p', 0, 0, true},
        {"08_001004", 7, 'q', 0, 1, false}, {"09_", 7, 'i', 0, 1, false},
        {"10_", 7, 'v', 0, 1, false},       {"11_001003", 0, 'B', 1, 0, true},
        {"12_001003", 0, 'U', 1, 0, true},  {"13_", 0, 'D', 1, 0, true},
        {"14_", 0, 'I', 1, 0, true},        {"15_", 7, 'Y', 1, 0, true},
    };
    // The letters of the requests the gateway received since the last look.
    auto requests = [&line]() {
        std::string letters;
        for (const std::string& l : sksim::SimTraceLines(line.sim)) {
            const size_t at = l.find("-> T0");
            const size_t quote = l.find('\'');
            if (at != std::string::npos && quote != std::string::npos && l.find("request") != std::string::npos) {
                letters += l[quote + 1];
            }
        }
        sksim::SimClearTrace(line.sim);
        return letters;
    };
    for (const Case& c : cases) {
        Gate gate(c.address, c.gateType == 7 ? 7 : 0);
        ASSERT_EQ(Parse(line, gate, kSingleParser, c.gateType), 0) << c.address;
        KestraClear();
        sksim::SimClearTrace(line.sim);
        EXPECT_EQ(Request(line, kSingleRead, gate), c.readResult) << c.address;
        // A number read for the first time is asked twice.
        const size_t asked = c.readResult != 0 ? 0 : c.gateType == 0 ? 2 : 1;
        EXPECT_EQ(requests(), std::string(asked, c.letter)) << c.address;
        if (c.readResult == 1) {
            EXPECT_EQ(LogLines(), std::vector<std::string>{"VpiSK02: SingleRead() fail, read not alowed (addr = '" +
                                                           std::string(c.address) + "')"});
            EXPECT_EQ(gate.Word(0), 0) << c.address;
            EXPECT_EQ(gate.Word(2), 0) << c.address;
        }
        if (std::string(c.address) == "15_") strcpy(reinterpret_cast<char*>(gate.value), "24/12/2001 09:15:30");
        EXPECT_EQ(Request(line, kSingleWrite, gate), c.writeResult) << c.address;
        EXPECT_EQ(requests(), c.writeSends ? std::string(1, c.letter) : std::string()) << c.address;
    }
    ExpectSoundFrames(line);
}

}  // namespace
