"""The 2A03 core seen from a running program: instruction results and flags,
addressing modes, control flow, interrupts, reset, the opcode grid and the
exact cycle cost of instructions (measured at frame boundaries)."""
import os
import re
import shutil
import subprocess
import sys
from collections import namedtuple

import pytest

import kestrix
from nesbuild import FRAME_DOTS, assemble, frame_end_cycles, program

FIRST_DOT = 25  # where the PPU stands after reset

FLAG_BITS = {"N": 0x80, "V": 0x40, "B": 0x10, "D": 0x08, "I": 0x04, "Z": 0x02, "C": 0x01}


def flags(letters: str) -> int:
    return sum(FLAG_BITS[c] for c in letters)


def poke(nes: kestrix.NES, mem: dict) -> None:
    view = nes.cpuMem()
    for addr, value in mem.items():
        view[addr] = value


def word(mem, addr: int) -> int:
    return int(mem[addr]) | int(mem[addr + 1]) << 8


def ram_console(console, source: str, org: int = 0x0300, **kw) -> kestrix.NES:
    """A console whose program runs from internal RAM, so it may modify itself."""
    nes = console(f"reset: JMP ${org:04X}", **kw)
    poke(nes, assemble(source, org))
    return nes


# ---------------------------------------------------------------- single instructions

Regs = namedtuple("Regs", "a x y p sp mem")


def run_op(console, op: str, *, a=0, x=0, y=0, p="", mem=None) -> Regs:
    """Runs `op` (one or more source lines) from the given registers, status
    flags and memory; returns the registers afterwards, P as PHP pushes it."""
    nes = console(f"""
        LDA #${flags(p):02X}
        PHA
        LDA #${a:02X}
        LDX #${x:02X}
        LDY #${y:02X}
        PLP
        {op}
        PHP
        STA $F0
        STX $F1
        STY $F2
        PLA
        STA $F3
        TSX
        STX $F4
    done: JMP done
    """)
    poke(nes, mem or {})
    nes.runFrame()
    m = nes.cpuMem()
    return Regs(int(m[0xF0]), int(m[0xF1]), int(m[0xF2]), int(m[0xF3]), int(m[0xF4]), m)


def case(op: str, init: dict, want: dict, id: str):
    return pytest.param(op, init, want, id=id)


def check(regs: Regs, want: dict) -> None:
    want = dict(want)
    assert regs.p == flags(want.pop("p")) | 0x30, f"P = ${regs.p:02X}"
    for addr, value in want.pop("mem", {}).items():
        assert regs.mem[addr] == value, f"memory ${addr:04X}"
    for reg, value in want.items():
        assert getattr(regs, reg) == value, reg


ARITHMETIC = [
    case("ADC #$50", dict(a=0x50), dict(a=0xA0, p="NV"), "adc-positive-overflow"),
    case("ADC #$01", dict(a=0xFF), dict(a=0x00, p="ZC"), "adc-carry-out"),
    case("ADC #$00", dict(a=0x7F, p="C"), dict(a=0x80, p="NV"), "adc-carry-in-overflow"),
    case("ADC #$80", dict(a=0x80), dict(a=0x00, p="VZC"), "adc-negative-overflow"),
    case("ADC #$7F", dict(a=0x80, p="C"), dict(a=0x00, p="ZC"), "adc-mixed-signs-no-overflow"),
    case("ADC #$FF", dict(a=0x01, p="C"), dict(a=0x01, p="C"), "adc-carry-through"),
    case("ADC #$01", dict(a=0x09, p="D"), dict(a=0x0A, p="D"), "adc-decimal-ignored"),
    case("ADC $40", dict(a=0x10, p="CV", mem={0x40: 0x22}), dict(a=0x33, p=""), "adc-zpg-clears-v"),
    case("SBC #$01", dict(a=0x00, p="C"), dict(a=0xFF, p="N"), "sbc-borrow"),
    case("SBC #$01", dict(a=0x80, p="C"), dict(a=0x7F, p="VC"), "sbc-negative-overflow"),
    case("SBC #$B0", dict(a=0x50, p="C"), dict(a=0xA0, p="NV"), "sbc-positive-overflow"),
    case("SBC #$FF", dict(a=0x7F, p="C"), dict(a=0x80, p="NV"), "sbc-minus-minus-one"),
    case("SBC #$03", dict(a=0x05), dict(a=0x01, p="C"), "sbc-borrow-in"),
    case("SBC #$05", dict(a=0x05, p="C"), dict(a=0x00, p="ZC"), "sbc-equal"),
    case("SBC #$01", dict(a=0x10, p="VDC"), dict(a=0x0F, p="DC"), "sbc-decimal-ignored-clears-v"),
    case("SBC $40", dict(a=0x40, p="C", mem={0x40: 0x41}), dict(a=0xFF, p="N"), "sbc-zpg"),
]

LOGIC = [
    case("AND #$0F", dict(a=0xF0, p="VC"), dict(a=0x00, p="VZC"), "and-zero-keeps-vc"),
    case("AND #$F0", dict(a=0xF3), dict(a=0xF0, p="N"), "and-negative"),
    case("ORA #$80", dict(a=0x01, p="Z"), dict(a=0x81, p="N"), "ora-negative"),
    case("ORA #$00", dict(a=0x00), dict(a=0x00, p="Z"), "ora-zero"),
    case("EOR #$FF", dict(a=0xFF, p="N"), dict(a=0x00, p="Z"), "eor-zero"),
    case("EOR #$0F", dict(a=0xF0), dict(a=0xFF, p="N"), "eor-negative"),
    case("BIT $40", dict(a=0x3F, mem={0x40: 0xC0}), dict(a=0x3F, p="NVZ"), "bit-sets-nvz"),
    case("BIT $40", dict(a=0x01, p="NVZC", mem={0x40: 0x01}), dict(a=0x01, p="C"), "bit-clears-nvz"),
    case("BIT $0634", dict(a=0x40, mem={0x634: 0x40}), dict(p="V"), "bit-abs"),
    case("CMP #$42", dict(a=0x42, p="N"), dict(a=0x42, p="ZC"), "cmp-equal"),
    case("CMP #$43", dict(a=0x42, p="C"), dict(p="N"), "cmp-less"),
    case("CMP #$01", dict(a=0x80), dict(p="C"), "cmp-greater-unsigned"),
    case("CMP #$FF", dict(a=0x00), dict(p=""), "cmp-less-unsigned-positive-difference"),
    case("CPX #$10", dict(x=0x10), dict(p="ZC"), "cpx-equal"),
    case("CPX $40", dict(x=0x10, mem={0x40: 0x20}), dict(p="N"), "cpx-zpg-less"),
    case("CPY #$05", dict(y=0x06), dict(p="C"), "cpy-greater"),
    case("CPY $0634", dict(y=0x00, mem={0x634: 0x80}), dict(p="N"), "cpy-abs-less"),
]

