"""The CPU bus seen from a running program: mirrors, the PPU ports, OAM and
OAM DMA, the APU status read, ROM and cartridge RAM."""
import pytest

import kestrix
from nesbuild import frame_end_cycles


def run(console, source: str, mem=None, vram=None, frames: int = 1, **kw) -> kestrix.NES:
    nes = console(source + "\ndone: JMP done\n", **kw)
    for addr, value in (mem or {}).items():
        nes.cpuMem()[addr] = value
    for addr, value in (vram or {}).items():
        nes.ppuMem()[addr] = value
    for _ in range(frames):
        nes.runFrame()
    return nes


def set_v(addr: int, port: str = "$2006") -> str:
    return f"LDA #${addr >> 8:02X}\nSTA {port}\nLDA #${addr & 0xFF:02X}\nSTA {port}\n"


# ---------------------------------------------------------------- internal RAM

@pytest.mark.parametrize("base", [0x0800, 0x1000, 0x1800])
def test_ram_mirrors_fold_onto_the_home_cell(console, base):
    nes = run(console, f"""
        LDA #$11
        STA ${base + 0x05:04X}
        LDA #$22
        STA ${base + 0x7FF:04X}
        LDA ${(base + 0x800) % 0x2000 + 0x05:04X}
        STA $E0
        LDA ${(base + 0x800) % 0x2000 + 0x7FF:04X}
        STA $E1
    """)
    m = nes.cpuMem()
    assert (m[0x0005], m[0x07FF]) == (0x11, 0x22)
    assert (m[base + 0x05], m[base + 0x7FF]) == (0, 0)  # the mirror cells themselves stay empty
    assert (m[0xE0], m[0xE1]) == (0x11, 0x22)


def test_cartridge_ram_is_stored_and_read_back(console):
    nes = run(console, """
        LDA #$5A
        STA $6000
        LDA #$A5
        STA $7FFF
        LDA $6000
        STA $E0
        LDA $7FFF
        STA $E1
    """)
    m = nes.cpuMem()
    assert (m[0x6000], m[0x7FFF], m[0xE0], m[0xE1]) == (0x5A, 0xA5, 0x5A, 0xA5)


@pytest.mark.parametrize("prg_kb", [16, 32])
def test_rom_writes_are_dropped(console, prg_kb):
    nes = console("""
        LDA #$55
        STA $8000
        STA $BFF0
        STA $C000
        STA $FFF0
        INC $8001
        DEC $C001
        ASL $8002
    done: JMP done
    """, prg_kb=prg_kb)
    before = nes.cpuMem()[0x8000:].copy()
    nes.runFrame()
    assert (nes.cpuMem()[0x8000:] == before).all()


@pytest.mark.parametrize("prg_kb,want", [(16, 0x11), (32, 0x22)])
def test_16k_image_is_mirrored_at_c000(console, prg_kb, want):
    extra = "\n.org $C005\n.byte $22" if prg_kb == 32 else ""
    nes = run(console, f"""
        JMP go
        .org $8005
        .byte $11
    go: LDA $C005
        STA $E0
        LDA $FFFC
        STA $E1
        JMP done
        {extra}
    """, prg_kb=prg_kb)
    m = nes.cpuMem()
    assert m[0xE0] == want
    assert m[0xE1] == m[0xBFFC if prg_kb == 16 else 0xFFFC]


# ---------------------------------------------------------------- PPU ports

def test_register_mirrors_and_last_written_values(console):
    nes = run(console, set_v(0x2108, "$2FFE") + """
        LDA #$5A
        STA $3FFF       ; PPUDATA through its last mirror
        LDA #$04
        STA $2008       ; PPUCTRL: increment 32
        LDA #$5B
        STA $2007
        LDA #$5C
        STA $200F
        LDA #$1E
        STA $2001
        LDA $2009       ; a read of PPUMASK returns the byte last written
        STA $E0
        LDA $3000
        STA $E1
    """)
    v, m = nes.ppuMem(), nes.cpuMem()
    assert (v[0x2108], v[0x2109], v[0x2129], v[0x210A]) == (0x5A, 0x5B, 0x5C, 0x00)
    assert (m[0x2000], m[0x2008], m[0x2001]) == (0x04, 0x00, 0x1E)
    assert (m[0xE0], m[0xE1]) == (0x1E, 0x04)


