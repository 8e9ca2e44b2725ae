"""Save states and battery RAM files."""
import errno
import os
import pathlib
import subprocess
import sys

import pytest

import kestrix
import nesbuild
from conftest import DRIVER
from test_mapper import Z, run, serial

STATE_SIZE = 82189
BLOCK = 81933  # offset of the mapper block


def slot_file(nes, slot) -> pathlib.Path:
    return pathlib.Path(nes.getSaveDir()) / str(slot)


def state(nes, slot=99) -> bytes:
    nes.saveState(slot)
    return slot_file(nes, slot).read_bytes()


def cart_folder(stem: str) -> pathlib.Path:
    return pathlib.Path(os.environ["HOME"]) / ".config" / "Morvanet" / stem


def python(code: str, *args) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter with this test's HOME and module path."""
    return subprocess.run([sys.executable, "-c", code, *map(str, args)], capture_output=True, text=True,
                          timeout=120, env=dict(os.environ))


def test_state_file_layout(console):
    nes = console("""
    reset: SEI
           LDX #$C0
           TXS
           LDA #$11
           LDX #$22
           SEC
           LDY #$33
    loop:  JMP loop
    """)
    loop = nesbuild.assemble.labels["loop"]
    nes.runFrame()
    nes.ppuMem()[0x2000:0x2100] = list(range(256))
    data = state(nes, 0)
    assert len(data) == STATE_SIZE
    assert data[:5] == bytes([0x25, 0x11, 0x22, 0x33, 0xC0])  # P, A, X, Y, SP
    assert data[5:13] == loop.to_bytes(8, "little")
    assert data[13:65549] == bytes(nes.cpuMem())
    assert data[65549:BLOCK] == bytes(nes.ppuMem())


@pytest.mark.parametrize("kw, writes, block", [
    (dict(mapper=2, prg_kb=128, chr_kb=8), [(0x8000, 0x13)], bytes([0x30, 0, 0, 0])),
    (dict(mapper=3, prg_kb=32, chr_kb=32), [(0x8000, 6)], bytes([0x10, 0, 0, 0])),
    (dict(mapper=4, prg_kb=32, chr_kb=8), [(0x8000, 0x46), (0xA001, 0xC0), (0xC000, 0x21), (0xC001, 0), (0xE000, 0)],
     bytes([0x46, 0x46, 1, 1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0x21, 0, 0])),
    (dict(mapper=4, prg_kb=32, chr_kb=8), [(0x8000, 0x85), (0xA001, 0x40), (0xC000, 0xF0), (0xE001, 0)],
     bytes([0x85, 0x85, 1, 0, 1, 0, 0, 255, 0, 0, 0, 0xF0, 0, 0])),
])
def test_mapper_block(cart, kw, writes, block):
    c = cart(**kw)
    c.write(*writes)
    assert state(c.nes)[BLOCK:BLOCK + len(block)] == block


@pytest.mark.parametrize("kw, before, after", [
    (dict(mapper=0, prg_kb=32, chr_kb=8), [(0x0300, 1)], [(0x0300, 2), (0x6000, 3)]),
    (dict(mapper=1, prg_kb=128, chr_kb=32), serial(0xE000, 3) + serial(0xA000, 2),
     serial(0xE000, 6) + serial(0x8000, 0x0E) + serial(0xA000, 1)),
    (dict(mapper=2, prg_kb=128, chr_kb=8), [(0x8000, 3)], [(0x8000, 5)]),
    (dict(mapper=3, prg_kb=32, chr_kb=32), [(0x8000, 1)], [(0x8000, 2)]),
    (dict(mapper=4, prg_kb=64, chr_kb=16), [(0x8000, 0x46), (0x8001, 3), (0xC000, 7), (0xA001, 0x80), (0xA000, 1)],
     [(0x8000, 0x86), (0x8001, 9), (0xC000, 9), (0xC001, 0), (0xE000, 0), (0xA000, 0)]),
    (dict(mapper=40, prg_kb=64, chr_kb=8), [(0xE000, 3)], [(0xE000, 5), (0x6000, 9)]),
])
def test_round_trip(cart, kw, before, after):
    c = cart(**kw)
    c.write(*before)
    saved = state(c.nes, 1)
    cpu, ppu = bytes(c.nes.cpuMem()), bytes(c.nes.ppuMem())
    c.write(*after)
    assert bytes(c.nes.cpuMem()) != cpu or bytes(c.nes.ppuMem()) != ppu
    assert c.nes.loadState(1) is True
    assert bytes(c.nes.cpuMem()) == cpu and bytes(c.nes.ppuMem()) == ppu
    assert state(c.nes, 2) == saved  # registers and the mapper block came back too


