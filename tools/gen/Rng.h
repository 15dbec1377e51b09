#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace corvane::gen {

/// xoshiro256** seeded through splitmix64: fast, and the same sequence on every platform,
/// which the standard distributions do not promise.
class Rng {
  public:
    explicit Rng(uint64_t seed) {
        for (auto& word : s_) {
            seed += 0x9E3779B97F4A7C15ULL;
            uint64_t z = seed;
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
            word = z ^ (z >> 31);
        }
    }
    uint64_t next() {
        const uint64_t result = rotl(s_[1] * 5, 7) * 9;
        const uint64_t t = s_[1] << 17;
        s_[2] ^= s_[0];
        s_[3] ^= s_[1];
        s_[1] ^= s_[2];
        s_[0] ^= s_[3];
        s_[2] ^= t;
        s_[3] = rotl(s_[3], 45);
        return result;
    }
    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
    /// An integer in [lo, hi].
    int64_t range(int64_t lo, int64_t hi) {
        return lo + static_cast<int64_t>(next() % static_cast<uint64_t>(hi - lo + 1));
    }
    bool chance(double p) { return uniform() < p; }
    double exponential(double mean) { return -mean * std::log1p(-uniform()); }
    uint8_t byte() { return static_cast<uint8_t>(next() >> 56); }
    template <class T> const T& pick(const T* items, size_t count) { return items[next() % count]; }

  private:
    static uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    std::array<uint64_t, 4> s_{};
};

} // namespace corvane::gen