@pytest.mark.parametrize("chr_rom", [b"", bytes(range(256)) * 32], ids=["chr_ram", "chr_rom"])
def test_ppudata_writes_to_pattern_memory_only_reach_chr_ram(console, chr_rom):
    nes = run(console, set_v(0x0010) + """
        LDA #$A5
        STA $2007
        STA $2007       ; v advanced past the first write either way
    """ + set_v(0x0010) + """
        LDA $2007       ; the read buffer still goes through pattern memory
        LDA $2007
        STA $E0
    """, chr_rom=chr_rom)
    v, m = nes.ppuMem(), nes.cpuMem()
    want = (0xA5, 0xA5) if not chr_rom else (0x10, 0x11)
    assert (v[0x10], v[0x11]) == want
    assert m[0xE0] == want[0]


def test_ppustatus_read_clears_vblank_bit_through_a_mirror(console):
    nes = run(console, """
        LDA #$80
        STA $2000
    spin: JMP spin
    nmi:
        LDA $3FFA       ; PPUSTATUS through a mirror
        STA $E0
        LDA $2002
        STA $E1
        LDA #$00
        STA $2000
        RTI
    """)
    m = nes.cpuMem()
    assert m[0xE0] & 0x80 and not m[0xE1] & 0x80
    assert m[0xE0] & 0x7F == m[0xE1] & 0x7F


@pytest.mark.parametrize("first_port", ["$2005", "$2006"])
@pytest.mark.parametrize("read_status", [True, False])
def test_ppustatus_read_resets_the_write_toggle(console, first_port, read_status):
    nes = run(console, f"""
        LDA #$3F
        STA {first_port}    ; first write of a pair: w = 1
        {"LDA $2002" if read_status else ""}
        {set_v(0x2108)}
        LDA #$77
        STA $2007
    """)
    v = nes.ppuMem()
    # Without the status read the pair is out of step and $2108 is not addressed.
    assert (v[0x2108] == 0x77) == read_status


def test_ppuctrl_and_ppuscroll_feed_t_which_the_second_ppuaddr_write_copies(console):
    nes = run(console, """
        LDA #$02
        STA $2000       ; t bits 10-11 = 2
        LDA #$00
        STA $2005       ; first write: coarse X 0, w = 1
        LDA #$C5
        STA $2005       ; second write: coarse Y bits from $C0, fine Y 5
        LDA #$08
        STA $2005       ; first write again: coarse X 1
        LDA #$34
        STA $2006       ; taken as a second write: low byte, then v = t = $5B34
        LDA #$9A
        STA $2007       ; at $5B34 AND $3FFF
        LDA #$9B
        STA $2007
    """)
    v = nes.ppuMem()
    assert (v[0x1B34], v[0x1B35]) == (0x9A, 0x9B)


def test_ppustatus_write_is_not_stored(console):
    nes = run(console, "LDA #$1F\nSTA $2002\nSTA $200A")
    assert nes.cpuMem()[0x2002] & 0x1F == 0


def test_ppudata_read_buffer_and_palette(console):
    nes = run(console, set_v(0x2000) + """
        LDA $2007
        STA $E0         ; the stale buffer
        LDA $2007
        STA $E1         ; the byte at $2000
        LDA #$99
        STA $2007       ; v is now $2002
    """ + set_v(0x3F01) + """
        LDA $2007
        STA $E2         ; palette bytes come at once ...
    """ + set_v(0x2010) + """
        LDA $2007
        STA $E3         ; ... and leave the buffer as it was ($2001's byte)
        LDA $2007
        STA $E4
    """, vram={0x2000: 0xAA, 0x2001: 0xBB, 0x2010: 0xDD, 0x3F01: 0x15})
    m, v = nes.cpuMem(), nes.ppuMem()
    assert [int(m[a]) for a in range(0xE0, 0xE5)] == [0x00, 0xAA, 0x15, 0xBB, 0xDD]
    assert v[0x2002] == 0x99