def test_mmc3_registers_restored(cart):
    c = cart(mapper=4, prg_kb=256, chr_kb=8)
    c.write((0x8000, 0x46))
    c.nes.saveState(1)
    c.write((0x8000, 0x07))  # swaps back, selects R7
    c.nes.loadState(1)
    c.write((0x8001, 2))  # R6 with the PRG layout bit of the saved select byte
    assert c.prg_units() == run(240, 8, 256) + [Z] * 8 + run(16, 8, 256) + run(248, 8, 256)


@pytest.mark.parametrize("kw, offset, relaid", [
    (dict(mapper=0, prg_kb=32, chr_kb=8), 13 + 0x8000, False),
    (dict(mapper=2, prg_kb=128, chr_kb=8), 13 + 0x8000, True),
    (dict(mapper=3, prg_kb=32, chr_kb=32), 65549 + 0x0400, True),
    (dict(mapper=4, prg_kb=32, chr_kb=8), 13 + 0xC000, False),
])
def test_load_relays_windows_after_memory(cart, kw, offset, relaid):
    c = cart(**kw)
    c.write((0x8000, 1))
    data = bytearray(state(c.nes, 1))
    original = bytes(data[offset:offset + 16])
    data[offset:offset + 16] = b"\xEE" * 16
    slot_file(c.nes, 1).write_bytes(data)
    assert c.nes.loadState(1)
    view = c.nes.cpuMem() if offset < 65549 else c.nes.ppuMem()
    start = offset - (13 if offset < 65549 else 65549)
    assert bytes(view[start:start + 16]) == (original if relaid else b"\xEE" * 16)


def test_mmc1_registers_not_restored(cart):
    c = cart(mapper=1, prg_kb=128, chr_kb=8)
    c.nes.saveState(1)  # PRG mode 3, shift register empty
    c.write(*serial(0x8000, 0x08), (0xE000, 1), (0xE000, 1))  # PRG mode 2, two bits held
    assert c.nes.loadState(1)
    c.write((0xE000, 0), (0xE000, 0), (0xE000, 0))  # completes 3 in PRG mode 2
    assert c.prg_units() == run(0, 16, 128) + run(48, 16, 128)


def test_ntdec2722_timer_not_restored(cart):
    c = cart(mapper=40, prg_kb=64, chr_kb=8)
    c.nes.runFrame()
    c.nes.saveState(1)  # timer running
    c.write((0x8000, 0))  # stopped
    assert c.nes.loadState(1)
    mem = c.nes.cpuMem()
    total = int(mem[0x14])
    for _ in range(3):
        c.nes.runFrame()
    assert mem[0x14] == total


def test_load_resumes_at_saved_pc_and_keeps_counters(console):
    nes = console("""
    one:   INC $20
           JMP one
    two:   INC $21
           JMP two
    """)
    two = nesbuild.assemble.labels["two"]
    nes.runFrame()
    data = bytearray(state(nes, 1))
    data[5:13] = two.to_bytes(8, "little")
    data[13 + 0x20] = 0
    slot_file(nes, 1).write_bytes(data)
    nes.runFrame()
    frames, cycles = nes.frameCount(), nes.cycleCount()
    assert nes.loadState(1)
    assert (nes.frameCount(), nes.cycleCount()) == (frames, cycles)
    nes.runFrame()
    mem = nes.cpuMem()
    assert mem[0x20] == 0 and mem[0x21] != 0
    assert nes.frameCount() == frames + 1


