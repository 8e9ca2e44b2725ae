#pragma once
#include <cstdint>
#include <limits>

#include "fields.h"

namespace NES {

// Cartridge bank-switching and IRQ logic. `devices` is always {CPU, PPU, APU};
// `target` points into the CPU memory image at the folded address.
class Mapper {
public:
    int32_t number;
    // Fast-path hint: the PPU skips the virtual call when the mapper does
    // nothing on the per-dot clock.
    bool hooks_clock = false;
    // The mapper may change video memory or mirroring when written to; the
    // PPU is brought up to date before such writes (see write_touches_ppu).
    bool touches_ppu = true;
    // The mapper acts on writes to internal RAM ($0000-$1FFF); when it does
    // not, the bus stores such writes without the call.
    bool hooks_ram_write = true;
    // The same for writes to the PPU and APU registers ($2000-$401F).
    bool hooks_register_write = true;

    explicit Mapper(int32_t n) : number(n) {}
    virtual void map_write(void** devices, uint8_t* target, uint8_t* value) = 0;
    virtual void map_read(void** devices, uint8_t* target) = 0;
    virtual void clock(void** devices) = 0;
    virtual void serialize(void** devices, char* block) = 0;
    virtual void deserialize(void** devices, char* block) = 0;
    virtual ~Mapper() = default;
    // With touches_ppu: whether writing `value` at `a` ($4020-$FFFF) may
    // change video memory or mirroring.
    virtual bool write_touches_ppu(uint16_t a, uint8_t value) const {
        (void)a;
        (void)value;
        return true;
    }

    static constexpr uint64_t NEVER = std::numeric_limits<uint64_t>::max() / 2;
    // For a mapper with a dot clock: how many of the next clock calls (one
    // after each dot, from the PPU's next dot on) can do nothing but what
    // pass_clocks does for them; the call after those may act. The PPU runs
    // such dots without calling the clock. Only a register write, a state
    // load or the clock itself changes the answer.
    virtual uint64_t quiet_clocks(void* const* devices) const {
        (void)devices;
        return NEVER;
    }
    // The effect of `n` quiet clock calls.
    virtual void pass_clocks(uint64_t n) { (void)n; }
    // The mapper's part of an exact snapshot (see Fields): every register
    // and counter. The banks it switched in are in the memories.
    virtual void fields(Fields& f) { (void)f; }
};

// A mapper whose five operations do nothing.
class InertMapper : public Mapper {
public:
    using Mapper::Mapper;
    void map_write(void**, uint8_t*, uint8_t*) override {}
    // Final: no mapper acts on reads, which the CPU's fast paths rely on (they skip the call).
    void map_read(void**, uint8_t*) override final {}
    void clock(void**) override {}
    void serialize(void**, char*) override {}
    void deserialize(void**, char*) override {}
};

class CPU;
class PPU;

// Serial-port mapper: five one-bit writes build a value; the fifth write's
// address picks control, CHR bank 0, CHR bank 1 or PRG bank.
class MMC1 : public InertMapper {
public:
    uint8_t prg_mode = 3;
    uint8_t chr_mode = 0;
    uint8_t shift = 0x10;  // bit 4 marks an empty register
    uint8_t last_value = 0;

    MMC1() : InertMapper(1) { hooks_ram_write = hooks_register_write = false; }
    void map_write(void** devices, uint8_t* target, uint8_t* value) override;
    void fields(Fields& f) override { f(prg_mode), f(chr_mode), f(shift), f(last_value); }
    // A reset and a fifth write below $E000 (control, CHR banks); the first
    // four writes only shift a bit in, and PRG banks are not the PPU's.
    bool write_touches_ppu(uint16_t a, uint8_t value) const override {
        return a >= 0x8000 && ((value & 0x80) || ((shift & 1) && a < 0xE000));
    }
    void control(CPU* cpu, PPU* ppu, uint8_t c);
};

// 16 KiB PRG bank at $8000, last 16 KiB fixed at $C000.
class UxROM : public InertMapper {
public:
    int32_t bank = 0;  // 1 KiB unit index

    UxROM() : InertMapper(2) { hooks_ram_write = hooks_register_write = false; }
    void map_write(void** devices, uint8_t* target, uint8_t* value) override;
    void fields(Fields& f) override { f(bank); }
    void serialize(void** devices, char* block) override;
    void deserialize(void** devices, char* block) override;
};

// One 8 KiB CHR bank.
class CNROM : public InertMapper {
public:
    int32_t bank = 0;  // 1 KiB unit index

    CNROM() : InertMapper(3) { hooks_ram_write = hooks_register_write = false; }
    void map_write(void** devices, uint8_t* target, uint8_t* value) override;
    void fields(Fields& f) override { f(bank); }
    void serialize(void** devices, char* block) override;
    void deserialize(void** devices, char* block) override;
};

// Eight bank registers, mirroring, PRG RAM protection and the scanline IRQ.
class MMC3 : public InertMapper {
public:
    uint8_t bank_select = 0;
    uint8_t bank_mode = 0;  // select byte whose bits 6 and 7 are laid out in memory
    uint8_t prg_ram_protect = 0;
    uint8_t prg_ram_enable = 1;
    uint8_t irq_enabled = 1;
    uint16_t reserved16 = 0;
    int32_t irq_counter = 255;  // -1: reload pending
    uint8_t irq_latch = 255;
    uint8_t reserved_a = 0;
    uint8_t reserved_b = 0;

    MMC3() : InertMapper(4) {
        hooks_clock = true;
        hooks_ram_write = hooks_register_write = false;
    }
    void map_write(void** devices, uint8_t* target, uint8_t* value) override;
    void clock(void** devices) override;
    void serialize(void** devices, char* block) override;
    void deserialize(void** devices, char* block) override;
    void scanline_clock(CPU* cpu);
    uint64_t quiet_clocks(void* const* devices) const override;
    void fields(Fields& f) override {
        f(bank_select), f(bank_mode), f(prg_ram_protect), f(prg_ram_enable), f(irq_enabled), f(reserved16);
        f(irq_counter), f(irq_latch), f(reserved_a), f(reserved_b);
    }
};

// Fixed 8 KiB banks, a switchable bank at $C000 and a dot-counting IRQ timer.
class NTDEC2722 : public InertMapper {
public:
    static constexpr uint16_t IRQ_PERIOD = 0x3000;  // PPU dots (4,096 CPU cycles)
    uint16_t irq_counter = IRQ_PERIOD;
    bool irq_enabled = true;

    NTDEC2722() : InertMapper(40) {
        hooks_clock = true;
        hooks_ram_write = hooks_register_write = false;
    }
    void map_write(void** devices, uint8_t* target, uint8_t* value) override;
    void clock(void** devices) override;
    uint64_t quiet_clocks(void* const* devices) const override;
    void pass_clocks(uint64_t n) override;
    void fields(Fields& f) override { f(irq_counter), f(irq_enabled); }
};

}  // namespace NES
