#include "ppu.h"

#include <bit>
#include <cstring>
#include <type_traits>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "check.h"
#include "mapper.h"

namespace NES {

// The console's stepping of the PPU: run() reaches the states that cycle()
// (ppu.cpp) reaches dot by dot, but skips, batches and postpones work where
// nothing can see the difference. Each shortcut, what it relies on, what
// re-establishes that, and what holds it equal to cycle():
//
// - Idle dots (run_dots, idle_dot/idle_run) are counted at once. Relies on:
//   PPUMASK staying the same through one run (the CPU is not running).
//   Re-established: every run() reads it again. Held by: ppu_spans,
//   the plain-vs-normal console comparison (tests/cpp/plain_compare.cpp).
// - The mapper's dot clock (run) is called only after the dot where
//   Mapper::quiet_clocks says it may act; the others are passed in bulk
//   (pass_clocks). Relies on: only a register write, a state load or the
//   clock itself changing that answer. Re-established: asked again on every
//   step of run(). Held by: tests/cpp/mapper_clock.cpp, plain_compare.
// - Spans of visible dots (visible_span, compose_span, blank_span,
//   span_pixels) are drawn at once, eight pixels to a word. Relies on:
//   nothing outside the PPU acting within a span (video memory, palette,
//   mirroring, PPUCTRL, PPUMASK, OAM unchanged): the CPU catches the PPU up
//   before any access that could (CPU::sync_ppu, Mapper::write_touches_ppu).
//   Held by: tests/cpp/ppu_spans.cpp (spans of every length and position
//   against cycle()), tests/cpp/serial_writes.cpp, plain_compare.
// - Sprite evaluation of a span at once (evaluate_span, overflow_walk), from
//   per-line masks of OAM (line_scan, walk_scans). Relies on: OAM and the
//   sprite height unchanged within the span; the masks are stamped with
//   oam_content() and the height. Held by: ppu_spans (crowded lines),
//   plain_compare.
// - Lagging sprite countdowns (sprite_lag, line_sprite_pixels,
//   draw_line_sprites): a line's sprites are composed once into line_pixels
//   and the per-dot countdowns are not run. Relies on: nothing but a new
//   composition, an unbuffered single dot, dot 257 and a snapshot reading
//   the countdowns; line_pixels_current() checks what the composition was
//   made from. Re-established: catch_up_sprites() at each of those. Held
//   by: ppu_spans (pattern and palette writes between spans), plain_compare;
//   cycle() checks that it never meets a lag.
// - PPUSTATUS reads without catch-up (status_settled, settled_through,
//   quiet_until): the CPU reads the status of a lagging PPU when no dot
//   before the read can change it. Relies on: the memo's key (PPUMASK, the
//   sprite height, status bits 5-6, oam_version) and its bound
//   settled_until. Re-established: computed again when the key changes or
//   the PPU passes the bound. Held by: tests/cpp/status_reads.cpp,
//   plain_compare; run() checks that the PPU sets no status bit inside a
//   bound it ran under.
// - Scroll and PPUCTRL writes without catch-up (copies_unread, through
//   latches_unread and t_unread). Relies on: no dot up to the write reading
//   t, fine X or PPUCTRL. Held by: status_reads (scroll writes),
//   plain_compare.
// - The OAM memo (oam_content, compare_oam): a number that changes with the
//   content of OAM, compared with a copy only when the frame or oam_version
//   moved on. Relies on: OAM changing within a frame only through the CPU,
//   which counts its writes (oam_version). Held by: ppu_spans, and a check
//   that OAM still equals the copy whenever the memo is reused.
// - next_event(): the CPU runs ahead of the PPU up to the next dot where
//   the PPU changes what the CPU samples (NMI line, mapper IRQ, frame end).
//   Held by: plain_compare.

namespace {
// A 256-entry table whose entry b ORs together place(i) for each bit i set in b.
template <class T, class Place>
constexpr auto bit_table(Place place) {
    struct Table {
        T v[256];
        constexpr T operator[](int i) const { return v[i]; }
    } t{};
    for (int b = 0; b < 256; b++)
        for (int i = 0; i < 8; i++)
            if (b >> i & 1) t.v[b] = T(t.v[b] | place(i));
    return t;
}

// SPREAD[b] has bit i of b at bit 2i: interleaves two pattern planes.
constexpr auto SPREAD = bit_table<uint16_t>([](int i) { return uint16_t(1 << (2 * i)); });

// Eight pixels are handled as the eight bytes of one 64-bit word, the
// leftmost in the lowest byte, loaded from and stored to byte rows.
static_assert(std::endian::native == std::endian::little);

// EXPAND[b] has byte i = $FF where bit 7 - i of b is set: the eight pixels of
// a pattern byte as a mask, leftmost pixel in the lowest byte.
constexpr auto EXPAND = bit_table<uint64_t>([](int i) { return uint64_t(0xFF) << (8 * (7 - i)); });

// EXPAND_FLIPPED[b] has byte i = $FF where bit i of b is set: the same for a
// horizontally flipped pattern byte.
constexpr auto EXPAND_FLIPPED = bit_table<uint64_t>([](int i) { return uint64_t(0xFF) << (8 * i); });

// NTSC_TO_RGB as one little-endian word per colour (R, G, B, then zeros):
// the rendering copy of the colour table, for word stores.
struct Rgb32 {
    uint32_t v[64];
    const uint32_t& operator[](int i) const { return v[i]; }
};
const Rgb32 RGB32 = [] {
    Rgb32 t{};
    for (int c = 0; c < 64; c++) t.v[c] = NTSC_TO_RGB[c][0] | NTSC_TO_RGB[c][1] << 8 | NTSC_TO_RGB[c][2] << 16;
    return t;
}();

constexpr uint64_t broadcast(uint8_t c) { return c * 0x0101010101010101ull; }

inline uint16_t next_tile(uint16_t a) {
    return (a & 0x001F) == 0x001F ? uint16_t((a & 0xFFE0) ^ 0x0400) : uint16_t(a + 1);
}

// `a` after k (at most 32) coarse-X increments.
inline uint16_t advance_tile(uint16_t a, int k) {
    const int cx = (a & 0x1F) + k;
    return cx >= 32 ? uint16_t(((a & 0xFFE0) ^ 0x0400) | (cx - 32)) : uint16_t(a + k);
}

// Eight pixels with background colour indices `c` and background opacity
// `o` (a byte $FF per opaque pixel) under the chosen sprite pixels `sw` and
// their colours `sc` (see draw_line_sprites): a sprite pixel shows unless it is
// behind an opaque background pixel; entry 0 over an opaque pixel is a hit.
[[gnu::always_inline]] inline uint64_t overlay8(uint64_t c, uint64_t o, uint64_t sw, uint64_t sc, bool hit_possible,
                                                uint8_t& status) {
    if (!sw) return c;
    constexpr uint64_t ones = broadcast(1);
    const uint64_t present = ((sw | sw >> 1) & ones) * 0xFF;
    const uint64_t behind = ((sw >> 5) & ones) * 0xFF;
    if (hit_possible && (sw >> 7 & ones & o)) status |= 0x40;
    const uint64_t show = present & ~(o & behind);
    return (c & ~show) | (sc & show);
}

// The same with the sprite pixels at `spr` and their colours at `spr_colour`.
[[gnu::always_inline]] inline uint64_t overlay8(uint64_t c, uint64_t o, const uint8_t* spr, const uint8_t* spr_colour,
                                                bool hit_possible, uint8_t& status) {
    uint64_t sw, sc;
    std::memcpy(&sw, spr, 8);
    if (!sw) return c;
    std::memcpy(&sc, spr_colour, 8);
    return overlay8(c, o, sw, sc, hit_possible, status);
}

// Stores eight colour indices `c` at `cache` and their RGB bytes at `rgb`
// when they differ from what the cache holds: all eight pixels, each as a
// four-byte word whose last byte the next pixel's store overwrites, the last
// as three bytes (pixels whose index did not change get the bytes they
// already hold).
[[gnu::always_inline]] inline void store8(uint8_t* cache, uint8_t* rgb, uint64_t c) {
    uint64_t old;
    std::memcpy(&old, cache, 8);
    if (old == c) return;
    std::memcpy(cache, &c, 8);
    for (int j = 0; j < 7; j++) std::memcpy(rgb + 3 * j, &RGB32[uint8_t(c >> (8 * j))], 4);
    std::memcpy(rgb + 21, &RGB32[uint8_t(c >> 56)], 3);
}

// store8 for the pixels x = px to px + n - 1 of the eight from x = gx (a
// group's first pixel) in `cache` and `rgb`: the colour indices `c` hold them
// at their places in the word.
[[gnu::always_inline]] inline void store_part(uint8_t* cache, uint8_t (*rgb)[3], int gx, int px, int n, uint64_t c) {
    if (n == 8) {
        store8(cache + gx, rgb[gx], c);
        return;
    }
    uint64_t old;
    std::memcpy(&old, cache + gx, 8);
    const int lo = 8 * (px - gx), hi = 8 * (px - gx + n);  // the bits of the part, hi at most 64
    const uint64_t part = (hi == 64 ? ~0ull : (1ull << hi) - 1) & ~((1ull << lo) - 1);
    if (!((old ^ c) & part)) return;
    for (int i = px; i < px + n; i++) {
        const uint8_t ci = uint8_t(c >> (8 * (i - gx)));
        if (cache[i] != ci) {
            cache[i] = ci;
            std::memcpy(rgb[i], NTSC_TO_RGB[ci], 3);
        }
    }
}
}  // namespace

namespace {

// Bits lo to hi - 1 (0 <= lo <= hi <= 64).
inline uint64_t bit_range(int lo, int hi) {
    const uint64_t below_hi = hi >= 64 ? ~0ull : (1ull << hi) - 1;
    return lo >= 64 ? 0 : below_hi & ~((1ull << lo) - 1);
}

// For the 64 OAM entries: bit k of `tested` when the Y byte of entry k is not
// $FF, bit k of `in_range` when it is tested and next_line - (Y + 1) is
// below h (the evaluation's range test).
inline void scan_oam(const uint8_t* oam, int next_line, unsigned h, uint64_t& in_range, uint64_t& tested) {
    in_range = tested = 0;
#if defined(__SSE2__)
    // Eight entries per step, their Y bytes as 16-bit lanes, so that
    // next_line - 1 - Y is exact.
    const __m128i low_byte = _mm_set1_epi32(0xFF);
    const __m128i top = _mm_set1_epi16(int16_t(next_line - 1));
    const __m128i below = _mm_set1_epi16(-1), height = _mm_set1_epi16(int16_t(h));
    const __m128i hidden = _mm_set1_epi16(0xFF);
    for (int q = 0; q < 8; q++) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(oam + 32 * q));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(oam + 32 * q + 16));
        const __m128i y = _mm_packs_epi32(_mm_and_si128(a, low_byte), _mm_and_si128(b, low_byte));
        const __m128i diff = _mm_sub_epi16(top, y);
        const __m128i in = _mm_and_si128(_mm_cmpgt_epi16(diff, below), _mm_cmplt_epi16(diff, height));
        const unsigned bits = unsigned(_mm_movemask_epi8(_mm_packs_epi16(in, _mm_cmpeq_epi16(y, hidden))));
        in_range |= uint64_t(bits & 0xFF) << (8 * q);
        tested |= uint64_t(~bits >> 8 & 0xFF) << (8 * q);
    }
