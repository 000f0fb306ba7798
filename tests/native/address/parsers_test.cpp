// The two address parsers called directly, as the dispatch calls them: the
// slot words and value descriptors they leave in the gate record, the one
// log line of each refusal, and what they must not touch.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "address/parsers.h"
#include "tests/support/log_lines.h"

namespace {

// What the host had in the gate record before the parse.
constexpr int32_t kOld = 0x5A5A5A5A;
constexpr uint32_t kHostWord = 0xC3C3C3C3u;

struct GateInHost {
    GateRecord gate;
    unsigned char after[28];  // the host's bytes behind the record
};

using Parser = int32_t (*)(VpiRequest*);

struct Parsed {
    int32_t result;
    GateRecord gate;
    std::vector<std::string> log;
};

class Parsers : public ::testing::Test {
protected:
    void SetUp() override {
        memset(&channel_, 0xCD, sizeof channel_);
        strcpy(channel_.name, "VpiSK01");
        KestraClear();
    }

    // Parses `address` (null: no text) as a gate of `gateType`; the text sits
    // in a block of its exact size, the record among host bytes that must
    // stay as they were.
    Parsed Parse(Parser parser, const char* address, int32_t gateType, size_t length = std::string::npos) {
        std::unique_ptr<char[]> text;
        if (address != nullptr) {
            if (length == std::string::npos) length = strlen(address);
            text.reset(new char[length + 1]);
            memcpy(text.get(), address, length);
            text[length] = '\0';
        }
        GateInHost host;
        memset(&host, 0xA5, sizeof host);
        host.gate.address = text.get();
        host.gate.host4 = kHostWord;
        host.gate.gateType = gateType;
        host.gate.host12 = kHostWord;
        host.gate.slotA = host.gate.slotB = host.gate.slotC = kOld;
        host.gate.valueKind = host.gate.count = kOld;
        GateInHost before = host;
        VpiChannel channelBefore;
        memcpy(&channelBefore, &channel_, sizeof channel_);

        VpiRequest request{};
        request.channel = &channel_;
        request.function = parser == SingleParser ? 3 : 4;
        request.params = &host.gate;
        KestraClear();
        Parsed out{parser(&request), host.gate, LogLines()};

        EXPECT_EQ(host.gate.address, before.gate.address);
        EXPECT_EQ(host.gate.host4, kHostWord);
        EXPECT_EQ(host.gate.gateType, gateType);
        EXPECT_EQ(host.gate.host12, kHostWord);
        EXPECT_EQ(memcmp(host.after, before.after, sizeof host.after), 0) << "bytes behind the gate record";
        EXPECT_EQ(memcmp(&channel_, &channelBefore, sizeof channel_), 0) << "the channel record changed";
        if (address != nullptr) {
            EXPECT_EQ(memcmp(text.get(), address, length), 0) << "the host's text changed";
        }
        return out;
    }

