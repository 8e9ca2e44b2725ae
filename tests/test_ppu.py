"""Picture processor: rendering, sprites, scrolling and frame timing, checked
on the published picture through the scripting views."""
import numpy as np
import pytest

import kestrix

# Reads its PPU settings from zero page every vertical blank, so a test sets
# $F0 = PPUCTRL, $F1 = PPUMASK, $F2/$F3 = scroll X/Y and runs frames.
VIEWER = """
reset:
    SEI
    LDX #$FF
    TXS
frame:
    BIT $2002
    BPL frame
    LDA $F2
    STA $2005
    LDA $F3
    STA $2005
    LDA $F0
    STA $2000
    LDA $F1
    STA $2001
    JMP frame
"""

BG_ON, SPR_ON, LEFT_BG, LEFT_SPR = 0x08, 0x10, 0x02, 0x04
ALL_ON = BG_ON | SPR_ON | LEFT_BG | LEFT_SPR


class Screen:
    def __init__(self, console, mirroring=0, source=VIEWER):
        self.nes = console(source, mirroring=mirroring)
        self.vram = self.nes.ppuMem()
        self.oam = self.nes.OAM()
        self.ram = self.nes.cpuMem()
        self.colors = self.nes.colorLookup()
        self.oam[:] = 0xFF  # every sprite off screen

    def tile(self, index, value=None, rows=None, table=0):
        """Pattern `index`: every pixel `value`, or 8 (lo, hi) byte pairs."""
        base = table * 0x1000 + index * 16
        rows = rows or [(0xFF if value & 1 else 0, 0xFF if value & 2 else 0)] * 8
        for r, (lo, hi) in enumerate(rows):
            self.vram[base + r] = lo
            self.vram[base + 8 + r] = hi

    def palette(self, entries, start=0x3F00):
        self.vram[start:start + len(entries)] = entries

    def sprite(self, n, y, tile, attr, x):
        self.oam[4 * n:4 * n + 4] = [y, tile, attr, x]

    def show(self, ctrl=0, mask=ALL_ON, sx=0, sy=0, frames=3):
        self.ram[0xF0:0xF4] = [ctrl, mask, sx, sy]
        for _ in range(frames):
            self.nes.runFrame()
        return self.nes.getImg().copy()

    def rgb(self, index):
        return tuple(int(c) for c in self.colors[index])


@pytest.fixture
def screen(console):
    return Screen(console)


def px(img, x, y):
    return tuple(int(c) for c in img[y, x])


def test_backdrop_fills_the_picture_when_rendering_is_off(screen):
    screen.palette([0x21])
    img = screen.show(mask=0)
    assert (img == screen.colors[0x21]).all()


def test_palette_bytes_of_64_and_more_use_their_low_six_bits(screen):
    screen.palette([0x40 | 0x16])
    img = screen.show(mask=0)
    assert px(img, 100, 100) == screen.rgb(0x16)


@pytest.mark.parametrize("quadrant, pos", [(0, (0, 0)), (1, (16, 0)), (2, (0, 16)), (3, (16, 16))])
def test_attribute_quadrants_select_the_background_palette(screen, quadrant, pos):
    screen.tile(1, 3)
    screen.vram[0x2000:0x23C0] = 1
    screen.vram[0x23C0] = 3 << (2 * quadrant)  # palette 3 in one quadrant of the top-left block
    screen.palette([0x0F, 0, 0, 0x01, 0, 0, 0, 0x02, 0, 0, 0, 0x03, 0, 0, 0, 0x04])
    img = screen.show()
    x, y = pos
    for qx, qy, q in ((0, 0, 0), (16, 0, 1), (0, 16, 2), (16, 16, 3)):
        expected = 0x04 if q == quadrant else 0x01
        assert px(img, qx + 4, qy + 4) == screen.rgb(expected), (qx, qy)
    assert px(img, x + 15, y + 15) == screen.rgb(0x04)


@pytest.mark.parametrize("ctrl, table", [(0x00, 0), (0x10, 1)])
def test_background_pattern_table_select(screen, ctrl, table):
    screen.tile(1, 1, table=0)
    screen.tile(1, 2, table=1)
    screen.vram[0x2000:0x23C0] = 1
    screen.palette([0x0F, 0x11, 0x22])
    img = screen.show(ctrl=ctrl)
    assert px(img, 50, 50) == screen.rgb(0x11 if table == 0 else 0x22)


def test_pixel_bits_follow_the_pattern_rows(screen):
    # Column x of the tile has value x & 3 on row 0 only.
    lo = 0b01010101
    hi = 0b00110011
    screen.tile(1, rows=[(lo, hi)] + [(0, 0)] * 7)
    screen.vram[0x2000:0x23C0] = 1
    screen.palette([0x0F, 0x11, 0x22, 0x33])
    img = screen.show()
    expect = [((lo >> (7 - i)) & 1) | (((hi >> (7 - i)) & 1) << 1) for i in range(8)]
    got = [px(img, 8 + i, 0) for i in range(8)]
    assert got == [screen.rgb([0x0F, 0x11, 0x22, 0x33][v]) for v in expect]
    assert px(img, 8, 1) == screen.rgb(0x0F)


