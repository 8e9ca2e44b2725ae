"""Builds the fuzzers' own cartridges and seed corpora (no public test ROM is used).

    python fuzz/make_seeds.py            # cartridges and the rom and cpu corpora
    PYTHONPATH=build/dev python fuzz/make_seeds.py   # also the state corpus (needs kestrix)

Writes fuzz/carts/mapper{0,1,2,3,4,40}.nes (the consoles of the state harness,
and seeds of the loader harness), fuzz/corpus/rom, fuzz/corpus/cpu,
fuzz/corpus/snapshot and, when
the kestrix module can be imported, fuzz/corpus/state. The files are
deterministic: running it again rewrites the same bytes."""
from __future__ import annotations

import os
import pathlib
import struct
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

from nesbuild import assemble, banked, ines  # noqa: E402

# A program that touches every part of the console once per frame: it draws
# (palette, nametable, sprites by DMA, scroll), plays all five channels, reads
# both pads, and in its NMI writes every mapper register range with a value
# made from the frame count and the buttons, so that each mapper switches its
# banks, mirroring and IRQ. The IRQ handler acknowledges the mapper IRQ.
EXERCISER = """
reset:  SEI
        CLD
        LDX #$FF
        TXS
        LDA #0
        STA $2000
        STA $2001
        STA $4010
w1:     BIT $2002
        BPL w1
w2:     BIT $2002
        BPL w2
        LDA #$3F
        STA $2006
        LDA #$00
        STA $2006
        LDX #0
pal:    TXA
        STA $2007
        INX
        CPX #32
        BNE pal
        LDA #$20
        STA $2006
        LDA #$00
        STA $2006
        LDY #8
        LDX #0
nt:     TXA
        STA $2007
        INX
        BNE nt
        DEY
        BNE nt
        LDX #0
spr:    TXA
        STA $0200,X
        INX
        BNE spr
        LDX #0
snd:    LDA sound,X
        STA $4000,X
        INX
        CPX #20
        BNE snd
        LDA #$1F
        STA $4015
        LDA #$40
        STA $4017
        LDA #$A0
        STA $2000
        LDA #$1E
        STA $2001
        CLI
main:   LDA #1
        STA $4016
        LDA #0
        STA $4016
        LDX #8
pad:    LDA $4016
        LSR A
        ROL $20
        LDA $4017
        LSR A
        ROL $22
        DEX
        BNE pad
        LDA $2002
        LDA $2007
        JMP main
nmi:    PHA
        TXA
        PHA
        TYA
        PHA
        INC $21
        LDA #0
        STA $2003
        LDA #2
        STA $4014
        LDA $21
        STA $2005
        STA $2005
        LDA $21
        EOR $20
        AND #$7F
        STA $23
        LDX #5
ser:    STA $E000
        LSR A
        DEX
        BNE ser
        LDA $23
        LDX #5
ser2:   STA $A000
        LSR A
        DEX
        BNE ser2
        LDA $23
        AND #$C7
        STA $8000
        LDA $23
        STA $8001
        STA $A000
        STA $A001
        STA $C000
        STA $C001
        STA $E001
        LDA $22
        STA $6000
        LDA $21
        AND #$0F
        STA $4011
        PLA
        TAY
        PLA
        TAX
        PLA
        RTI
irq:    PHA
        STA $E000
        STA $E001
        LDA $4015
        PLA
        RTI
sound:  .byte $BF, $84, $40, $08, $7F, $8B, $80, $10, $81, $00, $20, $18, $3F, $00, $05, $18, $0F, $00, $40, $01
"""

# Each class with sizes that let its banks wrap and its layouts differ.
CARTS = {
    0: dict(prg_kb=32, chr_kb=8),
    1: dict(prg_kb=64, chr_kb=16, mirroring=1),
    2: dict(prg_kb=64, chr_kb=0, battery=True),
    3: dict(prg_kb=32, chr_kb=32),
    4: dict(prg_kb=64, chr_kb=32),
    40: dict(prg_kb=64, chr_kb=8, mirroring=1),
}


