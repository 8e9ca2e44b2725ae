"""The type stub kestrix.pyi against the module: stubtest for names and
kinds, the signatures the binding library reports for argument names,
positional-only arguments, defaults and result types, and mypy for what it
accepts and rejects."""
import ast
import os
import pathlib
import re
import subprocess
import sys

import pytest

import kestrix

ROOT = pathlib.Path(__file__).resolve().parent.parent
STUB = ROOT / "stubs" / "kestrix.pyi"
MODULE_DIR = pathlib.Path(kestrix.__file__).resolve().parent

# How each argument type of the binding is written in the stub.
ARG_TYPES = {
    "typing.SupportsInt | typing.SupportsIndex": "SupportsIndex",
    "bool": "bool",
    "str | bytes | bytearray | os.PathLike[str] | os.PathLike[bytes]": "_Path",
    "object": "_RomFile",
    "ControllerWrapper": "Controller",
    "kestrix.Controller": "Controller",
    "list": "list[bool] | list[int] | list[_Truthy]",
    "collections.abc.Callable[[], None]": "Callable[[], object] | None",
}
RESULT_TYPES = {"list": "list[bytes]", "numpy.ndarray": "np.ndarray", "None": "None", "int": "int", "bool": "bool",
                "str": "str"}


def split_top(text: str) -> list[str]:
    """Splits at commas outside brackets."""
    parts, depth, cur = [], 0, ""
    for ch in text:
        if ch in "[(":
            depth += 1
        elif ch in "])":
            depth -= 1
        if ch == "," and depth == 0:
            parts.append(cur.strip())
            cur = ""
        else:
            cur += ch
    if cur.strip():
        parts.append(cur.strip())
    return parts


def runtime_signatures(cls, name):
    """[(params [(name, type, default)], result)] from the generated docstring, one per overload."""
    sigs = []
    for line in (getattr(cls, name).__doc__ or "").splitlines():
        m = re.match(rf"^(?:\d+\. )?{name}\((.*)\) -> (.+)$", line)
        if m:
            params = []
            for p in split_top(m.group(1))[1:]:  # after self
                pname, ptype = p.split(": ", 1)
                ptype, _, default = ptype.partition(" = ")
                params.append((pname, ptype, default or None))
            sigs.append((params, m.group(2)))
    return sigs


def stub_aliases():
    tree = ast.parse(STUB.read_text())
    return {n.targets[0].id: ast.unparse(n.value) for n in tree.body
            if isinstance(n, ast.Assign) and isinstance(n.targets[0], ast.Name)}


def stub_methods():
    tree = ast.parse(STUB.read_text())
    classes = {n.name: n for n in tree.body if isinstance(n, ast.ClassDef)}
    methods = {}
    for cname in ("NES", "Controller"):
        for f in classes[cname].body:
            if isinstance(f, ast.FunctionDef):
                methods.setdefault((cname, f.name), []).append(f)
    return methods


def bound_methods():
    for cls in (kestrix.NES, kestrix.Controller):
        for name in vars(cls):
            if (name == "__init__" or not name.startswith("_")) and callable(getattr(cls, name)):
                yield cls.__name__, name


@pytest.mark.parametrize("cname, name", list(bound_methods()))
def test_signature_matches_binding(cname, name):
    runtime = runtime_signatures(getattr(kestrix, cname), name)
    assert runtime, f"no generated signature for {cname}.{name}"
    stubs = stub_methods().get((cname, name))
    assert stubs, f"{cname}.{name} missing from the stub"
    assert len(stubs) == len(runtime), "overload count differs"
    for fn, (params, result) in zip(stubs, runtime):
        a = fn.args
        assert not a.kwonlyargs and a.vararg is None and a.kwarg is None
        positional_only = [p.arg for p in a.posonlyargs]
        named = [p.arg for p in a.args]
        assert (positional_only or named)[0] == "self"
        stub_params = [(p.arg, True) for p in a.posonlyargs] + [(p.arg, False) for p in a.args]
        stub_params = stub_params[1:]
        assert len(stub_params) == len(params)
        all_args = a.posonlyargs + a.args
        defaults = [None] * (len(all_args) - len(a.defaults)) + [ast.unparse(d) for d in a.defaults]
        for (rname, rtype, rdefault), (sname, posonly), sarg, sdefault in zip(params, stub_params, all_args[1:],
                                                                              defaults[1:]):
            # The binding names unnamed arguments arg0, arg1, ...: those take no keyword.
            if re.fullmatch(r"arg\d+", rname):
                assert posonly, f"{name}: {sname} must be positional-only"
            else:
                assert (sname, posonly) == (rname, False)
            assert ast.unparse(sarg.annotation) == ARG_TYPES[rtype], f"{name}({sname})"
            assert sdefault == rdefault, f"{name}({sname}) default"
        assert ast.unparse(fn.returns).split("[")[0] == RESULT_TYPES[result].split("[")[0]
        assert ast.unparse(fn.returns).startswith(RESULT_TYPES[result])


