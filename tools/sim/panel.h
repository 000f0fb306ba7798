// What the simulated panel answers to a request frame's payload, and what
// the writes do to the model. Payload layouts (all words little-endian):
//
//   request                      answer
//   's'                          's' system-status
//   't'                          't' trouble-status
//   'z' first count              'z' first count status*count          (count 1..16)
//   '|' zone                     '|' zone label NUL
//   'g' first count              'g' first count (status active)*count (count 1..16)
//   'h' group                    'h' group label NUL
//   'p' loop point  (point >= 1) 'p' loop point 1 total (status number)
//   'p' loop 0      (the list)   'p' loop 0 n total (status number)*n   points 1..n, n <= points_per_answer
//   'q' loop point               'q' loop point status label NUL
//   'i'                          'i' sec min hour day month year-1900
//   'v'                          'v' version NUL
//   'B' loop point / 'U' loop point / 'D' / 'I' / 'Y' sec min hour day month year-1900
//                                letter 06 (done) or letter 15 (refused)
//   anything else                15 letter
//
// Zones, groups and points the panel does not have answer with status 0xFFFF
// and an empty label. A list longer than the gateway's frame payload goes out
// as a first frame of 9 + 4k bytes and continuation frames of 1 + 4m bytes
// that repeat the letter in front of their entries.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/sim/model.h"
#include "tools/sim/wire.h"

namespace sksim {

constexpr uint8_t kAck = 0x06;
constexpr uint8_t kNak = 0x15;

struct Answer {
    std::vector<Bytes> payloads;  // one per frame; more than one for a long list
    std::string what;             // for the trace: "zone 3 status 0x0001"
    std::string fault;            // not empty: the request itself was malformed (the driver's fault)
    bool write = false;           // a write letter
    bool changed = false;         // a write that the panel carried out
};

// Answers one request payload; writes change `model`. nowMs is the engine time (for the clock).
Answer AnswerRequest(Model& model, const uint8_t* payload, size_t length, uint64_t nowMs);

// Where the value starts in the payload of the first frame answering `letter`
// (the status word, the label's first letter, the seconds, the version's first
// letter, the write's 06 or 15); continuation frames carry theirs at 1.
size_t ValueOffset(uint8_t letter);

// True for the write letters B, U, D, I, Y.
bool IsWriteLetter(uint8_t letter);
// "system status", "zone status", ... for the trace; "unknown" otherwise.
const char* LetterName(uint8_t letter);

}  // namespace sksim