def test_ppudata_increment_32_for_reads_and_writes(console):
    nes = run(console, """
        LDA #$04
        STA $2000
    """ + set_v(0x2000) + """
        LDA $2007
        LDA $2007
        STA $E0         ; the byte at $2000, read at v = $2020
        LDA #$66
        STA $2007       ; written at v = $2040
        STA $2007       ; and at $2060
    """, vram={0x2000: 0x31, 0x2001: 0x32, 0x2020: 0x33})
    m, v = nes.cpuMem(), nes.ppuMem()
    assert m[0xE0] == 0x31
    assert (v[0x2040], v[0x2060], v[0x2041], v[0x2021]) == (0x66, 0x66, 0x00, 0x00)


def test_oamdata_masks_attribute_bytes_and_reads_without_increment(console):
    nes = run(console, """
        LDA #$01
        STA $2003
        LDA #$FF
        STA $2004       ; OAM[1]
        STA $2004       ; OAM[2]: attribute byte
        STA $2004       ; OAM[3]
        LDA #$FE
        STA $2003
        LDA #$FF
        STA $2004       ; OAM[$FE]: attribute byte
        STA $2004       ; OAM[$FF]
        STA $2004       ; wraps to OAM[0]
        LDA #$02
        STA $2003
        LDA $2004
        STA $E0
        LDA $2004
        STA $E1
    """)
    oam, m = nes.OAM(), nes.cpuMem()
    assert [int(oam[i]) for i in (0, 1, 2, 3, 4, 0xFE, 0xFF)] == [0xFF, 0xFF, 0xE3, 0xFF, 0x00, 0xE3, 0xFF]
    assert (m[0xE0], m[0xE1]) == (0xE3, 0xE3)
    assert m[0x2004] == 0xFF  # the cell holds the last value written, masked or not


def test_oamdata_cell_stores_the_masked_value(console):
    nes = run(console, "LDA #$02\nSTA $2003\nLDA #$FF\nSTA $2004")
    assert (nes.OAM()[2], nes.cpuMem()[0x2004]) == (0xE3, 0xE3)


@pytest.mark.parametrize("page", [0x02, 0x0A])  # $0A00 is a mirror of $0200
@pytest.mark.parametrize("start", [0, 5])
def test_oam_dma_copies_a_page_and_restores_oamaddr(console, page, start):
    src = {0x200 + i: (i * 7 + 3) & 0xFF for i in range(256)}
    nes = run(console, f"""
        LDA #${start:02X}
        STA $2003
        LDA #${page:02X}
        STA $4014
        LDA #$AB
        STA $2004       ; OAMADDR is back at the start
    """, mem=src)
    oam, m = nes.OAM(), nes.cpuMem()
    for i in range(256):
        idx = (start + i) & 0xFF
        want = src[0x200 + i] & (0xE3 if idx & 3 == 2 else 0xFF)
        if idx == start:
            want = 0xAB
        assert oam[idx] == want, idx
    assert m[0x4014] == page


def test_oam_dma_takes_no_cycles(console):
    nes = console("LDA #$02\nloop: STA $4014\nSTA $4014\nJMP loop")
    got = []
    for _ in range(3):
        nes.runFrame()
        got.append(nes.cycleCount())
    assert got == frame_end_cycles([2], [4, 4, 3])


# ---------------------------------------------------------------- APU status

def test_apu_status_reports_only_pulse_one(console):
    nes = run(console, """
        LDA #$0F
        STA $4015
        LDA #$F8
        STA $4003
        STA $4007
        STA $400B
        STA $400F
        LDA $4015
        STA $E0         ; every length counter running: still only bit 0
        LDA #$0E
        STA $4015       ; pulse 1 off
        LDA $4015
        STA $E1
        LDA #$1F
        STA $4015
        LDA $4015
        STA $E2         ; pulse 1 enabled again, but its counter was cleared
        LDA #$F8
        STA $4003
        LDA $4015
        STA $E3
    """)
    m = nes.cpuMem()
    assert [int(m[a]) for a in range(0xE0, 0xE4)] == [1, 0, 0, 1]


def test_apu_register_cells_hold_the_last_write(console):
    nes = run(console, """
        LDA #$BF
        STA $4000
        LDA $4000
        STA $E0
        LDA #$5D
        STA $4018
        LDA $4018
        STA $E1
    """)
    m = nes.cpuMem()
    assert (m[0xE0], m[0xE1], m[0x4000], m[0x4018]) == (0xBF, 0x5D, 0xBF, 0x5D)
