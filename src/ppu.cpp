#include "ppu.h"

#include <cstdio>
#include <cstring>

#include "check.h"
#include "cpu.h"
#include "mapper.h"
#include "rom.h"

namespace NES {

const uint8_t NTSC_TO_RGB[64][3] = {
    {0x60, 0x60, 0x60}, {0x00, 0x1C, 0xA1}, {0x24, 0x04, 0xC8}, {0x53, 0x00, 0xB2}, {0x73, 0x00, 0x76}, {0x80, 0x00, 0x24},
    {0x73, 0x0C, 0x00}, {0x50, 0x28, 0x00}, {0x25, 0x44, 0x00}, {0x00, 0x57, 0x00}, {0x01, 0x5C, 0x00}, {0x00, 0x53, 0x24},
    {0x00, 0x3C, 0x76}, {0x00, 0x00, 0x00}, {0x00, 0x00, 0x00}, {0x00, 0x00, 0x00},
    {0xAB, 0xAB, 0xAB}, {0x0D, 0x57, 0xFF}, {0x4B, 0x30, 0xFF}, {0x8A, 0x13, 0xFF}, {0xBC, 0x09, 0xD6}, {0xD2, 0x12, 0x69},
    {0xC7, 0x2E, 0x00}, {0x9D, 0x54, 0x00}, {0x5F, 0x7B, 0x00}, {0x21, 0x98, 0x00}, {0x00, 0xA3, 0x00}, {0x00, 0x99, 0x42},
    {0x02, 0x7D, 0xB4}, {0x00, 0x00, 0x00}, {0x00, 0x00, 0x00}, {0x00, 0x00, 0x00},
    {0xFF, 0xFF, 0xFF}, {0x53, 0xAE, 0xFF}, {0x90, 0x85, 0xFF}, {0xD3, 0x65, 0xFF}, {0xFF, 0x57, 0xFF}, {0xFF, 0x5D, 0xCF},
    {0xFF, 0x77, 0x57}, {0xFA, 0x9E, 0x00}, {0xBD, 0xC7, 0x00}, {0x7A, 0xE7, 0x01}, {0x42, 0xF6, 0x0F}, {0x24, 0xEF, 0x7E},
    {0x2B, 0xD5, 0xF6}, {0x4E, 0x4E, 0x4E}, {0x00, 0x00, 0x00}, {0x00, 0x00, 0x00},
    {0xFF, 0xFF, 0xFF}, {0xB6, 0xE1, 0xFF}, {0xCF, 0xD1, 0xFF}, {0xE9, 0xC3, 0xFF}, {0xFF, 0xBC, 0xFF}, {0xFF, 0xBD, 0xF4},
    {0xFF, 0xC6, 0xC3}, {0xFF, 0xD5, 0x9A}, {0xE8, 0xE6, 0x81}, {0xCD, 0xF4, 0x81}, {0xB7, 0xFB, 0x9A}, {0xA9, 0xFA, 0xC3},
    {0xA9, 0xF0, 0xF4}, {0xB8, 0xB8, 0xB8}, {0x00, 0x00, 0x00}, {0x00, 0x00, 0x00},
};

namespace {
// index_cache value of a pixel that has never been converted (colour indices are 0-63).
constexpr uint8_t UNCONVERTED = 0xFF;
}  // namespace

PPU::PPU() { reset_state(); }

PPU::PPU(CPU* c) {
    reset_state();
    cpu = c;
    cpu->ppu = this;
    set_registers();
    if (cpu->rom) loadRom(cpu->rom);
}

void PPU::reset_state() {
    std::memset(vram, 0, sizeof vram);
    std::memset(oam, 0, sizeof oam);
    std::memset(secondary_oam, 0, sizeof secondary_oam);
    std::memset(back_image, 0, sizeof back_image);
    std::memset(front_image, 0, sizeof front_image);
    std::memset(index_cache, UNCONVERTED, sizeof index_cache);
}

void PPU::set_registers() {
    for (int i = 0; i < 8; i++) registers[i] = cpu->memory + 0x2000 + i;
    oam_dma = cpu->memory + 0x4014;
}

void PPU::loadRom(ROM* r) {
    rom = r;
    mirroring = rom->mirroring;
    devices[0] = cpu;
    devices[1] = this;
    devices[2] = cpu->apu;
    mapper = rom->mapper;
    mapper_clocked = mapper->hooks_clock;
    if (rom->chr_size > 0) {
        for (int k = 0; k < 8; k++) std::memcpy(vram + k * 1024, rom->get_chr_bank(chr_bank + k), 1024);
    } else {
        if (!cpu->quiet) {
            std::puts("CHR-RAM Copied.");
            std::fflush(stdout);
        }
        rom->chr_ram = vram;
    }
}

uint64_t PPU::fields(Fields& f) {
    if (f.saving()) catch_up_sprites();  // the countdowns as the per-dot loop leaves them
    const int32_t line = f(scanline, 0, 261);
    f(dot, 0, 340);
    f.require(f(post_render) == (line >= 240));  // the visible lines' paths index the picture by line
    const uint64_t count = f.value(dot_count);
    f(frame_count);
    f(vram), f(oam), f(secondary_oam);
    f(mirroring), f(chr_bank);
    f(in_vblank), f(vblank_suppress), f(nmi_line), f(nmi_suppress), f(rendering);
    f(v, uint16_t(0), uint16_t(0x7FFF));
    f(t, uint16_t(0), uint16_t(0x7FFF));
    f(x, uint8_t(0), uint8_t(7));
    f(fine_x_counter, uint8_t(0), uint8_t(7));
    f(w), f(oam_addr), f(read_buffer);
    f(tile_nt_addr), f(tile_at_addr), f(tile_hi), f(tile_lo);
    f.require(f.value(eval_n) % 4 == 0);
    f(eval_m, uint8_t(0), uint8_t(3));
    f(eval_done);
    f(next_count, uint8_t(0), uint8_t(8));
    f(line_sprites);
    f(line_count, int8_t(0), int8_t(8));
    f.each(line_x, -8, 255);
    f.each(next_x, 0, 255);
    const uint8_t active = f.value(active_mask);
    for (uint8_t& counter : pixel_counter)  // an active sprite's pixel is a bit of its pattern byte
        f.require(f.value(counter) <= 7 || !((active >> (&counter - pixel_counter)) & 1));
    f(sprite0_next), f(sprite0_line);
    f(oam_version);
    f(back_image), f(front_image);
    if (f.loading()) {
        // The memos, found again from the fields above.
        for (LineScan& s : line_scans) s.stamp = 0;
        for (WalkScan& s : walk_scans) s.stamp = 0;
        oam_seen = ~0ull;  // OAM compared with its copy again
        sprite_lag = 0;
        line_pixels.line = ~0ull;
        settled_key = ~0u;
        bg_words.made_for = 2;
        std::memset(index_cache, UNCONVERTED, sizeof index_cache);
    }
    return count;
}

void PPU::v_horiz() {
    if ((v & 0x001F) == 0x001F)
        v = uint16_t((v & 0xFFE0) ^ 0x0400);
    else
        v++;
}

void PPU::v_vert() {
    if ((v & 0x7000) != 0x7000) {
        v = uint16_t(v + 0x1000);
        return;
    }
    v &= 0x8FFF;
    int y = (v >> 5) & 0x1F;
    if (y == 29) {
        y = 0;
        v ^= 0x0800;
    } else if (y == 31) {
        y = 0;
    } else {
        y++;
    }
    v = uint16_t((v & ~0x03E0) | (y << 5));
}

void PPU::apply_and_update_registers() {
    if (scanline < 241 || scanline > 260) *registers[2] &= 0x7F;
}

// ---------------------------------------------------------------- The dot step
//
// cycle() is the PPU one dot at a time, written for reading: each dot does
// its own work on the PPU's fields and nothing else. The console's stepping
// (run() in ppu_fast.cpp) reaches the same states by other means; the tests
// named there hold the two equal.

void PPU::cycle() {
    KX_ASSERT(sprite_lag == 0, "cycle() on a PPU whose sprite countdowns lag behind (run() and cycle() mixed)");
    const uint8_t mask = *registers[1];
    rendering = mask & 0x18;
    if (post_render) {
        vblank_work();
    } else if (dot >= 1 && dot <= 256) {
        visible_dot(mask);
    } else if (dot == 257) {
        if (rendering) load_next_line();
    } else if (dot == 340 && scanline == 239) {
        post_render = true;
    }

    dot_count++;
    if (++dot == 341) {
        dot = 0;
        if (scanline == 261) {
            frame_count++;
            scanline = 0;
            post_render = false;
        } else {
            scanline++;
        }
    }
    // Every dot, including the idle ones: a mapper counting lines looks at
    // the advanced position.
    mapper->clock(devices);
}

// Dots 1-256 of a visible line.
void PPU::visible_dot(uint8_t mask) {
    const uint8_t ctrl = *registers[0];
    count_down_sprites();
    if ((dot - 1) % 8 == 0 && rendering) {
        latch_tile(v, ctrl);
        fine_x_counter = x;
    }
    if (dot == 1 && (mask & 0x10)) start_evaluation();
    if (dot >= 129 && rendering) evaluation_step(ctrl);
    if (dot == 256 && rendering) v_vert();
    draw_pixel(ctrl, mask);
}

// A sprite becomes active on the dot whose x is its X byte, shows its bit
// counters 7 down to 0 on eight dots and is dropped on the ninth. Runs
// whether or not rendering is on.
void PPU::count_down_sprites() {
    for (int i = 0; i < line_count; i++) {
        const uint8_t bit = uint8_t(1 << i);
        if (active_mask & bit) pixel_counter[i]--;
        if (line_x[i] == 0)
            active_mask |= bit;
        else if (line_x[i] < -7)
            active_mask &= uint8_t(~bit);
        // Past -8 the sprite is done; stopping there keeps the count from
        // overflowing through long stretches with rendering off.
        if (line_x[i] > -8) line_x[i]--;
    }
}

// Latches the background tile at `tv`; the row within it is the fine Y of `v`.
void PPU::latch_tile(uint16_t tv, uint8_t ctrl) {
    tile_nt_addr = uint16_t(0x2000 | (tv & 0x0FFF));
    tile_at_addr = uint16_t(0x23C0 | (tv & 0x0C00) | ((tv >> 4) & 0x38) | ((tv >> 2) & 0x07));
    const uint8_t tile = read(tile_nt_addr);
    const uint16_t a = uint16_t(((ctrl & 0x10) ? 0x1000 : 0) | tile << 4 | ((v >> 12) & 7));
    tile_lo = vram[a];
    tile_hi = vram[a + 8];
}

void PPU::start_evaluation() {
    eval_n = 0;
    eval_m = 0;
    eval_done = false;
    next_count = 0;
    sprite0_next = false;
    std::memset(secondary_oam, 0xFF, sizeof secondary_oam);
}

// One step of the sprite evaluation for the next line (dots 129-256): an OAM
// entry on every even dot until eight sprites are found, then the overflow
// scan on every dot.
void PPU::evaluation_step(uint8_t ctrl) {
    const unsigned h = (ctrl & 0x20) ? 16 : 8;
    if (next_count < 8) {
        if (dot % 2) return;
        const uint8_t y1 = uint8_t(oam[eval_n] + 1);
        if (!eval_done && y1 != 0) {
            uint8_t* const slot = secondary_oam + 4 * next_count;
            slot[0] = y1;  // left in the free slot even when not taken
            const int next_line = (scanline + 1) % 240;
            if (unsigned(next_line - y1) < h) {
                slot[1] = oam[eval_n + 1];
                slot[2] = oam[eval_n + 2];
                slot[3] = oam[eval_n + 3];
                next_x[next_count] = oam[eval_n + 3];
                next_count++;
                if (eval_n == 0) sprite0_next = true;
            }
        }
        eval_n = uint8_t(eval_n + 4);
        if (eval_n == 0) eval_done = true;
        return;
    }
    // The overflow scan: the current line against the raw byte; a miss moves
    // on to the next byte of the next entry as well.
    if (unsigned(scanline - oam[eval_n + eval_m]) < h)
        *registers[2] |= 0x20;
    else
        eval_m = uint8_t((eval_m + 1) & 3);
    eval_n = uint8_t(eval_n + 4);
}

// The sprite pixel at this dot: the lowest-numbered active sprite with an
// opaque pixel, whatever its priority. Returns its index, or -1 for none.
int PPU::pick_sprite(uint8_t ctrl, int& value, int& palette, bool& behind) const {
    const bool tall = ctrl & 0x20;
    int chosen = -1;
    for (int i = line_count - 1; i >= 0; i--) {
        if (!((active_mask >> i) & 1)) continue;
        const uint8_t* const e = line_sprites + 4 * i;
        const uint8_t y1 = e[0], tile = e[1], attr = e[2];
        const int table = tall ? (tile & 1) : ((ctrl >> 3) & 1);
        const int base = tall ? (tile & 0xFE) : tile;
        int r = scanline - y1;
        if (attr & 0x80) r = (tall ? 15 : 7) - r;
        const int a = (table << 12) | (r & 7) | ((((r & 0xFF) >> 3) + base) & 0xFF) << 4;
        const int k = (attr & 0x40) ? 7 - pixel_counter[i] : pixel_counter[i];
        // A count past the pattern (a state no program sets up) shows nothing.
        if (unsigned(k) >= 8u) continue;
        const int s = ((vram[(a | 8) & 0x1FFF] >> k) & 1) << 1 | ((vram[a] >> k) & 1);
        if (s) {
            chosen = i;
            value = s;
            palette = attr & 3;
            behind = attr & 0x20;
        }
    }
    return chosen;
}

// The pixel at x = dot - 1, then the fine X counter and the coarse X of `v`.
void PPU::draw_pixel(uint8_t ctrl, uint8_t mask) {
    const int px = dot - 1;
    const int bit = 7 - fine_x_counter;
    const int b = ((tile_hi >> bit) & 1) << 1 | ((tile_lo >> bit) & 1);
    const int shift = 2 * ((tile_nt_addr >> 1) & 1) + 4 * ((tile_nt_addr >> 6) & 1);
    const int bg_palette = (read(tile_at_addr) >> shift) & 3;

    // Sprites are chosen only while they are on: the sprites a line carries
    // over while they are off are not shown.
    int chosen = -1, s_value = 0, s_palette = 0;
    bool behind = false;
    if (active_mask && (mask & 0x10)) chosen = pick_sprite(ctrl, s_value, s_palette, behind);

    uint8_t& status = *registers[2];
    if (b && chosen == 0 && sprite0_line && (mask & 0x18) == 0x18 && !(status & 0x40)) status |= 0x40;

    uint8_t c;
    if (chosen >= 0 && (b == 0 || !behind))
        c = (px < 8 && !(mask & 0x04)) ? vram[0x3F00] : vram[0x3F10 + 4 * s_palette + s_value];
    else if (!(mask & 0x08) || b == 0 || (px < 8 && !(mask & 0x02)))
        c = vram[0x3F00];
    else
        c = vram[0x3F00 + 4 * bg_palette + b];
    c &= 63;  // palette bytes of 64 and above show the colour of their low six bits
    if (index_cache[scanline][px] != c) {
        index_cache[scanline][px] = c;
        std::memcpy(back_image[scanline][px], NTSC_TO_RGB[c], 3);
    }

    if (++fine_x_counter == 8) {
        // The next tile, whether or not rendering is on; `v` stays.
        fine_x_counter = 0;
        const uint16_t here = v;
        v_horiz();
        const uint16_t next = v;
        v = here;
        latch_tile(next, ctrl);
    }
    if (dot % 8 == 0 && dot <= 248 && rendering) v_horiz();
}

// Dot 257 of a visible line with rendering on: the sprites found for the
// next line become its sprites, and `v` takes the horizontal scroll from `t`.
void PPU::load_next_line() {
    oam_addr = 0;
    v = uint16_t((v & 0xFBE0) | (t & 0x041F));
    std::memcpy(line_sprites, secondary_oam, 4 * size_t(next_count));
    line_count = int8_t(next_count);
    active_mask = 0;
    std::memcpy(line_x, next_x, sizeof line_x);
    sprite0_line = sprite0_next;
    // The counters of sprites beyond the new count keep what the old line left.
    for (int i = 0; i < next_count; i++) pixel_counter[i] = 7;
}

// Lines 240-261: the frame's publication and NMI at line 241 dot 1, the
// flags cleared at line 261 dot 1, the vertical scroll copied at its dots
// 280-304.
void PPU::vblank_work() {
    if (scanline == 241 && dot == 1) {
        if (in_vblank) return;
        in_vblank = true;
        {
            std::lock_guard<std::mutex> g(frame_lock);
            std::memcpy(front_image, back_image, sizeof front_image);
        }
        if (!nmi_suppress) nmi_line = true;
        if (!vblank_suppress) *registers[2] |= 0x80;
    } else if (scanline == 261) {
        if (dot == 1) {
            vblank_suppress = nmi_line = nmi_suppress = false;
            *registers[2] &= 0x1F;
            in_vblank = false;
        } else if (dot >= 280 && dot <= 304 && rendering) {
            v = uint16_t((v & 0x841F) | (t & 0x7BE0));
        }
    }
}

}  // namespace NES