LOADS_STORES = [
    case("LDA #$00", dict(a=0x12, p="N"), dict(a=0x00, p="Z"), "lda-zero"),
    case("LDA #$80", dict(p="Z"), dict(a=0x80, p="N"), "lda-negative"),
    case("LDX $40", dict(mem={0x40: 0x7F}, p="NZ"), dict(x=0x7F, p=""), "ldx-zpg"),
    case("LDY #$FF", dict(), dict(y=0xFF, p="N"), "ldy-negative"),
    case("STA $40", dict(a=0x55, p="NZ"), dict(mem={0x40: 0x55}, p="NZ"), "sta-no-flags"),
    case("STX $0634", dict(x=0x00), dict(mem={0x634: 0x00}, p=""), "stx-abs-no-flags"),
    case("STY $40", dict(y=0x80, p="Z"), dict(mem={0x40: 0x80}, p="Z"), "sty-no-flags"),
]

INC_DEC = [
    case("INC $40", dict(mem={0x40: 0xFF}), dict(mem={0x40: 0x00}, p="Z"), "inc-wraps"),
    case("INC $40", dict(mem={0x40: 0x7F}), dict(mem={0x40: 0x80}, p="N"), "inc-negative"),
    case("DEC $40", dict(mem={0x40: 0x00}), dict(mem={0x40: 0xFF}, p="N"), "dec-wraps"),
    case("DEC $0634", dict(mem={0x634: 0x01}), dict(mem={0x634: 0x00}, p="Z"), "dec-abs-zero"),
    case("INC $0630,X", dict(x=4, mem={0x634: 0x41}), dict(mem={0x634: 0x42}, p=""), "inc-absx"),
    case("DEC $3F,X", dict(x=1, mem={0x40: 0x02}), dict(mem={0x40: 0x01}, p=""), "dec-zpgx"),
    # ROM is never written; the flags still come from the incremented byte
    # ($8000 holds the program's first opcode, $A9).
    case("INC $8000", dict(), dict(mem={0x8000: 0xA9}, p="N"), "inc-rom-unchanged"),
    case("INX", dict(x=0xFF), dict(x=0x00, p="Z"), "inx-wraps"),
    case("DEX", dict(x=0x00), dict(x=0xFF, p="N"), "dex-wraps"),
    case("INY", dict(y=0x7F), dict(y=0x80, p="N"), "iny-negative"),
    case("DEY", dict(y=0x01, p="N"), dict(y=0x00, p="Z"), "dey-zero"),
]

SHIFTS = [
    case("ASL A", dict(a=0x80, mem={0x0000: 0x11}), dict(a=0x00, p="ZC", mem={0x0000: 0x11}), "asl-a-carry-zero"),
    case("ASL A", dict(a=0x41, p="C"), dict(a=0x82, p="N"), "asl-a-negative-clears-c"),
    case("LSR A", dict(a=0x01, p="N"), dict(a=0x00, p="ZC"), "lsr-a-carry-zero"),
    case("LSR A", dict(a=0xFE), dict(a=0x7F, p=""), "lsr-a-clears-n"),
    case("ROL A", dict(a=0x80, p="C"), dict(a=0x01, p="C"), "rol-a-through-carry"),
    case("ROL A", dict(a=0x40), dict(a=0x80, p="N"), "rol-a-negative"),
    case("ROR A", dict(a=0x01, p="C"), dict(a=0x80, p="NC"), "ror-a-through-carry"),
    case("ROR A", dict(a=0x02), dict(a=0x01, p=""), "ror-a-plain"),
    case("ASL $40", dict(a=0x33, mem={0x40: 0xC0}), dict(a=0x33, mem={0x40: 0x80}, p="NC"), "asl-zpg"),
    case("LSR $40", dict(mem={0x40: 0x03}), dict(mem={0x40: 0x01}, p="C"), "lsr-zpg"),
    case("ROL $0634", dict(p="C", mem={0x634: 0x00}), dict(mem={0x634: 0x01}, p=""), "rol-abs"),
    case("ROR $3F,X", dict(x=1, p="C", mem={0x40: 0x00}), dict(mem={0x40: 0x80}, p="N"), "ror-zpgx"),
    case("ASL $0630,X", dict(x=4, mem={0x634: 0x40}), dict(mem={0x634: 0x80}, p="N"), "asl-absx"),
    case("LSR $0630,X", dict(x=4, mem={0x634: 0x01}), dict(mem={0x634: 0x00}, p="ZC"), "lsr-absx"),
]