@pytest.mark.parametrize("mask, left_shows_bg", [(ALL_ON, True), (ALL_ON & ~LEFT_BG, False)])
def test_left_column_background_mask(screen, mask, left_shows_bg):
    screen.tile(1, 1)
    screen.vram[0x2000:0x23C0] = 1
    screen.palette([0x0F, 0x11])
    img = screen.show(mask=mask)
    assert px(img, 7, 40) == screen.rgb(0x11 if left_shows_bg else 0x0F)
    assert px(img, 8, 40) == screen.rgb(0x11)


def sprite_setup(screen, tile_value=1):
    screen.tile(2, tile_value)
    screen.palette([0x0F])
    screen.palette([0x0F, 0x16, 0x27, 0x38, 0x0F, 0x1A, 0x2A, 0x3A], start=0x3F10)


@pytest.mark.parametrize("x, covered", [(0, range(0, 8)), (250, range(250, 256)), (255, range(255, 256)),
                                        (100, range(100, 108))])
def test_sprite_horizontal_placement(screen, x, covered):
    sprite_setup(screen)
    screen.sprite(0, 49, 2, 0, x)
    img = screen.show()
    row = [px(img, i, 52) == screen.rgb(0x16) for i in range(256)]
    assert [i for i, hit in enumerate(row) if hit] == list(covered)


@pytest.mark.parametrize("tall, lines", [(False, range(11, 19)), (True, range(11, 27))])
def test_sprite_vertical_placement_is_oam_y_plus_one(screen, tall, lines):
    sprite_setup(screen)
    screen.tile(3, 1)
    screen.sprite(0, 10, 2, 0, 60)
    img = screen.show(ctrl=0x20 if tall else 0)
    col = [px(img, 61, y) == screen.rgb(0x16) for y in range(240)]
    assert [y for y, hit in enumerate(col) if hit] == list(lines)


def test_sprite_y_ff_is_never_drawn(screen):
    sprite_setup(screen)
    screen.sprite(0, 0xFF, 2, 0, 60)
    img = screen.show()
    assert not (img == screen.colors[0x16]).all(axis=2).any()


def test_tall_sprites_take_table_from_tile_bit_0(screen):
    screen.tile(4, 1, table=1)   # top half: tile 4 of $1000
    screen.tile(5, 2, table=1)   # bottom half
    screen.tile(4, 3, table=0)   # must not be used
    sprite_setup(screen)
    screen.sprite(0, 99, 0x05, 0, 40)  # tile $05: table 1, base $04
    img = screen.show(ctrl=0x20)
    assert px(img, 41, 101) == screen.rgb(0x16)
    assert px(img, 41, 110) == screen.rgb(0x27)


@pytest.mark.parametrize("attr, expect_left, expect_top", [
    (0x00, 0x16, 0x16), (0x40, 0x27, 0x16), (0x80, 0x16, 0x27), (0xC0, 0x27, 0x27)])
def test_sprite_flips(screen, attr, expect_left, expect_top):
    # Left column and top row value 1, the rest value 2.
    rows = [(0xFF, 0x00)] + [(0x80, 0x7F)] * 7
    screen.tile(2, rows=rows)
    screen.palette([0x0F])
    screen.palette([0x0F, 0x16, 0x27, 0x38], start=0x3F10)
    screen.sprite(0, 49, 2, attr, 100)
    img = screen.show()
    left_col = px(img, 100, 54)   # a middle row, leftmost pixel
    top_row = px(img, 103, 50 if not attr & 0x80 else 57)
    assert left_col == screen.rgb(expect_left)
    assert px(img, 103, 50) == screen.rgb(expect_top)
    assert top_row == screen.rgb(0x16)


@pytest.mark.parametrize("priority, shows", [(0x00, "sprite"), (0x20, "background")])
def test_sprite_priority_against_opaque_background(screen, priority, shows):
    sprite_setup(screen)
    screen.tile(1, 1)
    screen.vram[0x2000:0x23C0] = 1
    screen.palette([0x0F, 0x11])
    screen.sprite(0, 49, 2, priority, 100)
    img = screen.show()
    assert px(img, 102, 52) == screen.rgb(0x16 if shows == "sprite" else 0x11)


def test_behind_sprite_shows_over_transparent_background(screen):
    sprite_setup(screen)
    screen.sprite(0, 49, 2, 0x20, 100)
    img = screen.show()
    assert px(img, 102, 52) == screen.rgb(0x16)


