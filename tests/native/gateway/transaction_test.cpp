// The gateway transaction on a scripted line: every byte written, every
// time-out, every read size, the re-sends and the give-ups.
#include <gtest/gtest.h>

#include <filesystem>

#include "gateway/decode.h"
#include "gateway/point_requests.h"
#include "gateway/trace_file.h"
#include "gateway/transaction.h"
#include "tests/native/gateway/gateway_fixture.h"
#include "tests/support/log_lines.h"

namespace {

using fake_comm::Hex;
using gwtest::Bytes;
using gwtest::Frame;
using gwtest::MakeGate;

// A transaction as the point requests run it: its outcome turned into the
// host's status and log line.
int32_t Transact(VpiRequest* request, int32_t sessionMode) {
    return ReportOutcome(request, GatewayTransaction(request, sessionMode), 1);
}

// A read of 01_ whose answer never came, as the host log shows it.
const std::string kNoAnswerFrame = "VpiSK01: GatewayTransaction() fail, no answer frame (addr = '01_')";

const std::string kAnnounceHex = "53 4B 20 47 41 54 45 57 41 59";  // SK GATEWAY

std::string W(const std::string& hex) { return "W " + hex + "\n"; }
std::string T(int t) { return "T " + std::to_string(t) + "\n"; }
std::string R(int asked, size_t got, int t) {
    return "R " + std::to_string(asked) + " -> " + std::to_string(got) + " bytes (t " + std::to_string(t) + ")\n";
}
std::string P(size_t n = 0) { return "P " + std::to_string(n) + "\n"; }
std::string F(int asked, size_t got, int ms) {
    return "F " + std::to_string(asked) + " -> " + std::to_string(got) + " bytes (" + std::to_string(ms) + " ms)\n";
}
// The single answer of 12 bytes read as the frame ends it: head, then the rest.
std::string FrameRead12() { return F(7, 7, 1000) + F(5, 5, 1000); }

// The opening of every session: purge, announce answered at once, request frame built.
std::string Opening() { return P() + W(kAnnounceHex) + T(200) + R(11, 11, 200) + T(500); }

class Transaction : public ::testing::Test {
protected:
    void SetUp() override {
        fake_comm::Reset();
        KestraClear();
    }
    static std::string Trace(Handle port) { return fake_comm::Describe(fake_comm::Events(port)); }
};

// --- payloads --------------------------------------------------------------

TEST_F(Transaction, PayloadOfEveryCommand) {
    struct Case {
        const char* address;
        int32_t argA, argB, argC;
        int32_t mode;
        const char* value;
        const char* payload;
    } cases[] = {
        {"01_", 0, 0, 1, kSingleSession, nullptr, "73"},
        {"02_", 0, 0, 2, kSingleSession, nullptr, "74"},
        {"03_005", 0, 5, 3, kSingleSession, nullptr, "7A 05 00 01 00"},
        {"03_001", 0, 3, 1, kBlockSession, nullptr, "7A 03 00 01 00"},  // a block gate: its slot word 3
        {"04_002", 0, 2, 4, kSingleSession, nullptr, "7C 02 00"},
        {"05_999", 0, 999, 5, kSingleSession, nullptr, "67 E7 03 01 00"},
        {"06_012", 0, 12, 6, kSingleSession, nullptr, "68 0C 00"},
        {"07_001002", 1, 7, 2, kSingleSession, nullptr, "70 01 00 02 00"},
        {"07_001002", 1, 7, 2, kBlockSession, nullptr, "70 01 00 00 00"},
        {"07_033000", 33, 7, 0, kSingleSession, nullptr, "70 21 00 00 00"},
        {"07_001002", 0x12345, 7, 0x10002, kSingleSession, nullptr, "70 45 23 02 00"},  // low 16 bits
        {"08_001002", 0, 1 + (2 << 16), 8, kSingleSession, nullptr, "71 01 00 02 00"},
        {"08_001002", 0, 1 + (2 << 16), 8, kBlockSession, nullptr, "71 01 00 00 00"},
        {"09_", 0, 0, 9, kSingleSession, nullptr, "69"},
        {"10_", 0, 0, 10, kSingleSession, nullptr, "76"},
        {"11_003004", 0, 3 + (4 << 16), 11, kSingleSession, nullptr, "42 03 00 04 00"},
        {"12_999998", 0, 999 + (998 << 16), 12, kSingleSession, nullptr, "55 E7 03 E6 03"},
        {"13_", 0, 0, 13, kSingleSession, nullptr, "44"},
        {"14_", 0, 0, 14, kSingleSession, nullptr, "49"},
        {"15_", 0, 0, 15, kSingleSession, "07/12/2026 22:28:10", "59 0A 00 1C 00 16 00 07 00 0C 00 7E 00"},
        {"15_", 0, 0, 15, kSingleSession, "31/12/1999 23:59:59", "59 3B 00 3B 00 17 00 1F 00 0C 00 63 00"},
        // Each field cut to 8 bits; the year taken in 16 bits less 1900.
        {"15_", 0, 0, 15, kSingleSession, "07/12/2026 22:28:300", "59 2C 00 1C 00 16 00 07 00 0C 00 7E 00"},
        {"15_", 0, 0, 15, kSingleSession, "07/12/1800 22:28:10", "59 0A 00 1C 00 16 00 07 00 0C 00 9C FF"},
        // Texts of another form: fields that are not there count 0.
        {"15_", 0, 0, 15, kSingleSession, "", "59 00 00 00 00 00 00 00 00 00 00 94 F8"},
        {"15_", 0, 0, 15, kSingleSession, "07/12/2026", "59 00 00 00 00 00 00 07 00 0C 00 7E 00"},
    };
    for (const Case& c : cases) {
        auto gate = MakeGate(c.address, c.argA, c.argB, c.argC);
        if (c.value != nullptr) strcpy(reinterpret_cast<char*>(gate->value), c.value);
        uint8_t payload[kPayloadArea];
        uint8_t length = 0;
        ASSERT_TRUE(BuildPayload(&gate->point, c.mode, payload, &length)) << c.address;
        EXPECT_EQ(Hex(Bytes(payload, payload + length)), c.payload) << c.address << " mode " << c.mode;
    }
}

TEST_F(Transaction, ACommandWithoutARowIsRefusedBeforeAnythingIsSent) {
    for (const char* address : {"00_", "16_", "99_001", "", "0", "A1_", "1_"}) {
        fake_comm::Reset();
        KestraClear();
        auto gate = MakeGate(address, 0, 0, 1);
        EXPECT_EQ(Transact(&gate->request, kSingleSession), 1) << "'" << address << "'";
        EXPECT_EQ(LogLines(), std::vector<std::string>{"TEMP_ERROR 1 @@@@"}) << address;
        EXPECT_TRUE(fake_comm::Events(gate->Port()).empty()) << Trace(gate->Port());
    }
}

// --- the announce ---------------------------------------------------------------

TEST_F(Transaction, AnnounceNeverAnsweredGivesUpAfterSevenSends) {
    auto gate = MakeGate("01_", 0, 0, 1);
    EXPECT_EQ(Transact(&gate->request, kSingleSession), 1);
    std::string expected = P() + W(kAnnounceHex) + T(200) + R(11, 0, 200);
    for (int i = 0; i < 6; ++i) expected += P() + W(kAnnounceHex) + R(11, 0, 200);
    EXPECT_EQ(Trace(gate->Port()), expected);
    EXPECT_EQ(LogLines(), std::vector<std::string>{"TEMP_ERROR 2 @@@@"});
    EXPECT_EQ(fake_comm::NowMs(), 14000u);  // seven 2 s waits
    EXPECT_EQ(fake_comm::CurrentTimeout(gate->Port()), 200);
}

TEST_F(Transaction, AnnounceAcceptanceTestsBytesZeroOneAndFive) {
    struct Case {
        const char* what;
        Bytes reply;
        bool accepted;
    } cases[] = {
        {"the gateway's first frame", gwtest::AnnounceReply(), true},
        {"sync then 02 10, nothing more", {0x55, 0xAA, 0x55, 0xAA, 0x02, 0x10}, true},
        {"only bytes 0, 1 and 5 count", {0x55, 0xAA, 0x00, 0x00, 0x00, 0x10}, true},
        {"sequence byte 0x11", Frame(2, 0x11, {0x4D, 0x50}), false},
        {"sequence byte not received", {0x55, 0xAA, 0x55, 0xAA, 0x02}, false},
        {"byte 1 wrong", {0x55, 0xAB, 0x55, 0xAA, 0x02, 0x10}, false},
        {"echo of the announce", gwtest::Text("SK GATEWAY"), false},
    };
    for (const Case& c : cases) {
        fake_comm::Reset();
        KestraClear();
        auto gate = MakeGate("01_", 0, 0, 1);
        fake_comm::Answer(gate->Port(), c.reply);
        Transact(&gate->request, kSingleSession);
        const auto writes = fake_comm::Writes(gate->Port());
        if (c.accepted) {
            ASSERT_GE(writes.size(), 2u) << c.what;
            EXPECT_EQ(Hex(writes[1]), "55 AA 55 AA 02 11 01 73 01 65") << c.what;
            // The gateway then stays silent: the read fails with its reason.
            EXPECT_EQ(LogLines(), std::vector<std::string>{kNoAnswerFrame}) << c.what;
        } else {
            EXPECT_EQ(writes.size(), 7u) << c.what;
            EXPECT_EQ(LogLines(), std::vector<std::string>{"TEMP_ERROR 2 @@@@"}) << c.what;
        }
    }
}

TEST_F(Transaction, AnnounceAnsweredOnTheThirdSend) {
    auto gate = MakeGate("01_", 0, 0, 1);
    fake_comm::Silence(gate->Port());
    fake_comm::Answer(gate->Port(), Frame(2, 0x11, {0, 0}));
    fake_comm::Answer(gate->Port(), gwtest::AnnounceReply());
    fake_comm::Answer(gate->Port(), Frame(2, 0x20, {'s', 0x34, 0x12}));
    fake_comm::Answer(gate->Port(), gwtest::EosReply());
    fake_comm::Answer(gate->Port(), gwtest::GoodByeReply());
    EXPECT_EQ(Transact(&gate->request, kSingleSession), 0);
    const std::string expected = P() + W(kAnnounceHex) + T(200) + R(11, 0, 200) + P() + W(kAnnounceHex) +
                                 R(11, 11, 200) + P() + W(kAnnounceHex) + R(11, 11, 200) + T(500) + W("55 AA 55 AA 02 11 01 73 01 65") +
                                 FrameRead12() + T(500) + W("55 AA 55 AA 02 22 01 06 44 63") +
                                 R(11, 11, 500) + W("55 AA 55 AA 02 33 00 42 13") + R(10, 10, 500);
    EXPECT_EQ(Trace(gate->Port()), expected);
    EXPECT_EQ(gate->Word(2), 0x1234);
}

TEST_F(Transaction, WaitingInputIsDiscardedBeforeTheAnnounce) {
    // A late announce answer of an earlier session is waiting; the gateway
    // itself stays silent now.
    auto gate = MakeGate("01_", 0, 0, 1);
    fake_comm::Waiting(gate->Port(), gwtest::AnnounceReply());
    EXPECT_EQ(Transact(&gate->request, kSingleSession), 1);
    const auto events = fake_comm::Events(gate->Port());
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events[0].op, fake_comm::Op::Purge);
    EXPECT_EQ(events[0].bytes, gwtest::AnnounceReply());
    EXPECT_EQ(fake_comm::Writes(gate->Port()).size(), 7u);
    EXPECT_EQ(LogLines(), std::vector<std::string>{"TEMP_ERROR 2 @@@@"});
}

