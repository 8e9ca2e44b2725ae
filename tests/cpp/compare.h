// Shared by the C++ tests that run one program two ways and compare the
// consoles: the first differing byte of each image is reported, and counted.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

inline int differences = 0;

inline void same(const char* what, int trial, const void* a, const void* b, size_t n) {
    if (std::memcmp(a, b, n) == 0) return;
    const uint8_t *x = static_cast<const uint8_t*>(a), *y = static_cast<const uint8_t*>(b);
    size_t i = 0;
    while (x[i] == y[i]) i++;
    std::fprintf(stderr, "trial %d: %s differs at byte %zu: %02x and %02x\n", trial, what, i, x[i], y[i]);
    differences++;
}
