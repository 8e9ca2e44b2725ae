// The PPU run by the console's stepping (run(): long spans with whole lines
// composed at once, some stretches a dot at a time) against the same PPU
// stepped by cycle(), the dot step as written, from the same random video
// memory, sprites and register changes between spans: the picture, the
// status bits and every piece of rendering state must agree, and so must
// their snapshots, which run on alike from any dot.
#include <cinttypes>
#include <vector>

#include "console.h"
#include "rng.h"

namespace {

Rng rnd{0x9E3779B97F4A7C15ull};

void run_to(NES::PPU& ppu, uint64_t target, bool per_dot) {
    while (ppu.dot_count < target) ppu.run(per_dot ? ppu.dot_count + 1 : target);
}

void cycle_to(NES::PPU& ppu, uint64_t target) {
    while (ppu.dot_count < target) ppu.cycle();
}

// The first difference between the two PPUs, or nullptr.
const char* differs(const NES::PPU& a, const NES::PPU& b) {
#define SAME(f) \
    if (std::memcmp(&a.f, &b.f, sizeof a.f)) return #f
    SAME(dot_count); SAME(frame_count); SAME(scanline); SAME(dot); SAME(v); SAME(t); SAME(x);
    SAME(tile_nt_addr); SAME(tile_at_addr); SAME(tile_lo); SAME(tile_hi); SAME(fine_x_counter);
    SAME(eval_n); SAME(eval_m); SAME(eval_done); SAME(next_count); SAME(next_x); SAME(secondary_oam);
    SAME(sprite0_next); SAME(line_sprites); SAME(line_count); SAME(line_x); SAME(active_mask);
    SAME(pixel_counter); SAME(sprite0_line); SAME(oam_addr); SAME(in_vblank); SAME(nmi_line);
    SAME(post_render); SAME(back_image); SAME(front_image); SAME(index_cache); SAME(vram);
#undef SAME
    if (*a.registers[2] != *b.registers[2]) return "PPUSTATUS";
    return nullptr;
}

// The PPU's snapshot fields as bytes, and loaded back.
std::vector<uint8_t> image(NES::PPU& p) {
    NES::Fields count(NES::Fields::Mode::save, nullptr, 0);
    p.fields(count);
    std::vector<uint8_t> out(count.used());
    NES::Fields f(NES::Fields::Mode::save, out.data(), out.size());
    p.fields(f);
    return out;
}
bool load(NES::PPU& p, std::vector<uint8_t>& img) {
    NES::Fields f(NES::Fields::Mode::load, img.data(), img.size());
    p.fields(f);
    return f.ok();
}

}  // namespace