#else
    for (int k = 0; k < 64; k++) {
        const uint8_t y1 = uint8_t(oam[4 * k] + 1);
        if (y1 == 0) continue;
        tested |= 1ull << k;
        if (unsigned(next_line - y1) < h) in_range |= 1ull << k;
    }
#endif
}

// For the overflow scan on `line` (see evaluate_span): bit k of in_range[j]
// when byte j of OAM entry k is in range of the line (line - byte below h).
inline void scan_oam_bytes(const uint8_t* oam, int line, unsigned h, uint64_t* in_range) {
    for (int j = 0; j < 4; j++) in_range[j] = 0;
#if defined(__SSE2__)
    // In range: lo <= byte <= line with lo = line - h + 1 (at least 0), so
    // byte - lo, wrapped to a byte, is at most line - lo. Sixteen entries per
    // step, in four vectors of four; each entry's byte j is brought to the
    // top of its lane, whose sign two packs carry to one byte per entry.
    const int lo = line - int(h) + 1 > 0 ? line - int(h) + 1 : 0;
    const __m128i first = _mm_set1_epi8(char(lo)), span = _mm_set1_epi8(char(line - lo));
    for (int q = 0; q < 4; q++) {
        __m128i in[4];
        for (int i = 0; i < 4; i++) {
            const __m128i off = _mm_sub_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(oam + 64 * q + 16 * i)), first);
            in[i] = _mm_cmpeq_epi8(_mm_max_epu8(off, span), span);
        }
        for (int j = 0; j < 4; j++) {
            const __m128i count = _mm_cvtsi32_si128(8 * (3 - j));
            const __m128i e01 = _mm_packs_epi32(_mm_sll_epi32(in[0], count), _mm_sll_epi32(in[1], count));
            const __m128i e23 = _mm_packs_epi32(_mm_sll_epi32(in[2], count), _mm_sll_epi32(in[3], count));
            in_range[j] |= uint64_t(unsigned(_mm_movemask_epi8(_mm_packs_epi16(e01, e23)))) << (16 * q);
        }
    }
#else
    for (int k = 0; k < 64; k++)
        for (int j = 0; j < 4; j++)
            if (unsigned(line - oam[4 * k + j]) < h) in_range[j] |= 1ull << k;
#endif
}

// Bit k of diagonal[p] when byte (k + p) & 3 of entry k is in range, from
// scan_oam_bytes' in_range.
inline void oam_diagonals(const uint64_t* in_range, uint64_t* diagonal) {
    // Entry k tests byte j on diagonal p when k & 3 == (j - p) & 3: sel[r]
    // holds the entries k with k & 3 == r.
    constexpr uint64_t sel[4] = {0x1111111111111111ull, 0x2222222222222222ull, 0x4444444444444444ull,
                                 0x8888888888888888ull};
    for (int p = 0; p < 4; p++)
        diagonal[p] = (in_range[0] & sel[-p & 3]) | (in_range[1] & sel[(1 - p) & 3]) | (in_range[2] & sel[(2 - p) & 3]) |
                      (in_range[3] & sel[(3 - p) & 3]);
}

}  // namespace

inline uint64_t PPU::oam_content() const {
    const uint64_t seen = frame_count << 32 | oam_version;
    if (seen != oam_seen) compare_oam(seen);
    KX_ASSERT(!std::memcmp(oam, oam_copy, sizeof oam_copy), "OAM changed without its writes being counted");
    return oam_generation;
}

void PPU::compare_oam(uint64_t seen) const {
    oam_seen = seen;
    if (std::memcmp(oam, oam_copy, sizeof oam_copy)) {
        std::memcpy(oam_copy, oam, sizeof oam_copy);
        oam_generation++;
    }
}

const PPU::LineScan& PPU::line_scan(int line, unsigned h) const {
    LineScan& s = line_scans[line];
    const uint64_t stamp = oam_content() << 1 | (h == 16);
    if (s.stamp != stamp) {
        scan_oam(oam, (line + 1) % 240, h, s.in_range, s.tested);
        s.stamp = stamp;
    }
    return s;
}