def test_lowest_index_opaque_sprite_wins_even_when_behind(screen):
    sprite_setup(screen)
    screen.tile(1, 1)
    screen.vram[0x2000:0x23C0] = 1
    screen.palette([0x0F, 0x11])
    screen.sprite(3, 49, 2, 0x20, 100)      # behind the background
    screen.sprite(7, 49, 2, 0x01, 100)      # in front, palette 1
    img = screen.show()
    assert px(img, 102, 52) == screen.rgb(0x11)


def test_lower_index_transparent_pixel_lets_the_next_sprite_show(screen):
    sprite_setup(screen)
    screen.tile(6, rows=[(0x0F, 0)] * 8)     # left half transparent
    screen.sprite(1, 49, 6, 0, 100)
    screen.sprite(2, 49, 2, 1, 100)
    img = screen.show()
    assert px(img, 101, 52) == screen.rgb(0x1A)
    assert px(img, 106, 52) == screen.rgb(0x16)


@pytest.mark.parametrize("mask, left_shows_sprite", [(ALL_ON, True), (ALL_ON & ~LEFT_SPR, False)])
def test_left_column_sprite_mask_shows_backdrop(screen, mask, left_shows_sprite):
    sprite_setup(screen)
    screen.tile(1, 1)
    screen.vram[0x2000:0x23C0] = 1
    screen.palette([0x0F, 0x11])
    screen.sprite(0, 49, 2, 0, 0)
    img = screen.show(mask=mask)
    # With the sprite masked the backdrop shows, not the opaque background under it.
    assert px(img, 3, 52) == screen.rgb(0x16 if left_shows_sprite else 0x0F)
    assert px(img, 3, 70) == screen.rgb(0x11)


def test_sprites_off_draws_no_sprite_pixels(screen):
    sprite_setup(screen)
    screen.tile(1, 1)
    screen.vram[0x2000:0x23C0] = 1
    screen.palette([0x0F, 0x11])
    screen.sprite(0, 49, 2, 0, 100)
    screen.show()
    img = screen.show(mask=BG_ON | LEFT_BG)
    assert (img == screen.colors[0x11]).all()


def test_eight_sprites_per_line_and_the_overflow_flag(screen):
    sprite_setup(screen)
    for n in range(9):
        screen.sprite(n, 99, 2, 0, 20 * n)
    img = screen.show(frames=2)
    row = [px(img, 20 * n + 2, 102) == screen.rgb(0x16) for n in range(9)]
    assert row == [True] * 8 + [False]


HIT_PROBE = """
reset:
    SEI
    LDX #$FF
    TXS
frame:
    BIT $2002
    BPL frame
    LDA $F2
    STA $2005
    LDA $F3
    STA $2005
    LDA $F0
    STA $2000
    LDA $F1
    STA $2001
wait:
    LDA $2002
    ORA $E0
    STA $E0
    AND #$40
    BEQ wait
    JMP frame
"""


class HitScreen(Screen):
    def __init__(self, console):
        super().__init__(console, source=HIT_PROBE)

    def hit(self, **show):
        self.show(frames=2, **show)
        self.ram[0xE0] = 0
        self.show(frames=2, **show)
        return bool(self.ram[0xE0] & 0x40)


@pytest.mark.parametrize("x, attr, mask, hits", [
    (100, 0x00, ALL_ON, True),
    (100, 0x20, ALL_ON, True),                        # behind the background still hits
    (0, 0x00, BG_ON | SPR_ON, True),                  # left masks ignored
    (100, 0x00, BG_ON, False),                        # sprites off
    (100, 0x00, SPR_ON | LEFT_SPR, False),            # background off
])
def test_sprite_zero_hit(console, x, attr, mask, hits):
    sc = HitScreen(console)
    sprite_setup(sc)
    sc.tile(1, 1)
    sc.vram[0x2000:0x23C0] = 1
    sc.sprite(0, 49, 2, attr, x)
    assert sc.hit(mask=mask) == hits


def test_sprite_zero_hit_needs_an_opaque_background_pixel(console):
    sc = HitScreen(console)
    sprite_setup(sc)
    sc.sprite(0, 49, 2, 0, 100)
    assert not sc.hit()


# Eight found sprites start the overflow scan, whose diagonal walk through OAM
# may then match any byte; seven never start it.
@pytest.mark.parametrize("count, overflow", [(7, False), (9, True)])
def test_overflow_flag_needs_a_full_line(console, count, overflow):
    sc = HitScreen(console)      # no hit ever happens: the probe keeps ORing PPUSTATUS into $E0
    sprite_setup(sc)
    for n in range(count):
        sc.sprite(n, 99, 2, 0, 20 * n)
    sc.hit()
    assert bool(sc.ram[0xE0] & 0x20) == overflow


