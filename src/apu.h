#pragma once
#include <cstdint>
#include <atomic>
#include <mutex>

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
    int16_t* out[6] = {};
    std::atomic<bool> audio_ready{false};
    int32_t apu_rate = 0;
    TryLock audio_lock;
    bool lock_held = false;
    CPU* cpu = nullptr;
    int64_t samples = 0;
    bool enabled[5] = {};
    int8_t pulse_out[2] = {};
    uint8_t duty_table[4][8] = {
        {0, 1, 0, 0, 0, 0, 0, 0},
        {0, 1, 1, 0, 0, 0, 0, 0},
        {0, 1, 1, 1, 1, 0, 0, 0},
        {1, 0, 0, 1, 1, 1, 1, 1},
    };
    uint8_t pulse_step[2] = {};
    uint16_t pulse_timer[2] = {};
    uint16_t timer_period[3] = {};
    uint8_t tri_seq[32] = {15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0,
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
    int32_t noise_periods[16] = {4, 8, 16, 32, 64, 96, 128, 160, 202, 254, 380, 508, 762, 1016, 2034, 4068};
    int32_t noise_timer = 0;
    int32_t dmc_level = 0;
    uint8_t dmc_buffer = 0;
    uint8_t dmc_control = 0;
    uint16_t dmc_rates[16] = {428, 380, 340, 320, 286, 254, 226, 214, 190, 160, 142, 128, 106, 84, 72, 54};
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

    // Guards `out` and `audio_ready` between a publication on the stepping
    // thread and a reader copying the blocks out; held for one copy at most.
    std::mutex out_lock;

    APU();
    ~APU();
    APU(const APU&) = delete;
    APU& operator=(const APU&) = delete;

    void setCPU(CPU* cpu);
    void cycle();
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

private:
    int16_t* blocks = nullptr;  // the twelve blocks in one allocation
    uint8_t reg(uint16_t addr) const;
    void produce_sample();
};

int mix(APU* apu);

}  // namespace NES
