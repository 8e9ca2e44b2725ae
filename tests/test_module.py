"""The module's surface: its two classes, the methods with their argument
names and defaults, keyword rules and the choice among the NES constructors."""
import io
import os
import re

import pytest

import kestrix
from nesbuild import program

NES_METHODS = [
    "__init__", "cpuMem", "ppuMem", "OAM", "getImg", "colorLookup", "getAudio", "start", "stop",
    "saveState", "loadState", "setPaused", "setSaveDir", "getSaveDir", "setController", "frameCount",
    "cycleCount", "runFrame", "perFrame",
]
CONDUIT = "_pybind11_conduit_v1_"

# Argument (name, default) lists of each method's generated signatures after self;
# unnamed arguments carry the binding's positional names.
SIGNATURES = {
    "__init__": [[("rom_name", None), ("CLOCK_SPEED", "1789773")],
                 [("CLOCK_SPEED", "1789773")],
                 [("rom_file", None), ("CLOCK_SPEED", "1789773")]],
    "getAudio": [[("split_channels", "False")]],
    "saveState": [[("arg0", None)]],
    "loadState": [[("arg0", None)]],
    "setPaused": [[("arg0", None)]],
    "setSaveDir": [[("arg0", None)]],
    "setController": [[("arg0", None), ("arg1", None)]],
    "perFrame": [[("arg0", None)]],
}


def _methods(cls) -> list[str]:
    return [k for k, v in vars(cls).items() if callable(v) and k != CONDUIT]


def _split_args(text: str) -> list[str]:
    """Splits at the commas outside brackets (types such as Callable[[], None])."""
    parts, depth, cur = [], 0, ""
    for ch in text:
        depth += ch == "["
        depth -= ch == "]"
        if ch == "," and depth == 0:
            parts.append(cur)
            cur = ""
        else:
            cur += ch
    return [p.strip() for p in parts + [cur] if p.strip()]


def _signatures(func) -> list[list[tuple[str, str | None]]]:
    """(name, default) lists of the signatures in a generated docstring."""
    out = []
    for m in re.finditer(rf"^(?:\d+\. )?{func.__name__}\(self: kestrix\.\w+(.*)\) -> ", func.__doc__, re.M):
        args = []
        for part in _split_args(m.group(1)):
            name, _, rest = part.partition(":")
            default = rest.split(" = ", 1)[1] if " = " in rest else None
            args.append((name.strip(), default))
        out.append(args)
    return out


@pytest.fixture
def cart(tmp_path):
    path = tmp_path / "Some Game.nes"
    path.write_bytes(program("loop: JMP loop"))
    return path


def test_module_holds_two_classes():
    public = sorted(k for k in vars(kestrix) if not k.startswith("__"))
    assert public == ["Controller", "NES"]
    assert all(isinstance(getattr(kestrix, k), type) for k in public)
    assert kestrix.__doc__ is None
    assert kestrix.NES.__bases__ == kestrix.Controller.__bases__
    assert len(kestrix.NES.__bases__) == 1


def test_methods_in_registration_order():
    assert _methods(kestrix.NES) == NES_METHODS
    assert len(NES_METHODS) + 2 == 21  # "__init__" has three overloads
    assert _methods(kestrix.Controller) == ["__init__", "updateInputs"]
    assert callable(getattr(kestrix.NES, CONDUIT)) and callable(getattr(kestrix.Controller, CONDUIT))


@pytest.mark.parametrize("name", NES_METHODS)
def test_argument_names_and_defaults(name):
    want = SIGNATURES.get(name, [[]])
    assert _signatures(getattr(kestrix.NES, name)) == want


def test_controller_signatures():
    assert _signatures(kestrix.Controller.__init__) == [[]]
    assert _signatures(kestrix.Controller.updateInputs) == [[("arg0", None)]]


@pytest.mark.parametrize("call", [
    lambda n: n.saveState(slot=1),
    lambda n: n.saveState(arg0=1),
    lambda n: n.loadState(slot=1),
    lambda n: n.setPaused(pause=True),
    lambda n: n.setSaveDir(dir="/"),
    lambda n: n.setController(controller=kestrix.Controller(), port=0),
    lambda n: n.perFrame(f=lambda: None),
    lambda n: n.setPaused("yes"),
    lambda n: n.getAudio(True, True),
    lambda n: kestrix.Controller().updateInputs(inputs=[False] * 8),
    lambda n: kestrix.Controller().updateInputs((False,) * 8),
], ids=["saveState-slot", "saveState-arg0", "loadState", "setPaused-kw", "setSaveDir", "setController",
        "perFrame", "setPaused-text", "getAudio-extra", "updateInputs-kw", "updateInputs-tuple"])
