// The C++ tests' pseudo-random numbers: xorshift64*, seeded per test so that
// each one runs the same cases every time.
#pragma once
#include <cstdint>

struct Rng {
    uint64_t state;
    // 0..n-1
    uint32_t operator()(uint32_t n) {
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        return uint32_t((state * 0x2545F4914F6CDD1Dull) >> 32) % n;
    }
};
