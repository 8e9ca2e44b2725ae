"""The emulator unit: counters and frames, the save folder chosen at
construction, the CPU memory view, and the run thread with its pacing,
pausing, callbacks and shutdown."""
import gc
import os
import sys
import threading
import time
import weakref

import numpy as np
import pytest

import kestrix
from nesbuild import program

CLOCK = 1789773
FRAME_DOTS = 341 * 262
FIRST_FRAME_DOTS = FRAME_DOTS - 25  # the PPU starts at line 0, dot 25

NOP_LOOP = ("loop: NOP\n NOP\n NOP\n JMP loop\n", [2, 2, 2, 3])
INC_LOOP = ("loop: INC $10\n JMP loop\n", [5, 3])
# Copies $10 to $11 forever.
COPY_LOOP = "loop: LDA $10\n STA $11\n JMP loop\n"


def boundary_cycles(loop: list[int], frames: int) -> int:
    """The CPU cycle count after the instruction that carries the PPU past the
    end of frame `frames`, for a program that repeats `loop` from reset."""
    dots = FIRST_FRAME_DOTS + (frames - 1) * FRAME_DOTS
    cycles, i = 0, 0
    while 3 * cycles < dots:
        cycles += loop[i % len(loop)]
        i += 1
    return cycles


def wait_for(cond, timeout=10.0):
    deadline = time.monotonic() + timeout
    while not cond():
        if time.monotonic() > deadline:
            raise AssertionError("condition not reached in time")
        time.sleep(0.005)


class Boom(Exception):
    pass


@pytest.fixture
def cart(tmp_path):
    def write(source: str = NOP_LOOP[0], name: str = "game.nes", **kw) -> str:
        path = tmp_path / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(program(source, **kw))
        return str(path)
    return write


@pytest.fixture
def running():
    """Consoles whose run thread must be stopped even when a test fails."""
    started = []
    yield started.append
    for nes in started:
        try:
            nes.stop()
        except RuntimeError:
            pass


# ------------------------------------------------------------------ counters and frames

def test_new_console_counters(cart):
    for nes in (kestrix.NES(), kestrix.NES(cart())):
        assert (nes.frameCount(), nes.cycleCount()) == (0, 0)


@pytest.mark.parametrize("source, loop", [NOP_LOOP, INC_LOOP], ids=["nop", "inc"])
def test_run_frame_stops_after_the_boundary(console, source, loop):
    nes = console(source)
    calls = []
    nes.perFrame(lambda: calls.append(1))
    for k in (1, 2, 3):
        nes.runFrame()
        assert (nes.frameCount(), len(calls)) == (k, k)
        assert nes.cycleCount() == boundary_cycles(loop, k)


def test_callback_exception_in_run_frame(console):
    nes = console(NOP_LOOP[0])
    err = Boom("from the callback")
    fail = [True]

    def cb():
        if fail[0]:
            raise err

    nes.perFrame(cb)
    with pytest.raises(Boom) as info:
        nes.runFrame()
    assert info.value is err
    assert nes.frameCount() == 1 and nes.cycleCount() == boundary_cycles(NOP_LOOP[1], 1)
    fail[0] = False
    nes.runFrame()
    # The interrupted step's missing dots were run first: frame 2 ends on time.
    assert nes.frameCount() == 2 and nes.cycleCount() == boundary_cycles(NOP_LOOP[1], 2)


def test_empty_callback_in_run_frame(console):
    nes = console(NOP_LOOP[0])
    nes.perFrame(None)
    with pytest.raises(RuntimeError):
        nes.runFrame()
    calls = []
    nes.perFrame(lambda: calls.append(1))
    nes.runFrame()
    assert nes.frameCount() == 2 and calls == [1]


# ------------------------------------------------------------------ save folder

@pytest.mark.parametrize("rel, stem", [
    ("games/Super Game (U).nes", "Super_Game_(U)"),
    ("roms\\my.game.nes", "my.game"),
    ("plain", "plain"),
    ("my.dir/game", "game"),
    ("a b/c d.e f.nes", "c_d.e_f"),
])
def test_save_folder_stem(cart, rel, stem):
    nes = kestrix.NES(cart(name=rel))
    folder = f"{os.environ['HOME']}/.config/Morvanet/{stem}"
    assert nes.getSaveDir() == folder
    assert os.path.isdir(folder)