def test_rejected_arguments(call):
    nes = kestrix.NES()
    with pytest.raises(TypeError):
        call(nes)


def test_named_arguments_by_keyword(cart):
    nes = kestrix.NES(rom_name=str(cart), CLOCK_SPEED=5)
    assert nes.getSaveDir().endswith("/Morvanet/Some_Game")
    with open(cart, "rb") as f:
        assert kestrix.NES(rom_file=f, CLOCK_SPEED=0).getSaveDir() == nes.getSaveDir()
    assert kestrix.NES(CLOCK_SPEED=-3).getSaveDir() == ""
    assert isinstance(nes.getAudio(split_channels=True), list)
    nes.setPaused(1)
    nes.setPaused(None)


class PathThatReads:
    """A path-like object that also has "name" and "read": it is a path all the same."""

    def __init__(self, path):
        self.path, self.name = path, "Other.nes"

    def __fspath__(self):
        return os.fsencode(self.path)

    def read(self):
        return b""


@pytest.mark.parametrize("make", [
    lambda p: kestrix.NES(str(p)),
    lambda p: kestrix.NES(os.fsencode(str(p))),
    lambda p: kestrix.NES(str(p), 1000),
    lambda p: kestrix.NES(p),
    lambda p: kestrix.NES(rom_name=p, CLOCK_SPEED=1000),
    lambda p: kestrix.NES(PathThatReads(p)),
], ids=["text", "bytes", "text-clock", "pathlib", "pathlib-keyword", "fspath-bytes-with-read"])
def test_path_constructor(cart, make):
    nes = make(cart)
    folder = os.path.join(os.environ["HOME"], ".config", "Morvanet", "Some_Game")
    assert nes.getSaveDir() == folder and os.path.isdir(folder)
    assert nes.cpuMem()[0x8000] == 0x4C  # the cartridge's JMP


@pytest.mark.parametrize("args", [(), (1789773,), (0,), (-1,)], ids=["none", "int", "zero", "negative"])
def test_constructor_without_cartridge(args):
    nes = kestrix.NES(*args)
    assert nes.getSaveDir() == ""
    assert not nes.cpuMem().any()
    assert not os.path.exists(os.path.join(os.environ["HOME"], ".config", "Morvanet"))


def test_file_object_constructor(cart, tmp_path):
    with open(cart, "rb") as f:
        nes = kestrix.NES(f)
    assert nes.getSaveDir().endswith("/Morvanet/Some_Game")
    # Any object with "name" and "read" will do; the folder follows "name".
    src = io.BytesIO(cart.read_bytes())
    src.name = "elsewhere/Other.rom"
    nes = kestrix.NES(src)
    assert nes.getSaveDir().endswith("/Morvanet/Other") and nes.cpuMem()[0x8000] == 0x4C


@pytest.mark.parametrize("arg, error", [
    (1.5, AttributeError),                     # neither text nor int: the file-object constructor
    (io.BytesIO(b"NES\x1a"), AttributeError),  # no "name"
    (object(), AttributeError),
])
def test_file_object_constructor_failures(arg, error):
    with pytest.raises(error):
        kestrix.NES(arg)


def test_clock_never_accepts_float():
    with pytest.raises(TypeError):
        kestrix.NES(CLOCK_SPEED=1.5)


def test_counters_are_ints():
    nes = kestrix.NES()
    assert type(nes.frameCount()) is int and type(nes.cycleCount()) is int


@pytest.mark.parametrize("call", [
    lambda n, c: n.cycleCount(), lambda n, c: n.runFrame(), lambda n, c: n.cpuMem(),
    lambda n, c: n.stop(), lambda n, c: n.getAudio(), lambda n, c: c.updateInputs([0] * 8),
    lambda n, c: kestrix.NES().setController(c, 0),
])
def test_objects_whose_init_never_ran_are_refused(call):
    nes = kestrix.NES.__new__(kestrix.NES)
    pad = kestrix.Controller.__new__(kestrix.Controller)
    with pytest.raises(TypeError, match="not initialised"):
        call(nes, pad)
