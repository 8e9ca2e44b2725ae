#include "console.h"

namespace NES {

void link_apu(CPU& cpu, APU& apu, int32_t clock_speed) {
    cpu.clock_speed = clock_speed > 0 ? clock_speed : 2147483647;
    apu.setCPU(&cpu);
    apu.sample_rate = 44100;
    cpu.apu = &apu;
}

void link_pads(CPU& cpu, Controller* first, Controller* second) {
    cpu.set_controller(first, 0);
    cpu.set_controller(second, 1);
}

void link_ppu(CPU& cpu, PPU& ppu) {
    ppu.cpu = &cpu;
    cpu.ppu = &ppu;
    ppu.set_registers();
}

void attach(CPU& cpu, PPU& ppu, ROM& rom, bool load_ram) {
    cpu.loadRom(&rom, load_ram);
    ppu.loadRom(&rom);
}

void power_on(CPU& cpu, StepMode mode) {
    cpu.reset();
    // The normal mode's units lag; the CPU catches them up before it touches them.
    cpu.lazy_ppu = cpu.lazy_apu = mode == StepMode::normal;
}

void Console::sync() {
    if (plain()) return;  // level after every step
    apu->run(cpu->apu_target());
    const uint64_t target = uint64_t(3 * cpu->cycles);
    // A lag never holds a frame's end (an event), so one run reaches the target.
    if (ppu->dot_count < target) ppu->run(target);
    KX_ASSERT(ppu->dot_count == target, "a lagging PPU is brought level in one run");
}

}  // namespace NES