TEST_F(Transaction, ALateAnswerAheadOfTheAnnounceAnswerIsDiscardedBeforeTheResend) {
    // A goodbye answer of the previous session arrives late, just ahead of the
    // announce answer: the first read takes the goodbye and one byte of the
    // announce answer. What is left must not shift every later read.
    auto gate = MakeGate("01_", 0, 0, 1);
    const Bytes late = gwtest::GoodByeReply();
    Bytes first = late;
    const Bytes announce = gwtest::AnnounceReply();
    first.insert(first.end(), announce.begin(), announce.end());
    fake_comm::Answer(gate->Port(), first);
    fake_comm::Answer(gate->Port(), announce);
    fake_comm::Answer(gate->Port(), Frame(2, 0x20, {'s', 0x34, 0x12}));
    fake_comm::Answer(gate->Port(), gwtest::EosReply());
    fake_comm::Answer(gate->Port(), gwtest::GoodByeReply());
    EXPECT_EQ(Transact(&gate->request, kSingleSession), 0);
    EXPECT_EQ(gate->Word(2), 0x1234);
    EXPECT_TRUE(LogLines().empty());
    const auto events = fake_comm::Events(gate->Port());
    std::vector<Bytes> purged;
    for (const auto& e : events)
        if (e.op == fake_comm::Op::Purge && !e.bytes.empty()) purged.push_back(e.bytes);
    ASSERT_EQ(purged.size(), 1u);
    EXPECT_EQ(Hex(purged[0]), Hex(Bytes(announce.begin() + 1, announce.end())));
    EXPECT_EQ(fake_comm::Writes(gate->Port()).size(), 5u);  // two announces, request, Eos, goodbye
}