TRANSFERS_STACK = [
    case("TAX", dict(a=0x00, x=0x05), dict(x=0x00, p="Z"), "tax-zero"),
    case("TAY", dict(a=0x80), dict(y=0x80, p="N"), "tay-negative"),
    case("TXA", dict(x=0x7F, a=0x80, p="NZ"), dict(a=0x7F, p=""), "txa"),
    case("TYA", dict(y=0x00, a=0x05), dict(a=0x00, p="Z"), "tya-zero"),
    case("TSX", dict(), dict(x=0xFF, p="N"), "tsx"),
    case("TXS", dict(x=0x80, p="Z"), dict(sp=0x80, x=0x80, p="Z"), "txs-no-flags"),
    case("PHA\nLDA #$00\nPLA", dict(a=0x80), dict(a=0x80, p="N", sp=0xFF), "pha-pla-negative"),
    case("PHA\nLDA #$01\nPLA", dict(a=0x00), dict(a=0x00, p="Z", sp=0xFF), "pla-zero"),
    case("PHP\nPLA", dict(p="NC"), dict(a=0xB1, p="NC"), "php-pushes-b-and-bit5"),
    case("LDA #$C3\nPHA\nPLP", dict(), dict(a=0xC3, p="NVZC"), "plp-sets-flags"),
    case("CLC", dict(p="NC"), dict(p="N"), "clc"),
    case("SEC", dict(), dict(p="C"), "sec"),
    case("CLI", dict(p="IZ"), dict(p="Z"), "cli"),
    case("SEI", dict(), dict(p="I"), "sei"),
    case("CLD", dict(p="DC"), dict(p="C"), "cld"),
    case("SED", dict(), dict(p="D"), "sed"),
    case("CLV", dict(p="VN"), dict(p="N"), "clv"),
    case("NOP", dict(a=1, x=2, y=3, p="VC"), dict(a=1, x=2, y=3, p="VC"), "nop"),
]

ADDRESSING = [
    case("LDA $FF,X", dict(x=2, mem={0x01: 0x5A, 0x101: 0xEE}), dict(a=0x5A, p=""), "zpgx-wraps"),
    case("LDA $40,X", dict(x=5, mem={0x45: 0x80}), dict(a=0x80, p="N"), "zpgx"),
    case("LDX $FF,Y", dict(y=3, mem={0x02: 0x5B, 0x102: 0xEE}), dict(x=0x5B, p=""), "zpgy-wraps"),
    case("LDY $FF,X", dict(x=3, mem={0x02: 0x5C, 0x102: 0xEE}), dict(y=0x5C, p=""), "ldy-zpgx-wraps"),
    case("LDA $0630,X", dict(x=4, mem={0x634: 0x13}), dict(a=0x13, p=""), "absx"),
    case("LDA $0630,Y", dict(y=4, mem={0x634: 0x14}), dict(a=0x14, p=""), "absy"),
    case("LDX $0630,Y", dict(y=4, x=9, mem={0x634: 0x15}), dict(x=0x15, p=""), "ldx-absy"),
    case("LDY $0630,X", dict(x=4, mem={0x634: 0x16}), dict(y=0x16, p=""), "ldy-absx"),
    case("LDA $FFFF,X", dict(x=1, mem={0x00: 0x5C}), dict(a=0x5C, p=""), "absx-wraps-at-ffff"),
    case("LDA $FFF0,Y", dict(y=0x20, mem={0x10: 0x5D}), dict(a=0x5D, p=""), "absy-wraps-at-ffff"),
    case("LDA ($FE,X)", dict(x=1, mem={0xFF: 0x34, 0x00: 0x06, 0x100: 0x07, 0x634: 0x61, 0x734: 0x99}),
         dict(a=0x61, p=""), "xind-pointer-wraps"),
    case("LDA ($80,X)", dict(x=0x90, mem={0x10: 0x35, 0x11: 0x06, 0x635: 0x62}), dict(a=0x62, p=""),
         "xind-index-wraps"),
    case("LDA ($40),Y", dict(y=4, mem={0x40: 0x30, 0x41: 0x06, 0x634: 0x63}), dict(a=0x63, p=""), "indy"),
    case("LDA ($FF),Y", dict(y=2, mem={0xFF: 0x32, 0x00: 0x06, 0x100: 0x07, 0x634: 0x64, 0x734: 0x99}),
         dict(a=0x64, p=""), "indy-pointer-wraps"),
    case("LDA ($40),Y", dict(y=1, mem={0x40: 0xFF, 0x41: 0xFF, 0x00: 0x65}), dict(a=0x65, p=""),
         "indy-wraps-at-ffff"),
    case("LDA ($40),Y", dict(y=0x20, mem={0x40: 0xF0, 0x41: 0x06, 0x710: 0x66}), dict(a=0x66, p=""),
         "indy-crosses-page"),
    case("STA $FF,X", dict(a=0xAB, x=2), dict(mem={0x01: 0xAB, 0x101: 0x00}, p=""), "sta-zpgx-wraps"),
    case("STA ($FE,X)", dict(a=0xAC, x=1, mem={0xFF: 0x34, 0x00: 0x06}), dict(mem={0x634: 0xAC}, p=""),
         "sta-xind"),
    case("STA ($FF),Y", dict(a=0xAD, y=1, mem={0xFF: 0x33, 0x00: 0x06}), dict(mem={0x634: 0xAD}, p=""),
         "sta-indy-pointer-wraps"),
    case("STA $FFFF,X", dict(a=0xAE, x=1), dict(mem={0x00: 0xAE}, p=""), "sta-absx-wraps"),
    case("STA $FFFF,Y", dict(a=0xAF, y=2), dict(mem={0x01: 0xAF}, p=""), "sta-absy-wraps"),
    case("STX $FF,Y", dict(x=0x5F, y=2), dict(mem={0x01: 0x5F}, p=""), "stx-zpgy-wraps"),
    case("STY $FF,X", dict(y=0x60, x=2), dict(mem={0x01: 0x60}, p=""), "sty-zpgx-wraps"),
    # $9E is STX with X indexing, as the grid has it.
    case(".byte $9E, $00, $06", dict(x=5), dict(mem={0x605: 0x05, 0x600: 0x00}, p=""), "stx-absx-9e"),
]


@pytest.mark.parametrize("op,init,want",
                         ARITHMETIC + LOGIC + LOADS_STORES + INC_DEC + SHIFTS + TRANSFERS_STACK + ADDRESSING)
def test_instruction(console, op, init, want):
    check(run_op(console, op, **init), want)


# ---------------------------------------------------------------- control flow

