// The slot words of a gate (see gate_words.h).
#include "address/gate_words.h"

#include "address/command_table.h"

namespace {

constexpr uint16_t kLoopPointCommand = 7;  // the one command whose parameters travel in separate words

uint16_t Low16(int32_t word) { return static_cast<uint16_t>(static_cast<uint32_t>(word) & 0xFFFF); }

}  // namespace

uint16_t AddressCommand(const char* address) {
    const char digits[2] = {address[0], address[0] != '\0' ? address[1] : '\0'};
    return DecTextToWord(digits, 2);
}

void ClearSlots(GateRecord* gate) {
    gate->slotA = 0;
    gate->slotB = 0;
}

void StoreSingleSlots(GateRecord* gate, uint16_t command, uint16_t p1, uint16_t p2) {
    if (command == kLoopPointCommand) {
        gate->slotA = p1;
        gate->slotB = kLoopPointCommand;
        gate->slotC = p2;
        return;
    }
    gate->slotA = 0;
    gate->slotB = static_cast<int32_t>(static_cast<uint32_t>(p1) | (static_cast<uint32_t>(p2) << 16));
    gate->slotC = command;
}

void StoreBlockCommand(GateRecord* gate, int32_t command) { gate->slotB = command; }

void StoreBlockSlots(GateRecord* gate, int32_t command, uint16_t loop, uint16_t last) {
    gate->slotA = command == kLoopPointCommand ? loop : 0;
    gate->slotB = command;
    gate->slotC = last;
}

GateParams SingleParams(const PointRecord* point, uint16_t command) {
    if (command == kLoopPointCommand) return {Low16(point->argA), Low16(point->argC)};
    return {Low16(point->argB), static_cast<uint16_t>(static_cast<uint32_t>(point->argB) >> 16)};
}

uint8_t AccessByte(const PointRecord* point) {
    return static_cast<uint8_t>(static_cast<uint32_t>(point->argC) & 0xFF);
}

uint16_t BlockCommand(const PointRecord* point) { return Low16(point->argB); }
