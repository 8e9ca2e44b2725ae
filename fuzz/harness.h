// Shared by the fuzz harnesses and the C++ tests: a console that owns its
// parts, wired and stepped by the core's NES::Console, and a small reader over
// the fuzzer's bytes.
#pragma once
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "apu.h"
#include "console.h"
#include "controller.h"
#include "cpu.h"
#include "ppu.h"
#include "rom.h"

namespace fuzz {

// The loader, the attach and the CPU's diagnostics print to stdout on every
// input; libFuzzer reports on stderr, so stdout goes nowhere unless asked for.
inline void report_slow_frames();

inline void quiet_stdout() {
    std::atexit(report_slow_frames);
    if (std::getenv("KESTRIX_FUZZ_VERBOSE")) return;
    std::fflush(stdout);
    if (!std::freopen("/dev/null", "w", stdout)) std::perror("freopen /dev/null");
}

// Reads the fuzzer's bytes front to back; past the end every read gives 0.
class Reader {
public:
    Reader(const uint8_t* data, size_t size) : p(data), end(data + size) {}
    uint8_t u8() { return p < end ? *p++ : 0; }
    uint16_t u16() {
        const uint16_t lo = u8();
        return uint16_t(lo | u8() << 8);
    }
    size_t left() const { return size_t(end - p); }
    const uint8_t* rest() const { return p; }

private:
    const uint8_t* p;
    const uint8_t* end;
};

// The mappers that have a class of their own.
inline constexpr int MAPPERS[6] = {0, 1, 2, 3, 4, 40};

// A console that owns its parts, wired and stepped by the core's NES::Console
// (normal mode: as the emulator unit runs it; plain mode: the model step by
// step, the reference the normal mode is compared with).
struct Console {
    std::unique_ptr<NES::CPU> cpu;
    std::unique_ptr<NES::PPU> ppu;
    std::unique_ptr<NES::APU> apu;
    std::unique_ptr<NES::ROM> rom;
    NES::Controller pads[2];
    NES::Console core;
    uint64_t steps = 0;

    // The order of the unit's constructor for a cartridge: CPU, APU, pads,
    // PPU, then the cartridge attached to the CPU, to the PPU, and the reset.
    explicit Console(std::unique_ptr<NES::ROM> r, NES::StepMode mode = NES::StepMode::normal, bool debug = false) {
        cpu = std::make_unique<NES::CPU>(debug);
        apu = std::make_unique<NES::APU>();
        NES::link_apu(*cpu, *apu, cpu->clock_speed);
        NES::link_pads(*cpu, &pads[0], &pads[1]);
        ppu = std::make_unique<NES::PPU>(cpu.get());
        rom = std::move(r);
        NES::attach(*cpu, *ppu, *rom, true);
        NES::power_on(*cpu, mode);
        core = NES::Console(cpu.get(), ppu.get(), apu.get(), mode);
    }

    // Teardown in the unit's order (the ROM first: nothing runs any more).
    ~Console() {
        rom.reset();
        cpu.reset();
        ppu.reset();
        apu.reset();
    }

    void set_pad(int port, uint8_t buttons) {
        bool b[8];
        for (int i = 0; i < 8; i++) b[i] = (buttons >> i) & 1;
        pads[port & 1].update_inputs(b);
    }

    // One instruction, then the APU and the PPU catch up.
    void step() {
        core.step([] {});
        steps++;
    }

    // A run of instructions as the unit's stepping loops run them.
    void step_batch(int limit) { core.batch([] {}, limit); }

    // The PPU and the APU brought level with the CPU, as the unit does before
    // a state load or a view that must see current PPU state.
    void sync() { core.sync(); }

    // Runs until the PPU finishes a frame; false when the frame was given up.
    //
    // The opcodes $02, $12, ... $F2 execute in zero cycles (their cycle table
    // entries are 0), so a program made of them walks the address space
    // without time passing; one pass per 7 cycles makes a frame of tens of
    // millions of instructions (see README.md). Such a frame is given up
    // after 20,000 zero-cycle instructions. Otherwise a frame
    // (29,781 cycles, at least 2 per instruction) ends within about 15,000
    // instructions, so 100,000 means that the PPU stopped following the CPU.
    bool frame() {
        const uint64_t start = ppu->frame_count;
        int zero_cycle = 0;
        for (int n = 0; n < 100000; n++) {
            const int64_t before = cpu->cycles;
            step();
            if (ppu->frame_count != start) {
                core.sync_apu();
                return true;
            }
            if (cpu->cycles == before && ++zero_cycle > 20000) {
                slow_frames++;
                return false;
            }
        }
        std::fprintf(stderr, "frame %llu did not finish within 100,000 instructions (CPU cycles %lld, PPU dots %llu)\n",
                     (unsigned long long)start, (long long)cpu->cycles, (unsigned long long)ppu->dot_count);
        std::abort();
    }
    static inline uint64_t slow_frames = 0;
};

inline void report_slow_frames() {
    if (Console::slow_frames)
        std::fprintf(stderr, "kestrix fuzz: %llu frames given up after 20,000 zero-cycle instructions\n",
                     (unsigned long long)Console::slow_frames);
}

// The cartridge image, or null when the loader rejects it cleanly.
inline std::unique_ptr<NES::ROM> load(const uint8_t* data, size_t size) {
    try {
        return std::make_unique<NES::ROM>(long(size), data);
    } catch (const NES::RomFormatError&) {
        return nullptr;
    }
}

}  // namespace fuzz
