#pragma once
// The mixer's formula, one channel at a time: the plain step (NES::mix in
// apu.cpp) computes it, the fast path's tables (apu_fast.cpp) hold its results.
#include <cstdint>

namespace NES::mixing {

// A channel's value in the mix for one output, in double precision rounded to float.
constexpr float pulse_value(int out) { return float(out * 0.00752); }
constexpr float tri_value(float out) { return float(double(out) * 0.00851); }
constexpr float noise_value(int out) { return float(out * 0.00494); }
constexpr float dmc_value(int level) { return float((2 * level - 128) * 0.00335); }

// Truncated toward zero; saturated rather than wrapped should a DMC level outside
// 0-127 ever push a value out of the 16-bit range (the bus keeps $4011 to 7 bits).
constexpr int16_t to_sample(float value) {
    const float s = value * 32767.0f;
    if (s >= 32767.0f) return 32767;
    if (s <= -32768.0f) return -32768;
    return int16_t(int(s));
}

}  // namespace NES::mixing
