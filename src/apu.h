#pragma once
#include <cstdint>
#include <atomic>
#include <mutex>

#include "fields.h"

namespace NES {

class CPU;

constexpr int BUFFER_LEN = 1024;

// A lock that is only ever tried, never waited for, and may be released by a
// different thread than the one that took it (the stepping thread can change
// between the run thread and runFrame callers).
class TryLock {
public:
    bool try_lock() { return !held.exchange(true, std::memory_order_acquire); }
    void unlock() { held.store(false, std::memory_order_release); }
    bool is_held() const { return held.load(std::memory_order_relaxed); }

private:
    std::atomic<bool> held{false};
};

class APU {
public:
    int64_t cycles = 0;
    int64_t frame_origin = 0;
    int16_t* live[6] = {};
    // Completed blocks are handed to readers through three sets: the newest
    // completed set, the one a reader last took, and the one the stepping thread
    // fills next. `handoff` names the newest set and whether it is unread.
    int16_t* out[3][6] = {};
    int32_t apu_rate = 0;
    TryLock audio_lock;
    bool lock_held = false;
    CPU* cpu = nullptr;
    int64_t samples = 0;
    bool enabled[5] = {};
    int8_t pulse_out[2] = {};
    static constexpr uint8_t duty_table[4][8] = {
        {0, 1, 0, 0, 0, 0, 0, 0},
        {0, 1, 1, 0, 0, 0, 0, 0},
        {0, 1, 1, 1, 1, 0, 0, 0},
        {1, 0, 0, 1, 1, 1, 1, 1},
    };
    uint8_t pulse_step[2] = {};
    uint16_t pulse_timer[2] = {};
    uint16_t timer_period[3] = {};
    static constexpr uint8_t tri_seq[32] = {15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0,
                           0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    float tri_out = 0;
    uint8_t tri_step = 0;
    uint16_t tri_timer = 0;
    struct Envelope {
        bool env_start = false;
        uint8_t env_divider = 0;
        uint8_t env_decay = 0;
    } env[3];
    uint8_t linear = 0;
    bool linear_reload = false;
    uint16_t lfsr = 1;
    int8_t noise_out = 0;
    static constexpr int32_t noise_periods[16] = {4, 8, 16, 32, 64, 96, 128, 160, 202, 254, 380, 508, 762, 1016, 2034, 4068};
    int32_t noise_timer = 0;
    int32_t dmc_level = 0;
    uint8_t dmc_buffer = 0;
    uint8_t dmc_control = 0;
    static constexpr uint16_t dmc_rates[16] = {428, 380, 340, 320, 286, 254, 226, 214, 190, 160, 142, 128, 106, 84, 72, 54};
    int32_t dmc_timer = 0;
    bool dmc_silence = true;
    uint8_t dmc_shift = 0;
    int32_t dmc_bits = 0;
    bool dmc_buffer_empty = true;
    uint16_t dmc_sample_addr = 0;
    uint16_t dmc_sample_len = 0;
    int32_t dmc_direct = -1;
    uint16_t dmc_addr = 0;
    int32_t dmc_remaining = 0;
    uint8_t length[4] = {};
    struct Sweep {
        uint8_t sweep_divider = 0;
        bool sweep_reload = false;
        bool sweep_mute = false;
    } sweep[2];
    bool frame_irq = false;
    int32_t sample_rate = 0;

    APU();
    ~APU();
    APU(const APU&) = delete;
    APU& operator=(const APU&) = delete;

    void setCPU(CPU* cpu);
    // One APU step, plainly: the sequencer, the channels, the sample due. A
    // console drives its APU either by cycle() alone or by run() alone; this
    // step is the reference that run() is compared with.
    void cycle();
    // Steps until `cycles` reaches `target`: the same as calling cycle() that
    // often, with the stretches in which a step only advances timers done at
    // once (apu_fast.cpp, where the conditions it relies on are listed).
    void run(int64_t target);
    // The unit may leave the steps below `sync_by` unrun until something looks
    // at the APU: before that step no block is published and the DMC cannot
    // fetch or interrupt (run() keeps it current; a register write lowers it).
    int64_t sync_by = -1;
    // Applies the steps the last catch-up left unapplied (see run()) and forgets
    // the quiet stretch: before anything reads the channel timers or changes
    // what the stretch assumed.
    void settle();
    // A $4011 write: the level the DMC loads on its next output step.
    void load_direct(int32_t level);
    void func_frame_counter();
    void pulse(bool second);
    void triangle();
    void noise();
    void dmc();
    void clock_envs();
    void clock_linear();
    void clock_length();
    void clock_sweep();
    void start_sample();
    static uint8_t length_lookup(uint8_t index);
    uint16_t get_pulse_period(bool second) const;
    void set_pulse_period(uint16_t period, bool second);

    // A completed set waits that no reader has taken yet.
    bool audio_ready() const { return handoff.load(std::memory_order_acquire) & READY; }
    // Reader side, from any thread: copies the first `count` blocks of the newest
    // completed set into `dst` and marks it taken; false (and nothing copied) when
    // no set waits. Never waits for the stepping thread, which never waits for it.
    bool take_audio(int16_t (*dst)[BUFFER_LEN], int count);
    // The APU's part of an exact snapshot (see Fields): channels, sequencer,
    // the sample count and every block. Saving settles first (see settle()).
    // Returns the step count written or read.
    int64_t fields(Fields& f);

private:
    static constexpr uint8_t READY = 4;
    int16_t* blocks = nullptr;  // all 24 blocks in one allocation
    std::atomic<uint8_t> handoff{1};  // newest set (bits 0-1) | READY
    uint8_t fill_set = 0;  // stepping thread's next set
    uint8_t read_set = 2;  // the set readers last took
    std::mutex read_lock;  // orders readers among themselves only

    uint8_t reg(uint16_t addr) const;  // a register cell of the CPU's image
    // Hands the `live` blocks to readers as the newest set (both steps use it).
    void publish_block();

    // The fast path (apu_fast.cpp). Caches that keep divisions out of the
    // step; each is checked against the fields it was derived from, which
    // other code may change at any time.
    int64_t seq_d = 0, seq_len = 0, seq_pos = 0;  // last (cycles - frame_origin), length, position
    int64_t due_samples = -1, due_step = 0;  // `samples` falls due on step `due_step`
    int32_t due_rate = 0, due_sample_rate = 0;
    // (samples + 1) * rate = due_q * sample_rate + due_r, and rate = step_q * sample_rate + step_r:
    // the next sample's step follows from this one's without a division.
    int64_t due_q = 0, due_r = 0, step_q = 0, step_r = 0;
    // publish_step() for the block that starts at sample `pub_first`, under these rates.
    int64_t pub_first = -1, pub_step = 0;
    int32_t pub_rate = 0, pub_sample_rate = 0;
    // Steps before `cycles` that run() left unapplied, all quiet; the steps from
    // cycles - lag up to quiet_end are (a stretch is known only while lag > 0),
    // with $4017 and $400E holding lag_cells.
    int64_t lag = 0, quiet_end = -1;
    uint8_t lag_cells[2] = {};
    // What else a stretch assumed stays as it was while it lags; recorded and
    // compared in the checks builds only (src/check.h).
    struct Assumed {
        uint16_t period[3];
        uint8_t dmc_control;
        bool dmc_on, dmc_silence, dmc_buffer_empty;
        int32_t dmc_remaining;
        int64_t frame_origin;
        bool operator==(const Assumed&) const = default;
    } assumed{};
    Assumed now_assumed() const;

    void schedule();
    void refresh_schedule() {
        if (samples != due_samples || apu_rate != due_rate || sample_rate != due_sample_rate) schedule();
    }
    int64_t quiet_steps();
    int64_t event_step() const;
    void sample_steps(int64_t end);
    void skip(uint32_t n, uint8_t frame_mode, uint8_t noise_mode);
    int64_t publish_step();
    // run()'s pieces: continue a known quiet stretch, apply it whole, run
    // from a settled APU to the target, leave a new stretch lagging.
    bool stretch_holds() const;
    void extend_stretch(int64_t target);
    void finish_stretch();
    void run_to(int64_t target);
    void begin_stretch(int64_t n, int64_t left);
    // The fast path's own step and channel steps (outputs only when `out`).
    void fast_step();
    void produce_sample();
    int64_t sequencer_pos(int64_t d, int64_t len) const;
    void step_sequencer();
    void step_pulse(int i, bool out);
    void step_triangle(bool out);
    void step_noise(bool out);
    void step_dmc();
};

// The mixed sample of the channels' current outputs, as cycle() stores it:
// the formula of apu_mix.h, saturated to 16 bits.
int mix(APU* apu);

}  // namespace NES
