"""Generated cartridges that poke the PPU while it draws.

Each program writes $2000/$2001/$2005/$2006 (and, per variant, OAM, CHR
banks or MMC3 registers) at pseudo-random dots of the visible lines, after a
sprite-0-hit wait or a fixed cycle delay, with crowded sprite lines (more
than eight sprites on a line), 8x8 or 8x16 sprites and random pattern data.
The delays mix in the pad bits, so the pads a driver presses change when the
writes land. Every read of $2002/$2004/$2007 made between the writes is kept
in CPU memory ($0300-$03FF), where a comparison of memory sees it.

The MMC3 variants take scanline IRQs: one kind moves the scroll and a CHR
bank; the other splits the screen into bands and a status bar as a game
does, its IRQ handler setting the next latch ($C000, varying, 0 included),
reloading ($C001) on every other band, acknowledging and enabling
($E000/$E001) and setting the scroll through $2006/$2005/$2005/$2006; its
NMI reloads the counter for the first band.

The images are built with the tests' assembler (tests/nesbuild.py)."""
from __future__ import annotations

import pathlib
import random
import sys
from dataclasses import dataclass

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
from nesbuild import assemble, ines  # noqa: E402

CODE_ORG = 0xE000  # the last 8 KiB: fixed on MMC3, plain ROM on NROM/CNROM


@dataclass(frozen=True)
class Variant:
    name: str
    mapper: int = 0            # 0 NROM, 3 CNROM, 4 MMC3
    tall: bool = False         # 8x16 sprites
    sync: str = "sprite0"      # "sprite0": wait for the hit; "timed": a fixed delay from the NMI
    writes: tuple[str, ...] = ("scroll",)
    count: int = 40            # timed writes per frame
    dmc: bool = False          # a looping DMC sample (its fetches steal CPU cycles)
    pcm: bool = False          # a one-byte DMC sample each frame, then a silent DMC that $4011 writes set
    irq: str = ""              # MMC3 scanline IRQs: "bank" moves the scroll and a CHR bank,
                               # "split" makes bands and a status bar (see _IRQ_SPLIT)


VARIANTS: tuple[Variant, ...] = (
    Variant("scroll-8x8", writes=("scroll",)),
    Variant("scroll-addr-8x16", tall=True, writes=("scroll", "addr")),
    Variant("ctrl-mask-8x8", writes=("ctrl", "mask")),
    Variant("ctrl-mask-scroll-8x16-timed", tall=True, sync="timed", writes=("ctrl", "mask", "scroll")),
    Variant("oam-reads-8x8", writes=("oam", "scroll", "read")),
    Variant("cnrom-banks-8x16", mapper=3, tall=True, writes=("bank", "scroll")),
    Variant("mmc3-irq-8x16", mapper=4, tall=True, writes=("mmc3", "scroll"), irq="bank"),
    Variant("mmc3-irq-8x8-mask", mapper=4, writes=("mmc3", "mask"), irq="bank", sync="timed"),
    Variant("mixed-dmc-8x16", tall=True, writes=("scroll", "addr", "ctrl", "mask", "read"), dmc=True),
    # Pairs of $4011 writes a few cycles apart, the DMC output step now and then between them.
    Variant("pcm-4011-8x8", writes=("pcm", "scroll"), sync="timed", pcm=True),
    # The NMI only waits (no writes of its own), so the splits are what moves the picture.
    Variant("mmc3-split-status-8x8", mapper=4, writes=(), irq="split", sync="timed"),
)