// --- the single session ---------------------------------------------------------

// A cooperative gateway's single session: announce answer, `answer`,
// end-of-session and goodbye answers.
void PlaySingle(Handle port, const Bytes& answer) {
    fake_comm::Answer(port, gwtest::AnnounceReply());
    fake_comm::Answer(port, answer);
    fake_comm::Answer(port, gwtest::EosReply());
    fake_comm::Answer(port, gwtest::GoodByeReply());
}

// The answer read ends with its frame (head, then exactly the rest), or,
// with answer_end = window, waits its whole second for up to 255 bytes.
TEST_F(Transaction, SingleSessionOfCommandOne) {
    for (const bool window : {false, true}) {
        fake_comm::Reset();
        auto gate = MakeGate("01_", 0, 0, 1);
        gate->channel.line.answerEndWindow = window ? 1 : 0;
        PlaySingle(gate->Port(), Frame(2, 0x20, {'s', 0x34, 0x12}));
        EXPECT_EQ(Transact(&gate->request, kSingleSession), 0);
        const std::string answer = window ? T(100) + R(255, 12, 100) : FrameRead12();
        EXPECT_EQ(Trace(gate->Port()), Opening() + W("55 AA 55 AA 02 11 01 73 01 65") + answer + T(500) +
                                           W("55 AA 55 AA 02 22 01 06 44 63") + R(11, 11, 500) +
                                           W("55 AA 55 AA 02 33 00 42 13") + R(10, 10, 500));
        EXPECT_EQ(gate->value[2], 0x34);
        EXPECT_EQ(gate->value[3], 0x12);
        EXPECT_EQ(fake_comm::NowMs(), window ? 1000u : 0u);  // the window's whole second, or none
        EXPECT_TRUE(LogLines().empty());
        EXPECT_EQ(fake_comm::CurrentTimeout(gate->Port()), 500);
    }
}

TEST_F(Transaction, SingleSessionFramesOfTheWorkedCommands) {
    struct Case {
        const char* address;
        int32_t argA, argB, argC;
        const char* value;
        const char* frame;
    } cases[] = {
        {"06_012", 0, 12, 6, nullptr, "55 AA 55 AA 02 11 03 68 0C 00 C6 2D"},
        {"07_033000", 33, 7, 0, nullptr, "55 AA 55 AA 02 11 05 70 21 00 00 00 D1 74"},
        {"07_079000", 79, 7, 0, nullptr, "55 AA 55 AA 02 11 05 70 4F 00 00 00 F4 5E"},
        {"03_005", 0, 5, 3, nullptr, "55 AA 55 AA 02 11 05 7A 05 00 01 00 32 78"},
        {"15_", 0, 0, 15, "07/12/2026 22:28:10",
         "55 AA 55 AA 02 11 0D 59 0A 00 1C 00 16 00 07 00 0C 00 7E 00 D4 9E"},
    };
    for (const Case& c : cases) {
        fake_comm::Reset();
        auto gate = MakeGate(c.address, c.argA, c.argB, c.argC);
        if (c.value != nullptr) strcpy(reinterpret_cast<char*>(gate->value), c.value);
        fake_comm::Answer(gate->Port(), gwtest::AnnounceReply());
        Transact(&gate->request, kSingleSession);
        const auto writes = fake_comm::Writes(gate->Port());
        ASSERT_EQ(writes.size(), 4u) << c.address;
        EXPECT_EQ(Hex(writes[1]), c.frame) << c.address;
        EXPECT_EQ(gate->channel.txBuffer[writes[1].size()], 0) << "exactly the frame's bytes";
    }
}

TEST_F(Transaction, SingleSessionSilentAfterTheAnnounce) {
    auto gate = MakeGate("01_", 0, 0, 1);
    fake_comm::Answer(gate->Port(), gwtest::AnnounceReply());
    gate->value[2] = 0;
    gate->value[3] = 0;
    // The announce answer stays unread by the decoding: the buffer is
    // cleared before the status read, and the session gives 1.
    EXPECT_EQ(Transact(&gate->request, kSingleSession), 1);
    EXPECT_EQ(Trace(gate->Port()), Opening() + W("55 AA 55 AA 02 11 01 73 01 65") + F(7, 0, 1000) + T(500) +
                                       W("55 AA 55 AA 02 22 01 06 44 63") + R(11, 0, 500) +
                                       W("55 AA 55 AA 02 33 00 42 13") + R(10, 0, 500));
    EXPECT_EQ(Hex(Bytes(gate->value, gate->value + 6)), "EE EE 00 00 EE EE");
    EXPECT_EQ(fake_comm::NowMs(), 11000u);  // 1 s + 5 s + 5 s
    EXPECT_EQ(LogLines(), std::vector<std::string>{kNoAnswerFrame});
}

TEST_F(Transaction, SingleSessionGarbageAnswerGivesOneAndKeepsThePreparedValue) {
    // 11 bytes of garbage whose byte 8 and 9 would make a value.
    auto gate = MakeGate("01_", 0, 0, 1);
    gate->value[2] = 0;
    gate->value[3] = 0;
    fake_comm::Answer(gate->Port(), gwtest::AnnounceReply());
    fake_comm::Answer(gate->Port(), {0x00, 0x55, 0xAA, 0x55, 0xAA, 0x02, 0x20, 0x03, 0x73, 0x34, 0x12});
    EXPECT_EQ(Transact(&gate->request, kSingleSession), 1);
    EXPECT_EQ(gate->Word(2), 0);
    EXPECT_EQ(fake_comm::Writes(gate->Port()).size(), 4u);  // end of session and goodbye still go out
}

TEST_F(Transaction, SingleSessionTestsNoReplyAfterTheStatusAndResendsNothing) {
    auto gate = MakeGate("02_", 0, 0, 2);
    fake_comm::Answer(gate->Port(), gwtest::AnnounceReply());
    fake_comm::Answer(gate->Port(), Frame(2, 0x20, {'t', 0x01, 0x02}));
    fake_comm::Answer(gate->Port(), gwtest::Text("garbage"));
    fake_comm::Answer(gate->Port(), {});
    EXPECT_EQ(Transact(&gate->request, kSingleSession), 0);
    EXPECT_EQ(fake_comm::Writes(gate->Port()).size(), 4u);
    EXPECT_EQ(gate->Word(2), 0x0201);
    EXPECT_TRUE(LogLines().empty());
}

