// What a channel last reported good for each single gate with a 16-bit
// value, so that a changed value is asked twice before it is believed.
//
// The line's CRC cannot see a two-bit error in the last data bytes of a
// frame (they are XORed into it, never pushed through its table), and the
// value of a zone or group answer is those very bytes. A fire panel's values
// hardly ever change from one poll to the next: a value like the one
// reported last is taken as it comes; a new one, or one never seen, only
// when a second answer agrees.
//
// The memories are the driver's own, one per instance number, fixed in size:
// nothing is allocated. A memory belongs to the record that started with its
// number; any other record finds none, and all its values read as unknown.
#pragma once

#include <cstdint>

#include "host/records.h"

constexpr uint32_t kRememberedGates = 512;  // per channel
constexpr int32_t kValueMemories = 1024;    // one per instance number (1 to 1024)

// A gate as the memory knows it: its command, what its value is read as and
// its two parameters; 0 for a gate whose value is not a 16-bit word.
uint64_t RememberedGate(const PointRecord* point);

enum class Recall : uint8_t {
    Same,     // the value is the one remembered
    Changed,  // another value is remembered
    Unknown,  // nothing is remembered of the gate (or the record has no memory)
};
Recall RecallValue(const VpiChannel* channel, uint64_t gate, uint16_t value);

// Keeps `value` as the gate's last good one. False when the memory is full
// (or the record has none): the gate stays unknown, and each of its reads is
// asked twice. The first gate the full memory turns away is logged once.
bool RememberValue(VpiChannel* channel, uint64_t gate, uint16_t value);

// The record takes the memory of its instance number, empty (the start).
void StartValueMemory(VpiChannel* channel);
// Everything remembered is forgotten (the settings were read again: the
// line may lead elsewhere now).
void ForgetValues(VpiChannel* channel);
// The record gives its memory up (the end).
void EndValueMemory(VpiChannel* channel);