@pytest.mark.parametrize("slot", [0, 12, -3])
def test_slot_names(cart, slot):
    c = cart(mapper=4, prg_kb=32, chr_kb=8)
    c.nes.saveState(slot)
    folder = pathlib.Path(c.nes.getSaveDir())
    assert os.listdir(folder) == [str(slot)]
    assert (folder / str(slot)).stat().st_size == STATE_SIZE
    umask = os.umask(0)
    os.umask(umask)
    assert (folder / str(slot)).stat().st_mode & 0o777 == 0o666 & ~umask  # as a plain create gives
    assert c.nes.loadState(slot) is True
    assert c.nes.loadState(slot + 1) is False


class BytesPath:
    """A path-like object whose os.fspath() is a byte string."""

    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return os.fsencode(self.path)


@pytest.mark.parametrize("as_path", [pathlib.Path, BytesPath], ids=["pathlib", "fspath-bytes"])
def test_save_dir_takes_path_objects(console, tmp_path, as_path):
    nes = console("loop: JMP loop")
    assert nes.setSaveDir(as_path(tmp_path / "missing")) is False
    other = tmp_path / "slots"
    other.mkdir()
    assert nes.setSaveDir(as_path(other)) is True
    assert nes.getSaveDir() == str(other)


class RomFile:
    """A file object: `read` runs `on_read` first, then returns `data`."""

    def __init__(self, name, data=b"junk", on_read=lambda: None):
        self.name, self.data, self.on_read = name, data, on_read

    def read(self):
        self.on_read()
        return self.data


class NoRead:
    name = "junk.nes"


@pytest.mark.parametrize("make, kept", [
    (lambda d, folder: kestrix.NES(d / "absent" / "junk.nes"), False),
    (lambda d, folder: kestrix.NES(str(d / "junk.nes")), False),
    (lambda d, folder: kestrix.NES(RomFile("junk.nes")), False),
    (lambda d, folder: kestrix.NES(NoRead()), False),
    (lambda d, folder: folder.mkdir() or kestrix.NES(str(d / "junk.nes")), True),
    (lambda d, folder: kestrix.NES(RomFile("junk.nes", on_read=lambda: (folder / "note").write_text("x"))), True),
], ids=["missing", "not-a-cartridge", "bad-image", "no-read", "existed-before", "filled-meanwhile"])
def test_failed_construction_leaves_no_new_empty_folder(tmp_path, capfd, make, kept):
    (tmp_path / "junk.nes").write_bytes(b"NES\x1a" + bytes(12))
    folder = cart_folder("junk")
    folder.parent.mkdir(parents=True)
    with pytest.raises((OSError, ValueError, AttributeError)):
        make(tmp_path, folder)
    assert str(folder) in capfd.readouterr().out.splitlines()  # the folder lines come first all the same
    assert folder.is_dir() == kept


def test_save_dir_and_battery_folder(cart, tmp_path):
    c = cart(name="Game One.nes", mapper=1, prg_kb=32, chr_kb=8, battery=True)
    home_dir = c.nes.getSaveDir()
    assert home_dir == str(cart_folder("Game_One"))
    assert c.nes.setSaveDir(str(tmp_path / "missing")) is False
    assert c.nes.getSaveDir() == home_dir
    other = tmp_path / "slots"
    other.mkdir()
    assert c.nes.setSaveDir(f"{other}/") is True
    assert c.nes.getSaveDir() == f"{other}/"
    c.write((0x6000, 0x5A), (0x7FFF, 0xA5))
    c.nes.saveState(3)
    assert c.nes.loadState(3)
    c.nes.start()
    c.nes.stop()
    assert os.listdir(other) == ["3"]
    assert os.listdir(home_dir) == ["ram"]
    ram = (pathlib.Path(home_dir) / "ram").read_bytes()
    assert len(ram) == 8192 and (ram[0], ram[-1]) == (0x5A, 0xA5)


