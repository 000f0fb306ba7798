#include "gateway/value_memory.h"

#include <cstring>

#include "address/gate_words.h"
#include "gateway/decode.h"
#include "host/host_log.h"
#include "host/texts.h"

namespace {

// One remembered gate in 64 bits: the value in bits 0-15, the gate above it
// (never 0: its command is 1 or more). 0 marks a free place.
constexpr uint64_t kValueBits = 0xFFFF;

struct ValueMemory {
    const VpiChannel* owner;  // the record that holds it, null when none does
    bool fullLogged;          // the full memory turned a gate away and said so
    uint64_t places[kRememberedGates];
};
static_assert((kRememberedGates & (kRememberedGates - 1)) == 0, "the places are found by masking");

// Zeroed with the module; only the host thread that starts, reads or ends a
// channel touches its memory.
ValueMemory memories[kValueMemories];

ValueMemory* MemoryOf(const VpiChannel* channel) {
    const int32_t number = channel->instanceNumber;
    if (number < 1 || number > kValueMemories) return nullptr;
    ValueMemory* memory = &memories[number - 1];
    return memory->owner == channel ? memory : nullptr;
}

// Where a gate's search starts: its bits mixed, so that neighbouring zones
// do not crowd one stretch of places.
uint32_t FirstPlace(uint64_t gate) {
    uint64_t h = gate * 0x9E3779B97F4A7C15ull;
    return static_cast<uint32_t>(h >> 40) & (kRememberedGates - 1);
}

// The place that holds the gate, or the free place where it would go; null
// when neither is found (the memory is full).
uint64_t* PlaceOf(ValueMemory* memory, uint64_t gate) {
    uint32_t at = FirstPlace(gate);
    for (uint32_t tried = 0; tried < kRememberedGates; ++tried, at = (at + 1) & (kRememberedGates - 1)) {
        uint64_t* place = &memory->places[at];
        if (*place == 0 || (*place & ~kValueBits) == gate) return place;
    }
    return nullptr;
}

}  // namespace

uint64_t RememberedGate(const PointRecord* point) {
    const uint16_t kind = SingleWordKind(point);
    if (kind == 0) return 0;
    const uint16_t command = AddressCommand(point->address);
    const GateParams params = SingleParams(point, command);
    return static_cast<uint64_t>(command & 0xF) << 16 | static_cast<uint64_t>(kind & 0xF) << 20 |
           static_cast<uint64_t>(params.p1) << 24 | static_cast<uint64_t>(params.p2) << 40;
}

Recall RecallValue(const VpiChannel* channel, uint64_t gate, uint16_t value) {
    ValueMemory* memory = MemoryOf(channel);
    if (memory == nullptr || gate == 0) return Recall::Unknown;
    const uint64_t* place = PlaceOf(memory, gate);
    if (place == nullptr || *place == 0) return Recall::Unknown;
    return (*place & kValueBits) == value ? Recall::Same : Recall::Changed;
}

bool RememberValue(VpiChannel* channel, uint64_t gate, uint16_t value) {
    ValueMemory* memory = MemoryOf(channel);
    if (memory == nullptr || gate == 0) return false;
    uint64_t* place = PlaceOf(memory, gate);
    if (place == nullptr) {
        if (!memory->fullLogged) {
            err(kLogLevel, "%s: more than %u gates with a value read on this channel: a read of the others is "
                "always asked twice", NameOf(channel).text, static_cast<unsigned>(kRememberedGates));
            memory->fullLogged = true;
        }
        return false;
    }
    *place = gate | value;
    return true;
}

void StartValueMemory(VpiChannel* channel) {
    const int32_t number = channel->instanceNumber;
    if (number < 1 || number > kValueMemories) return;
    ValueMemory* memory = &memories[number - 1];
    memset(memory->places, 0, sizeof memory->places);
    memory->fullLogged = false;
    memory->owner = channel;
}

void ForgetValues(VpiChannel* channel) {
    ValueMemory* memory = MemoryOf(channel);
    if (memory == nullptr) return;
    memset(memory->places, 0, sizeof memory->places);
    memory->fullLogged = false;
}

void EndValueMemory(VpiChannel* channel) {
    ValueMemory* memory = MemoryOf(channel);
    if (memory != nullptr) memory->owner = nullptr;
}
