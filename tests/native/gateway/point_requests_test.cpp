// The read and write requests (codes 5, 6, 7) on a scripted line.
#include <gtest/gtest.h>

#include <thread>

#include "gateway/decode.h"
#include "gateway/line_counters.h"
#include "gateway/point_requests.h"
#include "gateway/value_memory.h"
#include "serial/comm.h"
#include "tests/native/gateway/gateway_fixture.h"
#include "tests/support/log_lines.h"

namespace {

using fake_comm::Hex;
using gwtest::Bytes;
using gwtest::Frame;
using gwtest::MakeGate;

class PointRequests : public ::testing::Test {
protected:
    void SetUp() override {
        fake_comm::Reset();
        KestraClear();
    }
    static void Cooperative(Handle port, const Bytes& answer) {
        fake_comm::Answer(port, gwtest::AnnounceReply());
        fake_comm::Answer(port, answer);
        fake_comm::Answer(port, gwtest::EosReply());
        fake_comm::Answer(port, gwtest::GoodByeReply());
    }
    static void CooperativeBlock(Handle port, const Bytes& answer) {
        fake_comm::Answer(port, gwtest::AnnounceReply());
        fake_comm::Answer(port, answer);
        fake_comm::Answer(port, gwtest::ZlzReply());
        fake_comm::Answer(port, gwtest::EosReply());
        fake_comm::Answer(port, gwtest::GoodByeReply());
    }
    static std::vector<fake_comm::Op> Ops(Handle port) {
        std::vector<fake_comm::Op> ops;
        for (const auto& e : fake_comm::Events(port)) ops.push_back(e.op);
        return ops;
    }
};

TEST_F(PointRequests, SingleReadClearsTheValueDecodesAndPauses) {
    auto gate = MakeGate("01_", 0, 0, 1);
    Cooperative(gate->Port(), Frame(2, 0x20, {'s', 0x34, 0x12}));
    EXPECT_EQ(SingleRead(&gate->request), 0);
    EXPECT_EQ(Hex(Bytes(gate->value, gate->value + 6)), "00 00 34 12 EE EE");
    EXPECT_EQ(static_cast<uint8_t*>(gate->channel.valueHead), gate->value);
    EXPECT_EQ(static_cast<uint8_t*>(gate->channel.valueTail), gate->value + 2);
    const auto events = fake_comm::Events(gate->Port());
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().op, fake_comm::Op::Sleep);
    EXPECT_EQ(events.back().asked, 50u);
    EXPECT_EQ(fake_comm::NowMs(), 50u);  // the answer ended with its frame, then the pause
    EXPECT_TRUE(LogLines().empty());
}

TEST_F(PointRequests, SingleReadOfATextGate) {
    auto gate = MakeGate("10_", 0, 0, 10);
    gate->point.valueKind = 7;
    Cooperative(gate->Port(), Frame(2, 0x20, {'v', 'R', '2', '.', '1', 0}));
    EXPECT_EQ(SingleRead(&gate->request), 0);
    EXPECT_EQ(gate->TextValue(), "R2.1");
}

TEST_F(PointRequests, NoLineAnswersAtOnce) {
    struct Case {
        const char* what;
        int32_t (*request)(VpiRequest*);
        int32_t argC;
        int32_t valueKind;
        const char* head;
    } cases[] = {
        {"single read", SingleRead, 1, 0, "00 00 00 00 EE EE"},
        {"single read of a text", SingleRead, 10, 7, "00 00 00 00 EE EE"},
        {"block read, even one that would be refused", BlockRead, 267, 0, "00 00 00 00 EE EE"},
        {"write: the value stays", SingleWrite, 3, 0, "EE EE EE EE EE EE"},
        {"write allowed", SingleWrite, 11, 0, "EE EE EE EE EE EE"},
    };
    for (const Case& c : cases) {
        fake_comm::Reset();
        KestraClear();
        auto gate = MakeGate("07_001001", 1, 7, c.argC, NoPort());
        gate->point.valueKind = c.valueKind;
        EXPECT_EQ(c.request(&gate->request), 0) << c.what;
        EXPECT_EQ(Hex(Bytes(gate->value, gate->value + 6)), c.head) << c.what;
        EXPECT_TRUE(fake_comm::Events(NoPort()).empty()) << c.what;
        EXPECT_TRUE(LogLines().empty()) << c.what;
        EXPECT_EQ(fake_comm::NowMs(), 0u) << c.what;
        EXPECT_EQ(static_cast<uint8_t*>(gate->channel.valueTail), gate->value + 2) << c.what;
    }
}

