#include "mapper.h"

#include <algorithm>
#include <cstring>

#include "cpu.h"
#include "ppu.h"
#include "rom.h"

namespace NES {

namespace {

inline int wrap_unit(int64_t index, int count) {
    const int64_t r = index % count;
    return int(r < 0 ? r + count : r);
}

// Copies `units` 1 KiB PRG units, starting at unit `first`, to CPU memory at
// `dest`. Unit numbers wrap modulo the PRG size, so a window that would run
// past the end of the data continues from its start.
void copy_prg(CPU* cpu, uint32_t dest, int64_t first, int units) {
    ROM* rom = cpu->rom;
    const int count = rom->prg_size / 1024;
    int u = wrap_unit(first, count);
    for (int k = 0; k < units; k++) {
        std::memcpy(cpu->memory + dest + k * 1024, rom->get_prg_bank(u), 1024);
        if (++u == count) u = 0;
    }
}

// The same for CHR into the PPU's pattern memory. Without CHR ROM the source
// is that pattern memory itself, so the units are staged first and a copy onto
// itself (or onto an overlapping run) leaves the data as it was.
void copy_chr(PPU* ppu, uint32_t dest, int64_t first, int units) {
    ROM* rom = ppu->rom;
    const int count = rom->chr_size > 0 ? rom->chr_size / 1024 : 8;
    int u = wrap_unit(first, count);
    if (rom->chr_size > 0) {
        for (int k = 0; k < units; k++) {
            std::memcpy(ppu->vram + dest + k * 1024, rom->get_chr_bank(u), 1024);
            if (++u == count) u = 0;
        }
        return;
    }
    uint8_t staged[8192];
    for (int k = 0; k < units; k++) {
        std::memcpy(staged + k * 1024, rom->get_chr_bank(u), 1024);
        if (++u == count) u = 0;
    }
    std::memcpy(ppu->vram + dest, staged, size_t(units) * 1024);
}

inline int last16(const CPU* cpu) { return cpu->rom->prg_size / 1024 - 16; }

inline void put32(char* p, int32_t v) {
    const uint32_t u = uint32_t(v);
    for (int i = 0; i < 4; i++) p[i] = char(uint8_t(u >> (8 * i)));
}

inline int32_t get32(const char* p) {
    uint32_t u = 0;
    for (int i = 0; i < 4; i++) u |= uint32_t(uint8_t(p[i])) << (8 * i);
    return int32_t(u);
}

}  // namespace

// ---------------------------------------------------------------- MMC1

void MMC1::map_write(void** devices, uint8_t* target, uint8_t* value) {
    CPU* cpu = static_cast<CPU*>(devices[0]);
    const int64_t a = cpu->get_addr(target);
    if (a < 0x8000 || a > 0xFFFF) return;
    PPU* ppu = static_cast<PPU*>(devices[1]);
    const uint8_t v = *value;
    if (v & 0x80) {
        shift = 0x10;
        control(cpu, ppu, 0x0C);
        return;
    }
    const uint8_t old = shift;
    shift = uint8_t(((v & 1) << 4) | (old >> 1));
    if (!(old & 1)) return;  // fewer than five bits so far
    const uint8_t n = shift;
    last_value = n;
    if (a < 0xA000) {
        control(cpu, ppu, n);
    } else if (a < 0xC000) {
        if (chr_mode == 0)
            copy_chr(ppu, 0x0000, (n & 0x1E) * 4, 8);
        else
            copy_chr(ppu, 0x0000, n * 4, 4);
    } else if (a < 0xE000) {
        if (chr_mode == 1) copy_chr(ppu, 0x1000, n * 4, 4);
    } else {
        switch (prg_mode) {
            case 0:
            case 1:
                copy_prg(cpu, 0x8000, (n & 0x1E) * 16, 32);
                break;
            case 2:
                copy_prg(cpu, 0x8000, 0, 16);
                copy_prg(cpu, 0xC000, n * 16, 16);
                break;
            default:
                copy_prg(cpu, 0x8000, n * 16, 16);
                copy_prg(cpu, 0xC000, last16(cpu), 16);
                break;
        }
    }
    shift = 0x10;
}

void MMC1::control(CPU* cpu, PPU* ppu, uint8_t c) {
    // Switching between horizontal and vertical keeps the second visible
    // screen: its data moves to the slot the new arrangement shows.
    switch (c & 3) {
        case 0:
        case 1:
            ppu->mirroring = 3;
            break;
        case 2:
            if (ppu->mirroring == 0) std::memcpy(ppu->vram + 0x2400, ppu->vram + 0x2800, 0x400);
            ppu->mirroring = 1;
            break;
        default:
            if (ppu->mirroring == 1) std::memcpy(ppu->vram + 0x2800, ppu->vram + 0x2400, 0x400);
            ppu->mirroring = 0;
            break;
    }
    prg_mode = (c >> 2) & 3;
    chr_mode = (c >> 4) & 1;
    if (prg_mode == 2)
        copy_prg(cpu, 0x8000, 0, 16);
    else if (prg_mode == 3)
        copy_prg(cpu, 0xC000, last16(cpu), 16);
}

// ---------------------------------------------------------------- UxROM

namespace {
void uxrom_layout(CPU* cpu, int32_t bank) {
    copy_prg(cpu, 0x8000, bank, 16);
    copy_prg(cpu, 0xC000, last16(cpu), 16);
}
}  // namespace

void UxROM::map_write(void** devices, uint8_t* target, uint8_t* value) {
    CPU* cpu = static_cast<CPU*>(devices[0]);
    const int64_t a = cpu->get_addr(target);
    if (a < 0x8000 || a > 0xFFFF) return;
    bank = uint8_t(*value << 4);
    // The window already holds this bank (the attach, this write and a state
    // load all lay out cpu->prg_bank, and CPU writes never reach PRG memory):
    // no copy. Programs that write the register on every instruction would
    // otherwise copy 32 KiB per instruction.
    if (cpu->prg_bank == bank) return;
    cpu->prg_bank = bank;
    uxrom_layout(cpu, bank);
}

void UxROM::serialize(void**, char* block) { put32(block, bank); }

void UxROM::deserialize(void** devices, char* block) {
    CPU* cpu = static_cast<CPU*>(devices[0]);
    bank = get32(block);
    cpu->prg_bank = bank;
    uxrom_layout(cpu, bank);
}

// ---------------------------------------------------------------- CNROM

namespace {
// Re-attaches the cartridge to the PPU so that it copies CHR from `bank`.
// Without CHR ROM there is nothing to copy (the pattern memory is the CHR
// RAM), so the PPU is left alone.
void cnrom_layout(PPU* ppu, int32_t bank) {
    const int units = ppu->rom->chr_size / 1024;
    if (units == 0) {
        ppu->chr_bank = 0;
        return;
    }
    // Kept within the ROM: the attach adds unit offsets to it.
    ppu->chr_bank = wrap_unit(bank, units);
    ppu->loadRom(ppu->rom);
}
}  // namespace

void CNROM::map_write(void** devices, uint8_t* target, uint8_t* value) {
    CPU* cpu = static_cast<CPU*>(devices[0]);
    const int64_t a = cpu->get_addr(target);
    if (a < 0x8000 || a > 0xFFFF) return;
    PPU* ppu = static_cast<PPU*>(devices[1]);
    const int banks = ppu->rom->chr_size / 8192;
    bank = banks > 0 ? (*value % banks) * 8 : 0;  // no CHR ROM: always bank 0
    cnrom_layout(ppu, bank);
}

void CNROM::serialize(void**, char* block) { put32(block, bank); }

void CNROM::deserialize(void** devices, char* block) {
    bank = get32(block);
    cnrom_layout(static_cast<PPU*>(devices[1]), bank);
}

// ---------------------------------------------------------------- MMC3

void MMC3::map_write(void** devices, uint8_t* target, uint8_t* value) {
    CPU* cpu = static_cast<CPU*>(devices[0]);
    const int64_t a = cpu->get_addr(target);
    if (a < 0x8000) {
        if (prg_ram_protect && a >= 0x6000) *value = *target;  // the store writes the old byte back
        return;
    }
    if (a > 0xFFFF) return;
    PPU* ppu = static_cast<PPU*>(devices[1]);
    const uint8_t v = *value;
    const bool odd = a & 1;
    switch ((a >> 13) & 3) {
        case 0:  // $8000-$9FFF
            if (!odd) {
                bank_select = v;
                const uint8_t d = bank_mode ^ v;
                if (d & 0x40) std::swap_ranges(cpu->memory + 0x8000, cpu->memory + 0xA000, cpu->memory + 0xC000);
                if (d & 0x80) std::swap_ranges(ppu->vram, ppu->vram + 0x1000, ppu->vram + 0x1000);
                bank_mode = v;
            } else {
                const int r = bank_select & 7;
                const uint32_t inv = (bank_mode & 0x80) ? 0x1000 : 0;
                switch (r) {
                    case 0:
                    case 1:
                        copy_chr(ppu, (uint32_t(r) * 0x800) ^ inv, v & 0xFE, 2);
                        break;
                    case 2:
                    case 3:
                    case 4:
                    case 5:
                        copy_chr(ppu, (0x1000 + uint32_t(r - 2) * 0x400) ^ inv, v, 1);
                        break;
                    case 6:
                        copy_prg(cpu, (bank_mode & 0x40) ? 0xC000 : 0x8000, (v & 0x3F) * 8, 8);
                        break;
                    default:
                        copy_prg(cpu, 0xA000, (v & 0x3F) * 8, 8);
                        break;
                }
            }
            break;
        case 1:  // $A000-$BFFF
            if (!odd) {
                if (ppu->mirroring != 2) ppu->mirroring = (v & 1) ? 0 : 1;
            } else {
                prg_ram_enable = (v >> 7) & 1;
                prg_ram_protect = (v >> 6) & 1;
            }
            break;
        case 2:  // $C000-$DFFF
            if (!odd)
                irq_latch = v;
            else
                irq_counter = -1;
            break;
        default:  // $E000-$FFFF
            irq_enabled = odd ? 1 : 0;
            break;
    }
}

void MMC3::scanline_clock(CPU* cpu) {
    // A step that finds 0 or below (-1 is a pending reload; a slot file may
    // hold any 32-bit value) loads the latch as it is now, so a latch written
    // in the IRQ handler sets the next period; otherwise it counts down. The
    // IRQ follows the counter being 0 after the step, however it got there:
    // a period of L + 1 steps, and a step every time with a latch of 0.
    if (irq_counter <= 0)
        irq_counter = irq_latch;
    else
        --irq_counter;
    if (irq_counter == 0 && irq_enabled) cpu->irq_pending = 1;
}

void MMC3::clock(void** devices) {
    const PPU* ppu = static_cast<const PPU*>(devices[1]);
    if (ppu->dot != 256 || ppu->in_vblank || !(*ppu->registers[1] & 0x18)) return;
    scanline_clock(static_cast<CPU*>(devices[0]));
}

uint64_t MMC3::quiet_clocks(void* const* devices) const {
    // Only the call that finds the PPU leaving dot 255 (`dot` 256) can step
    // the counter.
    const int dot = static_cast<const PPU*>(devices[1])->dot;  // 0-340
    return uint64_t(dot <= 255 ? 255 - dot : 255 + 341 - dot);
}

void MMC3::serialize(void**, char* block) {
    block[0] = char(bank_select);
    block[1] = char(bank_mode);
    block[2] = char(prg_ram_protect);
    block[3] = char(prg_ram_enable);
    block[4] = char(irq_enabled);
    block[5] = char(uint8_t(reserved16));
    block[6] = char(uint8_t(reserved16 >> 8));
    put32(block + 7, irq_counter);
    block[11] = char(irq_latch);
    block[12] = char(reserved_a);
    block[13] = char(reserved_b);
}

void MMC3::deserialize(void**, char* block) {
    bank_select = uint8_t(block[0]);
    bank_mode = uint8_t(block[1]);
    prg_ram_protect = uint8_t(block[2]);
    prg_ram_enable = uint8_t(block[3]);
    irq_enabled = uint8_t(block[4]);
    reserved16 = uint16_t(uint8_t(block[5]) | uint8_t(block[6]) << 8);
    irq_counter = get32(block + 7);
    irq_latch = uint8_t(block[11]);
    reserved_a = uint8_t(block[12]);
    reserved_b = uint8_t(block[13]);
}

// ---------------------------------------------------------------- NTDEC 2722

void NTDEC2722::map_write(void** devices, uint8_t* target, uint8_t* value) {
    CPU* cpu = static_cast<CPU*>(devices[0]);
    const int64_t a = cpu->get_addr(target);
    if (a < 0x8000 || a > 0xFFFF) return;
    switch ((a >> 13) & 3) {
        case 0:
            irq_enabled = false;
            irq_counter = IRQ_PERIOD;
            break;
        case 1:
            irq_enabled = true;
            break;
        case 2:
            break;
        default:
            copy_prg(cpu, 0xC000, int64_t(*value) * 8, 8);
            break;
    }
}

void NTDEC2722::clock(void** devices) {
    if (!irq_enabled) return;
    if (--irq_counter == 0) {
        static_cast<CPU*>(devices[0])->irq_pending = 1;
        irq_counter = IRQ_PERIOD;
    }
}

uint64_t NTDEC2722::quiet_clocks(void* const*) const {
    // Every call counts down; the one that reaches 0 raises the IRQ.
    return irq_enabled ? uint16_t(irq_counter - 1) : NEVER;
}

void NTDEC2722::pass_clocks(uint64_t n) {
    if (irq_enabled) irq_counter = uint16_t(irq_counter - n);
}

}  // namespace NES
