// Members of the model that the step does not call but that belong to its
// interface: each does its job.
#include "console.h"

int main() {
    Console nes(std::make_unique<NES::ROM>(), false);
    NES::CPU& cpu = *nes.cpu;
    NES::PPU& ppu = *nes.ppu;
    NES::APU& apu = *nes.apu;

    // The emulated clock rate over a wall-clock time: 0 without time or cycles.
    cpu.cycles = 1789773;
    CHECK(cpu.emulated_clock_speed(0) == 0, "no elapsed time");
    CHECK(cpu.emulated_clock_speed(500000000) == 3579546, "%d", cpu.emulated_clock_speed(500000000));
    cpu.cycles = 0;
    CHECK(cpu.emulated_clock_speed(1000) == 0, "no cycles");

    // PPUSTATUS bit 7 cleared outside the vertical blank lines 241-260 only.
    for (int line : {0, 240, 241, 260, 261}) {
        cpu.memory[0x2002] = 0xE0;
        ppu.scanline = line;
        ppu.apply_and_update_registers();
        const uint8_t want = line >= 241 && line <= 260 ? 0xE0 : 0x60;
        CHECK(cpu.memory[0x2002] == want, "line %d: %02x", line, cpu.memory[0x2002]);
    }

    // A pulse period in the register cells, bits 3-7 of the high cell kept.
    for (bool second : {false, true}) {
        const uint16_t base = second ? 0x4004 : 0x4000;
        cpu.memory[base + 3] = 0xA8;
        apu.set_pulse_period(0x5F3, second);
        CHECK(cpu.memory[base + 2] == 0xF3 && cpu.memory[base + 3] == 0xAD, "pulse %d cells %02x %02x", second,
              cpu.memory[base + 2], cpu.memory[base + 3]);
        CHECK(apu.get_pulse_period(second) == 0x5F3, "pulse %d period %03x", second, apu.get_pulse_period(second));
    }
    std::printf("%s\n", g_failures ? "FAILED" : "ok");
    return g_failures ? 1 : 0;
}