TEST_F(PointRequests, AccessTestsOnTheLowByteOfArgC) {
    struct Case {
        int32_t (*request)(VpiRequest*);
        const char* address;
        int32_t argC;
        bool refused;
        const char* message;
    } cases[] = {
        {BlockRead, "07_001001", 267, true, "VpiSK01: BlockRead() fail, read not alowed (addr = '07_001001')"},
        {BlockRead, "07_001001", 11, true, "VpiSK01: BlockRead() fail, read not alowed (addr = '07_001001')"},
        {BlockRead, "03_001", 255, true, "VpiSK01: BlockRead() fail, read not alowed (addr = '03_001')"},
        {BlockRead, "07_001001", 2570, false, nullptr},
        {BlockRead, "07_001001", 10, false, nullptr},
        {BlockRead, "07_001001", 0x7FFFFF01, false, nullptr},
        {SingleWrite, "13_", 10, true, "VpiSK01: SingleRead() fail, write not alowed (addr = '13_')"},
        {SingleWrite, "13_", 0, true, "VpiSK01: SingleRead() fail, write not alowed (addr = '13_')"},
        {SingleWrite, "13_", 266, true, "VpiSK01: SingleRead() fail, write not alowed (addr = '13_')"},
        {SingleWrite, "13_", 11, false, nullptr},
        {SingleWrite, "13_", 255, false, nullptr},
        // A read of an action command would carry the action out: refused.
        {SingleRead, "11_001002", 11, true, "VpiSK01: SingleRead() fail, read not alowed (addr = '11_001002')"},
        {SingleRead, "12_001002", 12, true, "VpiSK01: SingleRead() fail, read not alowed (addr = '12_001002')"},
        {SingleRead, "13_", 13, true, "VpiSK01: SingleRead() fail, read not alowed (addr = '13_')"},
        {SingleRead, "14_", 14, true, "VpiSK01: SingleRead() fail, read not alowed (addr = '14_')"},
        {SingleRead, "15_", 15, true, "VpiSK01: SingleRead() fail, read not alowed (addr = '15_')"},
        {SingleRead, "15_", 1, true, "VpiSK01: SingleRead() fail, read not alowed (addr = '15_')"},
        {BlockRead, "13_", 10, true, "VpiSK01: BlockRead() fail, read not alowed (addr = '13_')"},
        {SingleRead, "10_", 10, false, nullptr},
        {SingleRead, "07_001011", 0x0B, false, nullptr},
    };
    for (const Case& c : cases) {
        fake_comm::Reset();
        KestraClear();
        auto gate = MakeGate(c.address, 1, 7, c.argC);
        const int32_t result = c.request(&gate->request);
        if (c.refused) {
            EXPECT_EQ(result, 1) << c.address << " " << c.argC;
            EXPECT_EQ(LogLines(), std::vector<std::string>{c.message});
            EXPECT_TRUE(fake_comm::Events(gate->Port()).empty()) << c.address << " " << c.argC;
        } else {
            EXPECT_FALSE(fake_comm::Writes(gate->Port()).empty()) << c.address << " " << c.argC;
        }
    }
}

TEST_F(PointRequests, ARefusedBlockReadHasClearedTheValue) {
    auto gate = MakeGate("07_001001", 1, 7, 267);
    EXPECT_EQ(BlockRead(&gate->request), 1);
    EXPECT_EQ(Hex(Bytes(gate->value, gate->value + 6)), "00 00 00 00 EE EE");
}

TEST_F(PointRequests, BlockReadReturnsAtOnceAfterItsSession) {
    auto gate = MakeGate("07_020001", 20, 7, 1);
    gate->point.count = 2;
    CooperativeBlock(gate->Port(), Frame(2, 0x20, {'p', 0x14, 0, 0, 0, 0, 0, 0, 0, 0x05, 0, 0, 0, 0x80, 0, 0, 0}));
    EXPECT_EQ(BlockRead(&gate->request), 0);
    EXPECT_EQ(Hex(Bytes(gate->value, gate->value + 6)), "05 00 00 80 EE EE");
    EXPECT_NE(Ops(gate->Port()).back(), fake_comm::Op::Sleep);
    EXPECT_EQ(fake_comm::NowMs(), 4000u);
}

TEST_F(PointRequests, SingleReadPassesOnTheTransactionsFailure) {
    const std::string noFrame = "VpiSK01: GatewayTransaction() fail, no answer frame (addr = '01_')";
    struct Case {
        const char* what;
        std::vector<Bytes> answers;
        std::vector<std::string> log;
    } cases[] = {
        {"announce never answered", {}, {"TEMP_ERROR 2 @@@@"}},
        {"silent after the announce", {gwtest::AnnounceReply()}, {noFrame}},
    };
    for (const Case& c : cases) {
        fake_comm::Reset();
        KestraClear();
        auto gate = MakeGate("01_", 0, 0, 1);
        for (const Bytes& b : c.answers) fake_comm::Answer(gate->Port(), b);
        EXPECT_EQ(SingleRead(&gate->request), 1) << c.what;
        EXPECT_EQ(Hex(Bytes(gate->value, gate->value + 6)), "00 00 00 00 EE EE") << c.what;
        EXPECT_EQ(LogLines(), c.log) << c.what;
        EXPECT_EQ(Ops(gate->Port()).back(), fake_comm::Op::Sleep) << c.what;
    }
}

// A session whose answer arrived spoiled, queued `times` times: the
// announce, the answer and the closing replies.
void Spoiled(Handle port, const Bytes& answer, int times, bool block = false) {
    for (int i = 0; i < times; ++i) {
        fake_comm::Answer(port, gwtest::AnnounceReply());
        fake_comm::Answer(port, answer);
        if (block) fake_comm::Answer(port, gwtest::ZlzReply());
        fake_comm::Answer(port, gwtest::EosReply());
        fake_comm::Answer(port, gwtest::GoodByeReply());
    }
}

size_t Announces(Handle port) {
    size_t n = 0;
    for (const Bytes& w : fake_comm::Writes(port)) n += w.size() >= 2 && w[0] == 'S' && w[1] == 'K';
    return n;
}