TEST_F(Transaction, TxAndRxCountsFollowTheLastWriteAndRead) {
    auto gate = MakeGate("01_", 0, 0, 1);
    fake_comm::Answer(gate->Port(), gwtest::AnnounceReply());
    fake_comm::Answer(gate->Port(), Frame(2, 0x20, {'s', 0x34, 0x12}));
    fake_comm::Answer(gate->Port(), gwtest::EosReply());
    fake_comm::Answer(gate->Port(), Bytes{0x55, 0xAA, 0x55});
    Transact(&gate->request, kSingleSession);
    EXPECT_EQ(+gate->channel.txCount, 9);  // the goodbye frame
    EXPECT_EQ(+gate->channel.rxCount, 3);
    // txBuffer keeps the request frame.
    EXPECT_EQ(Hex(Bytes(gate->channel.txBuffer, gate->channel.txBuffer + 10)), "55 AA 55 AA 02 11 01 73 01 65");
}

// --- the block session ---------------------------------------------------------

// A cooperative block session of 07_020001: the block answer's last frame
// carries `blockSequence`.
struct BlockScript {
    Bytes block = Frame(2, 0x20, {'p', 0x14, 0x00, 0, 0, 0, 0, 0, 0, 0x2A, 0x00, 0, 0, 0x80, 0x00, 0, 0});
    std::vector<Bytes> zlz = {gwtest::ZlzReply(0x32)};
    std::vector<Bytes> eos = {gwtest::EosReply(0x43)};
    std::vector<Bytes> goodBye = {gwtest::GoodByeReply(0x54)};
    void Play(Handle port) const {
        fake_comm::Answer(port, gwtest::AnnounceReply());
        fake_comm::Answer(port, block);
        for (const Bytes& b : zlz) fake_comm::Answer(port, b);
        for (const Bytes& b : eos) fake_comm::Answer(port, b);
        for (const Bytes& b : goodBye) fake_comm::Answer(port, b);
    }
};

// A fresh line and host log, and the block gate the table-driven block
// session tests read.
std::unique_ptr<gwtest::Gate> FreshBlockGate() {
    fake_comm::Reset();
    KestraClear();
    return MakeGate("07_020001", 20, 7, 1);
}

TEST_F(Transaction, BlockSessionOfACooperativeGateway) {
    auto gate = MakeGate("07_020001", 20, 7, 1);
    gate->point.count = 3;
    BlockScript script;
    script.Play(gate->Port());
    EXPECT_EQ(Transact(&gate->request, kBlockSession), 0);
    const std::string expected = Opening() + W("55 AA 55 AA 02 11 05 70 14 00 00 00 B1 8E") + T(400) +
                                 R(2000, script.block.size(), 400) + T(500) +
                                 W("55 AA 55 AA 02 22 00 42 02") + R(11, 11, 500) + T(200) + T(500) +
                                 W("55 AA 55 AA 02 33 01 06 54 61") + R(11, 11, 500) + T(200) + T(500) +
                                 W("55 AA 55 AA 02 44 00 42 64") + R(10, 10, 500) + T(200) + T(500);
    EXPECT_EQ(Trace(gate->Port()), expected);
    EXPECT_EQ(Hex(Bytes(gate->value, gate->value + 8)), "2A 00 00 80 00 00 EE EE");  // the third word did not come
    EXPECT_EQ(fake_comm::NowMs(), 4000u);  // the block read's whole 4 s
    EXPECT_TRUE(LogLines().empty());
}

TEST_F(Transaction, BlockSessionCarriesTheGatewaysFrameNumbers) {
    struct Case {
        const char* what;
        Bytes block;
        std::vector<Bytes> zlz;
        Bytes eos;
        const char* zlzSent;
        const char* eosSent;
        const char* goodByeSent;
    } cases[] = {
        {"block answer 0x20", Frame(2, 0x20, {'p'}), {gwtest::ZlzReply(0x30)}, gwtest::EosReply(0x40),
         "55 AA 55 AA 02 22 00 42 02", "55 AA 55 AA 02 33 01 06 54 61", "55 AA 55 AA 02 44 00 42 64"},
        {"last of two frames 0x31", gwtest::Concat({Frame(2, 0x20, {'p'}), Frame(1, 0x31, {'p'})}), {gwtest::ZlzReply(0x10)},
         gwtest::EosReply(0x2A), "55 AA 55 AA 02 23 00 42 03", "55 AA 55 AA 02 31 01 06 16 41", "55 AA 55 AA 02 40 00 42 60"},
        {"answers without sync keep the stored numbers", gwtest::Text("noise"), std::vector<Bytes>(4, Bytes{0x01, 0x55, 0xAA, 0x55, 0xAA}),
         {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01}, "55 AA 55 AA 02 24 00 42 04",
         "55 AA 55 AA 02 35 01 06 92 01", "55 AA 55 AA 02 46 00 42 66"},
    };
    for (const Case& c : cases) {
        fake_comm::Reset();
        auto gate = MakeGate("07_020001", 20, 7, 1);
        BlockScript script;
        script.block = c.block;
        script.zlz = c.zlz;
        script.eos = {c.eos};
        script.Play(gate->Port());
        Transact(&gate->request, kBlockSession);
        auto writes = fake_comm::Writes(gate->Port());
        ASSERT_GE(writes.size(), 5u) << c.what;
        EXPECT_EQ(Hex(writes[2]), c.zlzSent) << c.what;
        EXPECT_EQ(Hex(writes[writes.size() - 2]), c.eosSent) << c.what;
        EXPECT_EQ(Hex(writes.back()), c.goodByeSent) << c.what;
    }
}

TEST_F(Transaction, BlockSessionSilentAfterTheAnnounce) {
    auto gate = MakeGate("07_020001", 20, 7, 1);
    fake_comm::Answer(gate->Port(), gwtest::AnnounceReply());
    EXPECT_EQ(Transact(&gate->request, kBlockSession), 1);
    std::string expected = Opening() + W("55 AA 55 AA 02 11 05 70 14 00 00 00 B1 8E") + T(400) + R(2000, 0, 400) + T(500);
    expected += W("55 AA 55 AA 02 24 00 42 04") + R(11, 0, 500) + T(200);
    for (int i = 0; i < 3; ++i) expected += W("55 AA 55 AA 02 24 00 42 04") + R(11, 0, 200);
    expected += T(500) + W("55 AA 55 AA 02 35 01 06 92 01") + R(11, 0, 500) + T(200);
    for (int i = 0; i < 3; ++i) expected += W("55 AA 55 AA 02 35 01 06 92 01") + R(11, 0, 200);
    expected += T(500) + W("55 AA 55 AA 02 46 00 42 66") + R(10, 0, 500) + T(200);
    for (int i = 0; i < 3; ++i) expected += W("55 AA 55 AA 02 46 00 42 66") + R(10, 0, 200);
    expected += T(500);
    EXPECT_EQ(Trace(gate->Port()), expected);
    EXPECT_EQ(LogLines(), std::vector<std::string>{"TEMP_ERROR 4 @@@@"});
    EXPECT_EQ(fake_comm::NowMs(), 4000u + 3 * (5000u + 3 * 2000u));
}