// The sprite evaluation steps of dots `first` to `last` (within 129-256).
// While fewer than eight sprites are found, each even dot tests one OAM entry
// and odd dots do nothing (they are skipped); then every dot makes one step of
// the overflow scan. The state lives in locals: the byte stores into
// secondary OAM would otherwise force it back to memory at every step.
// tests/cpp/ppu_spans.cpp runs it over whole lines (many entries at once)
// and dot by dot (one entry at a time) and compares.
void PPU::evaluate_span(uint8_t ctrl, int first, int last) {
    const unsigned h = (ctrl & 0x20) ? 16 : 8;
    const int next_line = (scanline + 1) % 240;
    uint8_t n = eval_n, count = next_count;  // n only ever steps by 4 from 0
    bool done = eval_done;
    int d = first;  // the first dot not yet run
    if (count < 8) {
        const int even = first + (first & 1);
        int evens = even <= last ? (last - even) / 2 + 1 : 0;  // one entry each
        d = last + 1;
        if (!done && evens > 0) {
            // The entries up to the end of OAM, where `done` is set.
            const int steps = evens < (256 - n) / 4 ? evens : (256 - n) / 4;
            int taken;
            if (steps >= 2) {
                // Two entries or more: the Y bytes of all entries tested at
                // once (kept for the line while OAM stays the same), then
                // only the sprites taken are visited. The entry at k leaves
                // its Y + 1 in the first byte of the free slot whenever it is
                // tested (Y not $FF); a take overwrites it, so only the last
                // tested entry after the last take shows. A single entry (a
                // single dot) takes the loop below, which the C++ test
                // tests/cpp/ppu_spans.cpp compares this with.
                const LineScan& scan = line_scan(scanline, h);
                const uint64_t in_range = scan.in_range, tested = scan.tested;
                const int k0 = n / 4;
                int end_k = k0 + steps, last_take = k0 - 1;
                for (uint64_t cand = in_range & bit_range(k0, end_k); cand; cand &= cand - 1) {
                    const int k = std::countr_zero(cand);
                    uint8_t* const slot = secondary_oam + 4 * count;
                    std::memcpy(slot, oam + 4 * k, 4);
                    slot[0] = uint8_t(slot[0] + 1);
                    next_x[count] = oam[4 * k + 3];
                    if (k == 0) sprite0_next = true;
                    last_take = k;
                    if (++count == 8) {
                        end_k = k + 1;
                        break;
                    }
                }
                const uint64_t late = tested & bit_range(last_take + 1, end_k);
                if (late && count < 8) secondary_oam[4 * count] = uint8_t(oam[4 * (63 - std::countl_zero(late))] + 1);
                taken = end_k - k0;
            } else {
                const uint8_t* const start = oam + n;
                const uint8_t* const end = start + 4 * steps;
                const uint8_t* e = start;
                uint8_t* slot = secondary_oam + 4 * count;
                while (e != end) {
                    const uint8_t y1 = uint8_t(e[0] + 1);
                    e += 4;
                    if (y1 == 0) continue;  // OAM Y $FF: not tested
                    slot[0] = y1;
                    if (unsigned(next_line - y1) >= h) continue;
                    slot[1] = e[-3];
                    slot[2] = e[-2];
                    slot[3] = e[-1];
                    next_x[count] = e[-1];
                    if (e - 4 == oam) sprite0_next = true;
                    slot += 4;
                    if (++count == 8) break;
                }
                taken = int(e - start) / 4;
            }
            n = uint8_t(n + 4 * taken);
            done = n == 0;
            evens -= taken;
            if (count == 8) d = even + 2 * taken - 1;  // the overflow scan starts on the next dot
        }
        if (count < 8) n = uint8_t(n + 4 * evens);  // all of OAM seen: these dots only advance the index
    }
    if (count == 8 && d <= last) n = overflow_walk(n, last - d + 1, h);  // eight sprites found
    eval_n = n;
    next_count = count;
    eval_done = done;
}

// The overflow scan's `steps` dots from entry n / 4 on (see evaluate_span),
// with its diagonal walk through OAM; returns the next n. Each dot tests
// byte m of entry k = n / 4 against this line; a hit moves on to the next
// entry, a miss to the next entry and its next byte (m + 1, wrapping at 4).
// Between hits the bytes tested lie on one diagonal, (m - k) & 3, and a run
// of hits on one byte, m: from the line's masks of both (see oam_diagonals)
// the walk goes from run to run (one entry per dot, k wrapping at the end of
// OAM). It replaces the walk dot by dot (a byte of OAM per dot), which short
// spans still take, shorter ones when the line's masks are at hand already:
// tests/cpp/ppu_spans.cpp compares the two. Kept out of line: the short
// pieces of visible_span would pay for its registers.
[[gnu::noinline]] uint8_t PPU::overflow_walk(uint8_t n, int steps, unsigned h) {
    int m = eval_m, k = n / 4;
    bool overflow = false;
    WalkScan& scan = walk_scans[scanline];
    const uint64_t stamp = oam_content() << 1 | (h == 16);
    if (steps < (scan.stamp == stamp ? 4 : 16)) {
        for (; steps > 0; steps--) {
            if (unsigned(scanline - oam[4 * k + m]) < h)
                overflow = true;
            else
                m = (m + 1) & 3;
            k = (k + 1) & 63;
        }
    } else {
        if (scan.stamp != stamp) {
            scan_oam_bytes(oam, scanline, h, scan.in_range);
            scan.stamp = stamp;
        }
        const uint64_t* const in_range = scan.in_range;
        uint64_t diagonal[4];
        oam_diagonals(in_range, diagonal);
        while (steps > 0) {
            const int run = steps < 64 - k ? steps : 64 - k;
            const uint64_t ahead = bit_range(k, k + run);
            const uint64_t hits = diagonal[(m - k) & 3] & ahead;
            const int misses = hits ? std::countr_zero(hits) - k : run;
            m = (m + misses) & 3;
            k += misses;
            steps -= misses;
            if (hits) {
                const int same = std::countr_one((in_range[m] & ahead) >> k);  // at least the hit at k
                overflow = true;
                k += same;
                steps -= same;
            }
            k &= 63;
        }
    }
    if (overflow) *registers[2] |= 0x20;
    eval_m = uint8_t(m);
    return uint8_t(4 * k);
}

// The address of sprite i's low pattern byte for this line (the high one is
// 8 on).
inline int PPU::sprite_row(int i, uint8_t ctrl) const {
    const bool tall = ctrl & 0x20;
    const uint8_t* e = line_sprites + 4 * i;
    const uint8_t y1 = e[0], tile = e[1], attr = e[2];
    const int table = tall ? (tile & 1) : ((ctrl >> 3) & 1);
    const int base = tall ? (tile & 0xFE) : tile;
    int r = scanline - y1;
    if (attr & 0x80) r = (tall ? 15 : 7) - r;
    return ((table << 12) | (r & 7) | ((((r & 0xFF) >> 3) + base) & 0xFF) << 4) & 0x1FFF;
}

// Sprite i over the next `len` visible dots of its line, from its countdown:
// the per-dot countdown makes it active on one run of dots [from, to) of
// them, from its X (or from the first if it was active already) to eight
// dots past it. Its bit counter, `counter` at dot `from`, drops by one per
// active dot.
[[gnu::always_inline]] inline PPU::SpriteRun PPU::sprite_run(int i, int len) const {
    const int64_t lx = line_x[i];
    const bool was_active = (active_mask >> i) & 1;
    const int64_t to = lx + 8 < len ? lx + 8 : len;
    return {was_active ? 0 : lx >= 0 ? lx : to, to, uint8_t(pixel_counter[i] - was_active)};
}

// The countdowns `len` visible dots on, at once, as the per-dot loop of
// span_pixels leaves them; tests/cpp/ppu_spans.cpp compares the two over
// whole lines and pieces of lines.
void PPU::advance_sprites(int len) {
    uint8_t am = active_mask;
    for (int i = 0; i < line_count; i++) {
        const SpriteRun run = sprite_run(i, len);
        const int64_t lx = line_x[i];
        const bool was_active = (active_mask >> i) & 1;
        const int64_t last_from = run.to < len - 1 ? run.to : len - 1;  // active dots before the last one
        pixel_counter[i] = uint8_t(run.counter - (last_from > run.from ? last_from - run.from : 0));
        const bool active_at_end = len - 1 < lx + 8 && (was_active || (lx >= 0 && len - 1 >= lx));
        am = active_at_end ? uint8_t(am | 1 << i) : uint8_t(am & ~(1 << i));
        // -8 and below all mean "done": the countdown stops there.
        if (lx > -8) line_x[i] = int32_t(lx - len < -8 ? -8 : lx - len);
    }
    active_mask = am;
}

