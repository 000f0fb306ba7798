// The panel commands a gate address can name, the address alphabet and the
// text conversions every address reader shares.
#pragma once

#include <cstdint>

struct CommandEntry {
    int32_t number;      // the command number, also the row's place
    int32_t paramCount;  // three-digit parameters the address carries: 0, 1 or 2
    int32_t gateType;    // host gate type for a single address: 0 number, 7 text
    char code;           // the panel's command letter
};

constexpr uint32_t kCommandCount = 15;
// Commands 11-15 make the panel act (bypass, unbypass, drill, reset, set the
// clock): they are written, never read.
constexpr uint16_t kFirstActionCommand = 11;
constexpr uint16_t kLastActionCommand = 15;
constexpr bool IsActionCommand(uint32_t command) {
    return command >= kFirstActionCommand && command <= kLastActionCommand;
}
extern const CommandEntry CommandTable[kCommandCount];

// The row of command c (1..15), or null: command 0 and numbers above 15 have
// no row, so every comparison with them comes out unequal.
const CommandEntry* CommandRow(uint32_t command);

// Characters allowed at each of the nine positions of an address text.
constexpr int kAddressPositions = 9;
extern const char* const ValidGasSets[kAddressPositions];

// The work text of one parse: at most 9 characters and a NUL.
constexpr int kWorkTextSize = 10;

// Clears all 10 characters of `work`, then copies `address` through the
// upper-casing rule; never writes beyond `work`. Returns the length of the
// address text (which may exceed 9: the parsers refuse such a text).
uint32_t CopyUpperAddress(char (&work)[kWorkTextSize], const char* address);

// 1 at the first character of `work` not in the set of its position, else 0.
int32_t CheckValidGas(const char* work, const char* const (&sets)[kAddressPositions]);

// The value of exactly n characters read as decimal digits, modulo 65536
// ('A' counts 10, NUL counts 208).
uint16_t DecTextToWord(const char* text, int n);
