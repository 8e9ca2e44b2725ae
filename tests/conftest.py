import os
import pathlib

import pytest

import kestrix
from nesbuild import program

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
    """The path of a real test cartridge under the shared ROM folder (skips when absent)."""
    def get(rel: str) -> pathlib.Path:
        if ROMS is None or not (ROMS / rel).exists():
            pytest.skip(f"test cartridge {rel} not available")
        return ROMS / rel
    return get


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