int main() {
    auto make = [] { return std::make_unique<Console>(std::make_unique<NES::ROM>(), false); };
    for (int trial = 0; trial < 30; trial++) {
        auto ca = make(), cb = make(), cc = make();
        NES::PPU& a = *ca->ppu;
        NES::PPU& b = *cb->ppu;
        NES::PPU& c = *cc->ppu;  // takes a's snapshots
        // Random patterns, names and palettes; a random number of sprites
        // spread over the screen, the rest hidden below it.
        const int shown = int(rnd(65));
        const int sparse = int(rnd(3));  // patterns with fewer opaque pixels in some trials
        for (int i = 0; i < 16384; i++) {
            a.vram[i] = uint8_t(rnd(256));
            for (int k = 0; k < sparse && i < 0x2000; k++) a.vram[i] &= uint8_t(rnd(256));
        }
        for (int i = 0; i < 256; i++) a.oam[i] = uint8_t(i % 4 == 0 && i / 4 >= shown ? 0xF0 + rnd(16) : rnd(256));
        // Crowded lines in some trials: the Y bytes in a band of lines, so
        // that eight sprites are found and the overflow scan runs, or every
        // byte in it, so that the scan's diagonal walk hits often.
        const uint32_t crowd = rnd(3), band = rnd(200);
        for (int i = 0; i < 4 * shown && crowd; i++)
            if (i % 4 == 0 || crowd == 2) a.oam[i] = uint8_t(band + rnd(40));
        a.oam[3] = uint8_t(rnd(2) ? 0 : rnd(256));  // sprite 0 often at the left edge
        a.mirroring = b.mirroring = int(rnd(4));
        std::memcpy(b.vram, a.vram, sizeof a.vram);
        std::memcpy(b.oam, a.oam, sizeof a.oam);
        for (int phase = 0; phase < 120; phase++) {
            // What a program can change between two spans: PPUCTRL, PPUMASK,
            // PPUSTATUS (a write stores the byte), the scroll and the address,
            // a background palette entry, a CHR bank (1 KiB of patterns) and
            // the sprite palettes.
            const uint32_t what = rnd(11);
            uint8_t* ma = ca->cpu->memory;
            uint8_t* mb = cb->cpu->memory;
            if (what == 0) ma[0x2000] = mb[0x2000] = uint8_t(rnd(256));
            if (what <= 2) ma[0x2001] = mb[0x2001] = uint8_t(rnd(4) ? 0x18 | rnd(256) : rnd(256));
            if (what == 3) a.x = b.x = uint8_t(rnd(8));
            if (what == 4) a.v = b.v = a.t = b.t = uint16_t(rnd(0x8000));
            if (what == 5) a.t = b.t = uint16_t(rnd(0x8000));
            if (what == 6 || rnd(2)) ma[0x2002] = mb[0x2002] = uint8_t(rnd(256));
            if (what == 8) {
                const uint32_t entry = 0x3F00 + rnd(16);
                a.vram[entry] = b.vram[entry] = uint8_t(rnd(256));
            }
            if (what == 9) {
                const uint32_t bank = 1024 * rnd(8);
                for (uint32_t i = bank; i < bank + 1024; i++) a.vram[i] = b.vram[i] = uint8_t(rnd(256));
            }
            if (what == 10)
                for (int i = 0x3F11; i < 0x3F20; i++) a.vram[i] = b.vram[i] = uint8_t(rnd(64));
            if (what == 7) {  // also sprite countdowns that no program can set up, at a line start
                while (a.dot != 1 || a.post_render) {
                    run_to(a, a.dot_count + 1, true);
                    cycle_to(b, b.dot_count + 1);
                }
                a.line_count = b.line_count = int8_t(1 + rnd(8));
                a.active_mask = b.active_mask = 0;
                for (int i = 0; i < 8; i++) {
                    a.line_x[i] = b.line_x[i] = int32_t(rnd(2) ? rnd(300) - 20 : rnd(16) - 8);
                    a.pixel_counter[i] = b.pixel_counter[i] = 7;
                }
            }
            // Short spans inside a line and long ones over many lines; some
            // short stretches a dot at a time (on a line whose sprites were
            // composed, a single dot reads them).
            const uint32_t kind = rnd(6);
            const uint64_t len = kind < 4 ? 1 + rnd(400) : 341 * (1 + rnd(60)) + rnd(341);
            const uint64_t target = a.dot_count + len;
            run_to(a, target, kind == 0);
            cycle_to(b, target);
            std::vector<uint8_t> saved = image(a);
            CHECK(saved == image(b), "trial %d phase %d (line %d dot %d): the snapshots differ", trial, phase,
                  a.scanline, a.dot);
            // a's snapshot loaded into a PPU that has composed other sprites
            // on this line from another OAM, as another console at the same
            // frame and count of OAM writes may have, then run on beside a
            // (not while countdowns that no program can set up are out of
            // the snapshot's range).
            if (rnd(4) == 0 && load(c, saved)) {
                uint8_t* mc = cc->cpu->memory;
                std::memcpy(mc + 0x2000, ma + 0x2000, 8);
                for (int i = 0; i < 256; i++) c.oam[i] = uint8_t(c.scanline + 1 - rnd(17));
                for (int i = 0; i < 32; i++) c.line_sprites[i] = uint8_t(rnd(256));
                c.line_count = int8_t(1 + rnd(8));
                c.active_mask = 0;
                for (int i = 0; i < 8; i++) {
                    c.line_x[i] = int32_t(rnd(264)) - 8;
                    c.pixel_counter[i] = 7;
                }
                run_to(c, c.dot_count + 2 + rnd(40), false);
                load(c, saved);
                std::memcpy(mc + 0x2000, ma + 0x2000, 8);
                const uint64_t later = a.dot_count + 1 + rnd(400);
                run_to(a, later, false);
                cycle_to(b, later);
                run_to(c, later, false);
                CHECK(image(c) == image(a) && mc[0x2002] == ma[0x2002],
                      "trial %d phase %d (line %d dot %d): a snapshot loaded elsewhere ran on otherwise", trial, phase,
                      a.scanline, a.dot);
            }
            a.catch_up_sprites();  // the countdowns of long spans run behind
            const char* field = differs(a, b);
            CHECK(!field, "trial %d phase %d (line %d dot %d, mask $%02X): %s differs", trial, phase, a.scanline,
                  a.dot, ma[0x2001], field);
            if (field) return 1;
        }
    }
    std::printf("%s\n", g_failures ? "FAILED" : "ok");
    return g_failures ? 1 : 0;
}