def cart(mapper: int, **kw) -> bytes:
    image, _, _ = banked(EXERCISER, mapper=mapper, **{**CARTS[mapper], **kw})
    return image


def write(folder: pathlib.Path, name: str, data: bytes) -> None:
    folder.mkdir(parents=True, exist_ok=True)
    (folder / name).write_bytes(data)


# Pads of the loader harness: the last 4 bytes of its input.
PADS = bytes([0x01, 0x80, 0x09, 0x10])


def rom_corpus(out: pathlib.Path) -> None:
    """Images beside the six cartridges: the header's other paths."""
    small = cart(0, prg_kb=16, chr_kb=0)
    seeds = {
        "nrom16_chr_ram": small,
        "nrom16_trainer": small[:6] + bytes([small[6] | 4]) + small[7:16] + bytes(range(256)) * 2 + small[16:],
        "nrom16_four_screen_battery": small[:6] + bytes([small[6] | 0x0A]) + small[7:],
        "nes2_plain": small[:7] + bytes([0x08]) + small[8:],
        "nes2_exponent_8k": banked(EXERCISER, mapper=2, prg_kb=8)[0],
        "mmc1_exponent_4k": banked(EXERCISER, mapper=1, prg_kb=4, chr_kb=8)[0],
        "mmc3_chr_ram": cart(4, chr_kb=0),
        "cnrom_chr_ram": cart(3, chr_kb=0),
        "unknown_mapper_7": cart(0, prg_kb=16, chr_kb=8)[:6] + bytes([0x70]) + cart(0, prg_kb=16, chr_kb=8)[7:],
        "mapper_66_flags7": ines(bytes(16384), mapper=0x42),
        "truncated": small[:-100],
    }
    for name, image in seeds.items():
        write(out, name, image + PADS)


def op(kind: int, addr: int, value: int) -> bytes:
    return bytes([kind, addr & 0xFF, addr >> 8, value])


def cpu_seed(mapper_index: int, sizes: int, ops: list[bytes], code: bytes, flags: int = 0) -> bytes:
    # Two frames at the end, and the lazy-PPU comparison.
    return bytes([mapper_index | flags, sizes, 3, len(ops)]) + b"".join(ops) + code


def cpu_corpus(out: pathlib.Path) -> None:
    """The exerciser as a 1 KiB block repeated over PRG (its vectors land at the
    top of every 1 KiB unit), with register writes for each mapper."""
    code = assemble(EXERCISER + "\n__rti: RTI\n", 0xFC10)
    labels = assemble.labels
    block = bytearray(1024)
    for addr, b in code.items():
        block[addr - 0xFC00] = b
    for i, name in enumerate(("nmi", "reset", "irq")):
        block[0x3FA + 2 * i], block[0x3FB + 2 * i] = labels[name] & 0xFF, labels[name] >> 8
    block = bytes(block)
    W, R, STEP, PAD, FRAME = range(5)
    serial = lambda a, v: [op(W, a, (v >> i) & 1) for i in range(5)]  # noqa: E731
    seeds = {
        # mapper index, sizes (PRG bits 0-2, CHR bits 3-4), operations
        "nrom": (0, 5 | 1 << 3, [op(PAD, 0, 0x81), op(STEP, 0, 200), op(W, 0x2006, 0x3F), op(W, 0x2006, 0),
                                 op(W, 0x2007, 0x21), op(R, 0x2002, 0), op(W, 0x4014, 0x02)]),
        "mmc1": (1, 6 | 2 << 3, serial(0x8000, 0x0E) + serial(0xE000, 3) + serial(0xA000, 1) + serial(0xC000, 2)
                 + [op(W, 0x8000, 0x80), op(STEP, 0, 50)] + serial(0x8000, 0x12) + serial(0xA000, 5)),
        "uxrom": (2, 6, [op(W, 0x8000, 3), op(STEP, 0, 10), op(W, 0xC123, 0x17), op(W, 0x6000, 0x55)]),
        "cnrom": (3, 5 | 3 << 3, [op(W, 0x8000, 2), op(W, 0xFFFF, 0xFF), op(FRAME, 0, 0)]),
        "mmc3": (4, 7 | 3 << 3, [op(W, 0x8000, 0x46), op(W, 0x8001, 3), op(W, 0x8000, 0x82), op(W, 0x8001, 5),
                                 op(W, 0xA000, 1), op(W, 0xA001, 0x40), op(W, 0x6000, 0x12), op(W, 0xC000, 2),
                                 op(W, 0xC001, 0), op(W, 0xE001, 0), op(W, 0x2001, 0x18), op(FRAME, 0, 0)]),
        "ntdec": (5, 6 | 1 << 3, [op(W, 0x8000, 0), op(W, 0xA000, 0), op(W, 0xE000, 9), op(STEP, 0, 255)]),
        "mmc1_small_prg": (1, 2, serial(0x8000, 0x08) + serial(0xE000, 7)),
        "mmc3_small_prg": (4, 3, [op(W, 0x8000, 6), op(W, 0x8001, 0x3F), op(W, 0x8000, 0x40)]),
        "uxrom_small_prg": (2, 1, [op(W, 0x8000, 0x0F)]),
    }
    for name, (m, sizes, ops) in seeds.items():
        write(out, name, cpu_seed(m, sizes, ops, block))


