#pragma once
#include <cstdint>
#include <mutex>

#include "fields.h"

namespace NES {

class CPU;
class ROM;
class Mapper;

// The RGB colour of each of the 64 palette indices.
extern const uint8_t NTSC_TO_RGB[64][3];

class PPU {
public:
    CPU* cpu = nullptr;
    ROM* rom = nullptr;
    uint64_t dot_count = 0;
    uint64_t frame_count = 0;
    alignas(64) uint8_t vram[16384];
    uint8_t oam[256];
    uint8_t secondary_oam[32];
    int32_t scanline = 0;
    int32_t dot = 25;
    int32_t mirroring = 0;
    Mapper* mapper = nullptr;
    bool in_vblank = false;
    int32_t chr_bank = 0;
    bool vblank_suppress = false;
    bool nmi_line = false;
    bool nmi_suppress = false;
    bool rendering = false;
    uint16_t v = 0, t = 0;
    uint8_t x = 0;
    bool w = false;
    uint8_t oam_addr = 0;
    uint16_t tile_nt_addr = 0;
    uint16_t tile_at_addr = 0;
    uint16_t tile_hi = 0;
    uint16_t tile_lo = 0;
    uint8_t read_buffer = 0;
    uint8_t* registers[8] = {};
    uint8_t* oam_dma = nullptr;
    std::mutex frame_lock;
    void* devices[3] = {};
    uint8_t fine_x_counter = 0;
    bool post_render = false;
    uint8_t eval_n = 0;
    uint8_t eval_m = 0;
    bool eval_done = false;
    uint8_t next_count = 0;
    uint8_t line_sprites[32] = {};
    int8_t line_count = 0;
    // The sprite countdowns of the line: `sprite_lag` visible dots behind
    // within a line (see line_sprite_pixels); catch_up_sprites() brings them
    // up to date.
    int32_t line_x[8] = {};
    int32_t next_x[8] = {};
    uint8_t active_mask = 0;
    uint8_t pixel_counter[8] = {};
    bool sprite0_next = false;
    bool sprite0_line = false;
    uint8_t back_image[240][256][3];
    uint8_t front_image[240][256][3];
    uint8_t index_cache[240][256];

    PPU();
    explicit PPU(CPU* cpu);

    void set_registers();
    void loadRom(ROM* rom);
    uint8_t read(uint16_t addr) const { return vram[fold(addr)]; }
    void write(uint16_t addr, uint8_t value) { vram[fold(addr)] = value; }
    void map_memory(uint16_t& addr) const { addr = fold(addr); }
    int64_t get_addr(const uint8_t* p) const { return p - vram; }
    void v_horiz();
    void v_vert();
    void apply_and_update_registers();
    // One dot, then the mapper's clock: the PPU's dot step, dot by dot as
    // written (ppu.cpp). A console drives a PPU either through cycle() or
    // through run(), never both.
    void cycle();
    // Runs dots until `dot_count` reaches `target` or a frame completes
    // (then stops right after that dot); true when a frame completed.
    bool run(uint64_t target);
    // `dot_count` before the next dot at which the PPU changes what the CPU
    // samples on its own (the NMI line, an IRQ from the mapper's clock) or
    // completes a frame.
    uint64_t next_event() const;
    // True when catching up to `target` cannot change the status bits and a
    // PPUSTATUS read behaves the same at both positions (outside vertical
    // blank and the pre-render line): a read at `target` then needs no
    // catch-up.
    bool status_settled(uint64_t target) const;
    // The last target for which status_settled() holds, while nothing it
    // looks at changes.
    uint64_t settled_through() const;
    // True when the dots up to `target` read neither the scroll latches (t,
    // fine X) nor PPUCTRL: no visible dot, no dot 257 of a visible line (the
    // horizontal copy) and, with rendering on, no dot 280-304 of the
    // pre-render line (the vertical copy). A write that only changes those
    // then needs no catch-up.
    bool latches_unread(uint64_t target) const { return copies_unread(target, true); }
    // True when the dots up to `target` do not read t: no dot 257 of a
    // visible line and no dot 280-304 of the pre-render line with rendering
    // on (the copies into v). A write that only changes t then needs no
    // catch-up.
    bool t_unread(uint64_t target) const { return copies_unread(target, false); }
    // Counts the CPU's writes to sprite memory (status_settled's memo).
    uint32_t oam_version = 0;
    // Brings line_x, active_mask and pixel_counter up to date.
    void catch_up_sprites();
    // The PPU's part of an exact snapshot (see Fields): every register,
    // latch and counter (the sprite countdowns brought up to date), the
    // memories, sprite evaluation, both pictures. Returns the dot count
    // written or read.
    uint64_t fields(Fields& f);

