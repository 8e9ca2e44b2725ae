"""Builds small cartridges for the tests: an iNES image writer and a tiny
two-pass 6502 assembler (documented opcodes, labels, .org/.byte/.word)."""
from __future__ import annotations

import re

# (mnemonic, mode) -> opcode, standard 6502 encoding.
_OPS: dict[tuple[str, str], int] = {}


def _table(mne: str, **modes: int) -> None:
    for mode, code in modes.items():
        _OPS[(mne, mode)] = code


for _mne, _base in (("ORA", 0x00), ("AND", 0x20), ("EOR", 0x40), ("ADC", 0x60),
                    ("STA", 0x80), ("LDA", 0xA0), ("CMP", 0xC0), ("SBC", 0xE0)):
    _table(_mne, xind=_base + 1, zpg=_base + 5, imm=_base + 9, abs=_base + 0xD, indy=_base + 0x11,
           zpgx=_base + 0x15, absy=_base + 0x19, absx=_base + 0x1D)
del _OPS[("STA", "imm")]
for _mne, _base in (("ASL", 0x00), ("ROL", 0x20), ("LSR", 0x40), ("ROR", 0x60)):
    _table(_mne, zpg=_base + 6, acc=_base + 0xA, abs=_base + 0xE, zpgx=_base + 0x16, absx=_base + 0x1E)
_table("INC", zpg=0xE6, abs=0xEE, zpgx=0xF6, absx=0xFE)
_table("DEC", zpg=0xC6, abs=0xCE, zpgx=0xD6, absx=0xDE)
_table("LDX", imm=0xA2, zpg=0xA6, abs=0xAE, zpgy=0xB6, absy=0xBE)
_table("LDY", imm=0xA0, zpg=0xA4, abs=0xAC, zpgx=0xB4, absx=0xBC)
_table("STX", zpg=0x86, abs=0x8E, zpgy=0x96)
_table("STY", zpg=0x84, abs=0x8C, zpgx=0x94)
_table("CPX", imm=0xE0, zpg=0xE4, abs=0xEC)
_table("CPY", imm=0xC0, zpg=0xC4, abs=0xCC)
_table("BIT", zpg=0x24, abs=0x2C)
_table("JMP", abs=0x4C, ind=0x6C)
_table("JSR", abs=0x20)
for _mne, _code in (("BPL", 0x10), ("BMI", 0x30), ("BVC", 0x50), ("BVS", 0x70),
                    ("BCC", 0x90), ("BCS", 0xB0), ("BNE", 0xD0), ("BEQ", 0xF0)):
    _table(_mne, rel=_code)
for _mne, _code in (("BRK", 0x00), ("PHP", 0x08), ("CLC", 0x18), ("PLP", 0x28), ("SEC", 0x38),
                    ("RTI", 0x40), ("PHA", 0x48), ("CLI", 0x58), ("RTS", 0x60), ("PLA", 0x68),
                    ("SEI", 0x78), ("DEY", 0x88), ("TXA", 0x8A), ("TYA", 0x98), ("TXS", 0x9A),
                    ("TAY", 0xA8), ("TAX", 0xAA), ("CLV", 0xB8), ("TSX", 0xBA), ("INY", 0xC8),
                    ("DEX", 0xCA), ("CLD", 0xD8), ("INX", 0xE8), ("NOP", 0xEA), ("SED", 0xF8)):
    _table(_mne, impl=_code)

_LEN = {"impl": 1, "acc": 1, "imm": 2, "zpg": 2, "zpgx": 2, "zpgy": 2, "rel": 2, "xind": 2,
        "indy": 2, "abs": 3, "absx": 3, "absy": 3, "ind": 3}


class AsmError(ValueError):
    pass


def _num(tok: str, labels: dict[str, int], final: bool) -> tuple[int, bool]:
    """Value of an expression and whether it was written as a short literal."""
    tok = tok.strip()
    if tok.startswith("<") or tok.startswith(">"):
        v, _ = _num(tok[1:], labels, final)
        return (v & 0xFF if tok[0] == "<" else (v >> 8) & 0xFF), True
    m = re.fullmatch(r"(.+?)([+-])(\$?[0-9A-Fa-f]+|%[01]+|\d+)", tok)
    if m and not re.fullmatch(r"\$[0-9A-Fa-f]+|%[01]+|\d+", tok):
        base, _ = _num(m.group(1), labels, final)
        off, _ = _num(m.group(3), labels, final)
        return (base + off if m.group(2) == "+" else base - off), False
    if tok.startswith("$"):
        return int(tok[1:], 16), len(tok) <= 3
    if tok.startswith("%"):
        return int(tok[1:], 2), True
    if tok.isdigit():
        v = int(tok)
        return v, v < 256
    if tok in labels:
        return labels[tok], False
    if final:
        raise AsmError(f"unknown label {tok!r}")
    return 0, False