// What a request gave, and what it left: its status, the sessions it ran
// (announces sent), the value buffer's head and the log.
void ExpectRequest(gwtest::Gate& gate, int32_t status, int32_t wantStatus, size_t sessions, const char* head,
                   const std::vector<std::string>& log, const char* what) {
    EXPECT_EQ(status, wantStatus) << what;
    EXPECT_EQ(Announces(gate.Port()), sessions) << what;
    EXPECT_EQ(Hex(Bytes(gate.value, gate.value + 6)), head) << what;
    EXPECT_EQ(LogLines(), log) << what;
}

// A read's session runs again while its answer arrives spoiled, at most
// read_retries more times; silence is not asked again, a write never.
TEST_F(PointRequests, SpoiledAnswersAreAskedAgainWritesNever) {
    const Bytes good = Frame(2, 0x20, {'s', 0x34, 0x12});
    Bytes badCrc = good;
    badCrc.back() ^= 0x01;
    const Bytes garbage = gwtest::Text("ERROR 17\r\n");
    const Bytes blockGood = Frame(2, 0x20, {'p', 0x14, 0, 0, 0, 0, 0, 0, 0, 0x05, 0, 0, 0, 0x80, 0, 0, 0});
    Bytes blockBad = blockGood;
    blockBad.back() ^= 0x01;
    struct Case {
        const char* what;
        const char* address;
        int32_t argC;
        uint8_t retriesPlus1;  // 0: the default, 2
        std::vector<std::pair<Bytes, int>> sessions;  // each answer, that many sessions
        bool block, write;
        int32_t status;
        size_t announces;
        const char* head;
        std::vector<std::string> log;
        uint64_t goodAfterRetry, retries;
    } cases[] = {
        {"spoiled every time: three attempts, one line", "01_", 1, 0, {{garbage, 3}}, false, false, 1, 3,
         "00 00 00 00 EE EE", {"VpiSK01: GatewayTransaction() fail, no answer frame, 3 attempts (addr = '01_')"}, 0, 2},
        {"healed by the second session: counted, not logged", "01_", 1, 0, {{badCrc, 1}, {good, 1}}, false, false, 0,
         2, "00 00 34 12 EE EE", {}, 1, 1},
        {"read_retries 5", "01_", 1, 6, {{badCrc, 6}}, false, false, 1, 6, "00 00 00 00 EE EE",
         {"VpiSK01: GatewayTransaction() fail, answer CRC does not check, 6 attempts (addr = '01_')"}, 0, 5},
        {"read_retries 0: as before", "01_", 1, 1, {{badCrc, 1}}, false, false, 1, 1, "00 00 00 00 EE EE",
         {"VpiSK01: GatewayTransaction() fail, answer CRC does not check (addr = '01_')"}, 0, 0},
        {"silence after the announce is not asked again", "01_", 1, 0, {{{}, 1}}, false, false, 1, 1,
         "00 00 00 00 EE EE", {"VpiSK01: GatewayTransaction() fail, no answer frame (addr = '01_')"}, 0, 0},
        {"another request's answer", "01_", 1, 0, {{Frame(2, 0x20, {'t', 1, 2}), 1}, {good, 1}}, false, false, 0, 2,
         "00 00 34 12 EE EE", {}, 1, 1},
        {"block read healed", "07_020001", 1, 0, {{blockBad, 1}, {blockGood, 1}}, true, false, 0, 2,
         "05 00 00 80 EE EE", {}, 1, 1},
        {"a write with a spoiled acknowledgement is sent once", "13_", 13, 0, {{badCrc, 3}}, false, true, 1, 1,
         "EE EE EE EE EE EE", {"VpiSK01: GatewayTransaction() fail, answer CRC does not check (addr = '13_')"}, 0, 0},
    };
    for (const Case& c : cases) {
        fake_comm::Reset();
        KestraClear();
        auto gate = MakeGate(c.address, c.block ? 20 : 0, c.block ? 7 : 0, c.argC);
        gate->point.count = 2;
        gate->channel.line.readRetriesPlus1 = c.retriesPlus1;
        for (const auto& [answer, times] : c.sessions) Spoiled(gate->Port(), answer, times, c.block);
        const int32_t status =
            c.write ? SingleWrite(&gate->request) : c.block ? BlockRead(&gate->request) : SingleRead(&gate->request);
        ExpectRequest(*gate, status, c.status, c.announces, c.head, c.log, c.what);
        const LineCounters& total = gate->channel.health.total;
        // (The record is packed: its counts are copied before they are compared.)
        EXPECT_EQ(uint64_t{total.readsGoodAfterRetry}, c.goodAfterRetry) << c.what;
        EXPECT_EQ(uint64_t{total.retries}, c.retries) << c.what;
        EXPECT_EQ(uint64_t{c.write ? total.writes : total.reads}, 1u) << c.what;
        EXPECT_EQ(uint64_t{c.write ? total.writesGood : total.readsGood}, c.status == 0 ? 1u : 0u) << c.what;
    }
}

