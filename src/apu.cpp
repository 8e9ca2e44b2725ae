#include "apu.h"

#include <array>
#include <cstring>
#include <limits>

#include "cpu.h"

namespace NES {

namespace {
// (t + 1) mod n, dividing only when t is not below n (a period shortened under a
// running timer).
inline uint32_t next_mod(uint32_t t, uint32_t n) {
    ++t;
    if (t < n) return t;
    return t == n ? 0 : t % n;
}

// The noise and DMC periods in APU steps (the tables count CPU cycles).
constexpr std::array<uint32_t, 16> halves(const auto& cycles) {
    std::array<uint32_t, 16> steps{};
    for (int k = 0; k < 16; k++) steps[k] = uint32_t(cycles[k] / 2);
    return steps;
}
constexpr std::array<uint32_t, 16> NOISE_STEPS = halves(APU::noise_periods);
constexpr std::array<uint32_t, 16> DMC_STEPS = halves(APU::dmc_rates);
}  // namespace

APU::APU() {
    blocks = new int16_t[24 * BUFFER_LEN]();
    for (int k = 0; k < 6; k++) {
        live[k] = blocks + k * BUFFER_LEN;
        for (int s = 0; s < 3; s++) out[s][k] = blocks + (6 + 6 * s + k) * BUFFER_LEN;
    }
}

APU::~APU() { delete[] blocks; }

void APU::setCPU(CPU* c) {
    cpu = c;
    // A clock of 1 Hz would give a rate of 0 and divide by zero in the schedule.
    apu_rate = cpu->clock_speed / 2 > 0 ? cpu->clock_speed / 2 : 1;
}

inline uint8_t APU::reg(uint16_t addr) const { return cpu->memory[addr]; }

uint8_t APU::length_lookup(uint8_t index) {
    static const uint8_t table[32] = {10, 254, 20, 2,  40, 4,  80, 6,  160, 8,  60, 10, 14, 12, 26, 14,
                                      10, 16,  20, 18, 40, 20, 80, 22, 160, 24, 72, 26, 16, 28, 32, 30};
    return table[index & 31];
}

uint16_t APU::get_pulse_period(bool second) const {
    const uint16_t base = second ? 0x4004 : 0x4000;
    return uint16_t((reg(base + 3) & 7) << 8 | reg(base + 2));
}

void APU::set_pulse_period(uint16_t period, bool second) {
    const uint16_t base = second ? 0x4004 : 0x4000;
    cpu->memory[base + 2] = uint8_t(period);
    cpu->memory[base + 3] = uint8_t((cpu->memory[base + 3] & 0xF8) | ((period >> 8) & 7));
}

void APU::start_sample() {
    dmc_addr = dmc_sample_addr;
    dmc_remaining = dmc_sample_len;
}

// The step computes a channel's output only when a sample is due (`out`): the
// outputs feed nothing but the mixer.
inline void APU::step_pulse(int i, bool out) {
    if (out) {
        const uint8_t r0 = reg(uint16_t(0x4000 + 4 * i)), r1 = reg(uint16_t(0x4001 + 4 * i));
        if (((r1 & 0x80) && sweep[i].sweep_mute) || timer_period[i] <= 7 || length[i] == 0) {
            pulse_out[i] = 0;
        } else {
            const int vol = (r0 & 0x10) ? (r0 & 0x0F) : env[i].env_decay;
            pulse_out[i] = int8_t(duty_table[r0 >> 6][pulse_step[i]] ? vol : -vol);
        }
    }
    pulse_timer[i] = uint16_t(next_mod(pulse_timer[i], timer_period[i] + 1u));
    if (pulse_timer[i] == 0) pulse_step[i] = (pulse_step[i] + 1) & 7;
}

void APU::pulse(bool second) { step_pulse(second ? 1 : 0, true); }

inline void APU::step_triangle(bool out) {
    if (out) {
        if (linear != 0 && length[2] != 0 && timer_period[2] > 1)
            tri_out = float((tri_seq[tri_step] - 7.5) * 2);
        else
            tri_out = 0;
    }
    tri_timer = uint16_t(next_mod(tri_timer, timer_period[2] + 1u));
    if (tri_timer == 0) tri_step = (tri_step + 1) & 31;
}

void APU::triangle() { step_triangle(true); }

inline void APU::step_noise(bool out) {
    const uint8_t mode = reg(0x400E);
    if (noise_timer == 0) {
        const int tap = (mode & 0x80) ? 6 : 1;
        const int feedback = (lfsr ^ (lfsr >> tap)) & 1;
        lfsr = uint16_t(((lfsr & 0x7FFF) >> 1) | (feedback << 14));
    }
    if (out) {
        const uint8_t vol_reg = reg(0x400C);
        if (length[3] == 0 || (lfsr & 1))
            noise_out = 0;
        else
            noise_out = int8_t((vol_reg & 0x10) ? (vol_reg & 0x0F) : env[2].env_decay);
    }
    noise_timer = int32_t(next_mod(uint32_t(noise_timer), NOISE_STEPS[mode & 0x0F]));
}

void APU::noise() { step_noise(true); }

inline void APU::step_dmc() {
    if (enabled[4] && dmc_buffer_empty && dmc_remaining != 0) {
        dmc_buffer = cpu->read(cpu->memory + dmc_addr, false);
        dmc_addr = dmc_addr == 0xFFFF ? 0x8000 : uint16_t(dmc_addr + 1);
        dmc_remaining--;
        if (dmc_remaining == 0) {
            if (dmc_control & 0x40) start_sample();
            if (dmc_remaining == 0 && (dmc_control & 0x80)) cpu->irq_pending = 1;
        }
        dmc_shift = dmc_buffer;
        dmc_bits = 8;
        dmc_silence = false;
        dmc_buffer_empty = false;
    }
    if (dmc_timer == 0) {
        if (dmc_direct != -1) {
            dmc_level = dmc_direct;
            dmc_direct = -1;
        } else if (!dmc_silence) {
            if (dmc_shift & 1) {
                if (dmc_level + 2 <= 127) dmc_level += 2;
            } else {
                if (dmc_level - 2 >= 0) dmc_level -= 2;
            }
            dmc_shift >>= 1;
            if (--dmc_bits == 0) {
                dmc_bits = 8;
                if (dmc_buffer_empty) {
                    dmc_silence = true;
                    dmc_level = 64;
                } else {
                    dmc_silence = false;
                    dmc_buffer_empty = true;
                }
            }
        }
    }
    dmc_timer = int32_t(next_mod(uint32_t(dmc_timer), DMC_STEPS[dmc_control & 0x0F]));
}

void APU::dmc() { step_dmc(); }

void APU::clock_envs() {
    static const uint16_t cells[3] = {0x4000, 0x4004, 0x400C};
    for (int k = 0; k < 3; k++) {
        const uint8_t c = reg(cells[k]);
        Envelope& e = env[k];
        if (e.env_start) {
            e.env_start = false;
            e.env_decay = 15;
            e.env_divider = c & 0x0F;
        } else if (e.env_divider != 0) {
            e.env_divider--;
        } else {
            e.env_divider = c & 0x0F;
            if (e.env_decay != 0)
                e.env_decay--;
            else if (c & 0x20)
                e.env_decay = 15;
        }
    }
}

void APU::clock_linear() {
    const uint8_t c = reg(0x4008);
    if (linear_reload)
        linear = c & 0x7F;
    else if (linear != 0)
        linear--;
    if (!(c & 0x80)) linear_reload = false;
}

void APU::clock_length() {
    static const uint16_t halt_cell[4] = {0x4000, 0x4004, 0x4008, 0x400C};
    static const uint8_t halt_bit[4] = {0x20, 0x20, 0x80, 0x20};
    for (int k = 0; k < 4; k++) {
        if (!enabled[k])
            length[k] = 0;
        else if (length[k] != 0 && !(reg(halt_cell[k]) & halt_bit[k]))
            length[k]--;
    }
}

void APU::clock_sweep() {
    for (int i = 0; i < 2; i++) {
        const uint8_t c = reg(0x4001 + 4 * i);
        const int16_t p = int16_t(timer_period[i]);
        const int16_t change = int16_t(p >> (c & 7));
        int16_t target;
        if (!(c & 0x08))
            target = int16_t(p + change);
        else if (i == 0)
            target = int16_t(p - change);
        else
            target = int16_t(p + int16_t(~change));
        Sweep& s = sweep[i];
        s.sweep_mute = p <= 7 || target > 0x7FF;
        if (s.sweep_divider != 0 && !s.sweep_reload) {
            s.sweep_divider--;
        } else {
            if (s.sweep_divider == 0 && (c & 0x80)) timer_period[i] = uint16_t(target < 0 ? 0 : target);
            s.sweep_divider = (c >> 4) & 7;
            s.sweep_reload = false;
        }
    }
}

// pos = (cycles - frame_origin) mod len (a signed remainder), followed step by step
// from the last one while the step count advances by one under the same length.
inline int64_t APU::sequencer_pos(int64_t d, int64_t len) const {
    if (d == seq_d + 1 && len == seq_len) {
        const int64_t pos = seq_pos + 1;
        if (pos == len) return 0;
        if (pos == 1 && d <= 0) return 1 - len;  // a negative multiple of len was passed
        return pos;
    }
    return d % len;
}

inline void APU::step_sequencer() {
    const uint8_t mode = reg(0x4017);
    const int64_t len = (mode & 0x80) ? 18640 : 14916;
    const int64_t d = cycles - frame_origin;
    const int64_t pos = sequencer_pos(d, len);
    seq_d = d;
    seq_len = len;
    seq_pos = pos;
    switch (pos) {
        case 3729:
        case 11187:
            clock_envs();
            clock_linear();
            break;
        case 7458:
            clock_envs();
            clock_linear();
            clock_length();
            clock_sweep();
            break;
        case 0:
            clock_envs();
            clock_linear();
            clock_length();
            clock_sweep();
            if (!(mode & 0xC0)) frame_irq = true;
            break;
        default:
            break;
    }
}

void APU::func_frame_counter() { step_sequencer(); }

namespace {
// A channel's value in the mix for each output it can have; the tables below
// hold them for every such output.
constexpr float pulse_value(int out) { return float(out * 0.00752); }
constexpr float tri_value(float out) { return float(double(out) * 0.00851); }
constexpr float noise_value(int out) { return float(out * 0.00494); }
constexpr float dmc_value(int level) { return float((2 * level - 128) * 0.00335); }

struct ChannelValues {
    float v[5];
};

ChannelValues channel_values(const APU* a) {
    ChannelValues c;
    c.v[0] = a->enabled[0] ? pulse_value(a->pulse_out[0]) : 0.0f;
    c.v[1] = a->enabled[1] ? pulse_value(a->pulse_out[1]) : 0.0f;
    c.v[2] = a->enabled[2] ? tri_value(a->tri_out) : 0.0f;
    c.v[3] = a->enabled[3] ? noise_value(a->noise_out) : 0.0f;
    c.v[4] = a->enabled[4] ? dmc_value(a->dmc_level) : 0.0f;
    return c;
}

float mixed_value(const ChannelValues& c) { return (((c.v[0] + c.v[1]) + c.v[2]) + c.v[3]) + c.v[4]; }

// Truncated toward zero; saturated rather than wrapped should a DMC level outside
// 0-127 ever push a value out of the 16-bit range (the bus keeps $4011 to 7 bits).
constexpr int16_t to_sample(float value) {
    const float s = value * 32767.0f;
    if (s >= 32767.0f) return 32767;
    if (s <= -32768.0f) return -32768;
    return int16_t(int(s));
}

// Every output a channel can have, its value and its sample: pulses and the
// triangle -15..15 (at index output + 15), noise 0..15, DMC levels 0..127. A
// disabled channel counts as an output of value 0.
struct Level {
    float value;
    int16_t sample;
};
struct MixTables {
    Level pulse[31], tri[31], noise[16], dmc[128];
};
constexpr MixTables make_mix_tables() {
    MixTables t{};
    for (int k = 0; k < 31; k++) {
        t.pulse[k] = {pulse_value(k - 15), to_sample(pulse_value(k - 15))};
        t.tri[k] = {tri_value(float(k - 15)), to_sample(tri_value(float(k - 15)))};
    }
    for (int k = 0; k < 16; k++) t.noise[k] = {noise_value(k), to_sample(noise_value(k))};
    for (int k = 0; k < 128; k++) t.dmc[k] = {dmc_value(k), to_sample(dmc_value(k))};
    return t;
}
constexpr MixTables MIX = make_mix_tables();
constexpr Level SILENT = {0.0f, 0};

// The outputs of the step functions lie in the tables' ranges (the triangle's
// is an odd whole number or 0); anything else takes the functions themselves.
inline Level pulse_level(bool on, int out) {
    if (!on) return SILENT;
    if (unsigned(out + 15) < 31u) [[likely]]
        return MIX.pulse[out + 15];
    return {pulse_value(out), to_sample(pulse_value(out))};
}
inline Level tri_level(bool on, float out) {
    if (!on) return SILENT;
    const int k = int(out) + 15;
    if (unsigned(k) < 31u && float(k - 15) == out) [[likely]]
        return MIX.tri[k];
    return {tri_value(out), to_sample(tri_value(out))};
}
inline Level noise_level(bool on, int out) {
    if (!on) return SILENT;
    if (unsigned(out) < 16u) [[likely]]
        return MIX.noise[out];
    return {noise_value(out), to_sample(noise_value(out))};
}
inline Level dmc_level_of(bool on, int level) {
    if (!on) return SILENT;
    if (unsigned(level) < 128u) [[likely]]
        return MIX.dmc[level];
    return {dmc_value(level), to_sample(dmc_value(level))};
}
}  // namespace

int mix(APU* apu) { return int(mixed_value(channel_values(apu)) * 32767.0f); }

// The step on which sample `samples` falls due: the first c with
// c * sample_rate / apu_rate > samples, i.e. c >= ceil((samples + 1) * apu_rate / sample_rate).
void APU::schedule() {
    due_samples = samples;
    due_rate = apu_rate;
    due_sample_rate = sample_rate;
    if (sample_rate <= 0) {
        due_step = std::numeric_limits<int64_t>::max();  // nothing is ever due
        return;
    }
    const int64_t rate = apu_rate > 0 ? apu_rate : 1;
    const int64_t num = (samples + 1) * rate;
    due_q = num / sample_rate;
    due_r = num % sample_rate;
    step_q = rate / sample_rate;
    step_r = rate % sample_rate;
    due_step = due_q + (due_r != 0);  // ceil(num / sample_rate), num being at least 0
}

static_assert((BUFFER_LEN & (BUFFER_LEN - 1)) == 0, "a block index is taken by a mask");

void APU::produce_sample() {
    const int i = int(samples & (BUFFER_LEN - 1));  // samples only counts up from 0
    if (i == 0) {
        // Publish: fill the free set, then swap it in as the newest; the set given
        // back (the previous newest, or the readers' old one) is filled next time.
        for (int k = 0; k < 6; k++) std::memcpy(out[fill_set][k], live[k], BUFFER_LEN * sizeof(int16_t));
        fill_set = handoff.exchange(uint8_t(fill_set | READY), std::memory_order_acq_rel) & 3;
        if (lock_held) audio_lock.unlock();
        lock_held = false;
    }
    // channel_values(), mixed_value() and to_sample() by table: the tables hold
    // those functions' results for every output (tests/test_apu.py compares the
    // channels' samples step by step with the mixing formula).
    const Level p0 = pulse_level(enabled[0], pulse_out[0]), p1 = pulse_level(enabled[1], pulse_out[1]);
    const Level tri = tri_level(enabled[2], tri_out), noise = noise_level(enabled[3], noise_out);
    const Level dmc = dmc_level_of(enabled[4], dmc_level);
    int16_t* const column = blocks + i;  // live[k][i], the blocks lying one after another
    column[0] = to_sample((((p0.value + p1.value) + tri.value) + noise.value) + dmc.value);
    column[BUFFER_LEN] = p0.sample;
    column[2 * BUFFER_LEN] = p1.sample;
    column[3 * BUFFER_LEN] = tri.sample;
    column[4 * BUFFER_LEN] = noise.sample;
    column[5 * BUFFER_LEN] = dmc.sample;
    samples++;
    if (due_samples == samples - 1 && due_sample_rate > 0) {
        // The next sample's step as schedule() finds it, (samples + 1) * rate growing by rate
        // (tests/test_apu.py's sample schedule tests follow every sample's step).
        due_samples = samples;
        due_q += step_q;
        due_r += step_r;
        if (due_r >= due_sample_rate) {
            due_r -= due_sample_rate;
            due_q++;
        }
        due_step = due_q + (due_r != 0);
    }
}

bool APU::take_audio(int16_t (*dst)[BUFFER_LEN], int count) {
    std::lock_guard<std::mutex> g(read_lock);
    if (!audio_ready()) return false;
    // Only readers clear READY, so the exchange takes a waiting set: this one or a newer.
    read_set = handoff.exchange(read_set, std::memory_order_acq_rel) & 3;
    for (int k = 0; k < count; k++) std::memcpy(dst[k], out[read_set][k], BUFFER_LEN * sizeof(int16_t));
    return true;
}

void APU::cycle() {
    if (lag > 0) settle();
    step_sequencer();
    refresh_schedule();
    const bool due = cycles >= due_step;
    step_pulse(0, due);
    step_pulse(1, due);
    step_triangle(false);  // the first of two timer steps: its output would be overwritten
    step_triangle(due);
    step_noise(due);
    step_dmc();
    if (!lock_held && !audio_ready() && audio_lock.try_lock()) lock_held = true;
    if (due) produce_sample();
    cycles++;
}

// How many steps from `cycles` on cycle() would do nothing but advance the
// channel timers, the noise register and the sequencer position: no sequencer
// clock, no sample, no DMC fetch, no DMC output change, and every timer below
// its period (a period shortened under a running timer takes the general step).
int64_t APU::quiet_steps() {
    refresh_schedule();
    const int64_t n = due_step - cycles;
    if (n <= 0) return 0;
    const int64_t e = event_step() - cycles;
    return e < n ? e : n;
}

// The first step from `cycles` on that has a sequencer clock or a DMC output
// change; `cycles` when the timers or the DMC's fetch rule out quiet steps
// (see quiet_steps(), which also stops at samples). Until then every step is
// quiet or quiet but for its sample.
int64_t APU::event_step() const {
    const uint8_t* const mem = cpu->memory;
    if (pulse_timer[0] > timer_period[0] || pulse_timer[1] > timer_period[1] || tri_timer > timer_period[2] ||
        uint32_t(noise_timer) >= NOISE_STEPS[mem[0x400E] & 0x0F])
        return cycles;
    const int32_t dmc_period = int32_t(DMC_STEPS[dmc_control & 0x0F]);
    if (dmc_timer >= dmc_period) return cycles;
    if (enabled[4] && dmc_buffer_empty && dmc_remaining != 0) return cycles;
    int64_t n = std::numeric_limits<int64_t>::max();
    if (dmc_direct != -1 || !dmc_silence) {
        if (dmc_timer == 0) return cycles;
        n = dmc_period - dmc_timer;
    }
    const int64_t len = (mem[0x4017] & 0x80) ? 18640 : 14916;
    const int64_t pos = sequencer_pos(cycles - frame_origin, len);
    // Steps to the next clock (positions 0, 3729, 7458 and 11187).
    const int64_t to_clock = pos <= 0 ? -pos : pos <= 3729 ? 3729 - pos : pos <= 7458 ? 7458 - pos : pos <= 11187 ? 11187 - pos : len - pos;
    return cycles + (to_clock < n ? to_clock : n);
}

// cycle() on the steps from `cycles` (where a sample falls due) up to `end`,
// all quiet but for their samples (see event_step()): the channels' outputs
// at a sample come from what stays the same until `end` (their registers,
// envelopes, lengths, sweep mutes and the DMC level) and from their steps,
// and the steps between samples are skipped. Replaces a call of cycle() per
// sample; the digests of benchmarks/same_behaviour.py and fuzz/fuzz_cpu.cpp
// (whose reference APU runs cycle() alone) hold them equal.
void APU::sample_steps(int64_t end) {
    const uint8_t* const mem = cpu->memory;
    const uint8_t frame_mode = mem[0x4017], noise_mode = mem[0x400E];
    const int64_t len = (frame_mode & 0x80) ? 18640 : 14916;
    int8_t up[2], down[2];  // a pulse's output on a high and a low duty step
    const uint8_t* duty[2];
    uint32_t period[3];
    for (int i = 0; i < 2; i++) {
        const uint8_t r0 = mem[0x4000 + 4 * i], r1 = mem[0x4001 + 4 * i];
        const bool silent = ((r1 & 0x80) && sweep[i].sweep_mute) || timer_period[i] <= 7 || length[i] == 0;
        const int vol = (r0 & 0x10) ? (r0 & 0x0F) : env[i].env_decay;
        up[i] = silent ? 0 : int8_t(vol);
        down[i] = silent ? 0 : int8_t(-vol);
        duty[i] = duty_table[r0 >> 6];
        period[i] = timer_period[i] + 1u;
    }
    period[2] = timer_period[2] + 1u;
    const bool tri_on = linear != 0 && length[2] != 0 && timer_period[2] > 1;
    const uint8_t noise_vol = mem[0x400C];
    const int8_t noise_on = length[3] == 0 ? 0 : int8_t((noise_vol & 0x10) ? (noise_vol & 0x0F) : env[2].env_decay);
    const int tap = (noise_mode & 0x80) ? 6 : 1;
    const uint32_t noise_period = NOISE_STEPS[noise_mode & 0x0F], dmc_period = DMC_STEPS[dmc_control & 0x0F];
    for (;;) {
        // The step with the sample, as cycle() runs it: the sequencer moves
        // on without a clock, each output is taken, each timer steps once
        // (the triangle's twice, its output between), the DMC's timer alone.
        const int64_t d = cycles - frame_origin;
        seq_pos = sequencer_pos(d, len);
        seq_d = d;
        seq_len = len;
        for (int i = 0; i < 2; i++) {
            pulse_out[i] = duty[i][pulse_step[i]] ? up[i] : down[i];
            if (++pulse_timer[i] == period[i]) {
                pulse_timer[i] = 0;
                pulse_step[i] = (pulse_step[i] + 1) & 7;
            }
        }
        if (++tri_timer == period[2]) {
            tri_timer = 0;
            tri_step = (tri_step + 1) & 31;
        }
        tri_out = tri_on ? float((tri_seq[tri_step] - 7.5) * 2) : 0;
        if (++tri_timer == period[2]) {
            tri_timer = 0;
            tri_step = (tri_step + 1) & 31;
        }
        if (noise_timer == 0) {
            const int feedback = (lfsr ^ (lfsr >> tap)) & 1;
            lfsr = uint16_t(((lfsr & 0x7FFF) >> 1) | (feedback << 14));
        }
        noise_out = (lfsr & 1) ? 0 : noise_on;
        if (uint32_t(++noise_timer) == noise_period) noise_timer = 0;
        if (uint32_t(++dmc_timer) == dmc_period) dmc_timer = 0;
        if (!lock_held && !audio_ready() && audio_lock.try_lock()) lock_held = true;
        produce_sample();
        cycles++;
        refresh_schedule();
        // The next step with a sample: due_step, or this one when a rate below
        // the sample rate leaves every step due.
        if (cycles >= end || due_step >= end) return;
        if (due_step > cycles) skip(uint32_t(due_step - cycles), frame_mode, noise_mode);
    }
}

// `n` quiet steps (see quiet_steps()) at once, with $4017 and $400E holding
// `frame_mode` and `noise_mode`. Replaces n calls of cycle();
// the digests of benchmarks/same_behaviour.py and tests/test_apu.py (which runs
// the channels at one sample per step, where nothing is skipped) hold them equal.
void APU::skip(uint32_t n, uint8_t frame_mode, uint8_t noise_mode) {
    // The sequencer position of the last skipped step, as step_sequencer() would leave it.
    const int64_t len = (frame_mode & 0x80) ? 18640 : 14916;
    seq_pos = sequencer_pos(cycles - frame_origin, len) + n - 1;
    seq_d = cycles - frame_origin + n - 1;
    seq_len = len;
    // Each timer counts up to its period and wraps; a division only when it wraps.
    for (int i = 0; i < 2; i++) {
        const uint32_t period = timer_period[i] + 1u;
        uint32_t t = pulse_timer[i] + n;
        if (t >= period) {
            pulse_step[i] = uint8_t((pulse_step[i] + t / period) & 7);
            t %= period;
        }
        pulse_timer[i] = uint16_t(t);
    }
    {
        const uint32_t period = timer_period[2] + 1u;
        uint32_t t = tri_timer + 2 * n;  // two timer steps per APU step
        if (t >= period) {
            tri_step = uint8_t((tri_step + t / period) & 31);
            t %= period;
        }
        tri_timer = uint16_t(t);
    }
    {
        const uint8_t mode = noise_mode;
        const uint32_t period = NOISE_STEPS[mode & 0x0F], t = uint32_t(noise_timer);
        // The register shifts on each step that starts with the timer at 0.
        uint32_t shifts = (t == 0 ? 1 : 0), end = t + n;
        if (end - 1 >= period) shifts += (end - 1) / period;
        noise_timer = int32_t(end < period ? end : end % period);
        // k shifts at once: while the feedback taps (bits 0 and 1, or 0 and 6)
        // still lie in the original bits, the k bits entering at bit 14 are the
        // low k bits of lfsr ^ (lfsr >> tap).
        const int tap = (mode & 0x80) ? 6 : 1, most = 15 - tap;
        uint32_t s = lfsr;
        while (shifts) {
            const int k = shifts < uint32_t(most) ? int(shifts) : most;
            const uint32_t feedback = (s ^ (s >> tap)) & ((1u << k) - 1);
            s = (s >> k) | (feedback << (15 - k));
            shifts -= uint32_t(k);
        }
        lfsr = uint16_t(s);
    }
    {
        const uint32_t period = DMC_STEPS[dmc_control & 0x0F], end = uint32_t(dmc_timer) + n;
        dmc_timer = int32_t(end < period ? end : end % period);
    }
    if (!lock_held && !audio_ready() && audio_lock.try_lock()) lock_held = true;
    cycles += n;
}

// A catch-up that ends inside a quiet stretch leaves the stretch's steps up to
// the target unapplied (`lag`): the next one adds to them while it ends inside
// the same stretch, or else applies the stretch whole. So a short catch-up costs
// nothing per step and a stretch is skipped at once however many catch-ups
// fall into it. The stretch holds while what quiet_steps() and skip() read
// stays as it was: the CPU settles the APU before a register write that
// changes it ($4011 only shortens the stretch, see load_direct()), and the
// cells and rates that other code may change are checked here. Replaces
// skipping each catch-up's part of a stretch at once; fuzz/fuzz_cpu.cpp (the
// unit's lazy APU against one stepped by cycle() alone) and
// benchmarks/same_behaviour.py (its pcm-4011 program above all) hold them equal.
void APU::run(int64_t target) {
    if (target > cycles) {
        const uint8_t* const mem = cpu->memory;
        if (lag > 0 && mem[0x4017] == lag_cells[0] && mem[0x400E] == lag_cells[1] && apu_rate == due_rate &&
            sample_rate == due_sample_rate) {
            if (target <= quiet_end) {
                lag += target - cycles;
                cycles = target;
                sync_by = publish_step();
                return;
            }
            // The stretch ends before the target: the whole of it, then the step that ends it.
            const int64_t from = cycles - lag, end = quiet_end;
            lag = 0;
            quiet_end = -1;
            cycles = from;
            skip(uint32_t(end - from), lag_cells[0], lag_cells[1]);
            cycle();
        } else {
            settle();
        }
        while (cycles < target) {
            const int64_t n = quiet_steps(), left = target - cycles;
            if (n >= left) {
                lag = left;
                quiet_end = cycles + n;
                lag_cells[0] = mem[0x4017];
                lag_cells[1] = mem[0x400E];
                cycles = target;
                break;
            }
            // A whole quiet stretch ends on a step that is not quiet, where quiet_steps() gives 0.
            if (n > 0) skip(uint32_t(n), mem[0x4017], mem[0x400E]);
            // sample_steps() pays for its set-up from the second sample on.
            if (cycles >= due_step && target - cycles > step_q + 1) {
                const int64_t e = event_step();
                if (e - cycles > step_q + 1) {
                    sample_steps(e < target ? e : target);
                    continue;
                }
            }
            cycle();
        }
    }
    sync_by = publish_step();
}

int64_t APU::fields(Fields& f) {
    constexpr int64_t COUNT_MAX = int64_t(1) << 56;
    if (f.saving()) settle();  // no stretch left half-applied (nothing observable changes)
    const int64_t count = f(cycles, int64_t(0), COUNT_MAX);
    f(frame_origin, -COUNT_MAX, COUNT_MAX);
    f(samples, int64_t(0), COUNT_MAX);
    f(enabled), f(pulse_out), f(timer_period), f(pulse_timer), f(tri_out, -15.0f, 15.0f);
    f.each(pulse_step, uint8_t(0), uint8_t(7));
    f(tri_step, uint8_t(0), uint8_t(31));
    f(tri_timer);
    for (Envelope& e : env) f(e.env_start), f(e.env_divider), f(e.env_decay);
    f(linear), f(linear_reload), f(lfsr), f(noise_out), f(noise_timer);
    f(dmc_level, 0, 127);
    f(dmc_direct, -1, 127);
    f(dmc_bits, 0, 8);
    f(dmc_remaining, 0, 0xFFFF * 16 + 1);
    f(dmc_buffer), f(dmc_control), f(dmc_timer), f(dmc_silence), f(dmc_shift), f(dmc_buffer_empty);
    f(dmc_sample_addr), f(dmc_sample_len), f(dmc_addr);
    f(length);
    for (Sweep& s : sweep) f(s.sweep_divider), f(s.sweep_reload), f(s.sweep_mute);
    f(frame_irq);
    // The blocks and the three sets handed to readers, which must stay three different sets.
    f.array(blocks, 24 * BUFFER_LEN);
    uint8_t newest = handoff.load(std::memory_order_acquire);
    newest = f(newest, uint8_t(0), uint8_t(READY | 2));
    const uint8_t fill = f(fill_set, uint8_t(0), uint8_t(2)), read = f(read_set, uint8_t(0), uint8_t(2));
    f.require((newest & 3) != 3 && (newest & 3) != fill && (newest & 3) != read && fill != read);
    if (f.loading()) {
        handoff.store(newest, std::memory_order_release);
        // The memos and the catch-up's marks, found again from the fields above.
        lag = 0;
        quiet_end = -1;
        sync_by = -1;
        seq_len = 0;
        due_samples = std::numeric_limits<int64_t>::min();
        pub_first = -1;
    }
    return count;
}

void APU::settle() {
    if (lag > 0) {
        const int64_t n = lag;
        lag = 0;
        cycles -= n;
        skip(uint32_t(n), lag_cells[0], lag_cells[1]);
    }
    quiet_end = -1;
}

void APU::load_direct(int32_t level) {
    if (lag > 0 && dmc_direct == -1 && dmc_silence) {
        // The DMC's next output step (one that starts with its timer at 0) now ends the stretch.
        const int64_t period = DMC_STEPS[dmc_control & 0x0F], t = (dmc_timer + lag) % period;
        const int64_t at = t == 0 ? cycles : cycles + period - t;
        if (at < quiet_end) quiet_end = at;
    }
    dmc_direct = level;
}

// The step that publishes the next block (the step on which its first sample
// falls due, or later), or `cycles` while the DMC may fetch.
int64_t APU::publish_step() {
    if (enabled[4] && dmc_remaining != 0) return cycles;
    if (sample_rate <= 0) return std::numeric_limits<int64_t>::max();
    const int64_t first = (samples + BUFFER_LEN - 1) / BUFFER_LEN * BUFFER_LEN;
    if (first != pub_first || apu_rate != pub_rate || sample_rate != pub_sample_rate) {
        pub_first = first;
        pub_rate = apu_rate;
        pub_sample_rate = sample_rate;
        const int64_t rate = apu_rate > 0 ? apu_rate : 1;
        pub_step = ((first + 1) * rate + sample_rate - 1) / sample_rate;
    }
    return pub_step;
}

}  // namespace NES
