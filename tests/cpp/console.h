// Shared helpers of the C++ tests: a console wired the way the emulator unit
// wires it, and a minimal check macro.
#pragma once
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "apu.h"
#include "cpu.h"
#include "ppu.h"
#include "rom.h"

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
struct Console {
    std::unique_ptr<NES::ROM> rom;
    std::unique_ptr<NES::CPU> cpu;
    std::unique_ptr<NES::PPU> ppu;
    std::unique_ptr<NES::APU> apu;

    Console(std::unique_ptr<NES::ROM> r, bool debug) : rom(std::move(r)) {
        cpu = std::make_unique<NES::CPU>(debug);
        ppu = std::make_unique<NES::PPU>(cpu.get());
        apu = std::make_unique<NES::APU>();
        apu->setCPU(cpu.get());
        apu->sample_rate = 44100;
        cpu->apu = apu.get();
        cpu->loadRom(rom.get(), true);
        ppu->loadRom(rom.get());
        cpu->reset();
    }
};