TEST_F(Transaction, BlockSessionResendCountsAndAcceptance) {
    const Bytes noZlz = {0x55, 0xAB};
    const Bytes eosRefused = Frame(2, 0x43, {0x02, 0x00});
    const Bytes gbWrongLength = Frame(2, 0x54, {0x06, 0x00});
    struct Case {
        const char* what;
        std::vector<Bytes> zlz, eos, goodBye;
        size_t zlzSends, eosSends, goodByeSends;
        int32_t result;
        bool tempError4;
    } cases[] = {
        {"all accepted at once", {gwtest::ZlzReply()}, {gwtest::EosReply()}, {gwtest::GoodByeReply()}, 1, 1, 1, 0, false},
        {"zlz on the last re-send", {noZlz, noZlz, noZlz, gwtest::ZlzReply()}, {gwtest::EosReply()}, {gwtest::GoodByeReply()},
         4, 1, 1, 0, false},
        {"zlz and eos never, goodbye at once", {{}, {}, {}, {}}, {eosRefused, eosRefused, eosRefused, eosRefused},
         {gwtest::GoodByeReply()}, 4, 4, 1, 0, false},
        {"goodbye on the second re-send", {gwtest::ZlzReply()}, {gwtest::EosReply()},
         {gbWrongLength, {}, gwtest::GoodByeReply()}, 1, 1, 3, 0, false},
        {"goodbye never", {gwtest::ZlzReply()}, {gwtest::EosReply()},
         {gbWrongLength, gbWrongLength, gbWrongLength, gbWrongLength}, 1, 1, 4, 1, true},
        {"goodbye shorter than its length byte", {gwtest::ZlzReply()}, {gwtest::EosReply()},
         {{0x55, 0xAA, 0x55, 0xAA, 0x02, 0x54}, {}, {}, {}}, 1, 1, 4, 1, true},
    };
    for (const Case& c : cases) {
        auto gate = FreshBlockGate();
        BlockScript script;
        script.zlz = c.zlz;
        script.eos = c.eos;
        script.goodBye = c.goodBye;
        script.Play(gate->Port());
        EXPECT_EQ(Transact(&gate->request, kBlockSession), c.result) << c.what;
        const auto writes = fake_comm::Writes(gate->Port());
        ASSERT_EQ(writes.size(), 2 + c.zlzSends + c.eosSends + c.goodByeSends) << c.what << "\n" << Trace(gate->Port());
        for (size_t i = 0; i < c.zlzSends; ++i) EXPECT_EQ(writes[2 + i].size(), 9u) << c.what;
        for (size_t i = 0; i < c.eosSends; ++i) EXPECT_EQ(writes[2 + c.zlzSends + i].size(), 10u) << c.what;
        EXPECT_EQ(LogLines(), c.tempError4 ? std::vector<std::string>{"TEMP_ERROR 4 @@@@"} : std::vector<std::string>{})
            << c.what;
        // The value was decoded before the session closed, whatever came after.
        EXPECT_EQ(gate->Word(0), 0x002A) << c.what;
    }
}

TEST_F(Transaction, BlockSessionReturnsTheDecodingsRejection) {
    struct Case {
        const char* what;
        Bytes block;
        const char* reason;
    } cases[] = {
        {"an answer of letter s", Frame(2, 0x20, {'s', 0x14, 0x00, 0, 0, 0, 0, 0, 0, 0x2A, 0x00, 0, 0}),
         "not a block answer"},
        {"noise", Bytes(40, 0xA5), "no answer frame"},
        {"nothing", Bytes{}, "no answer frame"},
    };
    for (const Case& c : cases) {
        auto gate = FreshBlockGate();
        BlockScript script;
        script.block = c.block;
        script.Play(gate->Port());
        EXPECT_EQ(Transact(&gate->request, kBlockSession), 1) << c.what;
        EXPECT_EQ(LogLines(), std::vector<std::string>{"VpiSK01: GatewayTransaction() fail, " + std::string(c.reason) +
                                                       " (addr = '07_020001')"})
            << c.what;
        EXPECT_EQ(gate->Word(0), 0xEEEE) << c.what;
        EXPECT_EQ(fake_comm::Writes(gate->Port()).size(), 5u) << c.what;  // the session closes all the same
    }
}

// block_answer_end = quiet: the answer ends when no byte follows a whole
// frame within the gap (here after the second frame); by default it waits
// its whole 4 s window. Noise where a frame should start waits the window.
// A send gap puts its pause before every frame sent.
TEST_F(Transaction, BlockAnswerEndsAfterAQuietGapWhenAsked) {
    const Bytes two = gwtest::Concat({BlockScript{}.block, Frame(1, 0x31, {'p', 0x07, 0x00, 0, 0})});
    struct Case {
        const char* what;
        bool quiet;
        uint16_t quietMs, gapMs;
        Bytes answer;
        uint64_t ms;  // on the fake clock, the whole session
        int32_t status;
    } cases[] = {
        {"window", false, 0, 0, two, 4000, 0},
        {"quiet 300 ms (0: the default)", true, 0, 0, two, 300, 0},
        {"quiet 50 ms", true, 50, 0, two, 50, 0},
        {"quiet 5000 ms: out of range, the default", true, 5000, 0, two, 300, 0},
        {"quiet, noise instead of a frame", true, 0, 0, Bytes(20, 0xA5), 4000, 1},
        // The rest of a head gets the gap too: a stray byte does not hold the answer to its window.
        {"quiet, a stray byte behind the last frame", true, 0, 0, gwtest::Concat({two, Bytes{0xEE}}), 300, 0},
        {"window, a 20 ms send gap", false, 0, 20, two, 4000 + 5 * 20, 0},
    };
    for (const Case& c : cases) {
        fake_comm::Reset();
        KestraClear();
        auto gate = FreshBlockGate();
        gate->channel.line.blockEndQuiet = c.quiet ? 1 : 0;
        gate->channel.line.blockQuietMs = c.quietMs;
        gate->channel.line.sendGapMs = c.gapMs;
        fake_comm::Answer(gate->Port(), gwtest::AnnounceReply());
        fake_comm::Answer(gate->Port(), c.answer);
        if (c.quiet && c.status == 0) fake_comm::Silence(gate->Port());  // the gap behind the answer
        for (const Bytes& b : {gwtest::ZlzReply(0x32), gwtest::EosReply(0x43), gwtest::GoodByeReply(0x54)}) {
            fake_comm::Answer(gate->Port(), b);
        }
        EXPECT_EQ(Transact(&gate->request, kBlockSession), c.status) << c.what;
        EXPECT_EQ(fake_comm::NowMs(), c.ms) << c.what << "\n" << Trace(gate->Port());
        if (c.status == 0) {
            EXPECT_EQ(gate->Word(0), 0x002A) << c.what;
        }
        const auto events = fake_comm::Events(gate->Port());
        size_t sleeps = 0;
        for (const auto& e : events) sleeps += e.op == fake_comm::Op::Sleep && e.asked == c.gapMs ? 1 : 0;
        EXPECT_EQ(sleeps, c.gapMs != 0 ? 5u : 0u) << c.what;  // announce, request, Zlz, end of session, goodbye
    }
}

