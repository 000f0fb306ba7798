// Address parsing through VpiMain of the real SK5820.dll, under Wine, with
// the stand-in host log: every refusal line once, the slot words the host
// keeps, and parses from several host threads at once.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/wine/support/driver.h"

namespace {

constexpr int32_t kOld = 0x5A5A5A5A;

class ParseAtBoundary : public ::testing::Test {
protected:
    void SetUp() override {
        // The parsers read only the channel's name: no start, no port.
        memset(&channel_, 0xCD, sizeof channel_);
        strcpy(channel_.name, "VpiSK07");
        KestraClear();
    }

    GateRecord Gate(const char* address, int32_t gateType) {
        GateRecord gate;
        memset(&gate, 0xA5, sizeof gate);
        gate.address = address;
        gate.gateType = gateType;
        gate.slotA = gate.slotB = gate.slotC = kOld;
        gate.valueKind = gate.count = kOld;
        return gate;
    }

    VpiChannel channel_;
};

struct Refusal {
    int32_t function;
    const char* address;  // null: no text
    int32_t gateType;
    const char* line;
};

TEST_F(ParseAtBoundary, EveryRefusalLineOnce) {
    const Refusal cases[] = {
        {3, "07-001", 0, "VpiSK07: SingleParser() fail, on CheckValidGas (addr = '07-001')"},
        {3, "16_", 0, "VpiSK07: SingleParser() fail, on max number of commands (addr = '16_')"},
        {3, "03_000", 0, "VpiSK07: SingleParser() fail, param1 can't be 0 (addr = '03_000')"},
        {3, "03_01", 0, "VpiSK07: SingleParser() fail, length/format error (addr = '03_01')"},
        {3, "07_005", 0, "VpiSK07: SingleParser() fail, wronge num. of params. (addr = '07_005')"},
        {3, "01_", 7, "VpiSK07: SingleParser() fail, wronge gateType (addr = '01_')"},
        {4, "03-001", 0, "VpiSK07: BlockAddressParser() fail, on CheckValidGas (addr = '03-001')"},
        {4, "16_001", 0, "VpiSK07: BlockAddressParser() fail, on max number of commands (addr = '16_001')"},
        {4, "08_001001", 0,
         "VpiSK07: BlockAddressParser() fail, block not support by this command: 8 (addr = '08_001001')"},
        {4, "03_002", 0, "VpiSK07: BlockAddressParser() fail, param1 must be 0 (addr = '03_002')"},
        {4, "07_020000", 0, "VpiSK07: BlockAddressParser() fail, param2 must be 0 (addr = '07_020000')"},
        {4, "5", 0, "VpiSK07: BlockAddressParser() fail, length/format error (addr = '5')"},
        // The host's own text, not the upper-cased copy.
        {3, "03_01a", 0, "VpiSK07: SingleParser() fail, on CheckValidGas (addr = '03_01a')"},
        // Too long for the work text.
        {3, "07_0050100", 0, "VpiSK07: SingleParser() fail, length/format error (addr = '07_0050100')"},
        {4, "07_0200010", 0, "VpiSK07: BlockAddressParser() fail, length/format error (addr = '07_0200010')"},
        // No text at all counts as an empty one.
        {3, nullptr, 0, "VpiSK07: SingleParser() fail, on max number of commands (addr = '')"},
        {4, nullptr, 0, "VpiSK07: BlockAddressParser() fail, length/format error (addr = '')"},
    };
    for (const Refusal& c : cases) {
        KestraClear();
        GateRecord gate = Gate(c.address, c.gateType);
        EXPECT_EQ(CallVpi(c.function, &channel_, &gate), 1) << c.line;
        EXPECT_EQ(LogLines(), std::vector<std::string>{c.line});
        EXPECT_EQ(gate.slotA, 0) << c.line;
        EXPECT_EQ(gate.valueKind, 255) << c.line;
        EXPECT_EQ(gate.count, 16) << c.line;
    }
}

struct Accept {
    int32_t function;
    const char* address;
    int32_t gateType;
    int32_t slotA, slotB, slotC;
};

TEST_F(ParseAtBoundary, SlotWordsTheHostKeeps) {
    const Accept cases[] = {
        {3, "07_005010", 0, 5, 7, 10},              // command 7: parameters in separate words
        {3, "08_001002", 7, 0, 0x00020001, 8},      // packed: p1 low, p2 high
        {3, "11_999999", 0, 0, 0x03E703E7, 11},
        {3, "03_012", 0, 0, 12, 3},
        {3, "15_", 7, 0, 0, 15},
        {4, "03_001", 6, 0, 3, 1},
        {4, "07_020001", 0, 20, 7, 1},
    };
    for (const Accept& c : cases) {
        GateRecord gate = Gate(c.address, c.gateType);
        EXPECT_EQ(CallVpi(c.function, &channel_, &gate), 0) << c.address;
        unsigned char bytes[sizeof gate];
        memcpy(bytes, &gate, sizeof gate);
        // The host reads the words at offsets 16, 20, 24, 28, 32, little-endian.
        auto word = [&bytes](size_t at) {
            return static_cast<int32_t>(static_cast<uint32_t>(bytes[at]) | static_cast<uint32_t>(bytes[at + 1]) << 8 |
                                        static_cast<uint32_t>(bytes[at + 2]) << 16 |
                                        static_cast<uint32_t>(bytes[at + 3]) << 24);
        };
        EXPECT_EQ(word(offsetof(GateRecord, slotA)), c.slotA) << c.address;
        EXPECT_EQ(word(offsetof(GateRecord, slotB)), c.slotB) << c.address;
        EXPECT_EQ(word(offsetof(GateRecord, slotC)), c.slotC) << c.address;
        EXPECT_EQ(word(offsetof(GateRecord, valueKind)), 255) << c.address;
        EXPECT_EQ(word(offsetof(GateRecord, count)), 16) << c.address;
        EXPECT_EQ(word(offsetof(GateRecord, host4)), static_cast<int32_t>(0xA5A5A5A5u)) << c.address;
        EXPECT_EQ(word(offsetof(GateRecord, host12)), static_cast<int32_t>(0xA5A5A5A5u)) << c.address;
    }
    EXPECT_TRUE(LogLines().empty());
}

TEST_F(ParseAtBoundary, GateTypeSixWritesCountOneAndKindZeroThenFails) {
    GateRecord gate = Gate("03_012", 6);
    EXPECT_EQ(CallVpi(3, &channel_, &gate), 1);
    EXPECT_EQ(gate.count, 1);
    EXPECT_EQ(gate.valueKind, 0);
    EXPECT_EQ(gate.slotA, 0);
    EXPECT_EQ(gate.slotB, 0);
    EXPECT_EQ(LogLines(), std::vector<std::string>{"VpiSK07: SingleParser() fail, wronge gateType (addr = '03_012')"});
}

TEST_F(ParseAtBoundary, NullChannelOrGateIsRefusedBeforeTheParser) {
    GateRecord gate = Gate("03_012", 0);
    for (int32_t code : {3, 4}) {
        KestraClear();
        EXPECT_EQ(CallVpi(code, nullptr, &gate), 2);
        EXPECT_EQ(CallVpi(code, &channel_, nullptr), 2);
        EXPECT_EQ(LogLines(), (std::vector<std::string>{"Exited VpiMain() #3", "Exited VpiMain() #3"}));
    }
    EXPECT_EQ(gate.slotA, kOld);
}

struct ThreadJob {
    VpiChannel* channel;
    int32_t function;
    const char* address;
    int32_t gateType;
    int32_t result, slotA, slotB, slotC;
    int wrong;
};

constexpr int kRounds = 5000;

DWORD WINAPI RunJob(LPVOID argument) {
    auto* job = static_cast<ThreadJob*>(argument);
    for (int i = 0; i < kRounds; ++i) {
        GateRecord gate{};
        gate.address = job->address;
        gate.gateType = job->gateType;
        gate.slotC = kOld;
        if (CallVpi(job->function, job->channel, &gate) != job->result || gate.slotA != job->slotA ||
            gate.slotB != job->slotB || gate.slotC != job->slotC)
            ++job->wrong;
    }
    return 0;
}

TEST_F(ParseAtBoundary, ParsesFromSeveralHostThreadsAtOnce) {
    ThreadJob jobs[] = {
        {&channel_, 3, "07_005010", 0, 0, 5, 7, 10, 0},
        {&channel_, 3, "08_001002", 7, 0, 0, 0x00020001, 8, 0},
        {&channel_, 4, "07_020001", 0, 0, 20, 7, 1, 0},
        {&channel_, 3, "03_01", 0, 1, 0, 0, kOld, 0},
    };
    HANDLE threads[4];
    for (int i = 0; i < 4; ++i) {
        threads[i] = CreateThread(nullptr, 0, RunJob, &jobs[i], 0, nullptr);
        ASSERT_NE(threads[i], nullptr);
    }
    EXPECT_EQ(WaitForMultipleObjects(4, threads, TRUE, 120000), WAIT_OBJECT_0);
    for (HANDLE t : threads) CloseHandle(t);
    for (const ThreadJob& job : jobs) EXPECT_EQ(job.wrong, 0) << job.address;
    EXPECT_EQ(KestraCount(), kRounds);
    KestraClear();
}

}  // namespace
