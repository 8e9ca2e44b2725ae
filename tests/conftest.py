import os
import pathlib
import subprocess
import sys
import textwrap

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
    """Builds a console running the given assembly source (NROM, 32 KiB)."""
    def make(source: str, **kw) -> kestrix.NES:
        path = tmp_path / kw.pop("name", "prog.nes")
        path.write_bytes(program(source, **kw))
        return kestrix.NES(str(path))
    return make


@pytest.fixture
def run_script():
    """Runs Python source in a fresh interpreter with this process's module path
    and HOME (C stdio diagnostics can only be checked this way). Returns the
    CompletedProcess; fails the test on a non-zero exit unless check=False."""
    module_dir = str(pathlib.Path(kestrix.__file__).resolve().parent)
    tests_dir = str(pathlib.Path(__file__).resolve().parent)

    def run(source: str, *, check: bool = True, timeout: float = 120, env: dict | None = None,
            cwd: str | None = None) -> subprocess.CompletedProcess:
        e = dict(os.environ)
        e["PYTHONPATH"] = os.pathsep.join([module_dir, tests_dir] + ([e["PYTHONPATH"]] if e.get("PYTHONPATH") else []))
        for k, v in (env or {}).items():
            if v is None:
                e.pop(k, None)
            else:
                e[k] = v
        proc = subprocess.run([sys.executable, "-c", textwrap.dedent(source)], capture_output=True, text=True,
                              env=e, timeout=timeout, cwd=cwd)
        if check and proc.returncode != 0:
            raise AssertionError(f"script failed with {proc.returncode}\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}")
        return proc
    return run