// A block answer is whole only when no frame of it is missing: its frames'
// numbers (the sequence byte's high nibble, modulo 16) go up by one, and the
// Zlz reply (when whole and checked) carries the number after the last one.
// A gateway that does not number its frames is noted once and read as before.
TEST_F(Transaction, BlockAnswersWithAFrameMissingFail) {
    const Bytes first = BlockScript{}.block;  // frame 2 (0x20)
    auto next = [](uint8_t sequence) { return Frame(1, sequence, {'p', 0x07, 0x00, 0, 0}); };
    const std::string note =
        "VpiSK01: : the gateway does not number the frames of its block answers; a lost frame shows only as a cut or "
        "a CRC that does not check on this port";
    auto lost = [](int n) {
        return "VpiSK01: GatewayTransaction() fail, answer lost frame " + std::to_string(n) +
               " of the gateway's session (addr = '07_020001')";
    };
    Bytes badZlz = gwtest::ZlzReply(0x52);
    badZlz[7] ^= 0x01;
    struct Case {
        const char* what;
        Bytes answer;
        Bytes zlz;
        uint8_t numbering, unchecked;  // the channel's state and check_frame_numbers = 0
        int32_t status;
        std::vector<std::string> log;
    } cases[] = {
        {"frames 2 and 3, Zlz reply 4", gwtest::Concat({first, next(0x31)}), gwtest::ZlzReply(0x42), 0, 0, 0, {}},
        {"frame 3 missing", gwtest::Concat({first, next(0x41)}), gwtest::ZlzReply(0x52), 0, 0, 1, {lost(3)}},
        {"the last frame missing: Zlz reply 5", gwtest::Concat({first, next(0x31)}), gwtest::ZlzReply(0x52), 0, 0, 1,
         {lost(4)}},
        {"the only continuation missing: Zlz reply 4", first, gwtest::ZlzReply(0x42), 0, 0, 1, {lost(3)}},
        {"a Zlz reply whose CRC fails says nothing", gwtest::Concat({first, next(0x31)}), badZlz, 0, 0, 0, {}},
        {"numbers wrap at 16", gwtest::Concat({Frame(2, 0xE0, Bytes(first.begin() + 7, first.end() - 2)), next(0xF1),
                                              next(0x02)}),
         gwtest::ZlzReply(0x13), 0, 0, 0, {}},
        {"not numbered: noted, read as before", gwtest::Concat({first, next(0x21)}), gwtest::ZlzReply(0x32), 0, 0, 0,
         {note}},
        {"noted before: not again", gwtest::Concat({first, next(0x21)}), gwtest::ZlzReply(0x32), kNumberingAbsent, 0,
         0, {}},
        {"a frame twice from a gateway that numbers", gwtest::Concat({first, next(0x21)}), gwtest::ZlzReply(0x32),
         kNumberingSeen, 0, 1,
         {"VpiSK01: GatewayTransaction() fail, answer frames out of order: frame 2 of the gateway's session came "
          "twice (addr = '07_020001')"}},
        {"check_frame_numbers = 0", gwtest::Concat({first, next(0x41)}), gwtest::ZlzReply(0x52), 0, 1, 0, {}},
    };
    for (const Case& c : cases) {
        auto gate = FreshBlockGate();
        gate->channel.lineState.numbering = c.numbering;
        gate->channel.line.frameNumbersUnchecked = c.unchecked;
        BlockScript script;
        script.block = c.answer;
        script.zlz = {c.zlz};
        script.Play(gate->Port());
        EXPECT_EQ(Transact(&gate->request, kBlockSession), c.status) << c.what;
        EXPECT_EQ(LogLines(), c.log) << c.what;
        EXPECT_EQ(gate->Word(0), c.status == 0 ? 0x002A : 0xEEEE) << c.what;  // failed: the list as prepared
    }
}

TEST_F(Transaction, BlockSessionWithContinuationFrames) {
    // A first frame of 40 payload bytes and two continuations: their data
    // lands behind offset 47, where the list's later groups are read from.
    Bytes first(40, 0);
    first[0] = 'p';
    for (int g = 0; g < 8; ++g) first[9 + 4 * g] = static_cast<uint8_t>(0x10 + g);  // words at offsets 16, 20, ... 44
    Bytes second = {'p', 0x00, 0xAA, 0x00, 0x00, 0x00, 0xBB, 0x00, 0x00};
    // (four idle bytes behind the answer are passed over)
    const Bytes block = gwtest::Concat({Frame(2, 0x20, first), Frame(1, 0x21, second), Frame(1, 0x22, second),
                                        Bytes(4, 0)});
    auto gate = MakeGate("07_020001", 20, 7, 1);
    gate->point.count = 12;
    BlockScript script;
    script.block = block;
    script.Play(gate->Port());
    EXPECT_EQ(Transact(&gate->request, kBlockSession), 0);
    // Groups at 16..44 from the first frame, then 48, 52, 56, 60 over the appended data
    // (47: 00 AA 00 00 00 BB 00 00 | 00 AA 00 00 00 BB 00 00 | 03).
    const uint16_t expected[12] = {0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x00AA, 0x00BB, 0x00AA, 0x00BB};
    for (int i = 0; i < 12; ++i) EXPECT_EQ(gate->Word(2 * i), expected[i]) << i;
    EXPECT_EQ(Hex(fake_comm::Writes(gate->Port())[2]), "55 AA 55 AA 02 22 00 42 02");
}

TEST_F(Transaction, WriteFailuresShowOnlyThroughTheReplies) {
    auto gate = MakeGate("01_", 0, 0, 1);
    gate->channel.txCount = 22;
    fake_comm::FailWrites(gate->Port(), true);
    setenv("SK5820_TRACE", "1", 1);
    EXPECT_EQ(Transact(&gate->request, kSingleSession), 1);
    unsetenv("SK5820_TRACE");
    EXPECT_EQ(fake_comm::Writes(gate->Port()).size(), 7u);
    // A failed write sent nothing: the count and the trace say 0, never a
    // count left from an earlier frame (the trace would show bytes past the
    // announce's 10).
    EXPECT_EQ(+gate->channel.txCount, 0);
    const std::vector<std::string> log = LogLines();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front(), "VpiSK01: trace -> nothing [PC: SKGateway]");
    EXPECT_EQ(log.back(), "TEMP_ERROR 2 @@@@");
}

