// The APU's fast path: run(), which the normal console calls with the CPU's
// cycle count, lazily, and which must leave everything exactly as that many
// calls of the plain cycle() (apu.cpp) would. Each shortcut below relies on a
// condition; what keeps it and what holds it equal to the plain step:
//
// - fast_step() and step_pulse/triangle/noise/dmc: the plain step, computing
//   the channel outputs only on a step with a sample (they feed nothing else),
//   with the memos below instead of divisions.
// - sequencer_pos(): the position follows from the last one while the step
//   count moves by one under the same length; anything else divides. Checked
//   against the remainder (checks builds).
// - schedule()/refresh_schedule()/produce_sample()'s due_*: the step of the
//   next sample, grown by the rate ratio sample after sample; recomputed when
//   `samples` or a rate is not what it was derived from. Checked against the
//   division after each sample.
// - MIX tables: the mixing formula's results for every output a channel can
//   have (apu_mix.h); other outputs take the formula. Checked against mix().
// - quiet_steps()/event_step()/skip(): steps that only advance timers, the
//   noise register and the sequencer position, done at once. They rely on the
//   timers being below their periods (else the step itself runs) and on no
//   register, period or DMC field changing inside them: the CPU runs the APU
//   up to the write before any APU register write (src/cpu.cpp,
//   write_general, sync_apu). Timers checked below their periods after skip().
// - sample_steps(): a run of steps quiet but for their samples, the outputs
//   taken from what stays fixed until the next event (same conditions).
// - run()'s lagging stretch (lag, quiet_end, lag_cells): a catch-up ending
//   inside a quiet stretch applies nothing; later catch-ups add to it until
//   one ends past it, or something settles it (settle(): the CPU before every
//   register write but $4011 and before a reset, a snapshot before saving).
//   $4017 and $400E are compared at each catch-up, the other fields it assumed
//   are compared in checks builds (now_assumed()); load_direct() shortens it.
// - publish_step()/sync_by: the unit skips run() until the step that publishes
//   a block or lets the DMC fetch; a $4015 write, a reset and a snapshot load
//   lower sync_by. Checked on every publication and fetch (checks builds).
//
// tests/cpp/plain_compare.cpp (the normal console against the plain one,
// frame by frame, over cartridges; benchmarks/plain_check.py runs it over a
// folder), fuzz/fuzz_cpu.cpp (the same on fuzzed programs),
// benchmarks/same_behaviour.py (against a reference build) and
// tests/test_apu.py (every sample of one-sample-per-step runs against the
// formulas) hold the two equal.
#include <array>
#include <cstring>
#include <limits>

#include "apu.h"
#include "apu_mix.h"
#include "check.h"
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