@pytest.mark.parametrize("jump,mem,marker", [
    ("JMP $8234", {}, 1),
    ("JMP ($0200)", {0x200: 0x34, 0x201: 0x90}, 2),
    # The pointer's high byte comes from the start of the same page: $1000, i.e. $0000.
    ("JMP ($10FF)", {0xFF: 0x34, 0x00: 0x82, 0x100: 0x90}, 1),
    ("JMP ($02FF)", {0x2FF: 0x34, 0x200: 0x90, 0x300: 0x82}, 2),
], ids=["abs", "ind", "ind-page-wrap-mirror", "ind-page-wrap"])
def test_jmp(console, jump, mem, marker):
    nes = console(f"""
        {jump}
    .org $8234
        LDA #$01
        STA $E0
    done: JMP done
    .org $9034
        LDA #$02
        STA $E0
        JMP done
    """)
    poke(nes, mem)
    nes.runFrame()
    assert nes.cpuMem()[0xE0] == marker


def test_code_runs_from_the_c000_mirror_of_a_16k_image(console):
    nes = console("""
        JMP go+$4000    ; on in the mirror
    go: LDA #$5A        ; immediate operand fetched through the mirror
        STA $E0
        LDA data+$4000
        STA $E1
        JSR sub+$4000
        SEC
        BCS on
        JMP done
    on: JMP ($0200)     ; pointer taken from the folded operand cells
    data: .byte $A7
    sub: TSX
        LDA $0101,X
        STA $E2
        LDA $0102,X
        STA $E3
        RTS
    .org $8234
        INC $E4
    done: JMP done
    """, prg_kb=16)
    poke(nes, {0x200: 0x34, 0x201: 0x82})
    nes.runFrame()
    m = nes.cpuMem()
    assert (m[0xE0], m[0xE1], m[0xE4]) == (0x5A, 0xA7, 1)
    assert word(m, 0xE2) == assemble.labels["go"] + 0x4000 + 11  # the JSR's last byte, in the mirror


@pytest.mark.parametrize("at,pushed", [(0x8010, (0x80, 0x12)), (0x80FE, (0x81, 0x00)), (0x80FD, (0x80, 0xFF))])
def test_jsr_pushes_last_byte_address_and_rts_returns_after_it(console, at, pushed):
    nes = console(f"""
        JMP call
    .org ${at:04X}
    call: JSR sub
        INC $E5
    done: JMP done
    .org $9000
    sub: LDA $01FF
        STA $E0
        LDA $01FE
        STA $E1
        TSX
        STX $E2
        RTS
    """)
    nes.runFrame()
    m = nes.cpuMem()
    assert (m[0xE0], m[0xE1]) == pushed
    assert m[0xE2] == 0xFD
    assert m[0xE5] == 1


def test_rti_pulls_status_then_exact_return_address(console):
    nes = console("""
        LDA #>target
        PHA
        LDA #<target
        PHA
        LDA #$C3
        PHA
        LDA #$00
        RTI
    .org $8100
        INX             ; one byte before the target: must not run
    target:
        PHP
        PLA
        STA $E0
        STX $E1
        TSX
        STX $E2
    done: JMP done
    """)
    nes.runFrame()
    m = nes.cpuMem()
    assert (m[0xE0], m[0xE1], m[0xE2]) == (0xF3, 0x00, 0xFF)


@pytest.mark.parametrize("p0", [0x00, 0x04, 0xC3])
def test_brk_pushes_return_and_status_and_rti_resumes_two_bytes_on(console, p0):
    nes = console(f"""
        LDA #${p0:02X}
        PHA
        PLP
        JMP go
    .org $80FE
    go: BRK
        INX             ; the byte after BRK is skipped
    after:
        STX $E5
        INC $E6
    done: JMP done
    irq:
        TSX
        STX $E0
        LDA $0101,X
        STA $E1
        LDA $0102,X
        STA $E2
        LDA $0103,X
        STA $E3
        LDX #$00
        RTI
    """)
    nes.runFrame()
    m = nes.cpuMem()
    assert m[0xE0] == 0xFC
    assert m[0xE1] == p0 | 0x30
    assert (m[0xE3], m[0xE2]) == (0x81, 0x00)  # BRK at $80FE returns to $8100
    assert (m[0xE5], m[0xE6]) == (0x00, 1)


@pytest.mark.parametrize("p0", [0x00, 0x04, 0xCB])
def test_brk_leaves_b_and_bit5_set_and_i_unchanged(console, p0):
    # An NMI pushes P exactly as it is, which shows the live register.
    nes = console(f"""
        LDA #${p0:02X}
        PHA
        PLP
        BRK
        NOP
    spin: JMP spin
    irq: JMP irq
    nmi:
        TSX
        LDA $0101,X
        STA $E0
    done: JMP done
    """)
    poke(nes, {0x2000: 0x80})
    nes.runFrame()
    assert nes.cpuMem()[0xE0] == p0 | 0x30


@pytest.mark.parametrize("p0", [0x00, 0x24, 0xFF, 0xC3])
def test_php_leaves_p_alone_and_plp_takes_the_whole_byte(console, p0):
    nes = console(f"""
        LDA #${p0:02X}
        PHA
        PLP
        PHP
    spin: JMP spin
    nmi:
        TSX
        LDA $0101,X
        STA $E0
    done: JMP done
    """)
    poke(nes, {0x2000: 0x80})
    nes.runFrame()
    m = nes.cpuMem()
    assert m[0x01FF] == p0 | 0x30  # what PHP pushed
    assert m[0xE0] == p0  # P itself, as the NMI pushed it


BRANCHES = [("BCC", "C", False), ("BCS", "C", True), ("BEQ", "Z", True), ("BNE", "Z", False),
            ("BMI", "N", True), ("BPL", "N", False), ("BVC", "V", False), ("BVS", "V", True)]


@pytest.mark.parametrize("flag_set", [False, True], ids=["flag-clear", "flag-set"])
@pytest.mark.parametrize("mne,letter,when_set", BRANCHES, ids=[b[0] for b in BRANCHES])
def test_branch_condition(console, mne, letter, when_set, flag_set):
    nes = console(f"""
        LDA #${flags(letter) if flag_set else 0:02X}
        PHA
        PLP
        {mne} taken
        LDA #$01
        STA $E0
    done: JMP done
    back:
        LDA #$02
        STA $E0
        JMP done
    taken:
        {mne} back      ; backward, same condition
        LDA #$03
        STA $E0
        JMP done
    """)
    nes.runFrame()
    assert nes.cpuMem()[0xE0] == (2 if flag_set == when_set else 1)


