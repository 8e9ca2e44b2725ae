"""Every scripting call with good and bad arguments, in random order: each
call either succeeds or raises an exception with a message, the process never
crashes, and the console stays usable.

KESTRIX_HYPOTHESIS_EXAMPLES and KESTRIX_HYPOTHESIS_STEPS make the random run
longer than the default."""
import collections
import io
import os
import pathlib
import sys

import pytest

import kestrix
from nesbuild import program

try:
    from hypothesis import HealthCheck, settings, strategies as st
    from hypothesis.stateful import RuleBasedStateMachine, rule, run_state_machine_as_test
except ImportError:  # in requirements-dev.txt; the fixed cases below run without it
    st = None

EXAMPLES = int(os.environ.get("KESTRIX_HYPOTHESIS_EXAMPLES", "30"))
STEPS = int(os.environ.get("KESTRIX_HYPOTHESIS_STEPS", "25"))

# Reads pad 0 into $00 and counts in $02; the NMI counts in $03.
SOURCE = """
reset:  LDA #$80
        STA $2000
loop:   LDA #1
        STA $4016
        LDA #0
        STA $4016
        LDA $4016
        STA $00
        INC $02
        JMP loop
nmi:    INC $03
        RTI
"""

NES_METHODS = ["cpuMem", "ppuMem", "OAM", "getImg", "colorLookup", "getAudio", "start", "stop", "saveState",
               "loadState", "setPaused", "setSaveDir", "getSaveDir", "setController", "frameCount", "cycleCount",
               "runFrame", "perFrame"]


class Boom(Exception):
    pass


class BadBool:
    def __bool__(self):
        raise Boom("__bool__ failed")


class BadIndex:
    def __index__(self):
        raise Boom("__index__ failed")


class ReadRaises:
    name = "raises.nes"

    def read(self):
        raise OSError("the medium is unreadable")


class NameRaises:
    @property
    def name(self):
        raise Boom("no name today")

    def read(self):
        return b""


class ReadsText:
    name = "text.nes"

    def read(self):
        return "NES\x1a but as text"


class ReadsNone:
    name = "none.nes"

    def read(self):
        return None


def opened(path):
    with open(path, "rb") as f:
        return kestrix.NES(f)


def closed_file(path):
    f = open(path, "rb")
    f.close()
    return f


def named_bytes(data, name):
    f = io.BytesIO(data)
    f.name = name
    return f


# ------------------------------------------------------------------ fixed cases found by the random run

@pytest.mark.parametrize("call", [
    lambda n: n.perFrame(lambda: None),  # wrote the callback into raw memory
    lambda n: n.perFrame(None),
])
def test_uninitialised_object_refused(call):
    with pytest.raises(TypeError, match="not initialised"):
        call(kestrix.NES.__new__(kestrix.NES))


@pytest.mark.parametrize("make", [
    lambda p, d: kestrix.NES(str(p) + "\0.nes"),
    lambda p, d: kestrix.NES(os.fsencode(str(p)) + b"\0x"),
    lambda p, d: kestrix.NES(named_bytes(d, "Game\0.nes")),
])
def test_path_with_null_byte_refused(tmp_path, make):
    # It used to be cut at the null byte: another file was read and a save
    # folder named after the cut name was created.
    path = tmp_path / "cart.nes"
    path.write_bytes(program(SOURCE))
    with pytest.raises(ValueError, match="embedded null byte"):
        make(path, path.read_bytes())
    assert not (pathlib.Path(os.environ["HOME"]) / ".config" / "Morvanet").exists()


def test_save_dir_with_null_byte_names_nothing(tmp_path):
    nes = kestrix.NES(named_bytes(program(SOURCE), "cart.nes"))
    before = nes.getSaveDir()
    other = tmp_path / "other"
    other.mkdir()
    assert nes.setSaveDir(f"{other}\0/elsewhere") is False
    assert nes.getSaveDir() == before
    nes.saveState(0)
    assert os.listdir(before) == ["0"] and os.listdir(other) == []



def test_file_error_on_a_path_that_is_not_utf8(tmp_path):
    # The error used to come out as a bare OSError() with neither number nor path.
    path = os.fsencode(str(tmp_path)) + b"/\xff\x80/missing.nes"
    with pytest.raises(FileNotFoundError) as err:
        kestrix.NES(path)
    assert (err.value.errno, err.value.filename) == (2, os.fsdecode(path))