// Brings the countdowns up to date (see sprite_lag).
void PPU::catch_up_sprites() {
    if (!sprite_lag) return;
    advance_sprites(sprite_lag);
    sprite_lag = 0;
}

// Composes the sprites of the rest of the line from the countdowns into
// line_pixels, at x = dot - 1 on: the chosen sprite's pixel (value bits 0-1,
// palette bits 2-3, behind bit 5, entry 0 bit 7; 0 for none) and its colour
// index; records what they are drawn from (see line_pixels_current).
// tests/cpp/ppu_spans.cpp compares them with choose_sprite's per-dot picks.
void PPU::draw_line_sprites(uint8_t ctrl) {
    LinePixels& lp = line_pixels;
    const uint8_t* const pal = vram + 0x3F00;
    const int first = dot, len = 257 - first;
    uint8_t* const spr = lp.spr + first - 1;
    uint8_t* const spr_colour = lp.colour + first - 1;
    std::memset(spr, 0, size_t(len));
    std::memset(spr_colour, 0, size_t(len));
    lp.any = false;
    lp.count = 0;
    for (int i = line_count - 1; i >= 0; i--) {
        const auto [from, to, counter] = sprite_run(i, len);
        if (from >= to) continue;
        const uint8_t attr = line_sprites[4 * i + 2];
        const int a = sprite_row(i, ctrl);
        const int lo = vram[a], hi = vram[a | 8];
        lp.row[lp.count] = uint16_t(a);
        lp.lo[lp.count] = uint8_t(lo);
        lp.hi[lp.count++] = uint8_t(hi);
        const uint8_t tag = uint8_t((attr & 3) << 2 | (attr & 0x20) | (i == 0 ? 0x80 : 0));
        if (to - from == 8 && counter == 7) {
            // The usual case, all eight pixels of the pattern from bit 7
            // (bit 0 when flipped) down: the loop below as one word
            // (tests/cpp/ppu_spans.cpp holds them equal).
            const uint64_t ml = (attr & 0x40) ? EXPAND_FLIPPED[lo] : EXPAND[lo];
            const uint64_t mh = (attr & 0x40) ? EXPAND_FLIPPED[hi] : EXPAND[hi];
            const uint64_t opaque = ml | mh;
            if (opaque) {
                const uint8_t* const sp = pal + 0x10 + 4 * (attr & 3);
                const uint64_t value = (ml & broadcast(1)) | (mh & broadcast(2));
                const uint64_t colour = (ml & ~mh & broadcast(sp[1] & 63)) |
                                        (~ml & mh & broadcast(sp[2] & 63)) | (ml & mh & broadcast(sp[3] & 63));
                uint64_t sw, cw;
                std::memcpy(&sw, spr + from, 8);
                std::memcpy(&cw, spr_colour + from, 8);
                sw = (sw & ~opaque) | (broadcast(tag) & opaque) | value;
                cw = (cw & ~opaque) | colour;
                std::memcpy(spr + from, &sw, 8);
                std::memcpy(spr_colour + from, &cw, 8);
                lp.any = true;
            }
        } else {
            for (int64_t j = from; j < to; j++) {
                const int pc = uint8_t(counter - (j - from));
                const int k = (attr & 0x40) ? 7 - pc : pc;
                // A count past the pattern (a state no program sets up) shows nothing.
                const int sv = unsigned(k) < 8u ? ((hi >> k) & 1) << 1 | ((lo >> k) & 1) : 0;
                if (sv) {
                    spr[j] = uint8_t(tag | sv);
                    spr_colour[j] = pal[0x10 + 4 * (attr & 3) + sv] & 63;
                    lp.any = true;
                }
            }
        }
    }
    lp.line = dot_count - uint64_t(first - 1);
    lp.ctrl = ctrl & 0x28;
    std::memcpy(lp.palette, pal + 0x10, sizeof lp.palette);
}

// True when line_pixels holds this line's sprites from the current dot on as
// they would be drawn now: composed on this line, for the same sprite size
// and pattern table, from the same palettes and pattern bytes.
inline bool PPU::line_pixels_current(uint8_t ctrl) const {
    const LinePixels& lp = line_pixels;
    if (lp.line != dot_count - uint64_t(dot - 1) || lp.ctrl != (ctrl & 0x28)) return false;
    uint64_t palette[2];
    std::memcpy(palette, vram + 0x3F10, sizeof palette);
    if (palette[0] != lp.palette[0] || palette[1] != lp.palette[1]) return false;
    for (int k = 0; k < lp.count; k++)
        if (vram[lp.row[k]] != lp.lo[k] || vram[lp.row[k] | 8] != lp.hi[k]) return false;
    return true;
}

// The sprites of the `len` visible dots from `dot` on: line_pixels holds
// them (see draw_line_sprites), composed for the rest of the line when its
// first span with sprites came and again only when what they are drawn from
// changed since. The countdowns run behind by the spans' dots (sprite_lag)
// until a new composition, a dot through the per-dot loop, the line's dot
// 257 or a snapshot needs them. It replaces drawing the span's sprites and
// counting them down at every span; tests/cpp/ppu_spans.cpp compares it with
// the per-dot loop, with pattern and palette writes between spans. True
// when the line shows a sprite pixel.
bool PPU::line_sprite_pixels(uint8_t ctrl, bool sprites_on, int len) {
    if (sprites_on && !line_pixels_current(ctrl)) {
        catch_up_sprites();
        draw_line_sprites(ctrl);
    }
    sprite_lag += len;
    return sprites_on && line_pixels.any;
}

// compose_span's words for the background palette and PPUMASK bit 3, made
// again only when they change.
const PPU::BgWords& PPU::bg_words_for(bool bg_on) {
    const uint8_t* const pal = vram + 0x3F00;
    uint64_t key[2];
    std::memcpy(key, pal, 16);
    if (key[0] == bg_words.key[0] && key[1] == bg_words.key[1] && bg_words.made_for == bg_on) return bg_words;
    BgWords& w = bg_words;
    std::memcpy(w.key, key, 16);
    w.made_for = bg_on;
    for (int q = 0; q < 4; q++) {
        const uint8_t* e = pal + 4 * q;
        const uint64_t c0 = broadcast(pal[0] & 63);
        const uint64_t c1 = bg_on ? broadcast(e[1] & 63) : c0;
        const uint64_t c2 = bg_on ? broadcast(e[2] & 63) : c0;
        const uint64_t c3 = bg_on ? broadcast(e[3] & 63) : c0;
        w.p0[q] = c0;
        w.d01[q] = c0 ^ c1;
        w.p2[q] = c2;
        w.d23[q] = c2 ^ c3;
    }
    return w;
}

// What the parts of compose_span share: the PPU, the span's registers and
// palette words as they decode and store, and where its pixels go.
struct PPU::Span {
    PPU& ppu;
    const BgWords& w;
    uint16_t pattern_base;
    uint16_t nt_mask;  // the folding of every nametable address
    uint8_t mask;
    uint8_t backdrop;
    bool hit_possible;
    bool spr_left;  // sprites blanked in the left column
    // spr[x] is the chosen sprite's pixel: value (bits 0-1), palette (bits
    // 2-3), behind (bit 5), entry 0 (bit 7); 0 for none. spr_colour[x] is its
    // colour index. They hold the line's sprites from the dot they were
    // composed at on (line_sprite_pixels): put() masks a group the span
    // covers in part to the span's pixels.
    const uint8_t* spr;
    const uint8_t* spr_colour;
    uint8_t* cache;
    uint8_t (*row)[3];
    uint8_t& status;

