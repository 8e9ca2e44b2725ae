import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

import kestrix
from cartridges import find_cartridge
from nesbuild import banked, program

ROOT = pathlib.Path(__file__).resolve().parent.parent


def _roms_dir() -> pathlib.Path | None:
    for cand in (os.environ.get("KESTRIX_ROMS"), ROOT.parent / "shared" / "roms", "/work/shared/roms"):
        if cand and pathlib.Path(cand).is_dir():
            return pathlib.Path(cand)
    return None


ROMS = _roms_dir()


@pytest.fixture(autouse=True)
def _private_home(tmp_path, monkeypatch):
    """Every test gets a HOME of its own, so save folders never leak."""
    home = tmp_path / "home"
    (home / ".config").mkdir(parents=True)
    monkeypatch.setenv("HOME", str(home))
    return home


@pytest.fixture
def rom_path():
    """The path of a real test cartridge under the shared ROM folder, found as
    cartridges.find_cartridge does (skips when absent or ambiguous)."""
    def get(rel: str) -> pathlib.Path:
        return find_cartridge(ROMS, rel)
    return get


# How many tests that take rom_path ran, and how many were skipped for want
# of their cartridge: [ran, skipped].
_CARTRIDGE_TALLY = pytest.StashKey[list[int]]()


def pytest_configure(config: pytest.Config) -> None:
    config.stash[_CARTRIDGE_TALLY] = [0, 0]


@pytest.hookimpl(wrapper=True)
def pytest_runtest_makereport(item: pytest.Item, call: pytest.CallInfo):
    report = yield
    if report.when == "call" and "rom_path" in getattr(item, "fixturenames", ()):
        tally = item.config.stash[_CARTRIDGE_TALLY]
        missing = (report.skipped and not hasattr(report, "wasxfail") and isinstance(report.longrepr, tuple)
                   and report.longrepr[2].removeprefix("Skipped: ").startswith("test cartridge"))
        if missing:
            tally[1] += 1
        elif not report.skipped or hasattr(report, "wasxfail"):
            tally[0] += 1
    return report


def pytest_terminal_summary(terminalreporter, config: pytest.Config) -> None:
    """Says how many cartridge tests ran; with $KESTRIX_CARTRIDGE_TALLY set,
    also writes "ran skipped" to that file (scripts/test.sh reads it)."""
    ran, skipped = config.stash[_CARTRIDGE_TALLY]
    if ran or skipped:
        terminalreporter.write_line(f"test cartridges: {ran} tests ran, {skipped} skipped for a missing cartridge")
    if out := os.environ.get("KESTRIX_CARTRIDGE_TALLY"):
        pathlib.Path(out).write_text(f"{ran} {skipped}\n")


@pytest.fixture
def console(tmp_path):
    """Builds a console running the given assembly source (NROM, 32 KiB);
    `clock=` is passed on as the console's CLOCK_SPEED."""
    def make(source: str, **kw) -> kestrix.NES:
        path = tmp_path / kw.pop("name", "prog.nes")
        clock = kw.pop("clock", None)
        path.write_bytes(program(source, **kw))
        if clock is None:
            return kestrix.NES(str(path))
        return kestrix.NES(str(path), CLOCK_SPEED=clock)
    return make


@pytest.fixture
def run_script():
    """Runs Python source in a fresh interpreter with this process's module path
    and HOME (C stdio diagnostics can only be checked this way), with `args` as
    its sys.argv[1:]. Returns the CompletedProcess; fails the test on a non-zero
    exit unless check=False."""
    module_dir = str(pathlib.Path(kestrix.__file__).resolve().parent)
    tests_dir = str(pathlib.Path(__file__).resolve().parent)

    def run(source: str, *, check: bool = True, timeout: float = 120, env: dict | None = None,
            cwd: str | None = None, args: tuple = ()) -> subprocess.CompletedProcess:
        e = dict(os.environ)
        e["PYTHONPATH"] = os.pathsep.join([module_dir, tests_dir] + ([e["PYTHONPATH"]] if e.get("PYTHONPATH") else []))
        for k, v in (env or {}).items():
            if v is None:
                e.pop(k, None)
            else:
                e[k] = v
        proc = subprocess.run([sys.executable, "-c", textwrap.dedent(source), *map(str, args)], capture_output=True, text=True,
                              env=e, timeout=timeout, cwd=cwd)
        if check and proc.returncode != 0:
            raise AssertionError(f"script failed with {proc.returncode}\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}")
        return proc
    return run