def _parse_operand(mne: str, text: str, labels, final):
    text = text.strip()
    if not text:
        return ("acc" if (mne, "acc") in _OPS else "impl"), None
    if text.upper() == "A" and (mne, "acc") in _OPS:
        return "acc", None
    if text.startswith("#"):
        return "imm", _num(text[1:], labels, final)[0]
    if (mne, "rel") in _OPS:
        return "rel", _num(text, labels, final)[0]
    m = re.fullmatch(r"\((.+),\s*[Xx]\)", text)
    if m:
        return "xind", _num(m.group(1), labels, final)[0]
    m = re.fullmatch(r"\((.+)\),\s*[Yy]", text)
    if m:
        return "indy", _num(m.group(1), labels, final)[0]
    m = re.fullmatch(r"\((.+)\)", text)
    if m:
        return "ind", _num(m.group(1), labels, final)[0]
    m = re.fullmatch(r"(.+),\s*([XxYy])", text)
    idx = ""
    if m:
        text, idx = m.group(1), m.group(2).lower()
    v, short = _num(text, labels, final)
    mode = ("zpg" if short and v < 256 and (mne, "zpg" + idx) in _OPS else "abs") + idx
    return mode, v


def assemble(source: str, org: int = 0x8000) -> dict[int, int]:
    """Assembles `source`; returns {address: byte}. Labels end with ':'."""
    labels: dict[str, int] = {}
    out: dict[int, int] = {}
    for final in (False, True):
        pc = org
        out.clear()
        for raw in source.splitlines():
            line = raw.split(";", 1)[0].strip()
            while True:
                m = re.match(r"([A-Za-z_]\w*):\s*", line)
                if not m:
                    break
                labels[m.group(1)] = pc
                line = line[m.end():]
            if not line:
                continue
            word, _, rest = line.partition(" ")
            word = word.upper()
            if word == ".ORG":
                pc = _num(rest, labels, final)[0]
                continue
            if word in (".BYTE", ".DB", ".WORD", ".DW"):
                for item in (x for x in rest.split(",") if x.strip()):
                    v = _num(item, labels, final)[0]
                    if word in (".BYTE", ".DB"):
                        out[pc] = v & 0xFF
                        pc += 1
                    else:
                        out[pc], out[pc + 1] = v & 0xFF, (v >> 8) & 0xFF
                        pc += 2
                continue
            mode, v = _parse_operand(word, rest, labels, final)
            if (word, mode) not in _OPS:
                raise AsmError(f"no opcode for {word} {mode} in {raw!r}")
            out[pc] = _OPS[(word, mode)]
            n = _LEN[mode]
            if mode == "rel":
                d = (v - (pc + 2)) if final else 0
                if final and not -128 <= d <= 127:
                    raise AsmError(f"branch out of range in {raw!r}")
                out[pc + 1] = d & 0xFF
            elif n == 2:
                out[pc + 1] = v & 0xFF
            elif n == 3:
                out[pc + 1], out[pc + 2] = v & 0xFF, (v >> 8) & 0xFF
            pc += n
    assemble.labels = dict(labels)  # type: ignore[attr-defined]
    return out