    // A tile's eight pixels as colour indices (leftmost in the lowest byte)
    // from its pattern bytes and palette, and their opacity.
    [[gnu::always_inline]] uint64_t decode(uint8_t lo, uint8_t hi, int q, uint64_t& opaque) const {
        const uint64_t ml = EXPAND[lo], mh = EXPAND[hi];
        opaque = ml | mh;
        const uint64_t c_lo = w.p0[q] ^ (w.d01[q] & ml), c_hi = w.p2[q] ^ (w.d23[q] & ml);
        return c_lo ^ ((c_lo ^ c_hi) & mh);
    }
    // The latched tile's pixels and opacity.
    [[gnu::always_inline]] uint64_t decode_latched(uint64_t& opaque) const {
        const uint16_t nt = ppu.tile_nt_addr;
        const int shift = ((nt >> 1) & 1) * 2 + ((nt >> 6) & 1) * 4;
        const int q = (ppu.vram[ppu.tile_at_addr & nt_mask] >> shift) & 3;
        return decode(uint8_t(ppu.tile_lo), uint8_t(ppu.tile_hi), q, opaque);
    }
    // Latches the tile at `tv`, its row from the fine Y of `fine_of`.
    [[gnu::always_inline]] void latch(uint16_t tv, uint16_t fine_of) const {
        ppu.tile_nt_addr = uint16_t(0x2000 | (tv & 0x0FFF));
        ppu.tile_at_addr = uint16_t(0x23C0 | (tv & 0x0C00) | ((tv >> 4) & 0x38) | ((tv >> 2) & 0x07));
        const uint16_t a =
            uint16_t(pattern_base | (ppu.vram[ppu.tile_nt_addr & nt_mask] << 4) | ((fine_of >> 12) & 7));
        ppu.tile_lo = ppu.vram[a];
        ppu.tile_hi = ppu.vram[a + 8];
    }
    // Puts the sprites (kSprites: the line has sprite pixels) over the pixels
    // `c` (opacity `o`) of the group from x = gx, and stores its `n` pixels
    // from x = px on. kLeft: gx may be 0.
    template <bool kSprites, bool kLeft>
    [[gnu::always_inline]] void put(int gx, int px, int n, uint64_t c, uint64_t o) const {
        if (kLeft && gx == 0 && !(mask & 0x02)) c = broadcast(backdrop & 63);  // left column without background
        if constexpr (kSprites) {
            uint64_t sw, sc;
            std::memcpy(&sw, spr + gx, 8);
            if (n < 8) sw &= bit_range(8 * (px - gx), 8 * (px - gx + n));  // only the span's sprite pixels
            if (kLeft && gx == 0 && spr_left)
                sc = broadcast(backdrop & 63);  // left column without sprites: they show the backdrop
            else
                std::memcpy(&sc, spr_colour + gx, 8);
            c = overlay8(c, o, sw, sc, hit_possible, status);
        }
        store_part(cache, row, gx, px, n, c);
    }

    int finish_group(int first, int last, bool any_sprite) const;
    void decode_row(int tiles, uint64_t* colour, uint64_t* opaque) const;
    template <bool kSprites>
    void put_groups(int g0, int g1, int tail, const uint64_t* colour, const uint64_t* opaque) const;
    void latch_end(int groups, int g1, int tail) const;
};

// The rest of a group begun before the span's first dot, up to `last` at
// most; returns the dot after it. Dot `first` shows pixel fxc of the latched
// tile; the counter wraps at dot first + 7 - fxc and latches the tile after
// `v`, after the vertical increment when that is dot 256.
[[gnu::always_inline]] inline int PPU::Span::finish_group(int first, int last, bool any_sprite) const {
    const int gx = (first - 1) & ~7, p = first - 1 - gx;
    const int e = last < gx + 8 ? last : gx + 8;  // the part's last dot
    const int n = e - first + 1;
    const int fxc = ppu.fine_x_counter;
    uint64_t o;
    uint64_t c = decode_latched(o);
    c = fxc >= p ? c >> (8 * (fxc - p)) : c << (8 * (p - fxc));
    o = fxc >= p ? o >> (8 * (fxc - p)) : o << (8 * (p - fxc));
    bool vert_done = false;
    if (fxc + n >= 8) {
        if (first + 7 - fxc == 256) {
            ppu.v_vert();
            vert_done = true;
        }
        latch(next_tile(ppu.v), ppu.v);
        if (fxc + n > 8) {
            const int k = fxc - p;  // 1-7: the dots of the part from the old tile
            uint64_t o2;
            c |= decode_latched(o2) << (64 - 8 * k);
            o |= o2 << (64 - 8 * k);
        }
        ppu.fine_x_counter = uint8_t(fxc + n - 8);
    } else {
        ppu.fine_x_counter = uint8_t(fxc + n);
    }
    if (e == gx + 8 && e <= 248) ppu.v = next_tile(ppu.v);
    if (e == 256 && !vert_done) ppu.v_vert();
    if (any_sprite)
        put<true, true>(gx, first - 1, n, c, o);
    else
        put<false, true>(gx, first - 1, n, c, o);
    return e + 1;
}

// The `tiles` tiles from `v` on (each the coarse-X successor of the one
// before) as colour words and opacities. They run along one nametable row
// and continue in the other horizontal nametable after coarse X 31: at most
// two runs.
[[gnu::always_inline]] inline void PPU::Span::decode_row(int tiles, uint64_t* colour, uint64_t* opaque) const {
    const uint8_t* const vram = ppu.vram;
    const uint8_t fine_y = (ppu.v >> 12) & 7;
    uint16_t tv = ppu.v;
    for (int g = 0; g < tiles;) {
        const int cx0 = tv & 0x1F;
        const int run = 32 - cx0 < tiles - g ? 32 - cx0 : tiles - g;
        const uint8_t* const names = vram + ((0x2000 | (tv & 0x0FE0)) & nt_mask);
        const uint8_t* const attrs = vram + ((0x23C0 | (tv & 0x0C00) | ((tv >> 4) & 0x38)) & nt_mask);
        const int shift = ((tv >> 6) & 1) * 4;  // lower half of the attribute cell
        for (int cx = cx0; cx < cx0 + run; cx++, g++) {
            const int q = (attrs[cx >> 2] >> (shift + (cx & 2))) & 3;
            const uint8_t* const pattern = vram + (pattern_base | names[cx] << 4 | fine_y);
            colour[g] = decode(pattern[0], pattern[8], q, opaque[g]);
        }
        tv = advance_tile(tv, run);
    }
}

// Groups g0 to g1 - 1 from their first dots, the last one for `tail` dots:
// pixel i of a group is pixel i + `x` of that row of tiles (decode_row's,
// from g0 on). Specialised on whether the line has sprite pixels: without,
// the loop keeps the sprite buffer's pointers out of its registers. The
// line's first group, whose left column may be blanked, goes before the
// loop.
template <bool kSprites>
[[gnu::always_inline]] inline void PPU::Span::put_groups(int g0, int g1, int tail, const uint64_t* colour,
                                                         const uint64_t* opaque) const {
    const int xs = 8 * ppu.x;
    auto group = [&]<bool kLeft>(int gi, int n) __attribute__((always_inline)) {
        const int k = gi - g0;
        const uint64_t c = xs ? colour[k] >> xs | colour[k + 1] << (64 - xs) : colour[k];
        uint64_t o = 0;  // only the sprites look at it
        if constexpr (kSprites) o = xs ? opaque[k] >> xs | opaque[k + 1] << (64 - xs) : opaque[k];
        put<kSprites, kLeft>(8 * gi, 8 * gi, n, c, o);
    };
    int gi = g0;
    if (gi == 0 && g1 > 1) group.template operator()<true>(gi++, 8);
    for (; gi < g1 - 1; gi++) group.template operator()<false>(gi, 8);
    group.template operator()<true>(g1 - 1, tail);
}