    // Folds a nametable address ($2000-$2FFF) onto its cell of `vram`.
    uint16_t fold_nt(uint16_t a) const {
        // Horizontal, vertical, four-screen, one-screen; any other mode leaves the address.
        static constexpr uint16_t masks[4] = {0xFBFF, 0xF7FF, 0xFFFF, 0x23FF};
        return uint32_t(mirroring) < 4 ? uint16_t(a & masks[mirroring]) : a;
    }
    // Folds a 14-bit video address onto its cell of `vram`.
    uint16_t fold(uint16_t a) const {
        if (a >= 0x2000 && a < 0x3000) return fold_nt(a);
        if (a >= 0x3000 && a < 0x3F00) return a - 0x1000;
        if (a >= 0x3F00) return (a & 0xFFF3) == 0x3F10 ? (a & 0xFF0F) : (a & 0xFF1F);
        return a;
    }

private:
    // The dot step's parts (cycle(), ppu.cpp).
    void visible_dot(uint8_t mask);
    void count_down_sprites();
    void latch_tile(uint16_t tv, uint8_t ctrl);
    void start_evaluation();
    void evaluation_step(uint8_t ctrl);
    int pick_sprite(uint8_t ctrl, int& value, int& palette, bool& behind) const;
    void draw_pixel(uint8_t ctrl, uint8_t mask);
    void load_next_line();
    void vblank_work();
    void post_render_dot();

    // ---- The console's stepping (run(), ppu_fast.cpp) and its memos.
    bool mapper_clocked = false;
    // A number that changes whenever the content of OAM does: OAM is
    // compared with oam_copy when the frame or oam_version moved on (OAM
    // changes within a frame only through the CPU, which counts its writes).
    mutable uint8_t oam_copy[256] = {};
    mutable uint64_t oam_seen = ~0ull;
    mutable uint64_t oam_generation = 1;
    uint64_t oam_content() const;
    void compare_oam(uint64_t seen) const;
    // Per line, the OAM entries in range of the line after it and those
    // tested (see scan_oam), for the OAM content and sprite height of the
    // stamp.
    struct LineScan {
        uint64_t stamp = 0, in_range = 0, tested = 0;
    };
    mutable LineScan line_scans[240];
    const LineScan& line_scan(int line, unsigned h) const;
    // Per line, the OAM bytes in range of it for the overflow scan (see
    // scan_oam_bytes), stamped as line_scans.
    struct WalkScan {
        uint64_t stamp = 0, in_range[4] = {};
    };
    WalkScan walk_scans[240];
    // status_settled's bound and what it was computed for.
    mutable uint64_t settled_until = 0;
    mutable uint32_t settled_key = ~0u;
    mutable uint32_t settled_oam = 0;
    uint64_t quiet_until() const;
    uint32_t settled_key_now() const;  // what the memo is made for
    bool run_clocked(uint64_t target);  // run() without its checks
    // latches_unread (`visible`: visible dots count as reads) or t_unread.
    bool copies_unread(uint64_t target, bool visible) const;

    void reset_state();
    void step();
    bool run_dots(uint64_t target);
    void visible_span(int last, uint8_t ctrl, uint8_t mask);
    void compose_span(int first, int last, uint8_t ctrl, uint8_t mask);
    struct Span;  // compose_span's parts (ppu_fast.cpp)
    // Per background palette q: its colour 0 (the backdrop) and the
    // differences 0^1 and 2^3, each in all eight bytes, for a branch-free
    // select (the colours with bit 3 of PPUMASK clear all the backdrop); for
    // the palette bytes `key` and that bit (`made_for`, 2: none yet).
    struct BgWords {
        uint64_t key[2] = {};
        uint8_t made_for = 2;
        uint64_t p0[4], d01[4], p2[4], d23[4];
    };
    BgWords bg_words;
    const BgWords& bg_words_for(bool bg_on);
    void evaluate_span(uint8_t ctrl, int first, int last);
    uint8_t overflow_walk(uint8_t n, int steps, unsigned h);
    struct SpriteRun {
        int64_t from, to;
        uint8_t counter;
    };
    SpriteRun sprite_run(int i, int len) const;
    void advance_sprites(int len);
    int sprite_row(int i, uint8_t ctrl) const;
    // The line's sprite pixels and what they were drawn from (see
    // draw_line_sprites).
    struct LinePixels {
        uint64_t line = ~0ull;  // dot_count at dot 1 of their line
        uint8_t ctrl = 0;       // PPUCTRL's sprite size and pattern table bits
        bool any = false;       // a sprite pixel among them
        uint8_t count = 0;      // the sprites drawn: their pattern rows (sprite_row) and bytes
        uint16_t row[8] = {};
        uint8_t lo[8] = {}, hi[8] = {};
        uint64_t palette[2] = {};  // $3F10-$3F1F
        alignas(8) uint8_t spr[256] = {}, colour[256] = {};
    };
    void draw_line_sprites(uint8_t ctrl);
    LinePixels line_pixels;
    int sprite_lag = 0;  // visible dots the countdowns are behind
    bool line_sprite_pixels(uint8_t ctrl, bool sprites_on, int len);
    bool line_pixels_current(uint8_t ctrl) const;
    void sprite_dot(uint8_t ctrl, uint8_t mask);
    template <bool kSprites, bool kBuffered = false>
    void span_pixels(int first, int last, uint8_t ctrl, uint8_t mask);
    void blank_span(int last, uint8_t ctrl);
    int choose_sprite(uint8_t ctrl, int& s_value, int& s_palette, bool& behind);
    bool idle_dot(int d, int line) const;
    uint64_t idle_run() const;
    void load_line_sprites();
};

}  // namespace NES