def test_empty_stem(cart, run_script):
    path = cart(name="x/.nes")
    home = os.environ["HOME"]
    out = run_script(f"import kestrix\nprint(kestrix.NES({path!r}).getSaveDir(), flush=True)\n").stdout.splitlines()
    app = f"{home}/.config/Morvanet"
    assert out[:3] == [f"LINUX, {home}/.config", app + "/", "Folder already exists. Checking for save..."]
    assert out[-1] == app + "/"


def test_folder_lines(cart, run_script):
    path = cart(name="roms/Tetris.nes")
    home = os.environ["HOME"]
    out = run_script(f"""
        import kestrix
        kestrix.NES({path!r})
        kestrix.NES({path!r})
    """).stdout.splitlines()
    rom = ["No Battery", "iNES", "0", "CHR-RAM Copied."]
    head = [f"LINUX, {home}/.config", f"{home}/.config/Morvanet/Tetris"]
    assert out == head + rom + head + ["Folder already exists. Checking for save..."] + rom


def test_construction_lines_keep_their_place_in_piped_output(cart, run_script):
    path = cart(name="Tetris.nes")
    home = os.environ["HOME"]
    out = run_script(f"""
        import kestrix
        print("before", flush=True)
        kestrix.NES({path!r})
        print("between", flush=True)
        kestrix.NES()
        print("after", flush=True)
    """, env={"PYTHONUNBUFFERED": None}).stdout.splitlines()  # it would make the C library's output unbuffered too
    rom = ["No Battery", "iNES", "0"]
    assert out == (["before", f"LINUX, {home}/.config", f"{home}/.config/Morvanet/Tetris", *rom, "CHR-RAM Copied.",
                    "between", "No rom specified.", *rom, "rom created.", "CHR-RAM Copied.", "after"])


@pytest.mark.parametrize("problem", ["unset", "no-config"])
def test_home_problems(cart, monkeypatch, problem):
    path = cart()
    if problem == "unset":
        monkeypatch.delenv("HOME")
    else:
        os.rmdir(os.path.join(os.environ["HOME"], ".config"))
    with pytest.raises(RuntimeError):
        kestrix.NES(path)
    with open(path, "rb") as f, pytest.raises(RuntimeError):
        kestrix.NES(f)
    # Without a cartridge no folder is needed.
    assert kestrix.NES().cycleCount() == 0


# ------------------------------------------------------------------ CPU memory view

def test_cpu_mem_view(console):
    nes = console(COPY_LOOP)
    mem = nes.cpuMem()
    assert mem.dtype == np.uint8 and mem.shape == (65536,) and mem.strides == (1,)
    assert mem.flags.writeable and not mem.flags.owndata
    mem[0x10] = 0x42
    again = nes.cpuMem()
    assert again is not mem and again.ctypes.data == mem.ctypes.data and again[0x10] == 0x42
    nes.runFrame()
    assert mem[0x11] == 0x42  # the program saw the write, the view sees the program's


def test_cpu_mem_keeps_console_alive(console):
    nes = console(COPY_LOOP)
    mem = nes.cpuMem()
    ref = weakref.ref(nes)
    del nes
    gc.collect()
    assert ref() is not None
    mem[0x10] = 7
    ref().runFrame()
    assert mem[0x11] == 7
    del mem
    gc.collect()
    assert ref() is None


# ------------------------------------------------------------------ run thread

def test_start_stop_rules(console, running):
    nes = console(NOP_LOOP[0])
    with pytest.raises(RuntimeError):
        nes.stop()
    nes.start()
    running(nes)
    with pytest.raises(RuntimeError):
        nes.start()
    with pytest.raises(RuntimeError):
        nes.runFrame()
    wait_for(lambda: nes.cycleCount() > 0)
    assert nes.stop() is None
    with pytest.raises(RuntimeError):
        nes.stop()
    stopped = nes.cycleCount()
    time.sleep(0.05)
    assert nes.cycleCount() == stopped
    nes.runFrame()
    nes.start()
    wait_for(lambda: nes.cycleCount() > stopped + 10000)
    nes.stop()


