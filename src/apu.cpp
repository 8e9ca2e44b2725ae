// The APU as a plain model: the channels, the frame sequencer, the step and
// the mixer, one APU step at a time. A console that steps the APU with cycle()
// alone (the plain mode) runs nothing of apu_fast.cpp (the bus calls settle()
// and load_direct() only for a lagging APU); the normal console runs run()
// (apu_fast.cpp), which must give bit-identical results.
#include "apu.h"

#include <cstring>
#include <limits>

#include "apu_mix.h"
#include "check.h"
#include "cpu.h"

namespace NES {

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

uint8_t APU::reg(uint16_t addr) const { return cpu->memory[addr]; }

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

void APU::pulse(bool second) {
    const int i = second ? 1 : 0;
    const uint8_t r0 = reg(uint16_t(0x4000 + 4 * i)), r1 = reg(uint16_t(0x4001 + 4 * i));
    if (((r1 & 0x80) && sweep[i].sweep_mute) || timer_period[i] <= 7 || length[i] == 0) {
        pulse_out[i] = 0;
    } else {
        const int vol = (r0 & 0x10) ? (r0 & 0x0F) : env[i].env_decay;
        pulse_out[i] = int8_t(duty_table[r0 >> 6][pulse_step[i]] == 1 ? vol : -vol);
    }
    pulse_timer[i] = uint16_t((pulse_timer[i] + 1) % (timer_period[i] + 1));
    if (pulse_timer[i] == 0) pulse_step[i] = uint8_t((pulse_step[i] + 1) & 7);
}

void APU::triangle() {
    if (linear != 0 && length[2] != 0 && timer_period[2] > 1)
        tri_out = float((tri_seq[tri_step] - 7.5) * 2);
    else
        tri_out = 0;
    tri_timer = uint16_t((tri_timer + 1) % (timer_period[2] + 1));
    if (tri_timer == 0) tri_step = uint8_t((tri_step + 1) & 31);
}

void APU::noise() {
    if (noise_timer == 0) {
        const int second_tap = (reg(0x400E) & 0x80) ? (lfsr >> 6) & 1 : (lfsr >> 1) & 1;
        const int feedback = (lfsr & 1) ^ second_tap;
        lfsr = uint16_t(((lfsr & 0x7FFF) >> 1) | (feedback << 14));
    }
    const uint8_t vol = reg(0x400C);
    if (length[3] == 0 || (lfsr & 1))
        noise_out = 0;
    else
        noise_out = int8_t((vol & 0x10) ? (vol & 0x0F) : env[2].env_decay);
    noise_timer = (noise_timer + 1) % (noise_periods[reg(0x400E) & 0x0F] / 2);
}

void APU::dmc() {
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
    dmc_timer = (dmc_timer + 1) % (dmc_rates[dmc_control & 0x0F] / 2);
}

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

void APU::func_frame_counter() {
    const uint8_t mode = reg(0x4017);
    const int64_t len = (mode & 0x80) ? 18640 : 14916;
    const int64_t pos = (cycles - frame_origin) % len;  // negative before frame_origin
    if (pos == 3729 || pos == 7458 || pos == 11187 || pos == 0) {
        clock_envs();
        clock_linear();
    }
    if (pos == 7458 || pos == 0) {
        clock_length();
        clock_sweep();
    }
    if (pos == 0 && !(mode & 0xC0)) frame_irq = true;
}

namespace {
struct ChannelValues {
    float v[5];  // pulse 1, pulse 2, triangle, noise, DMC; 0 for a disabled channel
};

ChannelValues channel_values(const APU* a) {
    using namespace mixing;
    ChannelValues c;
    c.v[0] = a->enabled[0] ? pulse_value(a->pulse_out[0]) : 0.0f;
    c.v[1] = a->enabled[1] ? pulse_value(a->pulse_out[1]) : 0.0f;
    c.v[2] = a->enabled[2] ? tri_value(a->tri_out) : 0.0f;
    c.v[3] = a->enabled[3] ? noise_value(a->noise_out) : 0.0f;
    c.v[4] = a->enabled[4] ? dmc_value(a->dmc_level) : 0.0f;
    return c;
}
}  // namespace

int mix(APU* apu) {
    const ChannelValues c = channel_values(apu);
    return mixing::to_sample((((c.v[0] + c.v[1]) + c.v[2]) + c.v[3]) + c.v[4]);
}

void APU::publish_block() {
    // Fill the free set, then swap it in as the newest; the set given back
    // (the previous newest, or the readers' old one) is filled next time.
    for (int k = 0; k < 6; k++) std::memcpy(out[fill_set][k], live[k], BUFFER_LEN * sizeof(int16_t));
    fill_set = handoff.exchange(uint8_t(fill_set | READY), std::memory_order_acq_rel) & 3;
    if (lock_held) audio_lock.unlock();
    lock_held = false;
}

void APU::cycle() {
    KX_ASSERT(lag == 0, "an APU stepped by cycle() alone never lags");
    func_frame_counter();
    pulse(false);
    pulse(true);
    triangle();
    triangle();  // the triangle timer runs at the CPU rate; this call's output is kept
    noise();
    dmc();
    if (!audio_ready() && !lock_held && audio_lock.try_lock()) lock_held = true;
    // sample_rate <= 0 makes `due` at most 0: no sample is ever due.
    const int64_t rate = apu_rate > 0 ? apu_rate : 1;
    const int64_t due = cycles * sample_rate / rate;
    if (samples < due) {
        const int i = int(samples % BUFFER_LEN);
        if (i == 0) publish_block();
        const ChannelValues c = channel_values(this);
        live[0][i] = int16_t(mix(this));
        for (int k = 0; k < 5; k++) live[k + 1][i] = mixing::to_sample(c.v[k]);
        samples++;
    }
    cycles++;
}

bool APU::take_audio(int16_t (*dst)[BUFFER_LEN], int count) {
    std::lock_guard<std::mutex> g(read_lock);
    if (!audio_ready()) return false;
    // Only readers clear READY, so the exchange takes a waiting set: this one or a newer.
    read_set = handoff.exchange(read_set, std::memory_order_acq_rel) & 3;
    for (int k = 0; k < count; k++) std::memcpy(dst[k], out[read_set][k], BUFFER_LEN * sizeof(int16_t));
    return true;
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

}  // namespace NES