# ---------------------------------------------------------------- interrupts and reset

@pytest.mark.parametrize("prg_kb", [16, 32])  # a 16 KiB image supplies its vectors through $C000
def test_nmi_once_per_vblank_even_with_i_set(console, prg_kb):
    nes = console("""
        SEI
        LDA #$80
        STA $2000
    spin: JMP spin
    nmi:
        INC $E0
        TSX
        LDA $0101,X
        STA $E1
        LDA $0102,X
        STA $E2
        LDA $0103,X
        STA $E3
        RTI
    """, prg_kb=prg_kb)
    spin = assemble.labels["spin"]
    for frame in range(1, 4):
        nes.runFrame()
        m = nes.cpuMem()
        assert m[0xE0] == frame
        assert m[0xE1] == 0xA4  # N from the LDA, I, bit 5; B clear
        assert word(m, 0xE2) == spin


def test_nmi_reenabled_while_line_high_fires_again_one_instruction_later(console):
    nes = console("""
        LDA #$80
        STA $2000
    spin: JMP spin
    nmi:
        INC $E0
        TSX
        LDA $0102,X
        STA $E2
        LDA $0103,X
        STA $E3
        LDA $E0
        CMP #$01
        BNE out
        LDA #$00
        STA $2000
        LDA #$80
        STA $2000
        INC $E5         ; the second NMI is taken after this instruction
    after:
        INC $E6
    out:
        RTI
    """)
    after = assemble.labels["after"]
    nes.runFrame()
    m = nes.cpuMem()
    assert m[0xE0] == 2
    assert word(m, 0xE2) == after
    assert (m[0xE5], m[0xE6]) == (1, 1)
    nes.runFrame()
    assert nes.cpuMem()[0xE0] == 3


def test_nmi_not_taken_while_ppuctrl_bit7_clear(console):
    nes = console("""
    spin: JMP spin
    nmi: INC $E0
        RTI
    """)
    nes.runFrame()
    nes.runFrame()
    assert nes.cpuMem()[0xE0] == 0


def simulate_nmi(main: list[int], handler: list[int], frames: int, delay: int = 1):
    """For a main loop and an NMI handler of the given instruction costs, with
    NMI enabled from the start: cycleCount() after each runFrame(), and for
    each NMI the index in `main` of the instruction it returns to.

    The NMI condition of an instruction is the PPU's NMI line as it stood
    `delay` instructions earlier (the line rises at line 241 dot 1 and falls at
    line 261 dot 1); the handler is entered, without cycles, after the first
    instruction of a run with the condition set."""
    def line_high(cycles: int) -> bool:  # once the PPU has caught up to `cycles`
        return cycles > 0 and 241 * 341 + 1 <= (FIRST_DOT + 3 * cycles - 1) % FRAME_DOTS <= 261 * 341

    starts, latch, ends, returns, pending, k = [0], False, [], [], [], 0
    while len(ends) < frames:
        if pending:
            cost = pending.pop(0)
        else:
            cost, k = main[k % len(main)], k + 1
        cond = line_high(starts[-1 - delay]) if len(starts) > delay else False
        starts.append(starts[-1] + cost)
        if 3 * starts[-1] >= FRAME_DOTS - FIRST_DOT + len(ends) * FRAME_DOTS:
            ends.append(starts[-1])
        if cond and not latch:
            pending = list(handler)
            returns.append(k % len(main))
        latch = cond
    return ends, returns


def test_nmi_samples_the_line_one_instruction_late_and_enters_without_cycles(console):
    nes = console("""
    loop:
        LDA $0640
    i1: NOP
    i2: INC $40
    i3: JMP loop
    nmi:
        LDY $E0
        TSX
        LDA $0102,X
        STA $0300,Y     ; low byte of the return address, one per NMI
        INC $E0
        RTI
    """)
    labels = assemble.labels
    addrs = [labels["loop"], labels["i1"], labels["i2"], labels["i3"]]
    poke(nes, {0x2000: 0x80})
    main, handler, frames = [4, 2, 5, 3], [3, 2, 4, 5, 5, 6], 8
    ends, returns = simulate_nmi(main, handler, frames)
    # The return addresses tell the sampling delay apart.
    assert returns != simulate_nmi(main, handler, frames, delay=0)[1]
    assert returns != simulate_nmi(main, handler, frames, delay=2)[1]
    assert measure(nes, frames) == ends
    m = nes.cpuMem()
    assert m[0xE0] == frames
    assert [int(b) for b in m[0x300:0x300 + frames]] == [addrs[r] & 0xFF for r in returns]


DMC_IRQ = """
        LDA #$80
        STA $4010       ; IRQ on, no loop, fastest rate
        LDA #$00
        STA $4012       ; sample at $C000
        STA $4013       ; one byte long
        LDA #$10
        STA $4015       ; start it: the byte is fetched at once and raises the IRQ
        LDX #$00
    wait:
        INX
        CPX #$40
        BNE wait
        LDA $E0
        STA $E1         ; IRQs taken while I was set
        CLI
    after:
        NOP
        LDA $E0
        STA $E4
    done: JMP done
    irq:
        INC $E0
        TSX
        LDA $0102,X
        STA $E2
        LDA $0103,X
        STA $E3
        RTI
"""


@pytest.mark.parametrize("prg_kb", [16, 32])
def test_irq_held_while_i_set_and_taken_once_after_cli(console, prg_kb):
    nes = console(DMC_IRQ, prg_kb=prg_kb)
    after = assemble.labels["after"]
    nes.runFrame()
    m = nes.cpuMem()
    assert m[0xE1] == 0
    assert word(m, 0xE2) == after
    assert m[0xE4] == 1  # acknowledged by its own entry: not taken again
    nes.runFrame()
    assert nes.cpuMem()[0xE0] == 1


def test_irq_not_raised_without_dmc_irq_enable(console):
    nes = console(DMC_IRQ.replace("LDA #$80\n        STA $4010", "LDA #$00\n        STA $4010"))
    nes.runFrame()
    assert nes.cpuMem()[0xE0] == 0