// A single read's 16-bit value is taken at once when the channel reported
// it last; a new one (or one never seen) only when a second answer agrees.
// Answers that disagree spend read_retries; texts and blocks are taken as
// they come, and so is everything with confirm_changes = 0.
TEST_F(PointRequests, ChangedValuesAreTakenOnlyWhenTwoAnswersAgree) {
    auto zone = [](uint16_t v) {
        return Frame(2, 0x20, {'z', 0x05, 0x00, static_cast<uint8_t>(v & 0xFF), static_cast<uint8_t>(v >> 8)});
    };
    Bytes badCrc = zone(0x2211);
    badCrc.back() ^= 0x01;
    const Bytes block = Frame(2, 0x20, {'p', 0x14, 0, 0, 0, 0, 0, 0, 0, 0x05, 0, 0, 0, 0x80, 0, 0, 0});
    constexpr int kNothing = -1;
    struct Case {
        const char* what;
        const char* address;
        int32_t argB, argC;
        int remembered;  // the value the channel reported last, or kNothing
        std::vector<Bytes> answers;
        uint8_t retriesPlus1, unconfirmed;
        int32_t status;
        size_t sessions;
        const char* head;
        std::vector<std::string> log;
        uint64_t confirmed, disagreements, notConfirmed;
        int rememberedAfter;
    } cases[] = {
        {"unchanged: one session", "03_005", 5, 3, 0x5678, {zone(0x5678)}, 0, 0, 0, 1, "00 00 78 56 EE EE", {}, 0,
         0, 0, 0x5678},
        {"never seen: asked twice", "03_005", 5, 3, kNothing, {zone(0x5678), zone(0x5678)}, 0, 0, 0, 2,
         "00 00 78 56 EE EE", {}, 1, 0, 0, 0x5678},
        {"changed and confirmed", "03_005", 5, 3, 0x5678, {zone(0x2211), zone(0x2211)}, 0, 0, 0, 2,
         "00 00 11 22 EE EE", {}, 1, 0, 0, 0x2211},
        {"a wrong answer the CRC passed, then the value reported last", "03_005", 5, 3, 0x5678,
         {zone(0x5678 ^ 0x0100), zone(0x5678)}, 0, 0, 0, 2, "00 00 78 56 EE EE", {}, 0, 1, 0, 0x5678},
        {"a wrong answer, then a change confirmed", "03_005", 5, 3, 0x5678,
         {zone(0x2211 ^ 0x8000), zone(0x2211), zone(0x2211)}, 0, 0, 0, 3, "00 00 11 22 EE EE", {}, 1, 1, 0, 0x2211},
        {"no two agree: the value as prepared", "03_005", 5, 3, 0x5678,
         {zone(0x2211), zone(0x3344), zone(0x2211), zone(0x3344)}, 0, 0, 1, 4, "00 00 00 00 EE EE",
         {"VpiSK01: GatewayTransaction() fail, value not confirmed: 0x2211 then 0x3344 (addr = '03_005')"}, 0, 3, 1,
         0x5678},
        {"read_retries 0: one disagreement fails", "03_005", 5, 3, 0x5678, {zone(0x2211 ^ 0x0100), zone(0x2211)}, 1,
         0, 1, 2, "00 00 00 00 EE EE",
         {"VpiSK01: GatewayTransaction() fail, value not confirmed: 0x2311 then 0x2211 (addr = '03_005')"}, 0, 1, 1,
         0x5678},
        {"the confirming answer spoiled: asked again within read_retries", "03_005", 5, 3, 0x5678,
         {zone(0x2211), badCrc, zone(0x2211)}, 0, 0, 0, 3, "00 00 11 22 EE EE", {}, 1, 0, 0, 0x2211},
        {"the confirming answer spoiled, no retry left: the value as prepared", "03_005", 5, 3, 0x5678,
         {zone(0x2211), badCrc}, 1, 0, 1, 2, "00 00 00 00 EE EE",
         {"VpiSK01: GatewayTransaction() fail, answer CRC does not check, 2 attempts (addr = '03_005')"}, 0, 0, 0,
         0x5678},
        {"confirm_changes = 0: taken from one answer", "03_005", 5, 3, 0x5678, {zone(0x2211)}, 0, 1, 0, 1,
         "00 00 11 22 EE EE", {}, 0, 0, 0, 0x5678},
        {"a system status word too", "01_", 0, 1, kNothing, {Frame(2, 0x20, {'s', 0x34, 0x12}),
         Frame(2, 0x20, {'s', 0x34, 0x12})}, 0, 0, 0, 2, "00 00 34 12 EE EE", {}, 1, 0, 0, 0x1234},
        {"a text is taken as it comes", "10_", 0, 10, kNothing, {Frame(2, 0x20, {'v', 'R', '2', 0})}, 0, 0, 0, 1,
         "52 32 00 00 EE EE", {}, 0, 0, 0, kNothing},
        {"a block is taken as it comes", "07_020001", 7, 1, kNothing, {block}, 0, 0, 0, 1, "05 00 00 80 EE EE", {},
         0, 0, 0, kNothing},
    };
    for (const Case& c : cases) {
        fake_comm::Reset();
        KestraClear();
        const bool isBlock = c.address[2] == '_' && strlen(c.address) == 9;
        auto gate = MakeGate(c.address, isBlock ? 20 : 0, c.argB, c.argC);
        gate->point.count = 2;
        gate->channel.instanceNumber = 3;
        StartValueMemory(&gate->channel);
        gate->channel.line.changesUnconfirmed = c.unconfirmed;
        gate->channel.line.readRetriesPlus1 = c.retriesPlus1;
        const uint64_t key = RememberedGate(&gate->point);
        if (c.remembered != kNothing) RememberValue(&gate->channel, key, static_cast<uint16_t>(c.remembered));
        for (const Bytes& answer : c.answers) Spoiled(gate->Port(), answer, 1, isBlock);
        const int32_t status = isBlock ? BlockRead(&gate->request) : SingleRead(&gate->request);
        ExpectRequest(*gate, status, c.status, c.sessions, c.head, c.log, c.what);
        const LineCounters& total = gate->channel.health.total;
        EXPECT_EQ(uint64_t{total.readsConfirmed}, c.confirmed) << c.what;
        EXPECT_EQ(uint64_t{total.disagreements}, c.disagreements) << c.what;
        EXPECT_EQ(uint64_t{total.readsNotConfirmed}, c.notConfirmed) << c.what;
        const uint16_t after = gate->Word(2);
        EXPECT_EQ(RecallValue(&gate->channel, key, c.rememberedAfter == kNothing ? after
                                                                                  : static_cast<uint16_t>(c.rememberedAfter)),
                  c.rememberedAfter == kNothing ? Recall::Unknown : Recall::Same)
            << c.what;
        EndValueMemory(&gate->channel);
    }
}

