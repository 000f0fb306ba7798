// A scripted stand-in for the serial library's line functions (CommWrite,
// CommRead, CommSetReadTimeout, CommPurgeInput, CommSleep) for native tests
// and fuzz targets. Each port handle is one simulated line: it records every
// byte written, every time-out set, every read and every purge, and answers
// reads from a script, with a fake clock instead of real waiting.
//
// A read behaves like the real one: it delivers the bytes waiting in the
// line's input (up to the number asked) from the start of the buffer and
// leaves the rest of the buffer as it was. When all asked bytes are there it
// takes no time; otherwise it lasts its whole time-out on the fake clock.
// A scripted entry arrives during the next CommRead, or during the next
// CommReadFor that finds nothing waiting.
// An empty read gives CommResult::IoFailed with a count of 0.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/records.h"

namespace fake_comm {

using Bytes = std::vector<uint8_t>;

enum class Op { Write, Read, ReadFor, SetTimeout, Purge, Sleep };

struct Event {
    Op op;
    Bytes bytes;          // Write: the bytes written; Read: the bytes delivered; Purge: the bytes discarded
    uint32_t asked = 0;   // Read: the count asked; Sleep: the milliseconds
    int32_t timeout = 0;  // Read: the time-out in force; SetTimeout: the new time-out (10 ms units)
    uint64_t atMs = 0;    // fake clock when the call began
    uint32_t timeoutMs = 0;  // ReadFor: its own time-out
};

// Answers of the far end to the bytes just written: what it appends to the
// line's input.
using Responder = std::function<void(const Bytes& written, Bytes& input)>;

// Forgets every line and sets the fake clock to 0.
void Reset();

// The bytes that arrive during the next read of `port` (one entry per read,
// in order; an empty entry is a read during which nothing arrives). Reads
// beyond the script see only what is already waiting.
void Answer(Handle port, Bytes bytes);
void Silence(Handle port, int reads = 1);
// Bytes already waiting in the input of `port`.
void Waiting(Handle port, Bytes bytes);
// Called on every write to `port` (after the write is recorded).
void OnWrite(Handle port, Responder responder);
// Writes to `port` fail with CommResult::IoFailed (the written count is not touched).
void FailWrites(Handle port, bool fail);
// Every read also sleeps this long in real time, so that transactions on
// several threads interleave.
void RealDelayPerRead(uint32_t microseconds);

std::vector<Event> Events(Handle port);
std::vector<Bytes> Writes(Handle port);
int32_t CurrentTimeout(Handle port);
// Bytes still waiting in the input of `port`.
size_t Pending(Handle port);
uint64_t NowMs();

// A readable line per event, e.g. "W 55 AA 55 AA 02 11 01 73 01 65",
// "T 200", "R 11 -> 11 bytes", "F 7 -> 7 bytes (1000 ms)", "P 0", "S 50":
// for test failure messages.
std::string Describe(const std::vector<Event>& events);
std::string Hex(const Bytes& bytes);

}  // namespace fake_comm
