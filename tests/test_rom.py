"""Cartridge images through the scripting API: header parsing and its
diagnostics, the PRG layout laid out at attach, refused images, and the
battery RAM read at attach."""
import io
import os
import re

import numpy as np
import pytest

import kestrix
from nesbuild import assemble, ines, program

KIB = 1024


def unit_fill(index: int) -> bytes:
    """1 KiB that names PRG unit `index` and is never all zero."""
    return bytes([0x80 | (index >> 8), index & 0xFF]) * (KIB // 2)


def prg_units(kb: int) -> bytes:
    return b"".join(unit_fill(i) for i in range(kb))


def header(b4: int, b5: int = 0, f6: int = 0, f7: int = 0, b9: int = 0) -> bytes:
    return b"NES\x1a" + bytes([b4, b5, f6, f7, 0, b9]) + bytes(6)


def cpu_units(mem: np.ndarray, first: int, last: int) -> list:
    """Decodes each 1 KiB of CPU memory from `first` to `last` into the PRG unit
    it holds, None for zero, or "?" for anything else."""
    out = []
    for a in range(first, last, KIB):
        block = bytes(mem[a:a + KIB])
        if block == bytes(KIB):
            out.append(None)
        elif block == unit_fill(((block[0] & 0x7F) << 8) | block[1]):
            out.append(((block[0] & 0x7F) << 8) | block[1])
        else:
            out.append("?")
    return out


def layout(windows: dict) -> list:
    """Expected units of $6000-$FFFF from {window address: first unit, count}."""
    want = [None] * 40
    for addr, (first, count) in windows.items():
        for k in range(count):
            want[(addr - 0x6000) // KIB + k] = first + k
    return want


@pytest.fixture
def home():
    return os.environ["HOME"]


@pytest.fixture
def cart(tmp_path):
    def write(data: bytes, name: str = "cart.nes") -> str:
        path = tmp_path / name
        path.write_bytes(data)
        return str(path)
    return write


@pytest.fixture
def construct_lines(run_script, cart):
    """Constructs a console from an image in a fresh interpreter; its stdout lines."""
    def run(data: bytes, name: str = "cart.nes", check: bool = True) -> list[str]:
        path = cart(data, name)
        return run_script(f"import kestrix\nkestrix.NES({path!r})\n", check=check).stdout.splitlines()
    return run


# ------------------------------------------------------------------ diagnostics

@pytest.mark.parametrize("data, rom_lines", [
    (ines(bytes(16 * KIB), bytes(8 * KIB)), ["No Battery", "iNES", "1"]),
    (ines(bytes(16 * KIB), bytes(16 * KIB)), ["No Battery", "iNES", "2"]),
    (ines(bytes(16 * KIB)), ["No Battery", "iNES", "0", "CHR-RAM Copied."]),
    # NES 2.0 prints no "iNES" line and no CHR count.
    (header(1, 1, f7=0x08) + bytes(24 * KIB), ["No Battery"]),
    (header(1, 0, f7=0x08) + bytes(16 * KIB), ["No Battery", "CHR-RAM Copied."]),
    # Mapper 65 comes from the high nibble in flags 7; 7 from flags 6 alone.
    (header(1, 0, f6=0x10, f7=0x40) + bytes(16 * KIB), ["No Battery", "UNRECOGNIZED MAPPER!", "iNES", "0", "CHR-RAM Copied."]),
    (header(1, 1, f6=0x70) + bytes(24 * KIB), ["No Battery", "UNRECOGNIZED MAPPER!", "iNES", "1"]),
    (header(1, 0, f6=0x70, f7=0x08) + bytes(16 * KIB), ["No Battery", "UNRECOGNIZED MAPPER!", "CHR-RAM Copied."]),
], ids=["ines-chr1", "ines-chr2", "ines-chr-ram", "nes2-chr", "nes2-chr-ram", "mapper65", "mapper7", "nes2-mapper7"])
def test_construction_lines(construct_lines, home, data, rom_lines):
    folder = f"{home}/.config/Morvanet/cart"
    assert construct_lines(data) == [f"LINUX, {home}/.config", folder] + rom_lines


def test_battery_lines(construct_lines, home):
    ram = f"{home}/.config/Morvanet/cart/ram"
    data = ines(bytes(16 * KIB), battery=True)
    tail = ["Battery", "iNES", "0", f"load RAM file: {ram}"]
    assert construct_lines(data)[2:] == tail + ["RAM file exists: 0", "CHR-RAM Copied."]
    with open(ram, "wb") as f:
        f.write(bytes(8192))
    assert construct_lines(data)[2:] == ["Folder already exists. Checking for save..."] + tail + \
        ["RAM file exists: 1", "CHR-RAM Copied."]


def test_empty_cartridge_lines(run_script):
    out = run_script("import kestrix\nn = kestrix.NES()\nprint(repr(n.getSaveDir()), flush=True)\n").stdout
    assert out.splitlines() == ["No rom specified.", "No Battery", "iNES", "0", "rom created.", "CHR-RAM Copied.", "''"]


# ------------------------------------------------------------------ header fields

@pytest.mark.parametrize("mirror_flags, home_cell", [
    (0x00, 0x2800),  # horizontal: $2C00 shares $2800
    (0x01, 0x2400),  # vertical: $2C00 shares $2400
    (0x08, 0x2C00),  # four-screen
    (0x09, 0x2C00),  # four-screen wins over the vertical bit
])
def test_mirroring_from_flags6(cart, mirror_flags, home_cell):
    code = assemble("""
        LDA #$2C
        STA $2006
        LDA #$00
        STA $2006
        LDA #$5A
        STA $2007
    loop: JMP loop
    """)
    prg = bytearray(32 * KIB)
    for addr, b in code.items():
        prg[addr - 0x8000] = b
    prg[0x7FFC:0x7FFE] = b"\x00\x80"
    nes = kestrix.NES(cart(header(2, 1, f6=mirror_flags) + bytes(prg) + bytes(8 * KIB)))
    nes.runFrame()
    vram = nes.ppuMem()
    assert vram[home_cell] == 0x5A
    assert [a for a in (0x2000, 0x2400, 0x2800, 0x2C00) if vram[a] == 0x5A] == [home_cell]


def test_trainer_moves_prg(cart):
    data = ines(prg_units(16), trainer=bytes([0xEE]) * 512)
    assert len(data) == 16 + 512 + 16 * KIB
    mem = kestrix.NES(cart(data)).cpuMem()
    assert cpu_units(mem, 0x6000, 0x10000) == layout({0x8000: (0, 16)})


@pytest.mark.parametrize("b4, b9, prg_kb, windows", [
    (0x38, 0x0F, 16, {0x8000: (0, 16)}),   # 2^14 x 1
    (0x39, 0x0F, 48, {0x8000: (0, 32)}),   # 2^14 x 3: more than fits, copied up to $FFFF
    (0x3A, 0x0F, 80, {0x8000: (0, 32)}),   # 2^14 x 5
    (0x02, 0x00, 32, {0x8000: (0, 32)}),   # byte 9 zero: the plain reading of byte 4
])
def test_nes2_prg_sizes(cart, b4, b9, prg_kb, windows):
    mem = kestrix.NES(cart(header(b4, 0, f7=0x08, b9=b9) + prg_units(prg_kb))).cpuMem()
    assert cpu_units(mem, 0x6000, 0x10000) == layout(windows)


def test_nes2_chr_exponent_size(cart):
    # CHR 2^13 x 1 = 8 KiB in exponent form; the image must hold exactly that.
    chr_rom = bytes(range(256)) * 32
    nes = kestrix.NES(cart(header(1, 0x34, f7=0x08, b9=0xF0) + prg_units(16) + chr_rom))
    assert bytes(nes.ppuMem()[:8 * KIB]) == chr_rom


# ------------------------------------------------------------------ PRG layout at attach

@pytest.mark.parametrize("mapper, prg_kb, windows", [
    (0, 16, {0x8000: (0, 16)}),
    (3, 16, {0x8000: (0, 16)}),
    (0, 32, {0x8000: (0, 32)}),
    (3, 32, {0x8000: (0, 32)}),
    (0, 64, {0x8000: (0, 32)}),
    (3, 128, {0x8000: (0, 32)}),
    (1, 128, {0x8000: (0, 16), 0xC000: (112, 16)}),
    (1, 32, {0x8000: (0, 16), 0xC000: (16, 16)}),
    (2, 128, {0x8000: (0, 16), 0xC000: (112, 16)}),
    (4, 256, {0xC000: (240, 16)}),
    (4, 32, {0xC000: (16, 16)}),
    (40, 128, {0x6000: (48, 8), 0x8000: (32, 8), 0xA000: (40, 8), 0xE000: (56, 8)}),
    (40, 32, {0x6000: (16, 8), 0x8000: (0, 8), 0xA000: (8, 8), 0xE000: (24, 8)}),
    (7, 32, {}),
    (65, 32, {}),
])
def test_prg_layout_at_attach(cart, mapper, prg_kb, windows):
    chr_rom = bytes(8 * KIB) if mapper == 3 else b""
    mem = kestrix.NES(cart(ines(prg_units(prg_kb), chr_rom, mapper=mapper))).cpuMem()
    assert cpu_units(mem, 0x6000, 0x10000) == layout(windows)
    assert not mem[:0x2000].any()


@pytest.mark.parametrize("mapper", [0, 3])
def test_16k_prg_read_through_mirror(console, mapper):
    chr_rom = bytes(8 * KIB) if mapper == 3 else b""
    nes = console("""
        LDA $C100   ; the $8100 byte seen through the mirror
        STA $00
        LDA $FFFD   ; high byte of the reset vector, stored at PRG $3FFD
        STA $01
    loop: JMP loop
        .org $8100
        .byte $77
    """, prg_kb=16, mapper=mapper, chr_rom=chr_rom)
    mem = nes.cpuMem()
    assert mem[0x8100] == 0x77 and mem[0xC100] == 0 and mem[0xFFFD] == 0
    nes.runFrame()
    assert (mem[0], mem[1]) == (0x77, 0x80)


# ------------------------------------------------------------------ refused images

def _bad_images():
    return [
        ("no-magic", b"NES\x00" + bytes([1, 0, 0, 0]) + bytes(8) + bytes(16 * KIB), r"magic"),
        ("empty", b"", r"header"),
        ("15-bytes", header(1)[:15], r"header"),
        ("header-only", header(1), r"\b16\b"),
        ("prg-cut", header(2) + bytes(20000), r"\b20016\b"),
        ("chr-cut", header(1, 1) + bytes(16 * KIB + 100), r"\b16500\b"),
        ("trainer-cut", header(1, f6=0x04) + bytes(16 * KIB), r"\b16400\b"),
        ("prg-zero", header(0, 1) + bytes(8 * KIB), r"PRG"),
        ("nes2-prg-zero", header(0, 0, f7=0x08) + bytes(16 * KIB), r"PRG"),
        ("nes2-high-nibble", header(0, 0, f7=0x08, b9=0x01) + bytes(32 * KIB), r"\b32784\b"),
        ("nes2-prg-2^63", header(0xFC, 0, f7=0x08, b9=0x0F) + bytes(16 * KIB), r"PRG"),
        ("nes2-chr-2^62", header(1, 0xF8, f7=0x08, b9=0xF0) + bytes(16 * KIB), r"CHR"),
    ]


class _NamedBytes(io.BytesIO):
    name = "fileobj.nes"


@pytest.mark.parametrize("source", ["path", "fileobj"])
@pytest.mark.parametrize("data, pattern", [pytest.param(d, p, id=i) for i, d, p in _bad_images()])
def test_refused_image(cart, data, pattern, source):
    arg = cart(data) if source == "path" else _NamedBytes(data)
    with pytest.raises(ValueError, match=re.compile(pattern, re.I)):
        kestrix.NES(arg)


def test_refused_image_prints_no_rom_lines(construct_lines, home):
    # Checked before anything is printed or allocated.
    lines = construct_lines(header(2) + bytes(100), check=False)
    assert lines == [f"LINUX, {home}/.config", f"{home}/.config/Morvanet/cart"]


def test_missing_file(tmp_path):
    path = str(tmp_path / "nowhere" / "game.nes")
    with pytest.raises(FileNotFoundError) as info:
        kestrix.NES(path)
    assert info.value.filename == path and path in str(info.value)


def test_directory_as_cartridge(tmp_path):
    folder = tmp_path / "roms.nes"
    folder.mkdir()
    with pytest.raises(IsADirectoryError) as info:
        kestrix.NES(str(folder))
    assert info.value.filename == str(folder)


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads files whatever their mode")
def test_unreadable_file(cart):
    path = cart(ines(bytes(16 * KIB)))
    os.chmod(path, 0)
    with pytest.raises(PermissionError) as info:
        kestrix.NES(path)
    assert info.value.filename == path


# ------------------------------------------------------------------ battery RAM at attach

@pytest.fixture
def ram_file(home):
    def write(data: bytes, stem: str = "cart") -> None:
        folder = f"{home}/.config/Morvanet/{stem}"
        os.makedirs(folder, exist_ok=True)
        with open(f"{folder}/ram", "wb") as f:
            f.write(data)
    return write


@pytest.mark.parametrize("size", [100, 8192, 9000])
def test_battery_ram_read_at_attach(cart, ram_file, size):
    data = bytes((i * 7 + 3) & 0xFF for i in range(size))
    ram_file(data)
    mem = kestrix.NES(cart(ines(prg_units(32), battery=True))).cpuMem()
    n = min(size, 8192)
    assert bytes(mem[0x6000:0x6000 + n]) == data[:n]
    assert not mem[0x6000 + n:0x8000].any()
    assert cpu_units(mem, 0x8000, 0x10000) == list(range(32))


def test_no_battery_ignores_ram_file(cart, ram_file):
    ram_file(b"\xff" * 8192)
    mem = kestrix.NES(cart(ines(prg_units(32)))).cpuMem()
    assert not mem[0x6000:0x8000].any()


def test_ntdec_prg_bank_replaces_battery_ram(cart, ram_file):
    ram_file(b"\xff" * 8192)
    mem = kestrix.NES(cart(ines(prg_units(64), mapper=40, battery=True))).cpuMem()
    assert cpu_units(mem, 0x6000, 0x8000) == list(range(48, 56))


def test_battery_ram_follows_stem_of_file_object(ram_file):
    ram_file(b"\x42" * 100, stem="Other_Game")
    src = _NamedBytes(program("loop: JMP loop", battery=True))
    src.name = "/somewhere/Other Game.nes"
    mem = kestrix.NES(src).cpuMem()
    assert bytes(mem[0x6000:0x6064]) == b"\x42" * 100 and mem[0x6064] == 0