// The memory of the values: another record finds nothing in it, the gates
// are told apart by their parameters, a full memory says so once and turns
// new gates away (each read of them is then asked twice), a restart forgets.
TEST_F(PointRequests, TheValueMemoryKeepsEachGateOfItsOwnChannel) {
    auto gate = MakeGate("03_005", 0, 5, 3);
    auto stranger = MakeGate("03_005", 0, 5, 3);
    gate->channel.instanceNumber = stranger->channel.instanceNumber = 9;
    StartValueMemory(&gate->channel);
    const uint64_t zone5 = RememberedGate(&gate->point);
    EXPECT_TRUE(RememberValue(&gate->channel, zone5, 0x0001));
    EXPECT_EQ(RecallValue(&gate->channel, zone5, 0x0001), Recall::Same);
    EXPECT_EQ(RecallValue(&gate->channel, zone5, 0x0101), Recall::Changed);
    EXPECT_EQ(RecallValue(&stranger->channel, zone5, 0x0001), Recall::Unknown);
    EXPECT_FALSE(RememberValue(&stranger->channel, zone5, 0x0001));

    auto group5 = MakeGate("05_005", 0, 5, 5);
    auto point = MakeGate("07_001005", 1, 7, 5);
    EXPECT_NE(RememberedGate(&group5->point), zone5);
    EXPECT_NE(RememberedGate(&point->point), 0u);
    EXPECT_EQ(RecallValue(&gate->channel, RememberedGate(&group5->point), 0x0001), Recall::Unknown);

    for (uint16_t p = 0; p < kRememberedGates - 1; ++p) {
        ASSERT_TRUE(RememberValue(&gate->channel, RememberedGate(&MakeGate("07_", 2, 7, p)->point), p)) << p;
    }
    const uint64_t oneTooMany = RememberedGate(&MakeGate("07_", 3, 7, 0)->point);
    EXPECT_FALSE(RememberValue(&gate->channel, oneTooMany, 1));
    EXPECT_FALSE(RememberValue(&gate->channel, oneTooMany, 1));
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"VpiSK01: more than 512 gates with a value read on this channel: a "
                                                    "read of the others is always asked twice"}));
    EXPECT_EQ(RecallValue(&gate->channel, zone5, 0x0001), Recall::Same);  // what it holds stays

    ForgetValues(&gate->channel);
    EXPECT_EQ(RecallValue(&gate->channel, zone5, 0x0001), Recall::Unknown);
    EXPECT_TRUE(RememberValue(&gate->channel, oneTooMany, 1));
    EndValueMemory(&gate->channel);
    EXPECT_EQ(RecallValue(&gate->channel, oneTooMany, 1), Recall::Unknown);
}