def test_registers_after_reset(console):
    nes = console("""
        PHP
        STA $E0
        STX $E1
        STY $E2
    spin: JMP spin
    nmi:
        TSX
        STX $E3
        LDA $0101,X
        STA $E4
    done: JMP done
    """)
    poke(nes, {0x2000: 0x80})
    nes.runFrame()
    m = nes.cpuMem()
    assert (m[0xE0], m[0xE1], m[0xE2]) == (0, 0, 0)
    assert m[0x01FF] == 0x34  # SP was $FF, P was $24
    assert m[0xE3] == 0xFB
    assert m[0xE4] == 0x24


@pytest.mark.parametrize("prg_kb", [16, 32])
def test_reset_vector(console, prg_kb):
    nes = console("""
        LDA #$01
        STA $E0
    done: JMP done
    .org $8123
    reset:
        LDA #$02
        STA $E0
        JMP done
    """, prg_kb=prg_kb)
    nes.runFrame()
    assert nes.cpuMem()[0xE0] == 2


def test_execution_wraps_from_ffff_to_0000(tmp_path):
    image = bytearray(program("reset: JMP $FFFF"))
    image[16 + 0x7FFF] = 0xE8  # INX as the last byte of the image (the IRQ vector's high byte)
    path = tmp_path / "wrap.nes"
    path.write_bytes(bytes(image))
    nes = kestrix.NES(str(path))
    poke(nes, {0x00: 0x86, 0x01: 0xE0, 0x02: 0x4C, 0x03: 0x02, 0x04: 0x00})  # STX $E0; JMP $0002
    nes.runFrame()
    assert nes.cpuMem()[0xE0] == 1


# ---------------------------------------------------------------- the opcode grid

# Opcodes without an instruction, by the length their mode gives them.
NO_MODE = sorted([r << 4 | c for r in range(16) for c in (0x3, 0xB)] + [0x80])
ZERO_PAGE = [0x04, 0x14, 0x34, 0x44, 0x54, 0x64, 0x74, 0xD4, 0xF4] + [r << 4 | 0x7 for r in range(16)]
ABSOLUTE = [0x0C, 0x1C, 0x3C, 0x5C, 0x7C, 0x9C, 0xDC, 0xFC] + [r << 4 | 0xF for r in range(16)]
UNDEFINED = {**{op: 1 for op in NO_MODE}, **{op: 2 for op in ZERO_PAGE}, **{op: 3 for op in ABSOLUTE}}
assert len(UNDEFINED) == 82 and len(ZERO_PAGE + ABSOLUTE) == 49

BASE_CYCLES = (
    "7608335532224466050844662427447766083355422244660508446624274477"
    "6608335532223466050844662427447766083355422254660508446624274477"
    "2626333322224444060644442525555526263333222244440505444424244444"
    "2628335522224466050844662427447726283355222244660508446624274477")


def undefined_sequence() -> tuple[str, list[int]]:
    """Every opcode without an instruction, each with operand bytes $C8 (INY,
    run only if the length were too short) and followed by INC $10."""
    lines, costs = [], []
    for op, length in sorted(UNDEFINED.items()):
        lines.append(".byte " + ", ".join(f"${b:02X}" for b in [op] + [0xC8] * (length - 1)))
        lines.append("INC $10")
        costs += [int(BASE_CYCLES[op]), 5]
    return "\n".join(lines), costs


def test_opcodes_without_instruction_run_as_no_operation_of_their_length(console):
    body, _ = undefined_sequence()
    nes = console(f"""
        {body}
        STY $11
        STX $12
    done: JMP done
    """)
    nes.runFrame()
    m = nes.cpuMem()
    assert (m[0x10], m[0x11], m[0x12]) == (82, 0, 0)


def test_opcodes_without_instruction_take_their_table_cycles(console):
    body, costs = undefined_sequence()
    nes = console(f"loop:\n{body}\nJMP loop")
    assert measure(nes) == expect_cycles([], costs + [3])


def _run_script(path: str, home: str) -> list[str]:
    env = dict(os.environ, HOME=home,
               PYTHONPATH=os.pathsep.join([os.path.dirname(kestrix.__file__), os.environ.get("PYTHONPATH", "")]))
    code = f"import kestrix\nnes = kestrix.NES({path!r})\nnes.runFrame()\nnes.runFrame()\n"
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    return out.stdout.splitlines()


def test_undefined_opcode_reported_once(tmp_path):
    home = tmp_path / "h"
    (home / ".config").mkdir(parents=True)
    sources = {
        "clean": "NOP\nNOP\nloop:\n.byte $EA, $EA, $EA, $EA, $EA, $EA\nJMP loop",
        # $04 at $8002 comes first; $80 and $0C follow, and the loop runs them again and again.
        "undefined": "NOP\nNOP\nloop:\n.byte $04, $EA, $80, $0C, $00, $00\nJMP loop",
    }
    lines = {}
    for name, src in sources.items():
        (tmp_path / name).mkdir()
        path = tmp_path / name / "prog.nes"
        path.write_bytes(program(src))
        # Same HOME, same file name and a fresh save folder: only the CPU's report may differ.
        shutil.rmtree(home / ".config")
        (home / ".config").mkdir()
        lines[name] = _run_script(str(path), str(home))
    extra = list(lines["undefined"])
    for line in lines["clean"]:
        assert line in extra
        extra.remove(line)
    assert len(extra) == 1, lines["undefined"]
    assert re.search(r"(\$|0x)0?4\b", extra[0], re.I) and re.search(r"(\$|0x)8002\b", extra[0], re.I), extra[0]


