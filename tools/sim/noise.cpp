#include "tools/sim/noise.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace sksim {

namespace {

// splitmix64: small, fast, and the same on every platform.
uint64_t SplitMix64(uint64_t& state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

}  // namespace

void LineNoise::Start(double ber, uint32_t seed) {
    ber_ = ber > 0 ? std::min(ber, 1.0) : 0;
    state_ = 0x9E3779B97F4A7C15ull ^ seed;
    skip_ = on() ? Gap() : 0;
}

uint64_t LineNoise::Next() {
    return SplitMix64(state_);
}

// Clean bits before the next flip: floor(ln U / ln(1 - p)), U uniform in (0, 1].
uint64_t LineNoise::Gap() {
    if (ber_ >= 1) return 0;
    const double u = (static_cast<double>(Next() >> 11) + 1.0) / 9007199254740992.0;
    const double gap = std::floor(std::log(u) / std::log1p(-ber_));
    return gap >= 1e18 ? std::numeric_limits<uint64_t>::max() / 2 : static_cast<uint64_t>(gap);
}

uint32_t LineNoise::Apply(uint8_t* data, size_t length, std::vector<size_t>* where) {
    if (!on()) return 0;
    uint32_t flipped = 0;
    const uint64_t bits = static_cast<uint64_t>(length) * 8;
    uint64_t at = 0;
    while (skip_ < bits - at) {
        at += skip_;
        const size_t byte = static_cast<size_t>(at / 8);
        data[byte] = static_cast<uint8_t>(data[byte] ^ (1u << (at % 8)));
        if (where != nullptr && (where->empty() || where->back() != byte)) where->push_back(byte);
        ++flipped;
        ++at;
        skip_ = Gap();
    }
    skip_ -= bits - at;
    return flipped;
}

void WeakCrcDraws::Start(double rate, uint32_t seed) {
    rate_ = rate > 0 ? std::min(rate, 1.0) : 0;
    state_ = 0xD1B54A32D192ED03ull ^ seed;
    lastWeak_ = false;
}

bool WeakCrcDraws::Weaken() {
    // Uniform in [0, 1): at rate 1 every draw weakens.
    const double u = static_cast<double>(SplitMix64(state_) >> 11) / 9007199254740992.0;
    lastWeak_ = on() && !lastWeak_ && u < rate_;
    return lastWeak_;
}

unsigned WeakCrcDraws::Pattern() {
    return static_cast<unsigned>(SplitMix64(state_) >> 60);
}

}  // namespace sksim