// A dead line: after three requests in a row without an announce answer,
// reads fail at once (nothing sent, nothing logged) but one every
// line_retry_s, and writes always go out; the first answered announce ends it.
TEST_F(PointRequests, ADeadLineFailsReadsAtOnceUntilTheGatewayAnswers) {
    auto gate = MakeGate("01_", 0, 0, 1);
    auto write = MakeGate("13_", 0, 0, 13);
    memcpy(gate->channel.portDesc.portName, "COM5", 5);
    const Handle port = gate->Port();
    const std::string down =
        "VpiSK01: COM5 line down: the gateway has not answered 3 requests in a row; reads fail at once, the line is "
        "tried again every 10 s";
    for (int i = 0; i < 3; ++i) EXPECT_EQ(SingleRead(&gate->request), 1);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"TEMP_ERROR 2 @@@@", "TEMP_ERROR 2 @@@@", "TEMP_ERROR 2 @@@@",
                                                    down}));
    KestraClear();
    const size_t written = fake_comm::Writes(port).size();
    const uint64_t wentDown = fake_comm::NowMs();
    for (int i = 0; i < 4; ++i) EXPECT_EQ(SingleRead(&gate->request), 1);
    EXPECT_EQ(fake_comm::Writes(port).size(), written);  // not a byte
    EXPECT_EQ(fake_comm::NowMs(), wentDown);             // at once
    EXPECT_TRUE(LogLines().empty());
    EXPECT_EQ(Hex(Bytes(gate->value, gate->value + 6)), "00 00 00 00 EE EE");

    // The operator's write goes to the line, down or not.
    write->channel = gate->channel;
    write->request.channel = &gate->channel;
    gate->channel.valueHead = write->value;
    EXPECT_EQ(SingleWrite(&write->request), 1);
    EXPECT_EQ(Announces(port), 3u * 7 + 7);
    KestraClear();

    // line_retry_s later one read tries the line, still dead: the next try
    // is line_retry_s after that one ended.
    CommSleep(10000);
    EXPECT_EQ(SingleRead(&gate->request), 1);
    EXPECT_EQ(Announces(port), 4u * 7 + 7);
    CommSleep(9000);
    EXPECT_EQ(SingleRead(&gate->request), 1);
    EXPECT_EQ(Announces(port), 4u * 7 + 7);
    KestraClear();
    // And then the gateway is back.
    CommSleep(1000);
    Cooperative(port, Frame(2, 0x20, {'s', 0x34, 0x12}));
    EXPECT_EQ(SingleRead(&gate->request), 0);
    EXPECT_EQ(Hex(Bytes(gate->value, gate->value + 6)), "00 00 34 12 EE EE");
    const uint64_t downFor = (fake_comm::NowMs() - 50 - wentDown) / 1000;
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"VpiSK01: COM5 line up again after " + std::to_string(downFor) +
                                                    " s; 5 reads failed at once meanwhile"}));
    const LineCounters& total = gate->channel.health.total;
    EXPECT_EQ(uint64_t{total.readsFailed[kFailAtOnce]}, 5u);
    EXPECT_EQ(uint64_t{total.readsFailed[kFailNoAnnounce]}, 4u);
    EXPECT_EQ(uint64_t{total.writesFailed[kFailNoAnnounce]}, 1u);
    EXPECT_GE(uint64_t{total.downMs}, 10000u);
}

TEST_F(PointRequests, LineDownAfterZeroKeepsEveryReadOnTheLine) {
    auto gate = MakeGate("01_", 0, 0, 1);
    gate->channel.line.lineDownAfterPlus1 = 1;
    for (int i = 0; i < 5; ++i) EXPECT_EQ(SingleRead(&gate->request), 1);
    EXPECT_EQ(Announces(gate->Port()), 5u * 7);
    EXPECT_EQ(LogLines().size(), 5u);
}

// The counters line on the first request after stats_minutes, with what
// the period counted, and none when the setting is 0.
TEST_F(PointRequests, TheCountersLineComesOnTheFirstRequestAfterItsPeriod) {
    for (const uint16_t minutesPlus1 : {uint16_t{2}, uint16_t{1}}) {
        fake_comm::Reset();
        KestraClear();
        auto gate = MakeGate("01_", 0, 0, 1);
        memcpy(gate->channel.portDesc.portName, "COM5", 5);
        gate->channel.line.statsMinutesPlus1 = minutesPlus1;
        gate->channel.health.periodStartMs = fake_comm::NowMs();
        Bytes badCrc = Frame(2, 0x20, {'s', 0x34, 0x12});
        badCrc.back() ^= 0x01;
        Spoiled(gate->Port(), badCrc, 1);
        Cooperative(gate->Port(), Frame(2, 0x20, {'s', 0x34, 0x12}));
        EXPECT_EQ(SingleRead(&gate->request), 0);
        CommSleep(60000);
        Cooperative(gate->Port(), Frame(2, 0x20, {'s', 0x34, 0x12}));
        EXPECT_EQ(SingleRead(&gate->request), 0);
        const std::vector<std::string> expected =
            minutesPlus1 == 1 ? std::vector<std::string>{}
                              : std::vector<std::string>{"VpiSK01: COM5 last 1 min: 1 reads 1 good (1 after a retry); "
                                                         "0 writes 0 good; line down 0 s; 88 bytes in, 78 out"};
        EXPECT_EQ(LogLines(), expected);
        EXPECT_EQ(uint64_t{gate->channel.health.period.reads}, minutesPlus1 == 1 ? 2u : 1u);
        EXPECT_EQ(uint64_t{gate->channel.health.total.reads}, 2u);
    }
}

// What the counters line says of confirmations, disagreements and reads
// no two answers agreed on.
TEST(LineCountersText, ConfirmationsAndDisagreements) {
    struct Case {
        uint64_t afterRetry, confirmed, disagreements, notConfirmed, crc;
        const char* reads;
    } cases[] = {
        {0, 0, 0, 0, 0, "10 reads 10 good; "},
        {2, 3, 0, 0, 0, "10 reads 10 good (2 after a retry, 3 confirmed); "},
        {0, 3, 1, 0, 0, "10 reads 10 good (3 confirmed), 1 disagreement; "},
        {0, 0, 4, 1, 1, "10 reads 8 good, 2 failed (CRC 1, not confirmed 1), 4 disagreements; "},
    };
    for (const Case& c : cases) {
        LineCounters counters{};
        counters.reads = 10;
        counters.readsGood = 10 - c.notConfirmed - c.crc;
        counters.readsGoodAfterRetry = c.afterRetry;
        counters.readsConfirmed = c.confirmed;
        counters.disagreements = c.disagreements;
        counters.readsNotConfirmed = c.notConfirmed;
        counters.readsFailed[kFailCrc] = c.crc;
        char text[256];
        FormatLineCounters(counters, text, sizeof text);
        EXPECT_EQ(std::string(text), std::string(c.reads) + "0 writes 0 good; line down 0 s; 0 bytes in, 0 out");
    }
}