    VpiChannel channel_;
};

std::string Line(const char* parser, const std::string& what, const std::string& address) {
    return std::string("VpiSK01: ") + parser + "() fail, " + what + " (addr = '" + address + "')";
}

// ---- SingleParser ----------------------------------------------------------

struct SingleAccept {
    const char* address;
    int32_t gateType;
    int32_t slotA, slotB, slotC;
};

TEST_F(Parsers, SingleAcceptsAndFillsTheSlotWords) {
    const SingleAccept cases[] = {
        {"03_012", 0, 0, 12, 3},
        {"08_001002", 7, 0, 1 + 65536 * 2, 8},
        {"07_005010", 0, 5, 7, 10},
        {"07_999000", 0, 999, 7, 0},
        {"07_000999", 0, 0, 7, 999},
        {"04_000", 7, 0, 0, 4},  // command 4 takes a parameter of 0
        {"06_000", 7, 0, 0, 6},
        {"05_001", 0, 0, 1, 5},
        {"03_999", 0, 0, 999, 3},
        {"01_", 0, 0, 0, 1},
        {"02_", 0, 0, 0, 2},
        {"09_", 7, 0, 0, 9},
        {"10_", 7, 0, 0, 10},
        {"11_999999", 0, 0, 999 + 65536 * 999, 11},
        {"12_000001", 0, 0, 65536, 12},
        {"13_", 0, 0, 0, 13},
        {"14_", 0, 0, 0, 14},
        {"15_", 7, 0, 0, 15},
        {"03\x7f" "012", 0, 0, 12, 3},  // code 127 upper-cases to "_"
    };
    for (const SingleAccept& c : cases) {
        const Parsed p = Parse(SingleParser, c.address, c.gateType);
        EXPECT_EQ(p.result, 0) << c.address;
        EXPECT_EQ(p.gate.slotA, c.slotA) << c.address;
        EXPECT_EQ(p.gate.slotB, c.slotB) << c.address;
        EXPECT_EQ(p.gate.slotC, c.slotC) << c.address;
        EXPECT_EQ(p.gate.valueKind, 255) << c.address;
        EXPECT_EQ(p.gate.count, 16) << c.address;
        EXPECT_TRUE(p.log.empty()) << c.address << ": " << (p.log.empty() ? "" : p.log[0]);
    }
}

struct SingleRefusal {
    const char* address;  // null: no text at all
    int32_t gateType;
    const char* message;
};

TEST_F(Parsers, SingleRefusesWithOneLineAndTheDefaults) {
    const SingleRefusal cases[] = {
        // The alphabet, checked on the upper-cased text; the line quotes the
        // host's own text.
        {"07-001", 0, "on CheckValidGas"},
        {"7_001", 0, "on CheckValidGas"},
        {"03_01a", 0, "on CheckValidGas"},
        {"0a_", 0, "on CheckValidGas"},
        {"01_ ", 0, "on CheckValidGas"},
        {"zz", 6, "on CheckValidGas"},
        // Command numbers above 15; one character or none reads the
        // terminator as a digit worth 208.
        {"16_", 0, "on max number of commands"},
        {"99_001002", 0, "on max number of commands"},
        {"5", 0, "on max number of commands"},
        {"1", 0, "on max number of commands"},
        {"0", 0, "on max number of commands"},
        {"", 0, "on max number of commands"},
        {"", 7, "on max number of commands"},
        {nullptr, 0, "on max number of commands"},
        // Parameter 0 for "z" and "g".
        {"03_000", 0, "param1 can't be 0"},
        {"05_000", 0, "param1 can't be 0"},
        {"05_000", 7, "param1 can't be 0"},
        // Lengths other than 3, 6 and 9, and texts too long for the work text.
        {"03_01", 0, "length/format error"},
        {"03_0123", 0, "length/format error"},
        {"03_", 0, "wronge num. of params."},
        {"07", 0, "length/format error"},
        {"15", 7, "length/format error"},
        {"03_0120000", 0, "length/format error"},
        {"07_001002x", 0, "length/format error"},
        {"AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA", 0, "length/format error"},
        // Parameter count; command 0 has no row and matches no count.
        {"07_005", 0, "wronge num. of params."},
        {"01_001", 0, "wronge num. of params."},
        {"03_001002", 0, "wronge num. of params."},
        {"00_", 0, "wronge num. of params."},
        {"00_000", 0, "wronge num. of params."},
        {"00_001002", 0, "wronge num. of params."},
        // Gate type.
        {"01_", 7, "wronge gateType"},
        {"09_", 0, "wronge gateType"},
        {"03_012", 6, "wronge gateType"},
        {"15_", 6, "wronge gateType"},
        {"07_005010", 1, "wronge gateType"},
        {"08_001002", -7, "wronge gateType"},
    };
    for (const SingleRefusal& c : cases) {
        const Parsed p = Parse(SingleParser, c.address, c.gateType);
        const std::string shown = c.address != nullptr ? c.address : "";
        EXPECT_EQ(p.result, 1) << shown;
        EXPECT_EQ(p.log, std::vector<std::string>{Line("SingleParser", c.message, shown)}) << shown;
        EXPECT_EQ(p.gate.slotA, 0) << shown;
        EXPECT_EQ(p.gate.slotB, 0) << shown;
        EXPECT_EQ(p.gate.slotC, kOld) << shown << ": slotC is written only on success";
        EXPECT_EQ(p.gate.valueKind, c.gateType == 6 ? 0 : 255) << shown;
        EXPECT_EQ(p.gate.count, c.gateType == 6 ? 1 : 16) << shown;
    }
}

TEST_F(Parsers, SingleChecksRunInOrderAndTheFirstFailureDecides) {
    // Each address fails two checks; the earlier one is reported.
    const SingleRefusal cases[] = {
        {"03_0a", 7, "on CheckValidGas"},         // alphabet before the length
        {"16_00", 7, "on max number of commands"}, // number before the length
        {"03_000", 7, "param1 can't be 0"},       // parameter before the gate type
        {"00_001", 7, "wronge num. of params."},  // count before the gate type
        {"07_005", 7, "wronge num. of params."},
        {"0A_", 0, "on CheckValidGas"},
        {"16_0000000", 0, "length/format error"},  // too long: refused before anything else
        {"xx_0000000", 0, "length/format error"},
    };
    for (const SingleRefusal& c : cases) {
        const Parsed p = Parse(SingleParser, c.address, c.gateType);
        EXPECT_EQ(p.result, 1) << c.address;
        EXPECT_EQ(p.log, std::vector<std::string>{Line("SingleParser", c.message, c.address)});
    }
}

TEST_F(Parsers, GateTypeSixGetsOneValueOfKindZeroButNoCommand) {
    for (const char* address : {"03_012", "01_", "07_005010", "09_"}) {
        const Parsed p = Parse(SingleParser, address, 6);
        EXPECT_EQ(p.result, 1);
        EXPECT_EQ(p.gate.count, 1);
        EXPECT_EQ(p.gate.valueKind, 0);
        EXPECT_EQ(p.log, std::vector<std::string>{Line("SingleParser", "wronge gateType", address)});
    }
}

TEST_F(Parsers, AnAddressWithAnEmbeddedTerminatorEndsThere) {
    // The host's text ends at its first NUL, whatever follows it.
    const Parsed p = Parse(SingleParser, "01_\0" "999", 0, 7);
    EXPECT_EQ(p.result, 0);
    EXPECT_EQ(p.gate.slotC, 1);
}

TEST_F(Parsers, ReparsingRewritesEveryOutputFromTheDefaults) {
    GateRecord gate{};
    gate.gateType = 0;
    VpiRequest request{};
    request.channel = &channel_;
    request.params = &gate;
    gate.address = "07_005010";
    ASSERT_EQ(SingleParser(&request), 0);
    gate.address = "03_012";
    ASSERT_EQ(SingleParser(&request), 0);
    EXPECT_EQ(gate.slotA, 0);
    EXPECT_EQ(gate.slotB, 12);
    EXPECT_EQ(gate.slotC, 3);
    gate.gateType = 6;
    EXPECT_EQ(SingleParser(&request), 1);
    gate.gateType = 0;
    ASSERT_EQ(SingleParser(&request), 0);
    EXPECT_EQ(gate.valueKind, 255);
    EXPECT_EQ(gate.count, 16);
}

// ---- BlockAddressParser ----------------------------------------------------

struct BlockAccept {
    const char* address;
    int32_t slotA, slotB;
};

TEST_F(Parsers, BlockAcceptsOnlyTheThreeBlockCommandsWithWhateverGateType) {
    const BlockAccept cases[] = {
        {"03_001", 0, 3},
        {"05_001", 0, 5},
        {"07_020001", 20, 7},
        {"07_000001", 0, 7},
        {"07_999001", 999, 7},
        {"03\x7f" "001", 0, 3},
    };
    for (const BlockAccept& c : cases) {
        for (int32_t gateType : {0, 6, 7, 12345, -1}) {
            const Parsed p = Parse(BlockAddressParser, c.address, gateType);
            EXPECT_EQ(p.result, 0) << c.address << " type " << gateType;
            EXPECT_EQ(p.gate.slotA, c.slotA) << c.address;
            EXPECT_EQ(p.gate.slotB, c.slotB) << c.address;
            EXPECT_EQ(p.gate.slotC, 1) << c.address;
            EXPECT_EQ(p.gate.valueKind, 255) << c.address << " type " << gateType;
            EXPECT_EQ(p.gate.count, 16) << c.address << " type " << gateType;
            EXPECT_TRUE(p.log.empty()) << c.address;
        }
    }
}

struct BlockRefusal {
    const char* address;
    std::string message;
    int32_t slotB;  // the command number, once it has been read
};

TEST_F(Parsers, BlockRefusesWithOneLineAndTheDefaults) {
    const std::string unsupported = "block not support by this command: ";
    const BlockRefusal cases[] = {
        {"03-001", "on CheckValidGas", 0},
        {"0a_001", "on CheckValidGas", 0},
        {"03_00a", "on CheckValidGas", 0},
        {"16_001", "on max number of commands", 16},
        {"99_", "on max number of commands", 99},
        {"16_0", "on max number of commands", 16},
        {"01_", unsupported + "1", 1},
        {"03_", unsupported + "3", 3},
        {"15_", unsupported + "15", 15},
        {"04_001", unsupported + "4", 4},
        {"06_001", unsupported + "6", 6},
        {"07_001", unsupported + "7", 7},
        {"08_001001", unsupported + "8", 8},
        {"03_001001", unsupported + "3", 3},
        {"11_001001", unsupported + "11", 11},
        {"00_", unsupported + "0", 0},
        {"00_001", unsupported + "0", 0},
        {"00_001001", unsupported + "0", 0},
        {"03_002", "param1 must be 0", 3},
        {"03_000", "param1 must be 0", 3},
        {"05_999", "param1 must be 0", 5},
        {"07_020000", "param2 must be 0", 7},
        {"07_020002", "param2 must be 0", 7},
        {"5", "length/format error", 5},
        {"07", "length/format error", 7},
        {"03_00", "length/format error", 3},
        {"03_0010", "length/format error", 3},
        {"", "length/format error", 0},
        {nullptr, "length/format error", 0},
        {"03_0010000", "length/format error", 0},
        {"07_0200010", "length/format error", 0},
        {"zzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzz", "length/format error", 0},
    };
    for (const BlockRefusal& c : cases) {
        const Parsed p = Parse(BlockAddressParser, c.address, 6);
        const std::string shown = c.address != nullptr ? c.address : "";
        EXPECT_EQ(p.result, 1) << shown;
        EXPECT_EQ(p.log, std::vector<std::string>{Line("BlockAddressParser", c.message, shown)}) << shown;
        EXPECT_EQ(p.gate.slotA, 0) << shown;
        EXPECT_EQ(p.gate.slotB, c.slotB) << shown;
        EXPECT_EQ(p.gate.slotC, kOld) << shown;
        EXPECT_EQ(p.gate.valueKind, 255) << shown;
        EXPECT_EQ(p.gate.count, 16) << shown;
    }
}

// ---- both ------------------------------------------------------------------

TEST_F(Parsers, TheLineQuotesTheChannelNameAndTheHostsOwnText) {
    strcpy(channel_.name, "VpiSK12");
    const Parsed single = Parse(SingleParser, "01_ab", 0);
    EXPECT_EQ(single.log, std::vector<std::string>{"VpiSK12: SingleParser() fail, on CheckValidGas (addr = '01_ab')"});
    const Parsed block = Parse(BlockAddressParser, "09_", 0);
    EXPECT_EQ(block.log, std::vector<std::string>{
                             "VpiSK12: BlockAddressParser() fail, block not support by this command: 9 (addr = '09_')"});
    // A long text is quoted whole, even though only nine characters were examined.
    const std::string longText = "07_0050100123456789";
    const Parsed over = Parse(SingleParser, longText.c_str(), 0);
    EXPECT_EQ(over.log, std::vector<std::string>{"VpiSK12: SingleParser() fail, length/format error (addr = '" +
                                                 longText + "')"});
}

TEST_F(Parsers, AChannelNameWithoutTerminatorIsQuotedOnlyToTheEndOfItsField) {
    memset(channel_.name, 'N', sizeof channel_.name);  // the bytes behind it are 0xCD
    const Parsed p = Parse(SingleParser, "16_", 0);
    EXPECT_EQ(p.log, std::vector<std::string>{std::string(31, 'N') +
                                              ": SingleParser() fail, on max number of commands (addr = '16_')"});
}

TEST_F(Parsers, EveryByteValueInEveryPlaceGivesOneAnswer) {
    // Every byte at each of the nine places of a valid text: the parse
    // either accepts with no line or refuses with exactly one.
    for (const char* base : {"07_005010", "03_001000", "15_"}) {
        const size_t length = strlen(base);
        for (size_t place = 0; place < length; ++place) {
            for (int b = 1; b < 256; ++b) {
                std::string text = base;
                text[place] = static_cast<char>(b);
                for (Parser parser : {SingleParser, BlockAddressParser}) {
                    const Parsed p = Parse(parser, text.c_str(), 0);
                    ASSERT_TRUE(p.result == 0 || p.result == 1);
                    ASSERT_EQ(p.log.size(), static_cast<size_t>(p.result)) << text;
                }
            }
        }
    }
}

TEST_F(Parsers, ParsesOnManyThreadsAtOnceDoNotDisturbEachOther) {
    // Each parse works on its own copy of the text: four threads parsing
    // different addresses side by side must each get their own answer.
    struct Job {
        const char* address;
        Parser parser;
        int32_t gateType;
        int32_t result, slotA, slotB, slotC;
    };
    const Job jobs[] = {
        {"07_005010", SingleParser, 0, 0, 5, 7, 10},
        {"08_001002", SingleParser, 7, 0, 0, 1 + 65536 * 2, 8},
        {"07_020001", BlockAddressParser, 0, 0, 20, 7, 1},
        {"03_01", SingleParser, 0, 1, 0, 0, kOld},
    };
    constexpr int kRounds = 20000;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (const Job& job : jobs) {
        threads.emplace_back([&wrong, &job, this] {
            for (int i = 0; i < kRounds; ++i) {
                GateRecord gate{};
                gate.address = job.address;
                gate.gateType = job.gateType;
                gate.slotC = kOld;
                VpiRequest request{};
                request.channel = &channel_;
                request.params = &gate;
                const int32_t result = job.parser(&request);
                if (result != job.result || gate.slotA != job.slotA || gate.slotB != job.slotB ||
                    gate.slotC != job.slotC)
                    ++wrong;
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(KestraCount(), kRounds);  // one line for each refusal of "03_01"
    const std::vector<std::string> lines = LogLines();
    for (const std::string& line : lines) ASSERT_EQ(line, Line("SingleParser", "length/format error", "03_01"));
    KestraClear();
}

}  // namespace