// The latches, fine X counter and `v` after the span's whole groups (`tail`
// dots of the last, group g1 - 1).
[[gnu::always_inline]] inline void PPU::Span::latch_end(int groups, int g1, int tail) const {
    const uint8_t x = ppu.x;
    uint16_t& v = ppu.v;
    if (tail < 8) {
        // The last group latched its tile at its start and, when the counter
        // wrapped before the span's end, the next one; `v` moves on at its
        // last dot, not reached.
        v = advance_tile(v, groups - 1);
        latch(x + tail >= 8 ? next_tile(v) : v, v);
        ppu.fine_x_counter = uint8_t(x + tail >= 8 ? x + tail - 8 : x + tail);
    } else if (g1 < 32) {
        // The last group latched Tn: in its middle with a fine X, at its
        // last dot otherwise; its last dot moved `v` on to Tn.
        latch(advance_tile(v, groups), v);
        v = advance_tile(v, groups);
        ppu.fine_x_counter = x;
    } else {
        if (x) latch(advance_tile(v, groups), v);  // the counter wrapped in the last group
        v = advance_tile(v, groups - 1);
        // `v` holds the line's last tile here: dot 256 increments it
        // vertically; with fine X 0 the counter wraps on that dot and
        // latches the tile after it.
        ppu.v_vert();
        if (!x) latch(next_tile(v), v);
        ppu.fine_x_counter = x;
    }
}

// The dots `first` to `last` (two or more, within 1..256) of a visible line
// with rendering on: nothing outside the PPU can act in between, so they
// are composed at once, eight pixels (a group of dots 8g + 1 to 8g + 8) to a
// word. A span that starts inside a group first finishes it from the tile
// latched before, from the fine X counter on, then the tile its wrap latches;
// each group from its start shows bits x..7 of the tile at `v` and bits
// 0..x-1 of the next one; a last group the span leaves early is stored in
// part. It replaces the per-dot loop and leaves the same picture, status bits
// and PPU state (see the top of this file).
void PPU::compose_span(int first, int last, uint8_t ctrl, uint8_t mask) {
    const bool any_sprite = line_count && line_sprite_pixels(ctrl, mask & 0x10, last - first + 1);
    const Span s{*this,
                 bg_words_for(mask & 0x08),
                 uint16_t((ctrl & 0x10) ? 0x1000 : 0),
                 fold_nt(0xFFFF),
                 mask,
                 vram[0x3F00],
                 sprite0_line && (mask & 0x18) == 0x18,
                 !(mask & 0x04),
                 line_pixels.spr,
                 line_pixels.colour,
                 index_cache[scanline],
                 back_image[scanline],
                 *registers[2]};

    const int d = (first - 1) & 7 ? s.finish_group(first, last, any_sprite) : first;
    if (d <= last) {
        // Groups g0 to g1 - 1 from their first dots; the span ends after
        // `tail` dots of the last. Their tiles T0..Tn (T0 at `v`), eight
        // pixels per word.
        const int g0 = (d - 1) / 8, g1 = (last + 7) / 8, groups = g1 - g0;
        const int tail = last - 8 * (g1 - 1);
        uint64_t colour[33], opaque[33];
        s.decode_row(x ? groups + 1 : groups, colour, opaque);
        if (any_sprite)
            s.put_groups<true>(g0, g1, tail, colour, opaque);
        else
            s.put_groups<false>(g0, g1, tail, colour, opaque);
        s.latch_end(groups, g1, tail);
    }
    dot_count += uint64_t(last - first + 1);
    dot = last + 1;
}

// The visible dots from `dot` to `last` (all within 1..256 of one line):
// rendering off, rendering on, or a single dot through the per-dot loop
// (the path the others are compared with).
void PPU::visible_span(int last, uint8_t ctrl, uint8_t mask) {
    const bool rend = mask & 0x18;
    const bool sprites_on = mask & 0x10;
    const int first = dot;
    if (!rend && last > first) {
        blank_span(last, ctrl);
        return;
    }

    // Sprite evaluation only feeds the next line and the overflow bit, and the
    // CPU cannot look in the middle of a span: run this span's steps at once.
    if (first == 1 && sprites_on) {
        eval_n = eval_m = 0;
        eval_done = false;
        next_count = 0;
        sprite0_next = false;
        std::memset(secondary_oam, 0xFF, sizeof secondary_oam);
    }
    if (rend && last >= 129) evaluate_span(ctrl, first > 129 ? first : 129, last);

    if (last > first)
        compose_span(first, last, ctrl, mask);
    else if (!line_count)
        span_pixels<false>(first, last, ctrl, mask);  // no sprite can be active
    else
        sprite_dot(ctrl, mask);
}

// A single visible dot on a line with sprites: with sprites off their
// countdowns only lag by the dot, and so they do when the line's sprites are
// composed already (the dot's sprite pixel is read from them); otherwise
// they are brought up to date and run by the per-dot loop (the path the
// others are compared with). Kept out of line: the short pieces of
// visible_span would pay for its registers.
[[gnu::noinline]] void PPU::sprite_dot(uint8_t ctrl, uint8_t mask) {
    if (!(mask & 0x10)) {
        sprite_lag++;
        span_pixels<false>(dot, dot, ctrl, mask);
    } else if (line_pixels_current(ctrl)) {
        sprite_lag++;
        span_pixels<true, true>(dot, dot, ctrl, mask);
    } else {
        catch_up_sprites();
        span_pixels<true>(dot, dot, ctrl, mask);
    }
}

// The dots' pixels and scroll, dot by dot; specialised on whether sprites
// can show on this line and on where their pixels come from: the countdowns
// and choose_sprite at every dot, or (kBuffered) the line's composed sprites
// (line_pixels, current), with the countdowns left to lag. The C++ test
// tests/cpp/ppu_spans.cpp compares the buffered dots of a PPU run in spans
// with a PPU run dot by dot, whose lines never have their sprites composed.
template <bool kSprites, bool kBuffered>
void PPU::span_pixels(int first, int last, uint8_t ctrl, uint8_t mask) {
    static_assert(!kBuffered || kSprites);
    const bool rend = mask & 0x18;
    const bool sprites_on = mask & 0x10;
    const bool bg_on = mask & 0x08;
    const int bg_left = (mask & 0x02) ? 0 : 8;   // first x where the background shows
    const int spr_left = (mask & 0x04) ? 0 : 8;  // first x where sprites show
    const int lc = line_count;
    const uint16_t pattern_base = (ctrl & 0x10) ? 0x1000 : 0;
    uint16_t vv = v, nt = tile_nt_addr, at = tile_at_addr, lo = tile_lo, hi = tile_hi;
    uint8_t fxc = fine_x_counter, am = active_mask;
    uint8_t* const cache = index_cache[scanline];
    uint8_t(*const row)[3] = back_image[scanline];
    const uint8_t* const pal = vram + 0x3F00;
    // The latched tile as colour indices per pixel value, and its pattern as
    // 2-bit pixel values from bit 15 down; the current pixel is at the top of
    // `pixels`. Nothing can write video memory or change the mirroring while a
    // span runs, so the attribute byte read at each pixel is the one read here.
    uint8_t colors[4];
    uint16_t pixels;
    auto prepare = [&]() __attribute__((always_inline)) {
        const int shift = ((nt >> 1) & 1) * 2 + ((nt >> 6) & 1) * 4;
        const int pbase = 4 * ((vram[fold_nt(at)] >> shift) & 3);
        colors[0] = pal[0];
        if (bg_on) {
            colors[1] = pal[pbase + 1];
            colors[2] = pal[pbase + 2];
            colors[3] = pal[pbase + 3];
        } else {
            colors[1] = colors[2] = colors[3] = pal[0];
        }
        pixels = uint16_t(SPREAD[lo & 0xFF] | SPREAD[hi & 0xFF] << 1);
    };
    auto latch = [&](uint16_t addr_v) __attribute__((always_inline)) {
        nt = uint16_t(0x2000 | (addr_v & 0x0FFF));
        at = uint16_t(0x23C0 | (addr_v & 0x0C00) | ((addr_v >> 4) & 0x38) | ((addr_v >> 2) & 0x07));
        const uint16_t a = uint16_t(pattern_base | (vram[fold_nt(nt)] << 4) | ((vv >> 12) & 7));
        lo = vram[a];
        hi = vram[a + 8];
        prepare();
    };
    prepare();
    pixels = uint16_t(pixels << (2 * fxc));
    uint8_t& status = *registers[2];
    for (int d = first; d <= last; d++) {
        if (kSprites && !kBuffered)
            for (int i = 0; i < lc; i++) {
            if ((am >> i) & 1) pixel_counter[i]--;
            if (line_x[i] == 0)
                am |= uint8_t(1 << i);
            else if (line_x[i] < -7)
                am &= uint8_t(~(1 << i));
            // Past -8 the sprite is done; stopping there keeps the count from
            // overflowing through long stretches with rendering off.
            if (line_x[i] > -8) line_x[i]--;
        }
        if (((d - 1) & 7) == 0 && rend) {
            latch(vv);
            fxc = x;
            pixels = uint16_t(pixels << (2 * fxc));
        }
        if (d == 256 && rend) {
            v = vv;
            v_vert();
            vv = v;
        }
        // The pixel at x = d - 1.
        const int px = d - 1;
        const int b = pixels >> 14;
        uint8_t c = px >= bg_left ? colors[b] : pal[0];
        if (kBuffered) {
            // choose_sprite's pick at this x, composed with the line's sprites.
            if (const uint8_t s = line_pixels.spr[px]) {
                if (b && (s & 0x80) && sprite0_line && (mask & 0x18) == 0x18) status |= 0x40;
                if (b == 0 || !(s & 0x20)) c = px >= spr_left ? line_pixels.colour[px] : pal[0];
            }
        } else if (kSprites && am && sprites_on) {
            active_mask = am;
            int s_value = 0, s_palette = 0;
            bool behind = false;
            const int chosen = choose_sprite(ctrl, s_value, s_palette, behind);
            if (b && chosen == 0 && sprite0_line && (mask & 0x18) == 0x18 && !(status & 0x40)) status |= 0x40;
            if (chosen >= 0 && (b == 0 || !behind)) c = px >= spr_left ? pal[0x10 + 4 * s_palette + s_value] : pal[0];
        }
        c &= 63;
        if (cache[px] != c) {
            cache[px] = c;
            std::memcpy(row[px], NTSC_TO_RGB[c], 3);
        }
        pixels = uint16_t(pixels << 2);
        if (++fxc == 8) {
            fxc = 0;
            latch(next_tile(vv));
        }
        if ((d & 7) == 0 && d <= 248 && rend) vv = next_tile(vv);
    }
    v = vv;
    tile_nt_addr = nt;
    tile_at_addr = at;
    tile_lo = lo;
    tile_hi = hi;
    fine_x_counter = fxc;
    active_mask = am;
    dot_count += uint64_t(last - first + 1);
    dot = last + 1;
}