TEST_F(PointRequests, SingleWriteRunsASingleSessionEvenAfterABlockRead) {
    auto block = MakeGate("07_020001", 20, 7, 1, gwtest::PortHandle(0x400));
    CooperativeBlock(block->Port(), Frame(2, 0x20, {'p'}));
    EXPECT_EQ(BlockRead(&block->request), 0);

    // A write of 11_003004 with its second parameter: the block path would send 0 for it.
    auto gate = MakeGate("11_003004", 0, 3 + (4 << 16), 11);
    Cooperative(gate->Port(), Frame(2, 0x20, {'B', 0x00}));
    EXPECT_EQ(SingleWrite(&gate->request), 0);
    const auto writes = fake_comm::Writes(gate->Port());
    ASSERT_EQ(writes.size(), 4u);
    EXPECT_EQ(Hex(Bytes(writes[1].begin() + 7, writes[1].end() - 2)), "42 03 00 04 00");
    EXPECT_EQ(Hex(writes[2]), "55 AA 55 AA 02 22 01 06 44 63");
    EXPECT_EQ(Hex(writes[3]), "55 AA 55 AA 02 33 00 42 13");
    EXPECT_EQ(Hex(Bytes(gate->value, gate->value + 4)), "EE EE EE EE");
    EXPECT_EQ(fake_comm::NowMs(), 4000u);  // the block's window; the write's answer ends with its frame, no pause
}

TEST_F(PointRequests, SingleWriteReportsAWriteTheGatewayNeverConfirmed) {
    const std::string noFrame = "VpiSK01: GatewayTransaction() fail, no answer frame (addr = '13_')";
    struct Case {
        const char* what;
        std::vector<Bytes> answers;
        int32_t result;
        std::vector<std::string> log;
    } cases[] = {
        {"confirmed", {gwtest::AnnounceReply(), Frame(2, 0x20, {'D', 0x00})}, 0, {}},
        {"announce never answered", {}, 1, {"TEMP_ERROR 2 @@@@"}},
        {"silent after the announce", {gwtest::AnnounceReply()}, 1, {noFrame}},
        {"answer without sync", {gwtest::AnnounceReply(), gwtest::Text("NAK")}, 1, {noFrame}},
        {"refused by the panel (NAK)", {gwtest::AnnounceReply(), Frame(2, 0x20, {'D', 0x15})}, 1,
         {"VpiSK01: SingleWrite() fail, the panel refused it (addr = '13_')"}},
    };
    for (const Case& c : cases) {
        fake_comm::Reset();
        KestraClear();
        auto gate = MakeGate("13_", 0, 0, 13);
        for (const Bytes& b : c.answers) fake_comm::Answer(gate->Port(), b);
        EXPECT_EQ(SingleWrite(&gate->request), c.result) << c.what;
        EXPECT_EQ(LogLines(), c.log) << c.what;
    }
}

TEST_F(PointRequests, DateWriteThenDateRead) {
    auto write = MakeGate("15_", 0, 0, 15);
    strcpy(reinterpret_cast<char*>(write->value), "07/12/2026 22:28:10");
    Cooperative(write->Port(), Frame(2, 0x20, {'Y', 0x00}));
    EXPECT_EQ(SingleWrite(&write->request), 0);
    EXPECT_EQ(Hex(fake_comm::Writes(write->Port())[1]),
              "55 AA 55 AA 02 11 0D 59 0A 00 1C 00 16 00 07 00 0C 00 7E 00 D4 9E");
    EXPECT_STREQ(reinterpret_cast<const char*>(write->value), "07/12/2026 22:28:10");

    fake_comm::Reset();
    auto read = MakeGate("09_", 0, 0, 9);
    read->point.valueKind = 7;
    Cooperative(read->Port(), Frame(2, 0x20, {'i', 10, 0, 28, 0, 22, 0, 7, 0, 12, 0, 126, 0}));
    EXPECT_EQ(SingleRead(&read->request), 0);
    EXPECT_EQ(read->TextValue(), "07/12/2026 22:28:10");
}

TEST_F(PointRequests, NullAddressOrValueIsRefusedBeforeAnythingIsDone) {
    struct Case {
        const char* what;
        int32_t (*request)(VpiRequest*);
        bool nullAddress;
        const char* message;
    } cases[] = {
        {"read, address", SingleRead, true, "VpiSK01: SingleRead() fail, null address pointer"},
        {"read, value", SingleRead, false, "VpiSK01: SingleRead() fail, null value pointer (addr = '01_')"},
        {"block, address", BlockRead, true, "VpiSK01: BlockRead() fail, null address pointer"},
        {"block, value", BlockRead, false, "VpiSK01: BlockRead() fail, null value pointer (addr = '01_')"},
        {"write, address", SingleWrite, true, "VpiSK01: SingleWrite() fail, null address pointer"},
        {"write, value", SingleWrite, false, "VpiSK01: SingleWrite() fail, null value pointer (addr = '01_')"},
    };
    for (Handle port : {gwtest::PortHandle(), NoPort()}) {
        for (const Case& c : cases) {
            fake_comm::Reset();
            KestraClear();
            auto gate = MakeGate("01_", 0, 0, 11, port);
            gate->channel.valueTail = nullptr;
            if (c.nullAddress) {
                gate->point.address = nullptr;
            } else {
                gate->point.value = nullptr;
            }
            EXPECT_EQ(c.request(&gate->request), 1) << c.what;
            EXPECT_EQ(LogLines(), std::vector<std::string>{c.message}) << c.what;
            EXPECT_TRUE(fake_comm::Events(port).empty()) << c.what;
            EXPECT_EQ(static_cast<uint8_t*>(gate->channel.valueTail), static_cast<uint8_t*>(nullptr)) << c.what;
            EXPECT_EQ(gate->value[0], 0xEE) << c.what;
        }
    }
}