def ines(prg: bytes, chr_rom: bytes = b"", *, mapper: int = 0, mirroring: int = 0, battery: bool = False,
         four_screen: bool = False, trainer: bytes | None = None, flags7: int | None = None,
         header_extra: bytes = b"") -> bytes:
    """An iNES image; sizes are taken from the data (PRG in 16 KiB, CHR in 8 KiB units)."""
    assert len(prg) % 16384 == 0 and len(chr_rom) % 8192 == 0
    f6 = (mirroring & 1) | (2 if battery else 0) | (4 if trainer is not None else 0) | (8 if four_screen else 0)
    f6 |= (mapper & 0x0F) << 4
    f7 = (mapper & 0xF0) if flags7 is None else flags7
    header = b"NES\x1a" + bytes([len(prg) // 16384, len(chr_rom) // 8192, f6, f7]) + header_extra
    header = header.ljust(16, b"\0")[:16]
    return header + (trainer or b"") + prg + chr_rom


def program(source: str, *, prg_kb: int = 32, chr_rom: bytes = b"", mapper: int = 0, mirroring: int = 0,
            battery: bool = False) -> bytes:
    """An NROM cartridge running `source` from $8000 (16 KiB: mirrored at $C000).

    The labels `reset`, `nmi` and `irq` set the vectors (reset defaults to the
    start of the code; nmi and irq default to an RTI)."""
    code = assemble(source + "\n__rti: RTI\n", 0x8000)
    labels = assemble.labels  # type: ignore[attr-defined]
    size = prg_kb * 1024
    prg = bytearray(size)
    for addr, b in code.items():
        off = addr - 0x8000
        if not 0 <= off < size:
            raise AsmError(f"address ${addr:04X} outside the PRG ROM")
        prg[off] = b
    vec = size - 6
    for i, name in enumerate(("nmi", "reset", "irq")):
        target = labels.get(name, 0x8000 if name == "reset" else labels["__rti"])
        prg[vec + 2 * i] = target & 0xFF
        prg[vec + 2 * i + 1] = target >> 8
    return ines(bytes(prg), chr_rom, mapper=mapper, mirroring=mirroring, battery=battery)


# Frame timing as the tests see it: after reset the PPU stands at line 0 dot 25,
# a frame is 262 lines of 341 dots, and it runs three dots per CPU cycle.
FRAME_DOTS = 262 * 341
FIRST_FRAME_DOTS = FRAME_DOTS - 25


def frame_end_cycles(prologue: list[int], body: list[int], frames: int = 3) -> list[int]:
    """cycleCount() after each of `frames` runFrame() calls, for a program that runs
    instructions costing `prologue` cycles once and then those of `body` forever.

    The step that finishes a frame is completed, so the count is the first
    instruction boundary whose cycle total reaches the frame's last dot."""
    assert sum(body) > 0 and min(body) >= 0
    out: list[int] = []
    total, i, seq = 0, 0, list(prologue)
    for k in range(frames):
        need = FIRST_FRAME_DOTS + k * FRAME_DOTS
        while 3 * total < need:
            total += seq[i] if i < len(seq) else body[(i - len(seq)) % len(body)]
            i += 1
        out.append(total)
    return out


def unit_fill(units: int, tag: int) -> bytearray:
    """`units` 1 KiB units, each telling which it is: unit u starts with the
    bytes u & 0xFF, u >> 8 and `tag`, and the rest holds u & 0xFF."""
    data = bytearray()
    for u in range(units):
        unit = bytearray([u & 0xFF]) * 1024
        unit[1], unit[2] = u >> 8, tag
        data += unit
    return data


BANKED_ORG = 0xFC10


def banked(source: str, *, prg_kb: int, chr_kb: int = 0, mapper: int, mirroring: int = 0,
           battery: bool = False, four_screen: bool = False) -> tuple[bytes, bytes, bytes]:
    """A bank-switched cartridge whose PRG and CHR units are filled by
    `unit_fill` (PRG tag 0x50, CHR tag 0xC4) and whose program, assembled at
    $FC10 (labels reset/nmi/irq as in `program`), is placed in the last 1 KiB
    of every 16 KiB PRG bank and of the whole PRG. The code is thus at $FC10
    whichever 16 or 32 KiB bank a mapper puts at the top of the address space.

    Returns (image, prg, chr). A PRG smaller than 16 KiB is described with a
    NES 2.0 exponent-form size."""
    code = assemble(source + "\n__rti: RTI\n", BANKED_ORG)
    labels = assemble.labels  # type: ignore[attr-defined]
    top = bytearray(1024)
    for addr, b in code.items():
        if not BANKED_ORG <= addr < 0xFFFA:
            raise AsmError(f"address ${addr:04X} outside $FC10-$FFF9")
        top[addr - 0xFC00] = b
    for i, name in enumerate(("nmi", "reset", "irq")):
        target = labels.get(name, BANKED_ORG if name == "reset" else labels["__rti"])
        top[0x3FA + 2 * i], top[0x3FB + 2 * i] = target & 0xFF, target >> 8
    prg = unit_fill(prg_kb, 0x50)
    for u in range(prg_kb):
        if u % 16 == 15 or u == prg_kb - 1:
            prg[u * 1024 + 16:(u + 1) * 1024] = top[16:]
    chr_rom = bytes(unit_fill(chr_kb, 0xC4))
    if prg_kb % 16 == 0:
        image = ines(bytes(prg), chr_rom, mapper=mapper, mirroring=mirroring, battery=battery,
                     four_screen=four_screen)
    else:
        size = prg_kb * 1024
        exp = size.bit_length() - 1
        if size != 1 << exp or chr_kb % 8:
            raise ValueError("a PRG below 16 KiB must be a power of two")
        f6 = (mirroring & 1) | (2 if battery else 0) | (8 if four_screen else 0) | (mapper & 0x0F) << 4
        header = b"NES\x1a" + bytes([exp << 2, chr_kb // 8, f6, (mapper & 0xF0) | 0x08, 0, 0x0F])
        image = header.ljust(16, b"\0") + bytes(prg) + chr_rom
    return image, bytes(prg), chr_rom