IMPLIED_RMW = [
    # opcode, byte after it, X before; that byte afterwards, X and C afterwards
    (0x12, 0x74, 0x00, 0xE8, 0x01, 0), (0x1A, 0x74, 0x00, 0xE8, 0x01, 0),
    (0x32, 0x74, 0x00, 0xE8, 0x01, 0), (0x3A, 0x74, 0x00, 0xE8, 0x01, 0),
    (0x52, 0x70, 0x00, 0x38, 0x00, 1), (0x5A, 0x70, 0x00, 0x38, 0x00, 1),
    (0x72, 0x70, 0x00, 0x38, 0x00, 1), (0x7A, 0x70, 0x00, 0x38, 0x00, 1),
    (0xD2, 0xE9, 0x00, 0xE8, 0x01, 0), (0xDA, 0xE9, 0x00, 0xE8, 0x01, 0),
    (0xF2, 0xE7, 0x00, 0xE8, 0x01, 0), (0xFA, 0xE7, 0x00, 0xE8, 0x01, 0),
    (0x92, 0x00, 0xE8, 0xE8, 0xE9, 0), (0xB2, 0xE8, 0x00, 0xE8, 0xE9, 0),
]


@pytest.mark.parametrize("op,before,x0,after,x1,c1", IMPLIED_RMW, ids=[f"${c[0]:02X}" for c in IMPLIED_RMW])
def test_instruction_without_mode_works_on_the_next_byte_which_then_runs(console, op, before, x0, after, x1, c1):
    # The changed byte (INX or SEC) is the next instruction executed.
    nes = ram_console(console, f"""
        LDX #${x0:02X}
        CLC
        CLV
    op: .byte ${op:02X}, ${before:02X}
        PHP
        STX $E0
        PLA
        STA $E1
    done: JMP done
    """)
    at = assemble.labels["op"] + 1
    nes.runFrame()
    m = nes.cpuMem()
    assert m[at] == after
    assert m[0xE0] == x1
    assert m[0xE1] & 1 == c1


IMMEDIATE_WRITES = [
    # opcode, operand before; operand afterwards, N Z C afterwards
    (0x02, 0x81, 0x02, "C"), (0x22, 0x80, 0x00, "ZC"), (0x42, 0x03, 0x01, "C"), (0x62, 0x02, 0x01, ""),
    (0x82, 0x00, 0x5A, ""), (0x89, 0x00, 0xA5, ""), (0xC2, 0x01, 0x00, "Z"), (0xE2, 0x7F, 0x80, "N"),
]


@pytest.mark.parametrize("op,before,after,p", IMMEDIATE_WRITES, ids=[f"${c[0]:02X}" for c in IMMEDIATE_WRITES])
def test_immediate_store_and_read_modify_write_change_the_instruction_stream(console, op, before, after, p):
    nes = ram_console(console, f"""
        LDA #$A5
        LDX #$5A
        CLC
    op: .byte ${op:02X}, ${before:02X}
        PHP
        PLA
        STA $E1
    done: JMP done
    """)
    at = assemble.labels["op"] + 1
    nes.runFrame()
    m = nes.cpuMem()
    assert m[at] == after
    assert m[0xE1] & 0x83 == flags(p)


@pytest.mark.parametrize("code", [
    ".byte $1A, $E8", ".byte $FA, $E8", ".byte $DA, $E8",  # INC/DEC the next byte, which then runs as INX
    ".byte $89, $E8\nINX", ".byte $E2, $E8\nINX", ".byte $82, $E8\nINX",  # STA/INC/STX immediate
])
def test_writes_into_the_instruction_stream_in_rom_are_dropped(console, code):
    nes = console(f"""
        LDA #$A5
        LDX #$00
    op: {code}
        STX $E0
    done: JMP done
    """)
    at = assemble.labels["op"]
    nes.runFrame()
    m = nes.cpuMem()
    assert (m[at + 1], m[0xE0]) == (0xE8, 1)


# ---------------------------------------------------------------- cycle counts

FRAMES = 5


def measure(nes: kestrix.NES, frames: int = FRAMES) -> list[int]:
    got = []
    for _ in range(frames):
        nes.runFrame()
        got.append(nes.cycleCount())
    return got


def expect_cycles(prologue: list[int], body: list[int]) -> list[int]:
    want = frame_end_cycles(prologue, body, FRAMES)
    # The measurement must tell the costs apart from one cycle more or less
    # (for all instructions of one cost at once, as a wrong table entry would be).
    for cost in set(body):
        for d in (-1, 1):
            alt = [c + d if c == cost else c for c in body]
            if min(alt) >= 0:
                assert frame_end_cycles(prologue, alt, FRAMES) != want, (body, cost, d)
    return want


def loop(setup: list[tuple[str, int]], body: list[tuple[str, int]], copies: int = 4, extra: str = ""):
    """A program: the setup lines once, then `copies` times the body and a JMP, forever."""
    src = "\n".join(s for s, _ in setup) + "\nloop:\n"
    src += "\n".join(s for s, _ in body * copies) + "\nJMP loop\n" + extra
    return src, [c for _, c in setup], [c for _, c in body * copies] + [3]


def indexed(setup: str, instr: str, cost: int, mem=None, id=None):
    src, pro, body = loop([(setup, 2)] if setup else [], [(instr, cost)])
    return pytest.param(src, pro, body, mem or {}, id=id or instr)


PTR_F0 = {0xF0: 0x00, 0xF1: 0x03}  # ($F0) -> $0300
READS = ["ORA", "AND", "EOR", "ADC", "LDA", "CMP", "SBC"]