TEST_F(PointRequests, ARequestWithoutACommandRowSendsNothing) {
    auto gate = MakeGate("16_", 0, 0, 1);
    EXPECT_EQ(SingleRead(&gate->request), 1);
    EXPECT_EQ(LogLines(), std::vector<std::string>{"TEMP_ERROR 1 @@@@"});
    EXPECT_TRUE(fake_comm::Writes(gate->Port()).empty());
}

// A gateway that answers whatever it is sent, as a cooperative one does.
void PlayGateway(Handle port, Bytes answer) {
    fake_comm::OnWrite(port, [answer](const Bytes& written, Bytes& input) {
        if (written == gwtest::Text("SK GATEWAY")) {
            const Bytes a = gwtest::AnnounceReply();
            input.insert(input.end(), a.begin(), a.end());
        } else if (written.size() > 5 && written[5] == 0x11) {
            input.insert(input.end(), answer.begin(), answer.end());
        } else if (written.size() == 9 && (written[5] >> 4) == 2) {
            const Bytes a = gwtest::ZlzReply(0x32);
            input.insert(input.end(), a.begin(), a.end());
        } else if (written.size() == 10) {
            const Bytes a = gwtest::EosReply(0x43);
            input.insert(input.end(), a.begin(), a.end());
        } else {
            const Bytes a = gwtest::GoodByeReply(0x54);
            input.insert(input.end(), a.begin(), a.end());
        }
    });
}

TEST_F(PointRequests, TwoChannelsOnTwoThreadsKeepTheirOwnSessions) {
    fake_comm::RealDelayPerRead(300);
    auto block = MakeGate("07_020001", 20, 7, 1, gwtest::PortHandle(0x501));
    block->point.count = 2;
    auto single = MakeGate("07_002003", 2, 7, 3, gwtest::PortHandle(0x502));
    // The fake clock is the whole process's: the other thread's waits would
    // end this one's frame read early. Its answer is read for its window.
    single->channel.line.answerEndWindow = 1;
    PlayGateway(block->Port(), Frame(2, 0x20, {'p', 0x14, 0, 0, 0, 0, 0, 0, 0, 0x05, 0, 0, 0, 0x80, 0, 0, 0}));
    PlayGateway(single->Port(), Frame(2, 0x30, {'p', 2, 0, 3, 0, 0, 0, 0, 0, 0x99, 0x01}));

    int32_t blockResult = -1, singleResult = -1;
    for (int round = 0; round < 5; ++round) {
        std::thread a([&] { blockResult = BlockRead(&block->request); });
        std::thread b([&] { singleResult = SingleRead(&single->request); });
        a.join();
        b.join();
        EXPECT_EQ(blockResult, 0);
        EXPECT_EQ(singleResult, 0);
    }
    EXPECT_EQ(Hex(Bytes(block->value, block->value + 4)), "05 00 00 80");
    EXPECT_EQ(single->Word(2), 0x0199);

    const auto blockWrites = fake_comm::Writes(block->Port());
    const auto singleWrites = fake_comm::Writes(single->Port());
    ASSERT_EQ(blockWrites.size(), 5u * 5);
    ASSERT_EQ(singleWrites.size(), 4u * 5);
    for (int round = 0; round < 5; ++round) {
        const Bytes* b = &blockWrites[5 * round];
        EXPECT_EQ(Hex(b[0]), "53 4B 20 47 41 54 45 57 41 59");
        EXPECT_EQ(Hex(b[1]), "55 AA 55 AA 02 11 05 70 14 00 00 00 B1 8E");
        EXPECT_EQ(Hex(b[2]), "55 AA 55 AA 02 22 00 42 02");
        EXPECT_EQ(Hex(b[3]), "55 AA 55 AA 02 33 01 06 54 61");
        EXPECT_EQ(Hex(b[4]), "55 AA 55 AA 02 44 00 42 64");
        const Bytes* s = &singleWrites[4 * round];
        EXPECT_EQ(Hex(s[1]), "55 AA 55 AA 02 11 05 70 02 00 03 00 " +
                                 Hex({s[1][12], s[1][13]}));  // p2 kept: a single session
        EXPECT_EQ(Hex(s[2]), "55 AA 55 AA 02 22 01 06 44 63");
        EXPECT_EQ(Hex(s[3]), "55 AA 55 AA 02 33 00 42 13");
    }
    EXPECT_TRUE(LogLines().empty());
}

}  // namespace