@pytest.mark.parametrize("name", ["cpuMem", "ppuMem", "OAM", "getImg", "colorLookup"])
def test_array_results_match_rank_and_dtype(name):
    fn = stub_methods()[("NES", name)][0]
    shape, dtype = fn.returns.slice.elts
    rank = len(shape.slice.elts) if isinstance(shape.slice, ast.Tuple) else 1
    assert stub_aliases().get(ast.unparse(dtype), ast.unparse(dtype)) == "np.dtype[np.uint8]"
    arr = getattr(kestrix.NES(), name)()
    assert arr.ndim == rank and arr.dtype.name == "uint8"


def test_stub_beside_the_module_is_this_one():
    """The build puts the stub beside the module, an install also as the
    kestrix-stubs package that mypy looks for."""
    beside = MODULE_DIR / "kestrix.pyi"
    assert beside.read_text() == STUB.read_text()
    package = MODULE_DIR / "kestrix-stubs" / "__init__.pyi"
    if MODULE_DIR.name == "site-packages":
        assert package.read_text() == STUB.read_text()


def mypy_env(tmp_path):
    pytest.importorskip("mypy")
    e = dict(os.environ, MYPYPATH=str(STUB.parent), MYPY_CACHE_DIR=str(tmp_path / "mypy-cache"))
    e["PYTHONPATH"] = os.pathsep.join([str(MODULE_DIR)] + ([e["PYTHONPATH"]] if e.get("PYTHONPATH") else []))
    return e


def test_stubtest_finds_no_difference(tmp_path):
    e = mypy_env(tmp_path)
    proc = subprocess.run([sys.executable, "-m", "mypy.stubtest", "kestrix"], env=e, cwd=tmp_path,
                          capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stdout + proc.stderr


# Every line marked "# E" must be an error for mypy, and no other line.
USES = '''
import io
import pathlib
from typing import Any
import numpy as np
import kestrix

nes = kestrix.NES("game.nes")
nes = kestrix.NES(b"game.nes", CLOCK_SPEED=0)
nes = kestrix.NES()
nes = kestrix.NES(1789773)
nes = kestrix.NES(CLOCK_SPEED=0)
nes = kestrix.NES(open("game.nes", "rb"))
nes = kestrix.NES(io.BytesIO(b""))
nes = kestrix.NES(pathlib.Path("game.nes"))
nes = kestrix.NES(rom_name=pathlib.Path("game.nes"), CLOCK_SPEED=0)
kestrix.NES(1.5)  # E
kestrix.NES("game.nes", 60.0)  # E
kestrix.NES("game.nes", CLOCK_SPEED="fast")  # E
kestrix.NES(rom_file="game.nes")  # E
img: np.ndarray[tuple[int, int, int], np.dtype[np.uint8]] = nes.getImg()
mem: np.ndarray[tuple[int], np.dtype[np.uint8]] = nes.cpuMem()
bad_rank: np.ndarray[tuple[int], np.dtype[np.uint8]] = nes.getImg()  # E
colours: np.ndarray[tuple[int, int], np.dtype[np.uint8]] = nes.colorLookup()
bad_dtype: np.ndarray[Any, np.dtype[np.float64]] = nes.OAM()  # E
blocks: list[bytes] = nes.getAudio(split_channels=True)
block: str = nes.getAudio()[0]  # E
nes.saveState(0)
nes.saveState(slot=0)  # E: positional only
nes.saveState(1.0)  # E
found: bool = nes.loadState(np.int64(3))
nes.setPaused(True)
nes.setPaused("yes")  # E
nes.setSaveDir("/tmp")
nes.setSaveDir(pathlib.Path("/tmp"))
nes.setSaveDir(io.BytesIO(b""))  # E: not a path
folder: str = nes.getSaveDir()
pad = kestrix.Controller()
nes.setController(pad, 0)
nes.setController(None, 0)  # E
nes.setController(pad=pad, port=0)  # E
pad.updateInputs([False] * 8)
pad.updateInputs([1, 0, 0, 0, 0, 0, 0, 1])
pad.updateInputs([True, 0, 1, False, False, False, False, False])
pad.updateInputs((True,) * 8)  # E: must be a list
pad.updateInputs(["A"] * 8)  # E
nes.perFrame(lambda: None)
nes.perFrame(None)
nes.perFrame(lambda frame: None)  # E: called without arguments
count: int = nes.frameCount() + nes.cycleCount()
nes.runFrame(2)  # E
nes.start()
nes.stop()
'''


def test_mypy_accepts_and_rejects_what_the_module_does(tmp_path):
    e = mypy_env(tmp_path)
    src = tmp_path / "uses.py"
    src.write_text(USES)
    proc = subprocess.run([sys.executable, "-m", "mypy", "--no-error-summary", "--hide-error-context",
                           "--no-pretty", str(src)], env=e, cwd=tmp_path, capture_output=True, text=True,
                          timeout=600)
    flagged = {int(m.group(1)) for m in re.finditer(r"uses\.py:(\d+): error", proc.stdout)}
    marked = {i for i, line in enumerate(USES.splitlines(), 1) if "# E" in line}
    assert flagged == marked, proc.stdout + proc.stderr


def test_examples_type_check(tmp_path):
    e = mypy_env(tmp_path)
    proc = subprocess.run([sys.executable, "-m", "mypy", "--ignore-missing-imports", "--no-error-summary",
                           *(str(p) for p in sorted((ROOT / "examples").glob("*.py")))],
                          env=e, cwd=ROOT / "examples", capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stdout + proc.stderr