// A value answer counts only when every frame arrived whole and its CRC
// checks (by the line's table or the plain one); otherwise the request
// fails with one line naming the gate, the value is never written, and the
// session still closes. SK5820_CHECK_CRC=0 decodes as before the check.
TEST_F(Transaction, ValueAnswersCountOnlyWholeAndUnchanged) {
    const Bytes good = Frame(2, 0x20, {'s', 0x34, 0x12});  // 12 bytes
    Bytes flipped = good;
    flipped[8] ^= 0x01;  // a value bit changed, the CRC kept
    // An answer whose CRC passes the table's entry 0x73, sent with the plain
    // table: one bit off the line's CRC, the same as a flipped bit before it.
    Bytes plain = Frame(2, 0x20, {'s', 0x9A, 0x00, 0x00});
    const uint16_t plainCrc = CrcWith(PlainCrcTable, plain.data() + 4, 7);
    ASSERT_NE(plainCrc, FrameCrc(plain.data() + 4, 7));
    plain[11] = static_cast<uint8_t>(plainCrc & 0xFF);
    plain[12] = static_cast<uint8_t>(plainCrc >> 8);
    Bytes block = BlockScript{}.block;  // 26 bytes, words 0x002A and 0x8000
    const Bytes continuation = Frame(1, 0x31, Bytes(60, 0x11));
    Bytes badContinuation = continuation;
    badContinuation[20] ^= 0x40;
    const Bytes cutContinuation(continuation.begin(), continuation.end() - 5);
    const std::string crcLine = "answer CRC does not check";
    struct Case {
        const char* what;
        const char* address;
        int32_t mode;
        Bytes answer;
        const char* checkCrc;  // SK5820_CHECK_CRC, null: unset
        int32_t status;
        std::string reason;  // of the log line; empty: none
        uint16_t word;       // value word 0 (single: the slot at valueTail) after the request
    } cases[] = {
        {"good", "01_", kSingleSession, good, nullptr, 0, "", 0x1234},
        {"good by the plain table only", "01_", kSingleSession, plain, nullptr, 1, crcLine, 0xEEEE},
        {"idle bytes behind the frame", "01_", kSingleSession, gwtest::Concat({good, Bytes(4, 0xEE)}), nullptr, 0, "",
         0x1234},
        {"a value bit changed", "01_", kSingleSession, flipped, nullptr, 1, crcLine, 0xEEEE},
        {"without its CRC", "01_", kSingleSession, Bytes(good.begin(), good.end() - 2), nullptr, 1,
         "answer cut short: 10 of 12 bytes", 0xEEEE},
        {"only the head's first 5 bytes", "01_", kSingleSession, Bytes(good.begin(), good.begin() + 5), nullptr, 1,
         "answer cut short: 5 of 9 bytes", 0xEEEE},
        {"a value bit changed, check off", "01_", kSingleSession, flipped, "0", 0, "", 0x1235},
        {"a value bit changed, check on", "01_", kSingleSession, flipped, "1", 1, crcLine, 0xEEEE},
        {"a write's acknowledgement changed", "13_", kSingleSession, flipped, nullptr, 1, crcLine, 0xEEEE},
        {"block, good continuation", "07_020001", kBlockSession, gwtest::Concat({block, continuation}), nullptr, 0,
         "", 0x002A},
        {"block, first frame changed", "07_020001", kBlockSession, gwtest::Concat({flipped, continuation}), nullptr, 1,
         crcLine, 0xEEEE},
        {"block, continuation changed", "07_020001", kBlockSession, gwtest::Concat({block, badContinuation}), nullptr,
         1, crcLine, 0xEEEE},
        {"block, last frame cut short", "07_020001", kBlockSession, gwtest::Concat({block, cutContinuation}), nullptr,
         1, "answer cut short: 64 of 69 bytes", 0xEEEE},
        // 255 payload bytes: the CRC covers 258, more than an 8-bit count.
        {"block, a continuation of 255 bytes", "07_020001", kBlockSession,
         gwtest::Concat({block, Frame(1, 0x31, Bytes(255, 0x11))}), nullptr, 0, "", 0x002A},
        // A continuation whose sync bytes the line changed: its points
        // would silently be missing.
        {"block, a continuation's head changed", "07_020001", kBlockSession,
         gwtest::Concat({block, Bytes{0x55, 0xAB}, Bytes(continuation.begin() + 2, continuation.end())}), nullptr, 1,
         crcLine, 0xEEEE},
        {"block, noise between frames", "07_020001", kBlockSession,
         gwtest::Concat({block, Bytes(3, 0xEE), continuation}), nullptr, 1, crcLine, 0xEEEE},
        {"block, idle bytes behind the answer", "07_020001", kBlockSession,
         gwtest::Concat({block, continuation, Bytes(4, 0xEE)}), nullptr, 0, "", 0x002A},
    };
    for (const Case& c : cases) {
        fake_comm::Reset();
        KestraClear();
        if (c.checkCrc != nullptr) setenv("SK5820_CHECK_CRC", c.checkCrc, 1);
        auto gate = MakeGate(c.address, 20, 7, 1);
        gate->point.count = 3;
        if (c.mode == kSingleSession) {
            PlaySingle(gate->Port(), c.answer);
        } else {
            BlockScript script;
            script.block = c.answer;
            script.Play(gate->Port());
        }
        EXPECT_EQ(Transact(&gate->request, c.mode), c.status) << c.what;
        unsetenv("SK5820_CHECK_CRC");
        const std::vector<std::string> expected =
            c.reason.empty() ? std::vector<std::string>{}
                             : std::vector<std::string>{"VpiSK01: GatewayTransaction() fail, " + c.reason +
                                                        " (addr = '" + c.address + "')"};
        EXPECT_EQ(LogLines(), expected) << c.what;
        EXPECT_EQ(gate->Word(c.mode == kSingleSession ? 2 : 0), c.word) << c.what;
        // The session closes as always: end of session and goodbye (block: Zlz too).
        EXPECT_EQ(fake_comm::Writes(gate->Port()).size(), c.mode == kSingleSession ? 4u : 5u) << c.what;
    }
}