# Zero page: $00 frame, $01/$02 LFSR, $03/$0C pads, $04 scratch, $0B loop count,
# $0D ring index into $0300, $0E splits taken this frame, $0F scratch of the IRQ.
_COMMON = """
reset: SEI
 CLD
 LDX #$FF
 TXS
 LDA #0
 STA $2000
 STA $2001
 STA $4010
 LDA #$40
 STA $4017
vb1: BIT $2002
 BPL vb1
vb2: BIT $2002
 BPL vb2
 LDA #$A5
 STA $01
 LDA #$5A
 STA $02
{mapper_init}
 LDA #$3F
 STA $2006
 LDA #$00
 STA $2006
 LDX #0
pal: LDA palette,X
 STA $2007
 INX
 CPX #32
 BNE pal
 LDA #$20
 STA $2006
 LDA #$00
 STA $2006
 LDY #16
ntp: LDX #0
 TYA
 ASL A
 ASL A
 ASL A
 STA $04
ntb: LDA fill,X
 EOR $04
 STA $2007
 INX
 BNE ntb
 DEY
 BNE ntp
 LDX #0
oi: LDA sprites,X
 STA $0200,X
 INX
 BNE oi
 LDA #$0F
 STA $4015
 LDA #{ctrl}
 STA $2000
 LDA #$1E
 STA $2001
main: JMP main

lfsr: LDA $01
 ASL A
 ROL $02
 BCC lfsr1
 EOR #$39
lfsr1: STA $01
 RTS

nmi: PHA
 TXA
 PHA
 TYA
 PHA
 LDA #0
 STA $2003
 LDA #$02
 STA $4014
 JSR lfsr
 AND #$FC
 BEQ nomove
 TAX
 JSR lfsr
 STA $0203,X
 JSR lfsr
 AND #$EF
 STA $0200,X
 JSR lfsr
 STA $0202,X
nomove: LDA #1
 STA $4016
 LDA #0
 STA $4016
 LDX #8
rp: LDA $4016
 LSR A
 ROL $03
 LDA $4017
 LSR A
 ROL $0C
 DEX
 BNE rp
 LDA $01
 STA $4002
 AND #$BF
 STA $4000
 LDA #$08
 STA $4003
 LDA $02
 STA $400A
 LDA #$81
 STA $4008
 LDA #$08
 STA $400B
 LDA $03
 STA $400E
 LDA #$1F
 STA $400C
 STA $400F
{dmc}
 LDA $00
 STA $2005
 LDA $03
 STA $2005
 LDA #{ctrl}
 STA $2000
 LDA #$1E
 STA $2001
 INC $00
{irq_arm}
{sync}
 LDA #{count}
 STA $0B
wl: JSR lfsr
 EOR $03
 AND #$3F
 TAX
 INX
dl: DEX
 BNE dl
{writes}
 DEC $0B
 BNE wl
 LDY $0D
 LDA $2002
 STA $0300,Y
 INC $0D
 LDA #{ctrl}
 STA $2000
 PLA
 TAY
 PLA
 TAX
 PLA
 RTI
"""

_SYNC = {
    "sprite0": """
s0c: BIT $2002
 BVS s0c
 LDX #0
 LDY #8
s0s: BIT $2002
 BVS s0hit
 DEX
 BNE s0s
 DEY
 BNE s0s
s0hit: NOP
""",
    # About 24 lines from the NMI.
    "timed": """
 LDY #5
td1: LDX #110
td2: DEX
 BNE td2
 DEY
 BNE td1
""",
}

# Each ends with A free; X and Y may be used.
_WRITES = {
    "scroll": " LDA $01\n STA $2005\n LDA $02\n STA $2005\n",
    "addr": " LDA $02\n AND #$2F\n STA $2006\n LDA $01\n STA $2006\n",
    "ctrl": " LDA $01\n ORA #$80\n STA $2000\n",
    "mask": " LDA $02\n STA $2001\n",
    "oam": " LDA $01\n STA $2003\n LDA $02\n STA $2004\n LDY $0D\n LDA $2004\n STA $0300,Y\n INC $0D\n",
    "read": " LDY $0D\n LDA $2002\n STA $0300,Y\n LDA $2007\n STA $0380,Y\n INC $0D\n",
    "bank": " LDA $02\n AND #3\n TAX\n LDA banktab,X\n STA banktab,X\n",
    "mmc3": " LDA $01\n AND #7\n STA $8000\n LDA $02\n STA $8001\n",
    "pcm": " LDA $01\n LSR A\n STA $4011\n LDA $02\n LSR A\n STA $4011\n",
}

_MMC3_INIT = """
 LDX #0
mi: STX $8000
 LDA mmc3regs,X
 STA $8001
 INX
 CPX #8
 BNE mi
 LDA #0
 STA $A000
 LDA #$80
 STA $A001
"""

_IRQ_ARM = """
 JSR lfsr
 AND #$1F
 ORA #$08
 STA $C000
 STA $C001
 STA $E001
 CLI
"""

# Armed in the NMI like a game does: any pending IRQ acknowledged, the first
# band's latch (0 to 31) reloaded.
_IRQ_ARM_SPLIT = """
 STA $E000
 LDA #0
 STA $0E
 STA $8000
 STA $8001
 JSR lfsr
 AND #$1F
 STA $C000
 STA $C001
 STA $E001
 CLI
"""

# Three bands, then the status bar. Each band's IRQ acknowledges, sets the
# next latch from the band and the frame, reloads on odd bands only (on even
# ones the counter, at 0, takes the new latch at its next clock by itself)
# and sets X and Y scroll mid-frame; the bar's IRQ sets a fixed scroll and
# another background bank and leaves IRQs off until the next NMI.
_IRQ_SPLIT = """
irq: PHA
 TXA
 PHA
 STA $E000
 BIT $2002
 INC $0E
 LDX $0E
 CPX #4
 BCS bar
 TXA
 EOR $00
 EOR $02
 AND #$1F
 STA $C000
 TXA
 AND #1
 BEQ keep
 STA $C001
keep: STA $E001
 TXA
 AND #3
 ASL A
 ASL A
 STA $2006
 LDA $01
 STA $2005
 LDA $02
 STA $2005
 LDA $01
 ASL A
 ASL A
 AND #$E0
 STA $0F
 LDA $02
 LSR A
 LSR A
 LSR A
 ORA $0F
 STA $2006
 JMP irqend
bar: LDA #$08
 STA $2006
 LDA #0
 STA $2005
 STA $2005
 STA $2006
 STA $8000
 LDA $00
 AND #$3E
 STA $8001
irqend: PLA
 TAX
 PLA
 RTI
"""

