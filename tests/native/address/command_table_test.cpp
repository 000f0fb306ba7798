// The command table, the upper-casing copy, the alphabet check and the
// decimal conversion, each against buffers sized exactly so that ASan sees
// any access past them.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "address/command_table.h"

namespace {

// A heap block of exactly `size` bytes holding `bytes`: reading or writing
// one byte past it is an ASan report.
std::unique_ptr<char[]> Exact(const std::string& bytes) {
    std::unique_ptr<char[]> block(new char[bytes.size()]);
    memcpy(block.get(), bytes.data(), bytes.size());
    return block;
}

TEST(CommandTable, EveryCommandHasItsOwnRowAndNoOtherNumberHasOne) {
    for (uint32_t c = 1; c <= 15; ++c) {
        const CommandEntry* row = CommandRow(c);
        ASSERT_NE(row, nullptr) << c;
        EXPECT_EQ(row, &CommandTable[c - 1]) << c;
        EXPECT_EQ(row->number, static_cast<int32_t>(c));
    }
    for (uint32_t c : {0u, 16u, 99u, 208u, 2288u, 65535u, 0x80000000u, UINT32_MAX}) EXPECT_EQ(CommandRow(c), nullptr) << c;
}

TEST(CommandTable, LettersParameterCountsAndGateTypesInCommandOrder) {
    // The letters go on the wire in the request frame; one string per column
    // keeps a slip in any row visible.
    std::string letters, params, types;
    for (uint32_t c = 1; c <= 15; ++c) {
        letters += CommandRow(c)->code;
        params += static_cast<char>('0' + CommandRow(c)->paramCount);
        types += static_cast<char>('0' + CommandRow(c)->gateType);
    }
    EXPECT_EQ(letters, "stz|ghpqivBUDIY");
    EXPECT_EQ(params, "001111220022000");
    EXPECT_EQ(types, "000707077700007");
    // Command 1 sends 0x73 ("s"), as in the single read of 01_.
    EXPECT_EQ(static_cast<uint8_t>(CommandRow(1)->code), 0x73);
    EXPECT_EQ(static_cast<uint8_t>(CommandRow(4)->code), 124);
}

TEST(ValidGasSets, DigitsUnderscoreDigits) {
    for (int i = 0; i < kAddressPositions; ++i)
        EXPECT_STREQ(ValidGasSets[i], i == 2 ? "_" : "0123456789") << "position " << i;
}

struct CopyCase {
    std::string address;
    std::string work;  // all 10 bytes expected in the work text
    uint32_t length;
};

TEST(CopyUpperAddress, ClearsThenCopiesThroughTheUpperCasingRule) {
    const CopyCase cases[] = {
        {"", std::string(10, '\0'), 0},
        {"07_001002", std::string("07_001002") + '\0', 9},
        {"03_01a", std::string("03_01A") + std::string(4, '\0'), 6},
        {"az", std::string("AZ") + std::string(8, '\0'), 2},
        // 96 stays; 123..127 drop by 32, so 127 becomes "_".
        {"`{|}~\x7f", std::string("`[\\]^_") + std::string(4, '\0'), 6},
        {"03\x7f" "012", std::string("03_012") + std::string(4, '\0'), 6},
        // 128..255 are negative as signed 8-bit and stay as they are.
        {"\x80\xc1\xe1\xff", std::string("\x80\xc1\xe1\xff") + std::string(6, '\0'), 4},
        {"AZ_09 -", std::string("AZ_09 -") + std::string(3, '\0'), 7},
        // Longer texts: nine places copied, the tenth stays the terminator,
        // the whole length is reported.
        {"03_0120000", std::string("03_012000") + '\0', 10},
        {std::string(64, 'q'), std::string(9, 'Q') + '\0', 64},
    };
    for (const CopyCase& c : cases) {
        std::unique_ptr<char[]> block(new char[kWorkTextSize]);
        memset(block.get(), 'X', kWorkTextSize);
        auto& work = *reinterpret_cast<char (*)[kWorkTextSize]>(block.get());
        const std::string text = c.address + '\0';
        auto address = Exact(text);
        EXPECT_EQ(CopyUpperAddress(work, address.get()), c.length) << c.address;
        EXPECT_EQ(std::string(work, kWorkTextSize), c.work) << c.address;
    }
}

TEST(CopyUpperAddress, NullTextLeavesAClearedWorkText) {
    char work[kWorkTextSize];
    memset(work, 'X', sizeof work);
    EXPECT_EQ(CopyUpperAddress(work, nullptr), 0u);
    EXPECT_EQ(std::string(work, sizeof work), std::string(10, '\0'));
}

struct GasCase {
    std::string text;
    int firstBad;  // position of the first refused character, -1 when none
};

TEST(CheckValidGas, RefusesAtTheFirstCharacterOutsideItsPositionSet) {
    const GasCase cases[] = {
        {"07_001002", -1}, {"03_999", -1}, {"15_", -1}, {"", -1}, {"07", -1}, {"99_999999", -1},
        {"07-001", 2},     {"7_001", 1},   {"03_01A", 5}, {"_", 0}, {"A", 0}, {"00__", 3},
        {"0", -1},         {"12_34567_", 8}, {" 1_", 0}, {"01_\x80", 3},
    };
    for (const GasCase& c : cases) {
        // Every prefix up to the bad place passes, every longer one fails.
        for (size_t k = 0; k <= c.text.size(); ++k) {
            auto text = Exact(c.text.substr(0, k) + '\0');
            const int32_t expected = (c.firstBad >= 0 && static_cast<int>(k) > c.firstBad) ? 1 : 0;
            EXPECT_EQ(CheckValidGas(text.get(), ValidGasSets), expected) << '"' << c.text << "\" prefix " << k;
        }
    }
}

TEST(CheckValidGas, TheUpperCasedCode127PassesAsTheUnderscore) {
    char work[kWorkTextSize];
    CopyUpperAddress(work, "15\x7f");
    EXPECT_EQ(CheckValidGas(work, ValidGasSets), 0);
    CopyUpperAddress(work, "03_01a");
    EXPECT_EQ(CheckValidGas(work, ValidGasSets), 1);
}

TEST(CheckValidGas, ATenthCharacterFitsNoSet) {
    // Nine digits-and-underscore characters pass; a tenth has no set.
    EXPECT_EQ(CheckValidGas(Exact(std::string("07_001002") + '\0').get(), ValidGasSets), 0);
    EXPECT_EQ(CheckValidGas(Exact(std::string("07_0010020") + '\0').get(), ValidGasSets), 1);
}

TEST(CheckValidGas, UsesTheTableItIsGiven) {
    const char* const letters[kAddressPositions] = {"AB", "AB", "AB", "AB", "AB", "AB", "AB", "AB", "AB"};
    EXPECT_EQ(CheckValidGas("ABBA", letters), 0);
    EXPECT_EQ(CheckValidGas("AB_", letters), 1);
    EXPECT_EQ(CheckValidGas("07_", letters), 1);
}

struct DecCase {
    std::string bytes;  // exactly the n characters read
    uint16_t value;
};

TEST(DecTextToWord, ReadsExactlyNCharactersModulo65536) {
    const DecCase cases[] = {
        {"07", 7},
        {"999", 999},
        {"15", 15},
        {"000", 0},
        {std::string("0\0", 2), 208},
        {std::string("5\0", 2), 258},
        {std::string("\0\0", 2), 2288},
        {"A", 10},
        {"Z", 35},
        {"1A", 20},
        {"99999", static_cast<uint16_t>(99999 % 65536)},
        {"65536", 0},
        {"65535", 65535},
        {"", 0},
        // 0xFF: 255 - 55 = 200.
        {"\xff", 200},
    };
    for (const DecCase& c : cases) {
        auto text = Exact(c.bytes);  // no terminator: reading n+1 bytes is an ASan report
        EXPECT_EQ(DecTextToWord(text.get(), static_cast<int>(c.bytes.size())), c.value) << c.bytes.size() << " bytes";
    }
}

TEST(DecTextToWord, DoesNotStopAtTheTerminator) {
    const char text[] = {'1', '2', '\0', '\0'};
    EXPECT_EQ(DecTextToWord(text, 2), 12);
    EXPECT_EQ(DecTextToWord(text, 3), 12 * 10 + 208);
    EXPECT_EQ(DecTextToWord(text + 1, 3), static_cast<uint16_t>((2 * 10 + 208) * 10 + 208));
}

}  // namespace
