// Shared helpers of the C++ tests: a console in the plain mode (nothing lags,
// so a test may drive its parts directly), and a minimal check macro.
#pragma once
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "../../fuzz/harness.h"

inline int g_failures = 0;

#define CHECK(cond, ...)                                                          \
    do {                                                                          \
        if (!(cond)) {                                                            \
            std::fprintf(stderr, "%s:%d: check failed: %s: ", __FILE__, __LINE__, #cond); \
            std::fprintf(stderr, __VA_ARGS__);                                    \
            std::fputc('\n', stderr);                                             \
            g_failures++;                                                         \
        }                                                                         \
    } while (0)

// CPU, PPU and APU around one cartridge, attached and reset.
struct Console : fuzz::Console {
    Console(std::unique_ptr<NES::ROM> r, bool debug) : fuzz::Console(std::move(r), NES::StepMode::plain, debug) {}
};
