// The noisy line: flips bits of what the simulator sends, each bit with the
// same probability (the bit error rate), the same bits for the same seed.
// The distance to the next flipped bit is drawn once (a geometric draw), so a
// clean stretch costs nothing per byte. And the weak-CRC switch's draws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sksim {

class LineNoise {
public:
    // Starts the seed's sequence anew at this rate (0: no noise).
    void Start(double ber, uint32_t seed);
    bool on() const { return ber_ > 0; }
    // Flips bits of data[0..length) in place; the numbers of the bytes hit go
    // to *where (when given). Returns the number of bits flipped.
    uint32_t Apply(uint8_t* data, size_t length, std::vector<size_t>* where);

private:
    uint64_t Next();
    uint64_t Gap();

    double ber_ = 0;
    uint64_t state_ = 0;
    uint64_t skip_ = 0;  // clean bits before the next flipped one
};

// The weak-CRC switch's draws: whether a single read's answer goes out with
// a two-bit error its CRC cannot see (at the rate, never two in a row), and
// which of the 16 such errors; the same draws for the same seed.
class WeakCrcDraws {
public:
    // Starts the seed's sequence anew at this rate (0: off, at most 1); the
    // next answer may be weakened.
    void Start(double rate, uint32_t seed);
    bool on() const { return rate_ > 0; }
    // Whether this answer goes out weakened: never right after a weakened
    // one, otherwise at the rate (at 1: every other answer).
    bool Weaken();
    // Which error, 0 to 15: the bit (pattern % 8) of the last payload byte
    // and the CRC's low byte (pattern < 8), or of the second-last payload
    // byte and the CRC's high byte.
    unsigned Pattern();

private:
    double rate_ = 0;
    uint64_t state_ = 0;
    bool lastWeak_ = false;
};

}  // namespace sksim