# A program for bank-switched cartridges (nesbuild.banked) that performs CPU
# writes queued by the test: entries of (address low, address high, value) at
# $0200, their count at $10; the writes run in order at the start of the next
# frame. Afterwards the CPU idles with interrupts allowed, or masked while $15
# is non-zero. The NMI handler keeps in $13 the number of IRQs served during
# the previous frame and, while $11 is non-zero, writes $C001 (after writing
# $C000 with $18 when that is non-zero). The IRQ handler counts IRQs in $12
# (this frame) and $14/$16 (total, low/high) and writes $C000 with $17 when
# that is non-zero.
DRIVER = """
reset:  SEI
        CLD
        LDX #$FF
        TXS
main:   LDA $10
        BEQ idle
        LDX #0
next:   LDA $0200,X
        STA $00
        LDA $0201,X
        STA $01
        LDA $0202,X
        LDY #0
        STA ($00),Y
        INX
        INX
        INX
        DEC $10
        BNE next
idle:   LDA $15
        BNE masked
        CLI
        JMP main
masked: SEI
        JMP main
nmi:    PHA
        LDA $12
        STA $13
        LDA #0
        STA $12
        LDA $11
        BEQ nmi_end
        LDA $18
        BEQ reload
        STA $C000
reload: STA $C001
nmi_end: PLA
        RTI
irq:    PHA
        INC $12
        INC $14
        BNE irq_latch
        INC $16
irq_latch: LDA $17
        BEQ irq_end
        STA $C000
irq_end: PLA
        RTI
"""


class Cart:
    """A console running a bank-switched cartridge, with the PRG and CHR data
    it was built from."""

    def __init__(self, nes, prg: bytes, chr_rom: bytes, path):
        self.nes, self.prg, self.chr, self.path = nes, prg, chr_rom, path

    def write(self, *pairs: tuple[int, int]) -> None:
        """Has the program write each (address, value) in order, then ends the frame."""
        mem = self.nes.cpuMem()
        assert len(pairs) <= 85
        for i, (addr, value) in enumerate(pairs):
            mem[0x200 + 3 * i:0x203 + 3 * i] = [addr & 0xFF, addr >> 8, value]
        mem[0x10] = len(pairs)
        self.nes.runFrame()
        assert mem[0x10] == 0, "the queued writes did not run"

    @staticmethod
    def _units(view, start: int, count: int, data: bytes) -> list:
        # Which 1 KiB unit of `data` each 1 KiB slot holds: its number, "Z"
        # for all zeros, "?" for anything else.
        index = {bytes(data[u * 1024:(u + 1) * 1024]): u for u in range(len(data) // 1024)}
        out = []
        for k in range(count):
            chunk = bytes(view[start + k * 1024:start + (k + 1) * 1024])
            out.append(index.get(chunk, "?" if any(chunk) else "Z"))
        return out

    def prg_units(self, start: int = 0x8000, count: int = 32) -> list:
        return self._units(self.nes.cpuMem(), start, count, self.prg)

    def chr_units(self) -> list:
        return self._units(self.nes.ppuMem(), 0, 8, self.chr)


@pytest.fixture
def cart(tmp_path):
    """Builds a console from nesbuild.banked(source, **kw); source defaults to DRIVER."""
    def make(*, name: str = "cart.nes", source: str = DRIVER, **kw) -> Cart:
        image, prg, chr_rom = banked(source, **kw)
        path = tmp_path / name
        path.write_bytes(image)
        return Cart(kestrix.NES(str(path)), prg, chr_rom, path)
    return make