def test_battery_ram_per_console(cart):
    a = cart(name="alpha.nes", mapper=1, prg_kb=32, chr_kb=8, battery=True)
    b = cart(name="beta.nes", mapper=4, prg_kb=32, chr_kb=8, battery=True)
    a.write((0x6000, 0xAA), (0x7FFF, 0xA1))
    b.write((0x6000, 0xBB))
    for c in (a, b):
        c.nes.start()
        c.nes.stop()
    for stem, first, last in (("alpha", 0xAA, 0xA1), ("beta", 0xBB, 0)):
        assert os.listdir(cart_folder(stem)) == ["ram"]
        ram = (cart_folder(stem) / "ram").read_bytes()
        assert (len(ram), ram[0], ram[-1]) == (8192, first, last)
    again = kestrix.NES(str(a.path))
    assert (again.cpuMem()[0x6000], again.cpuMem()[0x7FFF]) == (0xAA, 0xA1)


def test_no_battery_no_ram_file(cart):
    c = cart(mapper=1, prg_kb=32, chr_kb=8)
    c.write((0x6000, 1))
    c.nes.start()
    c.nes.stop()
    assert os.listdir(c.nes.getSaveDir()) == []


def test_short_battery_ram_file(cart):
    folder = cart_folder("short")
    folder.mkdir(parents=True)
    (folder / "ram").write_bytes(b"\x77" * 100)
    c = cart(name="short.nes", mapper=2, prg_kb=32, chr_kb=8, battery=True)
    mem = c.nes.cpuMem()
    assert set(mem[0x6000:0x6064]) == {0x77} and not any(mem[0x6064:0x8000])


@pytest.mark.parametrize("make, stop_result", [
    (os.mkdir, f"stop {errno.EISDIR} "),  # the rename onto a folder fails
    (os.mkfifo, "stop ok "),  # a pipe is never opened (it would block); the write replaces it
])
def test_unreadable_battery_ram_file(tmp_path, make, stop_result):
    ram = cart_folder("cart") / "ram"
    ram.parent.mkdir(parents=True)
    make(ram)
    path = tmp_path / "cart.nes"
    path.write_bytes(nesbuild.banked(DRIVER, mapper=1, prg_kb=32, chr_kb=8, battery=True)[0])
    out = python("""
import sys, kestrix
nes = kestrix.NES(sys.argv[1])
print("zero", not any(nes.cpuMem()[0x6000:0x8000]), flush=True)
nes.start()
try:
    nes.stop()
    print("stop ok", sys.argv[2], flush=True)
except OSError as e:
    print("stop", e.errno, e.filename, flush=True)
nes.runFrame()  # refused while a run thread exists
print("stopped", flush=True)
""", path, ram)
    assert out.returncode == 0, out.stderr
    assert f"RAM file cannot be read, skipped: {ram}: not a regular file\n" in out.stdout
    assert "zero True\n" in out.stdout
    assert f"{stop_result}{ram}\nstopped" in out.stdout
    assert os.listdir(ram.parent) == ["ram"]


FILL_LIMIT = """
import resource, signal, sys, kestrix
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
nes = kestrix.NES(sys.argv[1])
nes.runFrame()
{first}
nes.cpuMem()[0x6000:0x8000] = 0x99
nes.cpuMem()[0x0300] = 0x99
resource.setrlimit(resource.RLIMIT_FSIZE, ({limit}, resource.RLIM_INFINITY))
try:
    {second}
except OSError as e:
    print("error", e.errno, e.filename, flush=True)
nes.runFrame()
print("done", flush=True)
"""