// The field trace: off (SK5820_TRACE unset, empty or 0) it writes nothing;
// on, one line for every exchange of a single and of a block read, with at
// most 48 bytes of hex each; with a trace file the same lines go there, each
// with its time, and none to the host log.
TEST_F(Transaction, FieldTraceOfASingleAndABlockRead) {
    const std::string traceFile = (std::filesystem::current_path() / "sk-gateway-trace.txt").string();
    const std::string portsFile = (std::filesystem::current_path() / "sk-gateway-trace-COM5.txt").string();
    struct Setting {
        const char* value;  // null: unset
        bool on;
        bool toFile = false;
    } settings[] = {{nullptr, false}, {"", false}, {"0", false}, {"1", true}, {"1", true, true}, {"0", false, true}};
    for (const Setting& setting : settings) {
        std::filesystem::remove(portsFile);
        if (setting.value != nullptr) {
            setenv("SK5820_TRACE", setting.value, 1);
        } else {
            unsetenv("SK5820_TRACE");
        }
        fake_comm::Reset();
        KestraClear();
        auto single = MakeGate("01_", 0, 0, 1);
        auto block = MakeGate("07_020001", 20, 7, 1);
        if (setting.toFile) {  // as the settings set it; the first line opens it
            SetTraceFile(&single->channel, traceFile.c_str(), 0, "COM5");
            SetTraceFile(&block->channel, traceFile.c_str(), 0, "COM5");
        }
        PlaySingle(single->Port(), Frame(2, 0x20, {'s', 0x34, 0x12}));
        EXPECT_EQ(Transact(&single->request, kSingleSession), 0);
        CloseTraceFile(&single->channel);
        block->point.count = 3;
        BlockScript script;
        script.block = gwtest::Concat({script.block, Frame(1, 0x31, Bytes(60, 0x11))});
        script.Play(block->Port());
        EXPECT_EQ(Transact(&block->request, kBlockSession), 0);
        CloseTraceFile(&block->channel);
        if (!setting.on) {
            EXPECT_EQ(LogLines(), std::vector<std::string>{}) << (setting.value ? setting.value : "unset");
            EXPECT_FALSE(std::filesystem::exists(portsFile));
            continue;
        }
        const std::vector<std::string> expected = {
            "VpiSK01: trace -> announce, 10 bytes [PC: SKGateway]: 53 4B 20 47 41 54 45 57 41 59",
            "VpiSK01: trace <- answer frame, seq 10, crc ok, 11 bytes [PANEL: MPM]: 55 AA 55 AA 02 10 02 4D 50 01 00",
            "VpiSK01: trace -> request 's' (command 1), seq 11, 10 bytes [PC: RequestPointStatus]: 55 AA 55 AA 02 11 01 73 01 65",
            "VpiSK01: trace <- answer frame, seq 20, crc ok, 12 bytes [PANEL: PointStatusData]: 55 AA 55 AA 02 20 03 73 34 12 1B 44",
            "VpiSK01: trace -> end of session, seq 22, 10 bytes [PC: Eos]: 55 AA 55 AA 02 22 01 06 44 63",
            "VpiSK01: trace <- answer frame, seq 43, crc ok, 11 bytes [PANEL: Terminate session]: 55 AA 55 AA 02 43 02 01 00 BD 17",
            "VpiSK01: trace -> goodbye, seq 33, 9 bytes [PC: Zlz2]: 55 AA 55 AA 02 33 00 42 13",
            "VpiSK01: trace <- answer frame, seq 54, crc ok, 10 bytes [PANEL :GoodBye]: 55 AA 55 AA 02 54 01 06 15 7D",
            "VpiSK01: trace -> announce, 10 bytes [PC: SKGateway]: 53 4B 20 47 41 54 45 57 41 59",
            "VpiSK01: trace <- answer frame, seq 10, crc ok, 11 bytes [PANEL: MPM]: 55 AA 55 AA 02 10 02 4D 50 01 00",
            "VpiSK01: trace -> request 'p' (command 7), seq 11, 14 bytes [PC: Request point]: 55 AA 55 AA 02 11 05 70 14 00 00 00 B1 8E",
            "VpiSK01: trace <- answer in 2 frames, last seq 31, crc ok, 95 bytes [PANEL: PointStatusData]: 55 AA 55 AA 02 20 11 70 14 00 00 00 00 00 00 00 2A 00 00 00 80 00 00 00 38 2D 55 AA 55 AA 01 31 3C 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 ..(+47)",
            "VpiSK01: trace -> Zlz, seq 23, 9 bytes [PC: Zlz]: 55 AA 55 AA 02 23 00 42 03",
            "VpiSK01: trace <- answer frame, seq 32, crc ok, 11 bytes [PANEL :MPM]: 55 AA 55 AA 02 32 02 4D 50 85 60",
            "VpiSK01: trace -> end of session, seq 33, 10 bytes [PC: Eos]: 55 AA 55 AA 02 33 01 06 54 61",
            "VpiSK01: trace <- answer frame, seq 43, crc ok, 11 bytes [PANEL: Terminate session]: 55 AA 55 AA 02 43 02 01 00 BD 17",
            "VpiSK01: trace -> goodbye, seq 44, 9 bytes [PC: Zlz]: 55 AA 55 AA 02 44 00 42 64",
            "VpiSK01: trace <- answer frame, seq 54, crc ok, 10 bytes [PANEL :GoodBye]: 55 AA 55 AA 02 54 01 06 15 7D",
        };
        EXPECT_EQ(LogLines(), setting.toFile ? std::vector<std::string>{} : expected);
        EXPECT_EQ(TraceFileLines(portsFile), setting.toFile ? expected : std::vector<std::string>{});
    }
    std::filesystem::remove(portsFile);
    // A changed answer and a cut one, as the trace shows them.
    setenv("SK5820_TRACE", "1", 1);
    struct Bad {
        Bytes answer;
        const char* line;
    } bad[] = {
        {Frame(2, 0x20, {'s', 0x35, 0x12}), "answer frame, seq 20, crc ok"},
        {Bytes{0x55, 0xAA, 0x55, 0xAA, 0x02, 0x20, 0x03, 0x73, 0x35, 0x12, 0x1B, 0x44},
         "answer frame, seq 20, crc BAD (want 451B), 12 bytes"},
        {Bytes{0x55, 0xAA, 0x55, 0xAA, 0x02, 0x20, 0x03, 0x73, 0x34}, "answer frame, seq 20, cut short: 9 of 12 bytes"},
    };
    for (const Bad& b : bad) {
        fake_comm::Reset();
        KestraClear();
        auto single = MakeGate("01_", 0, 0, 1);
        PlaySingle(single->Port(), b.answer);
        Transact(&single->request, kSingleSession);
        const std::vector<std::string> log = LogLines();
        ASSERT_GE(log.size(), 4u);
        EXPECT_NE(log[3].find(b.line), std::string::npos) << log[3];
    }
    unsetenv("SK5820_TRACE");
}

}  // namespace
