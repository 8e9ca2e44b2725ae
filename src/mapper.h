#pragma once
#include <cstdint>

namespace NES {

// Cartridge bank-switching and IRQ logic. `devices` is always {CPU, PPU, APU};
// `target` points into the CPU memory image at the folded address.
class Mapper {
public:
    int32_t number;
    // Fast-path hints: the bus and the PPU skip the virtual call when the
    // mapper does nothing on reads or on the per-dot clock.
    bool hooks_read = false;
    bool hooks_clock = false;
    // The mapper may change video memory or mirroring when written to; the
    // PPU is brought up to date before such writes.
    bool touches_ppu = true;

    explicit Mapper(int32_t n) : number(n) {}
    virtual void map_write(void** devices, uint8_t* target, uint8_t* value) = 0;
    virtual void map_read(void** devices, uint8_t* target) = 0;
    virtual void clock(void** devices) = 0;
    virtual void serialize(void** devices, char* block) = 0;
    virtual void deserialize(void** devices, char* block) = 0;
    virtual ~Mapper() = default;
};

// A mapper whose five operations do nothing.
class InertMapper : public Mapper {
public:
    using Mapper::Mapper;
    void map_write(void**, uint8_t*, uint8_t*) override {}
    void map_read(void**, uint8_t*) override {}
    void clock(void**) override {}
    void serialize(void**, char*) override {}
    void deserialize(void**, char*) override {}
};

class MMC1 : public InertMapper {
public:
    MMC1() : InertMapper(1) {}
};

class UxROM : public InertMapper {
public:
    UxROM() : InertMapper(2) {}
};

class CNROM : public InertMapper {
public:
    CNROM() : InertMapper(3) {}
};

class MMC3 : public InertMapper {
public:
    MMC3() : InertMapper(4) {}
};

class NTDEC2722 : public InertMapper {
public:
    NTDEC2722() : InertMapper(40) {}
};

}  // namespace NES