def test_other_sprites_never_set_the_hit_flag(console):
    sc = HitScreen(console)
    sprite_setup(sc)
    sc.tile(1, 1)
    sc.vram[0x2000:0x23C0] = 1
    sc.sprite(1, 49, 2, 0, 100)
    assert not sc.hit()


def scroll_scene(screen):
    """Tile n of nametable 0 row 0 shows colour n (via 16 solid tiles)."""
    for n in range(4):
        screen.tile(n, n)
    screen.palette([0x0F, 0x11, 0x22, 0x33])


@pytest.mark.parametrize("fine_x", [0, 3, 5])
def test_horizontal_fine_and_coarse_scroll(console, fine_x):
    screen = Screen(console, mirroring=1)  # vertical: $2400 is a nametable of its own
    scroll_scene(screen)
    screen.vram[0x2000:0x2020] = [n % 4 for n in range(32)]
    screen.vram[0x2400:0x2420] = [(n + 1) % 4 for n in range(32)]
    scroll = 16 + fine_x
    img = screen.show(sx=scroll)
    colors = [0x0F, 0x11, 0x22, 0x33]
    for x in range(0, 256, 3):
        world = x + scroll
        tile = (world // 8) % 32
        value = tile % 4 if world < 256 else (tile + 1) % 4
        assert px(img, x, 0) == screen.rgb(colors[value]), x


@pytest.mark.parametrize("ctrl, expected", [(0, 0x11), (1, 0x22), (2, 0x33)])
def test_nametable_select(console, ctrl, expected):
    sc = Screen(console, mirroring=1)  # vertical: $2000/$2400 distinct, $2800 = $2000
    scroll_scene(sc)
    sc.vram[0x2000:0x23C0] = 1
    sc.vram[0x2400:0x27C0] = 2
    img = sc.show(ctrl=ctrl)
    assert px(img, 50, 50) == sc.rgb(0x11 if ctrl == 2 else expected)


def test_vertical_scroll_moves_rows(screen):
    scroll_scene(screen)
    for row in range(30):
        screen.vram[0x2000 + 32 * row:0x2000 + 32 * row + 32] = row % 4
    img = screen.show(sy=8 * 2 + 3)
    colors = [0x0F, 0x11, 0x22, 0x33]
    for y in range(0, 200, 5):
        assert px(img, 40, y) == screen.rgb(colors[((y + 19) // 8) % 4]), y


def test_changed_palette_entry_shows_everywhere_on_the_next_frame(screen):
    scroll_scene(screen)
    screen.vram[0x2000:0x23C0] = 2
    img = screen.show()
    assert (img == screen.colors[0x22]).all()
    screen.vram[0x3F02] = 0x2A
    img = screen.show(frames=2)
    assert (img == screen.colors[0x2A]).all()


def test_picture_is_black_until_the_first_vertical_blank(console):
    nes = console(VIEWER)
    assert nes.getImg().shape == (240, 256, 3)
    assert not nes.getImg().any()


def test_getimg_view_follows_newer_frames(screen):
    screen.palette([0x21])
    view = screen.nes.getImg()
    screen.show(mask=0)
    assert (view == screen.colors[0x21]).all()


def test_color_lookup_is_the_host_copy(console):
    nes = console(VIEWER)
    table = nes.colorLookup()
    assert table.shape == (64, 3)
    assert tuple(table[0]) == (0x60, 0x60, 0x60) and tuple(table[0x30]) == (255, 255, 255)
    assert not table[0x0D:0x10].any()
    table[0x21] = (1, 2, 3)        # the host copy is writable ...
    sc_vram = nes.ppuMem()
    sc_vram[0x3F00] = 0x21
    nes.cpuMem()[0xF0:0xF4] = [0, 0, 0, 0]
    for _ in range(3):
        nes.runFrame()
    assert tuple(nes.getImg()[10, 10]) != (1, 2, 3)  # ... but rendering never uses it
    assert tuple(kestrix.NES().colorLookup()[0x21]) != (1, 2, 3)


def test_views_are_writable_unfolded_and_keep_the_console_alive(console):
    nes = console(VIEWER)
    vram, oam = nes.ppuMem(), nes.OAM()
    assert vram.shape == (16384,) and oam.shape == (256,) and vram.dtype == np.uint8
    del nes
    import gc
    gc.collect()
    vram[0x2400] = 7     # still valid memory
    oam[3] = 9
    assert vram[0x2400] == 7 and oam[3] == 9


def test_frame_is_89342_dots(console):
    nes = console(VIEWER)
    nes.runFrame()
    first = nes.cycleCount()
    for _ in range(30):
        nes.runFrame()
    dots = 3 * (nes.cycleCount() - first)
    # Each boundary is overshot by less than one instruction (at most 7 cycles).
    assert abs(dots - 30 * 89342) <= 3 * 7