inline void APU::step_pulse(int i, bool out) {
    if (out) {
        const uint8_t r0 = cpu->memory[0x4000 + 4 * i], r1 = cpu->memory[0x4001 + 4 * i];
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

inline void APU::step_noise(bool out) {
    const uint8_t mode = cpu->memory[0x400E];
    if (noise_timer == 0) {
        const int tap = (mode & 0x80) ? 6 : 1;
        const int feedback = (lfsr ^ (lfsr >> tap)) & 1;
        lfsr = uint16_t(((lfsr & 0x7FFF) >> 1) | (feedback << 14));
    }
    if (out) {
        const uint8_t vol_reg = cpu->memory[0x400C];
        if (length[3] == 0 || (lfsr & 1))
            noise_out = 0;
        else
            noise_out = int8_t((vol_reg & 0x10) ? (vol_reg & 0x0F) : env[2].env_decay);
    }
    noise_timer = int32_t(next_mod(uint32_t(noise_timer), NOISE_STEPS[mode & 0x0F]));
}

inline void APU::step_dmc() {
    if (enabled[4] && dmc_buffer_empty && dmc_remaining != 0) {
        KX_ASSERT(cycles >= sync_by, "the DMC fetches on a step the unit was told it could leave unrun");
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

// pos = (cycles - frame_origin) mod len (a signed remainder), followed step by step
// from the last one while the step count advances by one under the same length.
inline int64_t APU::sequencer_pos(int64_t d, int64_t len) const {
    if (d == seq_d + 1 && len == seq_len) {
        const int64_t next = seq_pos + 1;
        // At next == 1 with d <= 0 a negative multiple of len was passed.
        const int64_t pos = next == len ? 0 : next == 1 && d <= 0 ? 1 - len : next;
        KX_ASSERT(pos == d % len, "the sequencer position memo follows the remainder");
        return pos;
    }
    return d % len;
}

inline void APU::step_sequencer() {
    const uint8_t mode = cpu->memory[0x4017];
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

namespace {
using namespace mixing;

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
// is an odd whole number or 0); anything else takes the formula itself.
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

// The plain step's test for a sample due at step `c`, for the checks.
[[maybe_unused]] bool plain_due(int64_t c, int64_t samples, int32_t apu_rate, int32_t sample_rate) {
    return samples < c * sample_rate / (apu_rate > 0 ? apu_rate : 1);
}
}  // namespace

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
        KX_ASSERT(cycles >= sync_by, "a block is published on a step the unit was told it could leave unrun");
        publish_block();
    }
    // channel values, their sum and to_sample() by table.
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
    KX_ASSERT(column[0] == mix(this), "the mixing tables give the mixer's sample");
    samples++;
    if (due_samples == samples - 1 && due_sample_rate > 0) {
        // The next sample's step as schedule() finds it, (samples + 1) * rate growing by rate.
        due_samples = samples;
        due_q += step_q;
        due_r += step_r;
        if (due_r >= due_sample_rate) {
            due_r -= due_sample_rate;
            due_q++;
        }
        due_step = due_q + (due_r != 0);
        KX_ASSERT(plain_due(due_step, samples, due_rate, due_sample_rate) &&
                      !plain_due(due_step - 1, samples, due_rate, due_sample_rate),
                  "the sample schedule gives the first step on which the next sample is due");
    }
}

// cycle() for the fast path: the memos, and the outputs only when a sample is due.
inline void APU::fast_step() {
    KX_ASSERT(lag == 0, "a step runs on an APU with no steps left unapplied");
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
// and the steps between samples are skipped.
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
// `frame_mode` and `noise_mode`.
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
    KX_ASSERT(pulse_timer[0] <= timer_period[0] && pulse_timer[1] <= timer_period[1] &&
                  tri_timer <= timer_period[2] && uint32_t(noise_timer) < NOISE_STEPS[noise_mode & 0x0F] &&
                  uint32_t(dmc_timer) < DMC_STEPS[dmc_control & 0x0F],
              "skipped steps leave every timer below its period");
}

// run(): the catch-up and its lagging stretch (see the top of this file).
// Invariant: while lag > 0 the steps cycles - lag .. quiet_end - 1 are all
// quiet under lag_cells and what now_assumed() gives, and none is applied.

APU::Assumed APU::now_assumed() const {
    return {{timer_period[0], timer_period[1], timer_period[2]}, dmc_control, enabled[4], dmc_silence,
            dmc_buffer_empty, dmc_remaining, frame_origin};
}

// A known quiet stretch still holds: the cells and rates it was found under
// are unchanged (the other fields change only after settle(), see the top).
inline bool APU::stretch_holds() const {
    const uint8_t* const mem = cpu->memory;
    return lag > 0 && mem[0x4017] == lag_cells[0] && mem[0x400E] == lag_cells[1] && apu_rate == due_rate &&
           sample_rate == due_sample_rate;
}

// Continue a known quiet stretch up to `target`, within it: nothing to apply yet.
inline void APU::extend_stretch(int64_t target) {
    KX_ASSERT(target <= quiet_end && assumed == now_assumed(), "a lagging stretch is extended only while it holds");
    lag += target - cycles;
    cycles = target;
}

// The target lies past the known stretch: the whole of it, then the step that ends it.
void APU::finish_stretch() {
    KX_ASSERT(assumed == now_assumed(), "what a lagging stretch assumed is unchanged when it is applied");
    const int64_t from = cycles - lag, end = quiet_end;
    lag = 0;
    quiet_end = -1;
    cycles = from;
    skip(uint32_t(end - from), lag_cells[0], lag_cells[1]);
    fast_step();
}

// The steps left to the target lie within the quiet stretch of `n` steps that
// starts here: leave them unapplied.
inline void APU::begin_stretch(int64_t n, int64_t left) {
    lag = left;
    quiet_end = cycles + n;
    lag_cells[0] = cpu->memory[0x4017];
    lag_cells[1] = cpu->memory[0x400E];
#if defined(KESTRIX_CHECKS)
    assumed = now_assumed();
#endif
    cycles += left;
}

// Run to the target from an APU with nothing unapplied: quiet stretches at
// once, runs of steps quiet but for their samples by sample_steps(), the rest
// step by step; a target inside a quiet stretch starts a lagging one.
void APU::run_to(int64_t target) {
    const uint8_t* const mem = cpu->memory;
    while (cycles < target) {
        const int64_t n = quiet_steps(), left = target - cycles;
        if (n >= left) {
            begin_stretch(n, left);
            return;
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
        fast_step();
    }
}

// A catch-up that ends inside a quiet stretch leaves the stretch's steps up to
// the target unapplied (`lag`): the next one adds to them while it ends inside
// the same stretch, or else applies the stretch whole. So a short catch-up costs
// nothing per step and a stretch is skipped at once however many catch-ups
// fall into it.
void APU::run(int64_t target) {
    if (target > cycles) {
        const bool holds = stretch_holds();
        if (holds && target <= quiet_end) {
            extend_stretch(target);
        } else {
            if (holds)
                finish_stretch();
            else
                settle();
            run_to(target);
        }
    }
    sync_by = publish_step();
}

// Applies the steps the last catch-up left unapplied and forgets the stretch.
void APU::settle() {
    if (lag > 0) {
        KX_ASSERT(assumed == now_assumed(), "the APU is settled before anything changes what its stretch assumed");
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

