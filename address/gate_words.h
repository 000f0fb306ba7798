// The three slot words of a gate: what a parse leaves in the gate record
// (slotA, slotB, slotC) and what the host hands back, unchanged, in every
// read and write of the gate (argA, argB, argC). They are written here and
// read here; the parsers, the transaction, the decoder and the point
// requests go through these functions and never pick the words apart
// themselves.
//
//   single gate, command 7 (a loop point): A = loop, B = 7, C = point
//   single gate, any other command:         A = 0, B = p1 | p2 << 16, C = command
//   block gate (03_001, 05_001, 07_nnn001):  A = loop (07_ only, else 0),
//                                           B = command, C = 1
#pragma once

#include <cstdint>

#include "host/records.h"

// The command number of a gate: its address text's first two characters as a
// fixed-width decimal number. Never reads past the text's terminator; an
// empty text gives a number that names no command.
uint16_t AddressCommand(const char* address);

// What every parse starts from: A and B cleared, C as the host gave it.
void ClearSlots(GateRecord* gate);

// The words of a single gate of `command` with parameters p1 and p2.
void StoreSingleSlots(GateRecord* gate, uint16_t command, uint16_t p1, uint16_t p2);

// The words of a block gate. The command word alone is stored as soon as the
// command is read (StoreBlockCommand), so a block parse refused after that
// leaves it in the record.
void StoreBlockCommand(GateRecord* gate, int32_t command);
void StoreBlockSlots(GateRecord* gate, int32_t command, uint16_t loop, uint16_t last);

// The two parameters of a single gate of `command`, as the host handed the
// words back (command 7 from A and C, every other command from B's halves).
struct GateParams {
    uint16_t p1;
    uint16_t p2;
};
GateParams SingleParams(const PointRecord* point, uint16_t command);

// The low byte of C: a single gate's command number, which tells reads (10 or
// less) from writes (above); for a loop point it is the point number.
uint8_t AccessByte(const PointRecord* point);

// The low 16 bits of B: a block gate's command, and 7 for a single loop point.
uint16_t BlockCommand(const PointRecord* point);