@pytest.mark.parametrize("first, second, target, limit, probe", [
    ("nes.saveState(1)", "nes.saveState(1)", "1", 40000, 13 + 0x300),
    ("nes.start(); nes.stop()", "nes.start(); nes.stop()", "ram", 4000, 0),
])
def test_failed_write_keeps_previous_file(tmp_path, first, second, target, limit, probe):
    # A file size limit makes the write fail part way, as a full disk would.
    path = tmp_path / "cart.nes"
    path.write_bytes(nesbuild.banked(DRIVER, mapper=1, prg_kb=32, chr_kb=8, battery=True)[0])
    folder = cart_folder("cart")
    out = python(FILL_LIMIT.format(first=first, second=second, limit=limit), path)
    assert out.returncode == 0, out.stderr
    assert f"error {errno.EFBIG} {folder / target}\ndone\n" in out.stdout
    previous = (folder / target).read_bytes()
    assert len(previous) == (STATE_SIZE if target == "1" else 8192)
    assert previous[probe] == 0  # as the first write left it, not 0x99
    assert os.listdir(folder) == [target]


def test_save_into_directory_slot(cart):
    c = cart(mapper=2, prg_kb=32, chr_kb=8)
    (slot_file(c.nes, 4)).mkdir()
    with pytest.raises(OSError) as err:
        c.nes.saveState(4)
    assert (err.value.errno, err.value.filename) == (errno.EISDIR, str(slot_file(c.nes, 4)))
    assert os.listdir(c.nes.getSaveDir()) == ["4"] and os.listdir(slot_file(c.nes, 4)) == []


def test_save_into_unwritable_folder(cart, tmp_path):
    c = cart(mapper=2, prg_kb=32, chr_kb=8)
    blocker = tmp_path / "plain-file"
    blocker.write_bytes(b"x")
    assert c.nes.setSaveDir(str(blocker))
    with pytest.raises(OSError) as err:
        c.nes.saveState(0)
    assert err.value.filename == f"{blocker}/0"
    assert blocker.read_bytes() == b"x" and os.listdir(cart_folder("cart")) == []


def test_save_without_cartridge(tmp_path, monkeypatch):
    work = tmp_path / "cwd"
    work.mkdir()
    monkeypatch.chdir(work)
    root_had = os.path.exists("/0")
    nes = kestrix.NES()
    assert nes.getSaveDir() == ""
    with pytest.raises(RuntimeError, match="no save folder"):
        nes.saveState(0)
    assert os.listdir(work) == [] and os.path.exists("/0") == root_had
    assert nes.loadState(0) is False


def bad_pc(pc):
    def edit(path: pathlib.Path):
        data = bytearray(path.read_bytes())
        data[5:13] = pc.to_bytes(8, "little", signed=True)
        path.write_bytes(data)
    return edit


@pytest.mark.parametrize("spoil, problem", [
    (lambda p: p.write_bytes(p.read_bytes()[:100]), "100 bytes instead of 82189"),
    (lambda p: p.write_bytes(p.read_bytes() + b"\0"), "longer than 82189"),
    (lambda p: (p.unlink(), p.mkdir()), "not a regular file"),
    (bad_pc(65536), "program counter outside 0-65535 (65536)"),
    (bad_pc(-1), "program counter outside 0-65535 (-1)"),
])
def test_load_refuses_bad_file(cart, spoil, problem):
    c = cart(mapper=4, prg_kb=32, chr_kb=8)
    c.write((0x8000, 0x40), (0xC000, 5))
    c.nes.saveState(7)
    spoil(slot_file(c.nes, 7))
    before = state(c.nes, 1)
    with pytest.raises(ValueError) as err:
        c.nes.loadState(7)
    assert str(slot_file(c.nes, 7)) in str(err.value) and problem in str(err.value)
    assert c.nes.loadState(8) is False
    assert state(c.nes, 2) == before