// The dots from `dot` to `last` (two or more) of span_pixels' loop with
// rendering off: every pixel is the backdrop, the fine X counter only counts
// and each of its wraps latches the same tile, the one after `v`; the sprite
// countdowns lag by its dots (see line_sprite_pixels). tests/cpp/ppu_spans.cpp
// compares it with single dots.
void PPU::blank_span(int last, uint8_t ctrl) {
    const int first = dot, n = last - first + 1;
    sprite_lag += n;
    uint8_t* const cache = index_cache[scanline];
    uint8_t(*const row)[3] = back_image[scanline];
    const uint64_t backdrop = broadcast(vram[0x3F00] & 63);
    // The part of a group before the whole ones, the whole ones, the part after.
    const int g0 = (first + 6) / 8, g1 = last / 8;
    if (g0 > g1) {
        store_part(cache, row, (first - 1) & ~7, first - 1, n, backdrop);
    } else {
        if (first <= 8 * g0) store_part(cache, row, 8 * g0 - 8, first - 1, 8 * g0 - first + 1, backdrop);
        for (int g = g0; g < g1; g++) store8(cache + 8 * g, row[8 * g], backdrop);
        if (last > 8 * g1) store_part(cache, row, 8 * g1, 8 * g1, last - 8 * g1, backdrop);
    }
    if (fine_x_counter + n >= 8) {
        const uint16_t next = next_tile(v);
        tile_nt_addr = uint16_t(0x2000 | (next & 0x0FFF));
        tile_at_addr = uint16_t(0x23C0 | (next & 0x0C00) | ((next >> 4) & 0x38) | ((next >> 2) & 0x07));
        const uint8_t* const pattern =
            vram + (((ctrl & 0x10) ? 0x1000 : 0) | (vram[fold_nt(tile_nt_addr)] << 4) | ((v >> 12) & 7));
        tile_lo = pattern[0];
        tile_hi = pattern[8];
    }
    fine_x_counter = uint8_t((fine_x_counter + n) & 7);
    dot_count += uint64_t(n);
    dot = last + 1;
}

// Picks the sprite pixel at the current dot: the lowest-numbered active sprite
// with an opaque pixel. Returns its index or -1.
int PPU::choose_sprite(uint8_t ctrl, int& s_value, int& s_palette, bool& behind) {
    int chosen = -1;
    for (int i = line_count - 1; i >= 0; i--) {
        if (!((active_mask >> i) & 1)) continue;
        const uint8_t attr = line_sprites[4 * i + 2];
        const int a = sprite_row(i, ctrl);
        const int k = (attr & 0x40) ? 7 - pixel_counter[i] : pixel_counter[i];
        // A count past the pattern (a state no program sets up) shows nothing.
        const int s = unsigned(k) < 8u ? ((vram[a | 8] >> k) & 1) << 1 | ((vram[a] >> k) & 1) : 0;
        if (s) {
            chosen = i;
            s_value = s;
            s_palette = attr & 3;
            behind = attr & 0x20;
        }
    }
    return chosen;
}

void PPU::load_line_sprites() {
    // The counters of sprites beyond the new count keep what the old line
    // left in them.
    if (next_count < line_count) catch_up_sprites();
    sprite_lag = 0;
    oam_addr = 0;
    v = uint16_t((v & 0xFBE0) | (t & 0x041F));
    std::memcpy(line_sprites, secondary_oam, 4 * next_count);
    line_count = int8_t(next_count);
    active_mask = 0;
    std::memcpy(line_x, next_x, sizeof line_x);
    sprite0_line = sprite0_next;
    for (int i = 0; i < next_count; i++) pixel_counter[i] = 7;
}

// The fast step's own copy of the plain step's vblank_work() (ppu.cpp), run
// at the only post-render dots that are not idle (see idle_dot): line 241
// dot 1 and line 261. A copy of its own so that plain_compare checks the
// plain step against code it does not share.
void PPU::post_render_dot() {
    if (scanline == 241) {
        if (dot != 1 || in_vblank) return;
        in_vblank = true;
        {
            std::lock_guard<std::mutex> g(frame_lock);
            std::memcpy(front_image, back_image, sizeof front_image);
        }
        nmi_line = nmi_line || !nmi_suppress;
        if (!vblank_suppress) *registers[2] |= 0x80;
    } else if (dot == 1) {
        vblank_suppress = nmi_line = nmi_suppress = in_vblank = false;
        *registers[2] &= 0x1F;
    } else if (rendering && dot >= 280 && dot <= 304) {
        v = uint16_t((v & 0x841F) | (t & 0x7BE0));  // fine Y, coarse Y and the vertical nametable from t
    }
}

