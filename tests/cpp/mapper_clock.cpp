// The PPU's run over long stretches, which calls a mapper's dot clock only
// where the mapper says it may act, against the same PPU stepped with cycle()
// (one dot, then the clock, every dot), for the two mappers with a dot clock:
// the IRQs raised, on which dot, and the mapper's counters must agree, with
// random register writes and rendering switched on and off in between.
#include <vector>

#include "console.h"
#include "mapper.h"
#include "rng.h"

namespace {

Rng rnd{0xD1B54A32D192ED03ull};

// A 32 KiB PRG, 8 KiB CHR iNES image for `mapper`.
std::vector<uint8_t> image(int mapper) {
    std::vector<uint8_t> img(16 + 32768 + 8192, 0);
    const uint8_t header[16] = {'N', 'E', 'S', 0x1A, 2, 1, uint8_t((mapper & 15) << 4), uint8_t(mapper & 0xF0)};
    std::memcpy(img.data(), header, sizeof header);
    for (size_t i = 16; i < img.size(); i++) img[i] = uint8_t(rnd(256));
    return img;
}

std::unique_ptr<Console> make(const std::vector<uint8_t>& img) {
    auto c = std::make_unique<Console>(std::make_unique<NES::ROM>(long(img.size()), img.data()), false);
    c->cpu->memory[0x2001] = 0x18;
    return c;
}

// The mapper's counting state, for the comparison.
std::vector<int64_t> counters(const NES::Mapper* m) {
    if (auto* a = dynamic_cast<const NES::MMC3*>(m)) return {a->irq_counter, a->irq_latch, a->irq_enabled};
    if (auto* b = dynamic_cast<const NES::NTDEC2722*>(m)) return {b->irq_counter, b->irq_enabled};
    return {};
}

// Writes `value` to CPU address `a` of both consoles' mappers.
void map_write(Console& c, uint16_t a, uint8_t value) {
    void* devices[3] = {c.cpu.get(), c.ppu.get(), c.apu.get()};
    c.rom->mapper->map_write(devices, c.cpu->memory + a, &value);
}

int check(int mapper) {
    const std::vector<uint8_t> img = image(mapper);
    auto ca = make(img), cb = make(img);
    NES::PPU& a = *ca->ppu;
    NES::PPU& b = *cb->ppu;
    int irqs = 0;
    for (int phase = 0; phase < 3000; phase++) {
        const uint32_t what = rnd(10);
        uint8_t v = uint8_t(rnd(256));
        if (what == 0) ca->cpu->memory[0x2001] = cb->cpu->memory[0x2001] = rnd(4) ? 0x18 : uint8_t(v & 0xE7);
        if (what >= 1 && what <= 4) {
            // $C000/$C001/$E000/$E001 (and $8000-$BFFF, $C000 for NTDEC): small latches, so that IRQs come often.
            static constexpr uint16_t regs[8] = {0xC000, 0xC001, 0xE000, 0xE001, 0x8000, 0xA000, 0xC000, 0xE000};
            const uint16_t reg = regs[mapper == 4 ? rnd(4) : 4 + rnd(4)];
            if (mapper == 4 && reg == 0xC000) v = uint8_t(rnd(4) ? rnd(12) : v);
            if (mapper == 40 && reg == 0xE000) v &= 3;
            map_write(*ca, reg, v);
            map_write(*cb, reg, v);
        }
        // Pieces of lines and stretches over many lines.
        const uint64_t len = rnd(3) ? 1 + rnd(700) : 341 * (1 + rnd(30)) + rnd(341);
        const uint64_t target = a.dot_count + len;
        while (a.dot_count < target) a.run(target);
        // cycle() one dot at a time; the IRQ must come after the same dot.
        while (b.dot_count < target) b.cycle();
        CHECK(ca->cpu->irq_pending == cb->cpu->irq_pending, "mapper %d phase %d: IRQ %d and %d", mapper, phase,
              ca->cpu->irq_pending, cb->cpu->irq_pending);
        irqs += ca->cpu->irq_pending;
        ca->cpu->irq_pending = cb->cpu->irq_pending = 0;
        CHECK(counters(ca->rom->mapper) == counters(cb->rom->mapper), "mapper %d phase %d: counters differ", mapper,
              phase);
        CHECK(a.scanline == b.scanline && a.dot == b.dot && a.frame_count == b.frame_count,
              "mapper %d phase %d: position differs", mapper, phase);
        if (g_failures) return 1;
    }
    // Single dots up to an IRQ: it is raised after the same dot.
    for (int k = 0; k < 200; k++) {
        a.run(a.dot_count + 1);
        b.cycle();
        CHECK(ca->cpu->irq_pending == cb->cpu->irq_pending, "mapper %d dot %d: IRQ differs", mapper, k);
    }
    CHECK(irqs > 100, "mapper %d: only %d IRQs: the comparison saw too few", mapper, irqs);
    return g_failures ? 1 : 0;
}

}  // namespace

int main() {
    int failed = 0;
    for (int mapper : {4, 40}) failed |= check(mapper);
    std::printf("%s\n", failed ? "FAILED" : "ok");
    return failed;
}
