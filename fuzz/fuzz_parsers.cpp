// Both address parsers over arbitrary texts and every gate type they tell
// apart. Input: byte 0 picks the gate type (and, rarely, no text at all);
// the rest, at most 64 bytes, is the address text, handed over in a block of
// its exact size plus the terminator, so any NUL inside it ends it early.
// Each parse answers 0 or 1, logs exactly one line for a refusal and none
// for an acceptance, and an accepted address names a command with a row that
// fits it.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "address/command_table.h"
#include "address/parsers.h"
#include "tools/kestra/kestra_api.h"

namespace {

constexpr size_t kMaxText = 64;
constexpr int32_t kOld = 0x5A5A5A5A;

int32_t PickGateType(uint8_t selector) {
    static const int32_t kOthers[] = {1, 2, 3, 4, 5, 8, 255, -1, INT32_MIN, INT32_MAX, 0x106, 0x700};
    switch (selector & 3) {
    case 0: return 0;
    case 1: return 6;
    case 2: return 7;
    default: return kOthers[(selector >> 2) % (sizeof kOthers / sizeof kOthers[0])];
    }
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Digits, underscore, digits: the only shape either parser accepts.
bool WellFormed(const char* text, size_t length) {
    if (length != 3 && length != 6 && length != 9) return false;
    for (size_t i = 0; i < length; ++i) {
        // Code 127 upper-cases to the underscore.
        if (i == 2 ? (text[i] != '_' && text[i] != '\x7f') : !IsDigit(text[i])) return false;
    }
    return true;
}

void Check(bool ok) {
    if (!ok) abort();
}

void RunOne(int32_t (*parser)(VpiRequest*), VpiChannel* channel, const char* address, int32_t gateType) {
    GateRecord gate;
    memset(&gate, 0xA5, sizeof gate);
    gate.address = address;
    gate.gateType = gateType;
    gate.slotA = gate.slotB = gate.slotC = kOld;
    gate.valueKind = gate.count = kOld;
    VpiRequest request{};
    request.channel = channel;
    request.function = parser == SingleParser ? 3 : 4;
    request.params = &gate;

    KestraClear();
    const int32_t result = parser(&request);
    const int lines = KestraCount();
    Check(result == 0 || result == 1);
    Check(lines == result);
    Check(gate.address == address && gate.gateType == gateType);
    Check(gate.host4 == 0xA5A5A5A5u && gate.host12 == 0xA5A5A5A5u);

    if (result == 1) {
        char line[256];
        Check(KestraLine(0, line, sizeof line) > 0);
        const char* prefix = parser == SingleParser ? "VpiSK01: SingleParser() fail, " : "VpiSK01: BlockAddressParser() fail, ";
        Check(strncmp(line, prefix, strlen(prefix)) == 0);
        Check(gate.slotA == 0 && gate.slotC == kOld);
        const bool countGate = parser == SingleParser && gateType == 6;
        Check(gate.valueKind == (countGate ? 0 : 255) && gate.count == (countGate ? 1 : 16));
        return;
    }

    const size_t length = address != nullptr ? strlen(address) : 0;
    Check(WellFormed(address, length));
    const uint16_t command = DecTextToWord(address, 2);
    const CommandEntry* row = CommandRow(command);
    Check(row != nullptr);
    Check(row->number == command && length == 3u + 3u * static_cast<uint32_t>(row->paramCount));
    Check(gate.valueKind == 255 && gate.count == 16);
    const int32_t p1 = length >= 6 ? DecTextToWord(address + 3, 3) : 0;
    const int32_t p2 = length == 9 ? DecTextToWord(address + 6, 3) : 0;
    if (parser == SingleParser) {
        Check(row->gateType == gateType);
        if (command == 7) {
            Check(gate.slotA == p1 && gate.slotB == 7 && gate.slotC == p2);
        } else {
            Check(gate.slotA == 0 && gate.slotB == p1 + 65536 * p2 && gate.slotC == command);
            Check(!((row->code == 'z' || row->code == 'g') && p1 == 0));
        }
    } else {
        Check(command == 3 || command == 5 || command == 7);
        Check(gate.slotC == 1 && gate.slotB == command);
        Check(gate.slotA == (command == 7 ? p1 : 0));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t selector = data[0];
    const int32_t gateType = PickGateType(selector);
    const size_t length = size - 1 < kMaxText ? size - 1 : kMaxText;

    // The text alone in its block: reading past its terminator is a report.
    std::unique_ptr<char[]> text(new char[length + 1]);
    memcpy(text.get(), data + 1, length);
    text[length] = '\0';
    const char* address = (selector & 0xFC) == 0xFC ? nullptr : text.get();

    VpiChannel channel;
    memset(&channel, 0xCD, sizeof channel);
    strcpy(channel.name, "VpiSK01");

    RunOne(SingleParser, &channel, address, gateType);
    RunOne(BlockAddressParser, &channel, address, gateType);

    // The copy itself, into a work text with nothing behind it.
    std::unique_ptr<char[]> block(new char[kWorkTextSize]);
    auto& work = *reinterpret_cast<char (*)[kWorkTextSize]>(block.get());
    const uint32_t copied = CopyUpperAddress(work, address);
    Check(copied == (address != nullptr ? strlen(address) : 0));
    Check(work[kWorkTextSize - 1] == '\0');
    Check(strlen(work) == (copied < kWorkTextSize - 1 ? copied : kWorkTextSize - 1));
    KestraClear();
    return 0;
}