inline void PPU::step() {
    const uint8_t mask = *registers[1];
    rendering = mask & 0x18;
    if (!post_render) {
        if (unsigned(dot - 1) < 256u) {
            visible_span(dot, *registers[0], mask);
            return;
        }
        if (dot == 257) {
            if (rendering)
                load_line_sprites();
            else
                catch_up_sprites();  // the countdowns go on into the next line
        } else if (dot == 340 && scanline == 239)
            post_render = true;
    } else if (scanline == 261 || (scanline == 241 && dot == 1)) {
        post_render_dot();
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
}

uint64_t PPU::next_event() const {
    static constexpr int events[3] = {241 * 341 + 1, 261 * 341 + 1, 261 * 341 + 340};
    const int pos = scanline * 341 + dot;
    uint64_t next = dot_count;  // not kept: line 261 dot 340 is the last position
    for (int e : events)
        if (pos <= e) {
            next = dot_count + uint64_t(e - pos);
            break;
        }
    // The mapper's clock may raise an IRQ.
    if (mapper_clocked) {
        const uint64_t quiet = mapper->quiet_clocks(devices);
        if (quiet < next - dot_count) next = dot_count + quiet;
    }
    return next;
}

inline uint32_t PPU::settled_key_now() const {
    return uint32_t(*registers[1]) | uint32_t(*registers[0] & 0x20) << 8 | uint32_t(*registers[2] & 0x60) << 16;
}

bool PPU::status_settled(uint64_t target) const {
    if (target <= dot_count) return true;
    const uint32_t key = settled_key_now();
    if (key != settled_key || oam_version != settled_oam || dot_count > settled_until) {
        settled_until = quiet_until();
        settled_key = key;
        settled_oam = oam_version;
    }
    return target <= settled_until;
}

uint64_t PPU::settled_through() const {
    status_settled(dot_count + 1);  // brings the bound up to date
    return settled_until > dot_count ? settled_until : dot_count;
}

bool PPU::copies_unread(uint64_t target, bool visible) const {
    if (target <= dot_count) return true;
    const bool copies = *registers[1] & 0x18;
    if (!visible && !copies) return true;
    const uint64_t n = target - dot_count;
    if (n > 341) return false;
    // Whether `line` reads at a dot from a to b: visible dots latch tiles from
    // the pattern table PPUCTRL names even with rendering off; the copies from
    // t (dot 257, dots 280-304 of the pre-render line) happen only with
    // rendering on.
    auto reads = [&](int line, int a, int b) {
        if (line < 240) return a <= 257 && b >= (visible ? 1 : 257);
        return line == 261 && copies && a <= 304 && b >= 280;
    };
    // The dots run: from `dot` of this line on, past its dot 340 on the next.
    const int last = dot + int(n) - 1;
    if (last <= 340) return !reads(scanline, dot, last);
    return !reads(scanline, dot, 340) && !reads(scanline == 261 ? 0 : scanline + 1, 0, last - 341);
}

// The largest `dot_count` at which a PPUSTATUS read is settled (see
// status_settled), from the current position, for the current PPUMASK,
// sprite height, status bits and sprite memory: a bound that later calls
// reuse while those stay the same.
uint64_t PPU::quiet_until() const {
    const uint64_t pos = uint64_t(scanline) * 341 + uint64_t(dot);
    // Line 241 dot 1 sets the vertical blank flag; a read there, or on the
    // pre-render line, is special.
    if (scanline > 240) return dot_count;
    uint64_t limit = 241 * 341;  // the read's position: dots up to `limit` - 1 may run
    const uint8_t mask = *registers[1], status = *registers[2];
    const bool hit_open = !(status & 0x40) && (mask & 0x18) == 0x18;
    bool overflow_open = !(status & 0x20) && (mask & 0x18);
    if (overflow_open && !(mask & 0x10)) {
        // Without sprites no line restarts the evaluation: its count carries
        // on and grows only until all of OAM was seen.
        if (!(eval_done && next_count < 8)) return dot_count;
        overflow_open = false;
    }
    if (hit_open || overflow_open) {
        // Sprite 0 on a line (this one, the one evaluated for next, or by
        // its Y byte) may give a hit; eight sprites in range of a line's
        // next one may set the overflow during its evaluation. Lines are
        // looked at a few at a time.
        if (hit_open && (sprite0_line || sprite0_next)) return dot_count;
        const unsigned h = (*registers[0] & 0x20) ? 16 : 8;
        int line = scanline;
        for (; line < scanline + 8 && line < 240; line++) {
            bool may = hit_open && oam[0] != 0xFF && unsigned(line - (oam[0] + 1)) < h;
            if (!may && overflow_open) {
                // This line's evaluation may have begun before sprites were
                // on: the entries it took so far count as well.
                const int taken = line == scanline && dot > 1 ? next_count : 0;
                may = std::popcount(line_scan(line, h).in_range) + taken >= 8;
            }
            if (may) break;
        }
        if (line < 240) limit = uint64_t(line) * 341;
    }
    return limit > pos ? dot_count + (limit - pos) : dot_count;
}

// True for a dot whose only effect is advancing the counters: no pixel, no
// fetch, no evaluation, no register change (the mapper clock aside).
inline bool PPU::idle_dot(int d, int line) const {
    if (!post_render) return d == 0 || (d >= 258 && !(d == 340 && line == 239));
    if (line == 241) return d != 1;
    if (line == 261) return d != 1 && d != 340 && !(rendering && d >= 280 && d <= 304);
    return true;
}

// How many dots from the current one on are idle (the current one is).
inline uint64_t PPU::idle_run() const {
    const int d = dot, line = scanline;
    if (!post_render) {
        if (d == 0) return 1;
        return line == 239 ? uint64_t(340 - d) : uint64_t(341 - d + 1);  // to dot 1 of the next line
    }
    if (line == 261) {
        if (d == 0) return 1;
        if (rendering && d < 280) return uint64_t(280 - d);
        return uint64_t(340 - d);
    }
    if (line == 241 && d == 0) return 1;
    if (line == 240) return uint64_t(341 - d + 1);                          // to line 241 dot 1
    return uint64_t(341 - d + (260 - line) * 341 + 1);                     // to line 261 dot 1
}
bool PPU::run(uint64_t target) {
#if defined(KESTRIX_CHECKS)
    // Under a bound of status_settled's memo (for the state it was made for)
    // no dot may set a status bit.
    const bool settled = settled_key == settled_key_now() && settled_oam == oam_version && dot_count <= settled_until;
    const uint8_t status = *registers[2];
    const uint64_t start = dot_count;
    const bool frame = run_clocked(target);
    KX_ASSERT(dot_count <= target || dot_count == start, "a run passed its target");
    KX_ASSERT(!settled || dot_count > settled_until || !(*registers[2] & ~status & 0xE0),
              "a status bit changed under status_settled's bound");
    return frame;
#else
    return run_clocked(target);
#endif
}

[[gnu::always_inline]] inline bool PPU::run_clocked(uint64_t target) {
    if (!mapper_clocked) return run_dots(target);
    // The mapper's clock follows every dot, but most calls cannot act: those
    // dots run on the paths without the clock and the mapper counts them
    // (pass_clocks); the clock is called after the dot where it may act. It
    // replaces cycle() (one dot, then the clock) dot after dot;
    // tests/cpp/mapper_clock.cpp runs both and compares.
    while (dot_count < target) {
        const uint64_t quiet = mapper->quiet_clocks(devices);
        const bool acts = quiet < target - dot_count;  // the acting dot lies within this run
        const uint64_t start = dot_count;
        const bool frame = run_dots(acts ? dot_count + quiet + 1 : target);
        const uint64_t n = dot_count - start;
        if (acts && n == quiet + 1) {
            mapper->pass_clocks(quiet);
            mapper->clock(devices);
        } else {
            mapper->pass_clocks(n);
        }
        if (frame) return true;
    }
    return false;
}

bool PPU::run_dots(uint64_t target) {
    const uint64_t frame = frame_count;
    // PPUCTRL and PPUMASK cannot change within one call: the CPU is not running.
    rendering = *registers[1] & 0x18;
    while (dot_count < target) {
        if (idle_dot(dot, scanline)) {
            // Skip the idle dots at once; a frame never ends here, because
            // line 261 dot 340 is not idle.
            uint64_t n = idle_run();
            if (n > target - dot_count) n = target - dot_count;
            dot_count += n;
            int d = dot + int(n);
            while (d >= 341) {
                d -= 341;
                scanline++;
            }
            dot = d;
            continue;
        }
        if (!post_render && unsigned(dot - 1) < 256u) {
            const uint64_t left = target - dot_count;
            const int last = left < uint64_t(257 - dot) ? dot + int(left) - 1 : 256;
            visible_span(last, *registers[0], *registers[1]);
            continue;
        }
        step();
        if (frame_count != frame) return true;
    }
    return false;
}

}  // namespace NES