# ------------------------------------------------------------------ random calls

if st is not None:
    # Values of every kind that the methods may get instead of what they expect.
    JUNK = st.one_of(
        st.none(), st.booleans(),
        st.integers(-2**31, 2**31 - 1),
        st.sampled_from([2**31, -2**31 - 1, 2**63, -2**64, 2**100]),
        st.floats(allow_nan=True, allow_infinity=True),
        st.text(max_size=4), st.binary(max_size=4),
        st.lists(st.integers(-1, 2), max_size=10),
        st.tuples(st.booleans(), st.booleans()),
        st.builds(BadBool), st.builds(BadIndex), st.builds(object), st.builds(dict),
    )
    # Items for updateInputs: truth values and everything that is not one.
    ITEMS = st.one_of(st.booleans(), st.none(), st.integers(-2, 2), st.sampled_from([2**80, -2**80]),
                      st.floats(allow_nan=True), st.text(max_size=2), st.builds(BadBool), st.builds(list))


    class Calls(RuleBasedStateMachine):
        """A console, pads and views, and every call with random arguments."""

        folder: pathlib.Path  # set by the test
        totals: collections.Counter = collections.Counter()  # outcomes over all examples

        def __init__(self):
            super().__init__()
            self.path = str(self.folder / "cart.nes")
            self.data = pathlib.Path(self.path).read_bytes()
            self.nes = kestrix.NES(self.path, CLOCK_SPEED=0)
            self.pads = [kestrix.Controller()]
            self.views = []
            self.depth = 0

        # Every call goes through here: it may raise, but only an Exception with
        # a message, and never one that means the binding itself went wrong.
        def call(self, f, *args, **kw):
            try:
                result = f(*args, **kw)
            except Exception as e:
                assert not isinstance(e, SystemError), repr(e)
                assert str(e).strip(), f"{type(e).__name__} without a message"
                self.totals[type(e).__name__] += 1
                return None
            self.totals["ok"] += 1
            return result

        # ---- things to pass

        def callbacks(self):
            nes = self.nes

            def raises():
                raise Boom("callback failed")

            def reenters():  # a frame inside a frame, a few deep
                if self.depth < 2:
                    self.depth += 1
                    try:
                        nes.runFrame()
                    finally:
                        self.depth -= 1

            def replaces_itself():
                nes.perFrame(lambda: nes.getAudio(True))

            return [lambda: None, raises, reenters, replaces_itself, lambda: nes.stop(), lambda: nes.saveState(1),
                    lambda: nes.loadState(1), lambda: nes.cycleCount(), lambda x: None, lambda: 42, dict, None]

        def argument(self, data, extra=()):
            """A good or a bad argument, chosen by Hypothesis."""
            kind = data.draw(st.sampled_from(["junk", "slot", "pad", "callback", "folder", "extra"]))
            if kind == "junk":
                return data.draw(JUNK)
            if kind == "slot":
                return data.draw(st.sampled_from([0, 1, -1, 2**31 - 1, -2**31]))
            if kind == "pad":
                return data.draw(st.sampled_from(self.pads))
            if kind == "callback":
                return data.draw(st.sampled_from(self.callbacks()))
            if kind == "folder":
                return data.draw(st.sampled_from(self.folders()))
            return data.draw(st.sampled_from(list(extra) or [0]))

        def folders(self):
            f = self.folder
            return [str(f), str(f / "missing"), str(f / "cart.nes"), str(f / "cart.nes" / "below"), "", f"{f}\0x",
                    os.fsencode(str(f)), bytearray(os.fsencode(str(f))), "/proc/self/../", "\udcff"]

        # ---- rules

        @rule(data=st.data())
        def construct(self, data):
            p = self.path
            make = data.draw(st.sampled_from([
                lambda: kestrix.NES(p), lambda: kestrix.NES(os.fsencode(p)), lambda: opened(p),
                lambda: kestrix.NES(named_bytes(self.data, "other.nes")), lambda: kestrix.NES(closed_file(p)),
                lambda: kestrix.NES(ReadRaises()), lambda: kestrix.NES(NameRaises()), lambda: kestrix.NES(ReadsText()),
                lambda: kestrix.NES(ReadsNone()), lambda: kestrix.NES(named_bytes(self.data[:100], "short.nes")),
                lambda: kestrix.NES(named_bytes(self.data, "a\0b.nes")), lambda: kestrix.NES(p + "\0.nes"),
                lambda: kestrix.NES(str(self.folder)), lambda: kestrix.NES(str(self.folder / "no" / "such.nes")),
                lambda: kestrix.NES(p, CLOCK_SPEED=data.draw(JUNK)), lambda: kestrix.NES(data.draw(JUNK)),
                lambda: kestrix.NES(p, data.draw(JUNK), data.draw(JUNK)),
            ]))
            nes = self.call(make)
            if nes is not None:
                self.nes = nes  # the previous one is collected, running or not

        @rule(name=st.sampled_from(NES_METHODS), data=st.data())
        def any_method(self, name, data):
            count = data.draw(st.integers(0, 3))
            args = [self.argument(data) for _ in range(count)]
            self.call(getattr(self.nes, name), *args)

        @rule(name=st.sampled_from(["saveState", "loadState"]), data=st.data())
        def slot(self, name, data):
            self.call(getattr(self.nes, name), self.argument(data))

        @rule(data=st.data())
        def save_dir(self, data):
            self.call(self.nes.setSaveDir, data.draw(st.sampled_from(self.folders())))

        @rule(data=st.data())
        def per_frame(self, data):
            self.call(self.nes.perFrame, self.argument(data))

        @rule(data=st.data())
        def set_controller(self, data):
            self.call(self.nes.setController, self.argument(data), self.argument(data, extra=[0, 1, 2, 256, -1]))

        @rule(data=st.data())
        def update_inputs(self, data):
            pad = data.draw(st.sampled_from(self.pads))
            arg = data.draw(st.one_of(st.lists(ITEMS, max_size=10), JUNK))
            self.call(pad.updateInputs, arg)

        @rule()
        def new_pad(self):
            self.pads.append(kestrix.Controller())

        @rule(name=st.sampled_from(["start", "stop", "runFrame"]), paused=st.booleans())
        def run(self, name, paused):
            self.call(self.nes.setPaused, paused)
            self.call(getattr(self.nes, name))

        @rule(name=st.sampled_from(["cpuMem", "ppuMem", "OAM", "getImg", "colorLookup"]),
              index=st.integers(-70000, 200000), value=st.one_of(st.integers(-300, 300), st.floats(allow_nan=True)))
        def view(self, name, index, value):
            v = self.call(getattr(self.nes, name))
            if v is None:
                return
            self.views = (self.views + [v])[-4:]  # some views outlive their console
            for target in (v, self.views[0]):
                self.call(target.flat.__setitem__, index, value)
                self.call(target.flat.__getitem__, index)

        @rule(name=st.sampled_from(NES_METHODS + ["__repr__"]), data=st.data())
        def uninitialised(self, name, data):
            blank = kestrix.NES.__new__(kestrix.NES)
            self.call(getattr(blank, name), *[self.argument(data) for _ in range(data.draw(st.integers(0, 2)))])
            pad = kestrix.Controller.__new__(kestrix.Controller)
            self.call(pad.updateInputs, [0] * 8)
            self.call(self.nes.setController, pad, 0)

        def teardown(self):
            # Still usable: stopped cleanly, frame by frame the counters advance.
            try:
                self.nes.stop()
            except RuntimeError:
                pass
            self.nes.perFrame(lambda: None)
            frames, cycles = self.nes.frameCount(), self.nes.cycleCount()
            self.nes.runFrame()
            assert self.nes.frameCount() == frames + 1 and self.nes.cycleCount() > cycles


@pytest.mark.skipif(st is None, reason="needs hypothesis (requirements-dev.txt)")
def test_random_calls(tmp_path, monkeypatch):
    (tmp_path / "cart.nes").write_bytes(program(SOURCE, battery=True))
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)  # callbacks failing on the run thread
    Calls.folder = tmp_path
    run_state_machine_as_test(Calls, settings=settings(
        max_examples=EXAMPLES, stateful_step_count=STEPS, deadline=None, database=None,
        suppress_health_check=list(HealthCheck)))
    assert all(isinstance(r.exc_value, Exception) for r in reports)
    print(f"\noutcomes of {EXAMPLES} x {STEPS} steps: {dict(Calls.totals)}; run-thread callback reports: {len(reports)}")