CYCLE_CASES = [
    indexed("LDX #$0F", "LDA $10F0,X", 4, id="lda-absx-same-page"),
    indexed("LDX #$10", "LDA $10F0,X", 5, id="lda-absx-cross"),
    indexed("LDY #$0F", "LDA $10F0,Y", 4, id="lda-absy-same-page"),
    indexed("LDY #$10", "LDA $10F0,Y", 5, id="lda-absy-cross"),
    indexed("LDY #$10", "LDX $10F0,Y", 5, id="ldx-absy-cross"),
    indexed("LDX #$10", "LDY $10F0,X", 5, id="ldy-absx-cross"),
    indexed("LDX #$FF", "LDY $1001,X", 5, id="ldy-absx-cross-far"),
    *[indexed("LDX #$10", f"{m} $10F0,X", 5, id=f"{m.lower()}-absx-cross") for m in READS],
    *[indexed("LDY #$10", f"{m} $10F0,Y", 5, id=f"{m.lower()}-absy-cross") for m in READS],
    # For (zp),Y the zero-page pointer address plus Y decides, not the pointer's low byte.
    *[indexed("LDY #$20", f"{m} ($F0),Y", 6, PTR_F0, id=f"{m.lower()}-indy-zp-address-cross") for m in READS],
    indexed("LDY #$0F", "LDA ($F0),Y", 5, PTR_F0, id="lda-indy-same-page"),
    indexed("LDY #$20", "LDA ($10),Y", 5, {0x10: 0xF0, 0x11: 0x03}, id="lda-indy-pointer-low-byte-ignored"),
    indexed("LDX #$10", "STA $10F0,X", 5, id="sta-absx-cross"),
    indexed("LDX #$00", "STA $10F0,X", 5, id="sta-absx"),
    indexed("LDY #$10", "STA $10F0,Y", 5, id="sta-absy-cross"),
    indexed("LDY #$20", "STA ($F0),Y", 6, PTR_F0, id="sta-indy-cross"),
    indexed("LDY #$00", "STA ($10),Y", 6, {0x10: 0x00, 0x11: 0x03}, id="sta-indy"),
    *[indexed("LDX #$10", f"{m} $10F0,X", 7, id=f"{m.lower()}-absx-cross") for m in
      ["ASL", "LSR", "ROL", "ROR", "INC", "DEC"]],
    indexed("LDX #$F0", "LDA $20,X", 4, id="lda-zpgx-wrap"),
    indexed("LDY #$F0", "LDX $20,Y", 4, id="ldx-zpgy-wrap"),
    indexed("LDX #$F0", "LDA ($20,X)", 6, id="lda-xind"),
    indexed("LDX #$F0", "STA ($20,X)", 6, id="sta-xind"),
    indexed("", "LDA #$01", 2, id="lda-imm"),
    indexed("", "LDA $40", 3, id="lda-zpg"),
    indexed("", "LDA $0640", 4, id="lda-abs"),
    indexed("", "STA $0640", 4, id="sta-abs"),
    indexed("", "INC $40", 5, id="inc-zpg"),
    indexed("", "INC $0640", 6, id="inc-abs"),
    indexed("", "ASL A", 2, id="asl-acc"),
    indexed("", "NOP", 2, id="nop"),
    indexed("", "BIT $0640", 4, id="bit-abs"),
    indexed("LDX #$10", ".byte $9E, $F0, $06", 5, id="stx-absx-9e"),
    indexed("LDX #$10", ".byte $1C, $F0, $06", 5, id="undefined-absx-1c-cross"),
    indexed("LDX #$0F", ".byte $1C, $F0, $06", 4, id="undefined-absx-1c"),
    indexed("LDX #$10", ".byte $BF, $F0, $06", 5, id="undefined-absx-bf-cross"),
    indexed("LDY #$FF", ".byte $B3", 5, id="undefined-b3-never-crosses"),
    indexed("", ".byte $12\nNOP", 2, id="asl-no-mode-12-costs-nothing"),
    indexed("", ".byte $1A\nNOP", 4, id="asl-implied-1a"),
    pytest.param(*loop([], [("PHA", 3), ("PLA", 4)]), {}, id="pha-pla"),
    pytest.param(*loop([], [("PHP", 3), ("PLP", 4)]), {}, id="php-plp"),
    pytest.param(*loop([], [("JSR sub", 6), ("", 6)], extra="sub: RTS"), {}, id="jsr-rts"),
    pytest.param(*loop([], [("BRK\n.byte $00", 7), ("", 6)]), {}, id="brk-rti"),
    pytest.param("loop: JMP ($0200)\n.org $9000\nJMP loop", [], [5, 3], {0x200: 0x00, 0x201: 0x90}, id="jmp-ind"),
]


@pytest.mark.parametrize("src,prologue,body,mem", CYCLE_CASES)
def test_cycles(console, src, prologue, body, mem):
    nes = console(src)
    poke(nes, mem)
    assert measure(nes) == expect_cycles(prologue, body)


BRANCH_CYCLES = [
    # source, prologue and loop costs
    pytest.param("SEC\nloop:\nBCC loop\nBCC loop\nBCC loop\nBCC loop\nBCC loop\nJMP loop", [2], [2, 2, 2, 2, 2, 3],
                 id="not-taken"),
    pytest.param("SEC\nloop:\nBCS a\na: BCS b\nb: BCS c\nc: JMP loop", [2], [3, 3, 3, 3], id="taken-same-page"),
    # The page test compares the branch opcode's own address with the destination.
    pytest.param("SEC\nJMP br\n.org $80FE\nbr: BCS next\nnext: JMP br", [2, 3], [4, 3], id="at-80fe-to-8100"),
    pytest.param("SEC\nJMP br\n.org $80FE\nbr: BCS br", [2, 3], [3], id="at-80fe-to-itself"),
    pytest.param("SEC\nJMP br\n.org $80FD\nbr: BCS next\n.byte $EA\nnext: JMP br", [2, 3], [4, 3],
                 id="at-80fd-to-8100"),
    pytest.param("SEC\nJMP br\n.org $80E2\nland: JMP br\n.org $80F0\nbr: BCS land", [2, 3], [3, 3],
                 id="at-80f0-back-10"),
    pytest.param("SEC\nJMP br\n.org $80F0\nback: JMP br\n.org $8100\nbr: BCS back", [2, 3], [4, 3],
                 id="at-8100-back-to-80f0"),
    pytest.param("CLC\nJMP br\n.org $80FE\nbr: BCS br\nJMP br", [2, 3], [2, 3], id="not-taken-at-page-end"),
]


@pytest.mark.parametrize("src,prologue,body", BRANCH_CYCLES)
def test_branch_cycles(console, src, prologue, body):
    assert measure(console(src)) == expect_cycles(prologue, body)


def test_branch_in_ram_mirror_crossing_page(console):
    # BCS +0 at $10FE lands on $1100 and costs 4; $1100 holds JMP $10FE.
    nes = console("SEC\nJMP $10FE")
    poke(nes, {0xFE: 0xB0, 0xFF: 0x00, 0x100: 0x4C, 0x101: 0xFE, 0x102: 0x10})
    assert measure(nes) == expect_cycles([2, 3], [4, 3])
