// The address parsers: a gate's address text checked once against the
// alphabet and the command table, and translated into the three slot words
// the host hands back with every read and write of the gate.
//
// Each parse works on its own copy of the text (a local buffer), so parse
// requests from different host threads never disturb each other.
#include "address/parsers.h"

#include "address/command_table.h"
#include "address/gate_words.h"
#include "host/host_log.h"
#include "host/texts.h"

namespace {

constexpr int32_t kDefaultValueKind = 255;
constexpr int32_t kDefaultCount = 16;
constexpr int32_t kCountGateType = 6;  // a gate type that asks for one value of kind 0

// The longest text the work text holds.
constexpr uint32_t kMaxAddressLength = kWorkTextSize - 1;

constexpr int kCommandDigits = 2;
constexpr int kParamDigits = 3;
constexpr int kFirstParam = 3;   // positions 3..5
constexpr int kSecondParam = 6;  // positions 6..8

// What the parse logs: the channel's name and the host's own text. The name
// is taken bounded to its field, so a record with no terminator in it cannot
// make the log read past the field.
struct ParseContext {
    ChannelName channel;
    const char* address;  // as the host gave it; "" for a null pointer
};

void FillContext(ParseContext& context, const VpiRequest* request, const GateRecord* gate) {
    context.channel = NameOf(request->channel);
    context.address = gate->address != nullptr ? gate->address : "";
}

// "<channel>: <parser>() fail, <reason> (addr = '<text>')"
int32_t Reject(const ParseContext& context, const char* parser, const char* reason) {
    err(kLogLevel, "%s: %s() fail, %s (addr = '%s')", context.channel.text, parser, reason, context.address);
    return kRefused;
}

int32_t RejectUnsupported(const ParseContext& context, int32_t command) {
    err(kLogLevel, "%s: BlockAddressParser() fail, block not support by this command: %d (addr = '%s')",
        context.channel.text, static_cast<int>(command), context.address);
    return kRefused;
}

bool CodeIs(const CommandEntry* row, char code) { return row != nullptr && row->code == code; }

// The start both parsers share: the log context, the upper-cased work text
// and the default outputs. Returns the length of the host's text.
uint32_t BeginParse(const VpiRequest* request, GateRecord* gate, ParseContext& context,
                    char (&work)[kWorkTextSize]) {
    FillContext(context, request, gate);
    const uint32_t length = CopyUpperAddress(work, gate->address);
    ClearSlots(gate);
    gate->valueKind = kDefaultValueKind;
    gate->count = kDefaultCount;
    return length;
}

}  // namespace

int32_t SingleParser(VpiRequest* request) {
    GateRecord* gate = static_cast<GateRecord*>(request->params);
    ParseContext context;
    char work[kWorkTextSize];
    const uint32_t length = BeginParse(request, gate, context, work);
    if (gate->gateType == kCountGateType) {
        gate->count = 1;
        gate->valueKind = 0;
    }

    if (length > kMaxAddressLength)
        return Reject(context, "SingleParser", "length/format error");
    if (CheckValidGas(work, ValidGasSets) == 1)
        return Reject(context, "SingleParser", "on CheckValidGas");

    const uint16_t command = DecTextToWord(work, kCommandDigits);
    if (command > kCommandCount)
        return Reject(context, "SingleParser", "on max number of commands");
    const CommandEntry* row = CommandRow(command);

    int32_t params = 0;
    uint16_t p1 = 0;
    uint16_t p2 = 0;
    switch (length) {
    case 3:
        break;
    case 6:
        params = 1;
        p1 = DecTextToWord(work + kFirstParam, kParamDigits);
        if ((CodeIs(row, 'z') || CodeIs(row, 'g')) && p1 == 0)
            return Reject(context, "SingleParser", "param1 can't be 0");
        break;
    case 9:
        params = 2;
        p1 = DecTextToWord(work + kFirstParam, kParamDigits);
        p2 = DecTextToWord(work + kSecondParam, kParamDigits);
        break;
    default:
        return Reject(context, "SingleParser", "length/format error");
    }

    // Command 0 has no row: it matches no parameter count and no gate type.
    if (row == nullptr || row->paramCount != params)
        return Reject(context, "SingleParser", "wronge num. of params.");
    if (row->gateType != gate->gateType)
        return Reject(context, "SingleParser", "wronge gateType");

    StoreSingleSlots(gate, command, p1, p2);
    return kDone;
}

int32_t BlockAddressParser(VpiRequest* request) {
    GateRecord* gate = static_cast<GateRecord*>(request->params);
    ParseContext context;
    char work[kWorkTextSize];
    // The gate's type plays no part in a block parse.
    const uint32_t length = BeginParse(request, gate, context, work);

    if (length > kMaxAddressLength)
        return Reject(context, "BlockAddressParser", "length/format error");
    if (CheckValidGas(work, ValidGasSets) == 1)
        return Reject(context, "BlockAddressParser", "on CheckValidGas");

    // A decimal scan of at most two digits; the text passed the alphabet, so
    // only an empty text has no digit here, and then nothing is stored.
    int32_t command = 0;
    int digits = 0;
    while (digits < kCommandDigits && work[digits] >= '0' && work[digits] <= '9') {
        command = command * 10 + (work[digits] - '0');
        ++digits;
    }
    if (digits > 0) StoreBlockCommand(gate, command);
    if (command > static_cast<int32_t>(kCommandCount))
        return Reject(context, "BlockAddressParser", "on max number of commands");
    const CommandEntry* row = CommandRow(static_cast<uint32_t>(command));

    switch (length) {
    case 3:
        return RejectUnsupported(context, command);
    case 6: {
        const uint16_t p1 = DecTextToWord(work + kFirstParam, kParamDigits);
        if (!CodeIs(row, 'z') && !CodeIs(row, 'g')) return RejectUnsupported(context, command);
        // The parameter must be 001 (the message has always said 0).
        if (p1 != 1) return Reject(context, "BlockAddressParser", "param1 must be 0");
        StoreBlockSlots(gate, command, 0, p1);
        return kDone;
    }
    case 9: {
        const uint16_t p1 = DecTextToWord(work + kFirstParam, kParamDigits);
        const uint16_t p2 = DecTextToWord(work + kSecondParam, kParamDigits);
        if (!CodeIs(row, 'p')) return RejectUnsupported(context, command);
        if (p2 != 1) return Reject(context, "BlockAddressParser", "param2 must be 0");
        StoreBlockSlots(gate, command, p1, p2);
        return kDone;
    }
    default:
        return Reject(context, "BlockAddressParser", "length/format error");
    }
}