def test_stop_without_thread_still_saves_battery_ram(console):
    nes = console(NOP_LOOP[0], battery=True, name="batt.nes")
    nes.cpuMem()[0x6000] = 0x99
    with pytest.raises(RuntimeError):
        nes.stop()
    with open(os.path.join(nes.getSaveDir(), "ram"), "rb") as f:
        ram = f.read()
    assert len(ram) == 8192 and ram[0] == 0x99


def test_callback_runs_on_the_run_thread(console, running):
    nes = console(NOP_LOOP[0])
    threads = []
    nes.perFrame(lambda: threads.append(threading.get_ident()))
    nes.start()
    running(nes)
    wait_for(lambda: len(threads) >= 2)
    nes.stop()
    assert threading.get_ident() not in threads
    assert len(set(threads)) == 1
    assert abs(nes.frameCount() - len(threads)) <= 1


def test_pause(console, running):
    nes = console(NOP_LOOP[0])
    nes.start()
    running(nes)
    wait_for(lambda: nes.cycleCount() > 0)
    nes.setPaused(True)
    time.sleep(0.05)  # a step under way may still finish
    held = nes.cycleCount()
    time.sleep(0.2)
    assert nes.cycleCount() == held
    nes.setPaused(False)
    wait_for(lambda: nes.cycleCount() > held)
    # Stopping while paused ends the thread too.
    nes.setPaused(True)
    nes.stop()


def test_pacing_follows_the_wall_clock(console, running):
    nes = console(NOP_LOOP[0])
    t0 = time.monotonic()
    nes.start()
    running(nes)
    time.sleep(0.5)
    cycles = nes.cycleCount()
    elapsed = time.monotonic() - t0
    nes.stop()
    # Never ahead of the clock (one instruction and a millisecond of slack) ...
    assert cycles <= elapsed * CLOCK + 2000
    # ... and not grossly behind it (generous: the machine may be busy).
    assert cycles >= 0.05 * elapsed * CLOCK


def test_start_runs_at_once_after_warm_up_and_restart(console, running):
    # The time line begins at each start(): the frames run before (by
    # runFrame() or an earlier run) are not waited for.
    nes = console(NOP_LOOP[0])
    for _ in range(180):
        nes.runFrame()
    for _ in range(2):  # the first start, then a restart after stop()
        before = nes.frameCount()
        t0 = time.monotonic()
        nes.start()
        running(nes)
        time.sleep(0.5)
        frames = nes.frameCount() - before
        elapsed = time.monotonic() - t0
        nes.stop()
        # About 30 paced frames (fewer on a busy machine or a sanitizer
        # build), where waiting for the frames stepped before gave none.
        assert 1 <= frames <= elapsed * CLOCK / (FRAME_DOTS / 3) + 2


@pytest.mark.parametrize("double_pause", [False, True])
def test_paused_time_is_not_caught_up(console, running, double_pause):
    nes = console(NOP_LOOP[0])
    t0 = time.monotonic()
    nes.start()
    running(nes)
    time.sleep(0.1)
    nes.setPaused(True)
    paused_from = time.monotonic()
    time.sleep(0.5)
    if double_pause:  # a second pause request keeps the first start of the pause
        nes.setPaused(True)
        time.sleep(0.5)
    paused_to = time.monotonic()
    nes.setPaused(False)
    time.sleep(0.2)
    cycles = nes.cycleCount()
    active = (time.monotonic() - t0) - (paused_to - paused_from)
    nes.stop()
    assert cycles <= active * CLOCK + 2000


def test_pause_before_start(console, running):
    nes = console(NOP_LOOP[0])
    nes.setPaused(True)
    nes.start()
    running(nes)
    time.sleep(0.2)
    assert nes.cycleCount() == 0
    resumed = time.monotonic()
    nes.setPaused(False)
    wait_for(lambda: nes.cycleCount() > 0)
    time.sleep(0.1)
    cycles = nes.cycleCount()
    # The time from start to resume counts as paused.
    assert cycles <= (time.monotonic() - resumed) * CLOCK + 2000
    nes.stop()


