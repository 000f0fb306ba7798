// The panel commands, the address alphabet and the text conversions.
#include "address/command_table.h"

#include <cstddef>

static_assert(sizeof(CommandEntry) == 16, "a row is four 32-bit words (the letter padded)");
static_assert(offsetof(CommandEntry, number) == 0);
static_assert(offsetof(CommandEntry, paramCount) == 4);
static_assert(offsetof(CommandEntry, gateType) == 8);
static_assert(offsetof(CommandEntry, code) == 12);

// Command c is row c - 1. Text commands (gate type 7): 4, 6, 8, 9, 10 read
// text from the panel, 15 sends the gate's text.
const CommandEntry CommandTable[kCommandCount] = {
    {1, 0, 0, 's'},  {2, 0, 0, 't'},  {3, 1, 0, 'z'},  {4, 1, 7, '|'},  {5, 1, 0, 'g'},
    {6, 1, 7, 'h'},  {7, 2, 0, 'p'},  {8, 2, 7, 'q'},  {9, 0, 7, 'i'},  {10, 0, 7, 'v'},
    {11, 2, 0, 'B'}, {12, 2, 0, 'U'}, {13, 0, 0, 'D'}, {14, 0, 0, 'I'}, {15, 0, 7, 'Y'},
};

const CommandEntry* CommandRow(uint32_t command) {
    if (command == 0 || command > kCommandCount) return nullptr;
    return &CommandTable[command - 1];
}

static const char kDigits[] = "0123456789";
static const char kUnderscore[] = "_";

const char* const ValidGasSets[kAddressPositions] = {
    kDigits, kDigits, kUnderscore, kDigits, kDigits, kDigits, kDigits, kDigits, kDigits,
};

// Codes from 97 up, read as signed 8-bit, drop by 32: "a".."z" become
// "A".."Z", 123..127 become 91..95 (127 turns into "_"); 128..255 are
// negative and stay as they are.
static char UpperAddressChar(char c) {
    const int8_t code = static_cast<int8_t>(c);
    if (code >= 97) return static_cast<char>(code - 32);
    return c;
}

uint32_t CopyUpperAddress(char (&work)[kWorkTextSize], const char* address) {
    for (char& c : work) c = '\0';
    if (address == nullptr) return 0;
    uint32_t length = 0;
    while (address[length] != '\0') {
        // The last place stays the terminator; a longer text is only counted.
        if (length < kWorkTextSize - 1) work[length] = UpperAddressChar(address[length]);
        ++length;
    }
    return length;
}

static bool InSet(char c, const char* set) {
    for (; *set != '\0'; ++set) {
        if (*set == c) return true;
    }
    return false;
}

int32_t CheckValidGas(const char* work, const char* const (&sets)[kAddressPositions]) {
    for (int i = 0; work[i] != '\0'; ++i) {
        // There is no set for a tenth place: such a character fits none.
        if (i >= kAddressPositions || !InSet(work[i], sets[i])) return 1;
    }
    return 0;
}

uint16_t DecTextToWord(const char* text, int n) {
    uint16_t value = 0;
    for (int i = 0; i < n; ++i) {
        const uint8_t code = static_cast<uint8_t>(text[i]);
        // Wraps modulo 256: NUL counts 208, "A" counts 10.
        const uint8_t digit = static_cast<uint8_t>(code <= 57 ? code - 48 : code - 55);
        value = static_cast<uint16_t>(value * 10u + digit);
    }
    return value;
}
