// The noisy line: flips bits of what the simulator sends, each bit with the
// same probability (the bit error rate), the same bits for the same seed.
// The distance to the next flipped bit is drawn once (a geometric draw), so a
// clean stretch costs nothing per byte.
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

}  // namespace sksim