_IRQ = """
irq: PHA
 STA $E000
 STA $E001
 LDA $01
 STA $2005
 STA $2005
 LDA #2
 STA $8000
 LDA $02
 STA $8001
 PLA
 RTI
"""

# The fastest rate, no loop: the byte plays for 8 x 27 APU steps.
_PCM = """
 LDA #$0F
 STA $4010
 LDA #$00
 STA $4013
 LDA #$1F
 STA $4015
"""

_DMC = """
 LDA #$4E
 STA $4010
 LDA #$00
 STA $4012
 LDA #$20
 STA $4013
 LDA #$1F
 STA $4015
"""


def _bytes(label: str, data: bytes) -> str:
    lines = [f"{label}:"]
    for i in range(0, len(data), 16):
        lines.append(" .byte " + ",".join(f"${b:02X}" for b in data[i:i + 16]))
    return "\n".join(lines) + "\n"


def _sprites(rng: random.Random) -> bytes:
    """Sprite 0 over the background near the top; two crowded bands (more than
    eight sprites per line), some at the left and right edges; the rest anywhere."""
    oam = bytearray()
    for i in range(64):
        if i == 0:
            y, x = 30, 100
        elif i < 16:
            y, x = 60 + rng.randrange(6), rng.randrange(256)
        elif i < 28:
            y, x = 120 + rng.randrange(10), rng.choice((0, 3, 7, 248, 251, 255, rng.randrange(256)))
        else:
            y, x = rng.randrange(240), rng.randrange(256)
        oam += bytes((y, rng.randrange(256), rng.randrange(256) & 0xE3, x))
    return bytes(oam)


def build(v: Variant, seed: int = 1) -> bytes:
    """The iNES image of one variant."""
    rng = random.Random(f"{v.name}/{seed}")
    ctrl = 0x80 | (0x20 if v.tall else 0) | (0x08 if not v.tall else 0)
    src = _COMMON.format(
        mapper_init=_MMC3_INIT if v.mapper == 4 else "",
        ctrl=f"${ctrl:02X}",
        dmc=_DMC if v.dmc else _PCM if v.pcm else "",
        irq_arm={"": "", "bank": _IRQ_ARM, "split": _IRQ_ARM_SPLIT}[v.irq],
        sync=_SYNC[v.sync],
        count=v.count,
        writes="".join(_WRITES[w] for w in v.writes),
    )
    src += {"": "irq: RTI\n", "bank": _IRQ, "split": _IRQ_SPLIT}[v.irq]
    src += _bytes("palette", bytes(rng.randrange(64) for _ in range(32)))
    src += _bytes("fill", bytes(rng.randrange(256) for _ in range(256)))
    src += _bytes("sprites", _sprites(rng))
    src += _bytes("banktab", bytes(range(4)))
    src += _bytes("mmc3regs", bytes((0, 2, 4, 5, 6, 7, 0, 1)))
    code = assemble(src, CODE_ORG)
    labels = assemble.labels  # type: ignore[attr-defined]
    prg = bytearray(rng.randrange(256) for _ in range(32768))  # also the DMC sample at $C000
    for addr, b in code.items():
        if not CODE_ORG <= addr < 0xFFFA:
            raise ValueError(f"{v.name}: code reaches ${addr:04X}")
        prg[addr - 0x8000] = b
    for i, name in enumerate(("nmi", "reset", "irq")):
        prg[0x7FFA + 2 * i], prg[0x7FFB + 2 * i] = labels[name] & 0xFF, labels[name] >> 8
    chr_kb = {0: 8, 3: 32, 4: 64}[v.mapper]
    chr_rom = bytes(rng.randrange(256) for _ in range(chr_kb * 1024))
    return ines(bytes(prg), chr_rom, mapper=v.mapper, mirroring=1)


def write_all(folder: pathlib.Path, seed: int = 1) -> list[pathlib.Path]:
    """Writes every variant as NAME.nes into `folder` (unchanged files are left alone)."""
    folder.mkdir(parents=True, exist_ok=True)
    out = []
    for v in VARIANTS:
        path = folder / f"{v.name}.nes"
        data = build(v, seed)
        if not path.exists() or path.read_bytes() != data:
            path.write_bytes(data)
        out.append(path)
    return out


if __name__ == "__main__":
    for p in write_all(pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "build/same/programs")):
        print(p)