@pytest.mark.parametrize("clock", [0, -1, -2**31])
def test_unpaced_clock(cart, running, clock):
    slow_rate = 2000
    counts = {}
    for rate in (slow_rate, clock):
        nes = kestrix.NES(cart(), CLOCK_SPEED=rate)
        t0 = time.monotonic()
        nes.start()
        running(nes)
        time.sleep(0.3)
        counts[rate] = (nes.cycleCount(), time.monotonic() - t0)
        nes.stop()
    slow, slow_time = counts[slow_rate]
    assert slow <= slow_time * slow_rate + 20
    fast, fast_time = counts[clock]
    assert fast > 20 * fast_time * slow_rate


def test_callback_exception_on_run_thread(console, running, monkeypatch):
    nes = console(NOP_LOOP[0])
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    err = Boom("on the run thread")

    def cb():
        raise err

    nes.perFrame(cb)
    nes.start()
    running(nes)
    wait_for(lambda: reports)
    assert len(reports) == 1 and reports[0].exc_value is err
    # The thread has ended: the console no longer advances.
    held = nes.cycleCount()
    time.sleep(0.1)
    assert nes.cycleCount() == held and nes.frameCount() == 1
    assert nes.stop() is None
    nes.perFrame(None)
    nes.start()
    wait_for(lambda: len(reports) == 2)
    assert isinstance(reports[1].exc_value, Exception)
    nes.stop()
    nes.perFrame(lambda: None)
    nes.start()
    wait_for(lambda: nes.frameCount() >= 4)
    nes.stop()


# Shutdown races, each in its own interpreter so that a hang fails by timeout.

def test_collected_while_running(cart, run_script):
    out = run_script(f"""
        import gc, time, kestrix
        calls = [0]
        def cb():
            calls[0] += 1
        nes = kestrix.NES({cart()!r}, CLOCK_SPEED=0)
        nes.perFrame(cb)
        nes.start()
        while calls[0] < 3:
            time.sleep(0.001)
        del nes
        gc.collect()
        seen = calls[0]
        time.sleep(0.3)
        print("after", calls[0] - seen)
    """, timeout=60)
    assert out.stdout.splitlines()[-1] == "after 0"


def test_stop_while_paused_ends_thread(cart, run_script):
    out = run_script(f"""
        import time, kestrix
        nes = kestrix.NES({cart()!r})
        nes.start()
        time.sleep(0.05)
        nes.setPaused(True)
        nes.stop()
        nes.start()
        nes.stop()
        print("stopped")
    """, timeout=60)
    assert out.stdout.splitlines()[-1] == "stopped"


def test_stop_while_run_thread_waits_for_the_lock(cart, run_script):
    # A long switch interval keeps the interpreter lock with the main thread
    # while the run thread, at a frame boundary, waits for it to call back.
    out = run_script(f"""
        import sys, time, kestrix
        sys.setswitchinterval(2.0)
        calls = [0]
        def cb():
            calls[0] += 1
        nes = kestrix.NES({cart()!r}, CLOCK_SPEED=0)
        nes.perFrame(cb)
        for _ in range(5):
            nes.start()
            t = time.perf_counter()
            while time.perf_counter() - t < 0.1:
                pass
            nes.stop()
        print("calls", calls[0] > 0)
    """, timeout=60)
    assert out.stdout.splitlines()[-1] == "calls True"


def test_stop_from_the_callback(cart, run_script):
    out = run_script(f"""
        import time, kestrix
        nes = kestrix.NES({cart()!r})
        calls = [0]
        def cb():
            calls[0] += 1
            if calls[0] == 2:
                nes.stop()
        nes.perFrame(cb)
        nes.start()
        while calls[0] < 2:
            time.sleep(0.005)
        time.sleep(0.1)
        held = nes.cycleCount()
        time.sleep(0.2)
        print("ended", nes.cycleCount() == held, calls[0])
        # Stopped means usable again, frame by frame or on a new thread.
        nes.perFrame(lambda: None)
        nes.runFrame()
        held = nes.cycleCount()
        nes.start()
        time.sleep(0.1)
        print("restarted", nes.cycleCount() > held)
        nes.stop()
    """, timeout=60)
    assert out.stdout.splitlines()[-2:] == ["ended True 2", "restarted True"]