def state_corpus(out: pathlib.Path, carts_dir: pathlib.Path) -> bool:
    """A slot image of each console after a few frames, saved by the module."""
    try:
        import kestrix
    except ImportError:
        print("kestrix not importable: state corpus skipped (set PYTHONPATH to a build)", file=sys.stderr)
        return False
    with tempfile.TemporaryDirectory() as home:
        os.environ["HOME"] = home
        (pathlib.Path(home) / ".config").mkdir()
        for index, mapper in enumerate(CARTS):
            for frames in (3, 40):
                nes = kestrix.NES(str(carts_dir / f"mapper{mapper}.nes"))
                pad = kestrix.Controller()
                nes.setController(pad, 0)
                for f in range(frames):
                    pad.updateInputs([bool((f >> b) & 1) for b in range(8)])
                    nes.runFrame()
                nes.saveState(7)
                state = (pathlib.Path(nes.getSaveDir()) / "7").read_bytes()
                assert len(state) == 82189
                assert 0 <= struct.unpack_from("<q", state, 5)[0] <= 0xFFFF
                prefix = bytes([index, 1 | (1 << 2), 0x41, 0x08])
                write(out, f"mapper{mapper}_frame{frames}", prefix + state)
                del nes
    return True


def snapshot_corpus(out: pathlib.Path) -> None:
    """Per cartridge: the snapshot restored as taken, with one byte of each
    part changed (checksum kept: refused), and with bytes of the CPU's, the
    PPU's and the APU's registers changed under a matching checksum."""
    for index in range(len(CARTS)):
        write(out, f"cart{index}_as_taken", bytes([index, 0x11 | (1 << 2), 0x01, 0x80]))
        edits = b"".join(bytes([part, k, 0, 0x5A]) for k, part in enumerate(range(7)))
        write(out, f"cart{index}_one_byte_each", bytes([index, 0x01, 0x00, 0x00]) + edits)
        for part in (2, 3, 4):
            edits = b"".join(bytes([part, 3 * k, 0, (37 * k) & 0xFF]) for k in range(12))
            write(out, f"cart{index}_part{part}_checked", bytes([index, 0x12 | (2 << 2), 0x08, 0x00]) + edits)


def main() -> None:
    carts_dir = HERE / "carts"
    for mapper in CARTS:
        write(carts_dir, f"mapper{mapper}.nes", cart(mapper))
    rom_corpus(HERE / "corpus" / "rom")
    cpu_corpus(HERE / "corpus" / "cpu")
    state_corpus(HERE / "corpus" / "state", carts_dir)
    snapshot_corpus(HERE / "corpus" / "snapshot")


if __name__ == "__main__":
    main()
