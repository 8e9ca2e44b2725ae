"""The environments' engine (kestrix_gym._engine): exact snapshots, refused
snapshots, resets from the start snapshot, no output and no files, copies."""
import copy
import os
import pickle
import struct
import threading
import zlib

import numpy as np
import pytest

gym = pytest.importorskip("gymnasium")
import kestrix  # noqa: E402
from gymnasium.utils import seeding  # noqa: E402
from kestrix_gym import NESEnv  # noqa: E402
from kestrix_gym._engine import Console  # noqa: E402
from kestrix_gym.balloonpop import START, make_env, rom_bytes  # noqa: E402
from kestrix_gym.buttons import buttons_at, parse_presses  # noqa: E402

from test_gym import COUNTER, SQUARE_CHR  # noqa: E402
from nesbuild import program  # noqa: E402

HEADER = 28  # magic, version, cartridge hash, length
CYCLES_AT = HEADER + 16 + 5 + 2 + 1 + 3 + 8  # the CPU's cycle count: after the pads and the registers


def record(console: Console, buttons: np.ndarray) -> list[tuple]:
    """Every frame's picture, memories, audio block and counters."""
    frames = []
    for b in buttons:
        console.set_buttons(0, int(b))
        console.run_frame()
        frames.append((console.picture().tobytes(), console.cpu_memory().tobytes(),
                       console.video_memory().tobytes(), console.oam().tobytes(), console.audio(),
                       console.frame_count, console.cycle_count))
    return frames


@pytest.mark.parametrize("cart, warm_up", [("demo", 200), ("games/BladeBuster.nes", 400)])
def test_restore_then_replay_is_identical(rom_path, cart, warm_up):
    rom = rom_bytes() if cart == "demo" else rom_path(cart).read_bytes()
    console = Console(rom)
    for frame in range(warm_up):  # BladeBuster: Start on the title screens, then play
        console.set_buttons(0, 8 if frame in (180, 300) else int(frame % 7 == 0))
        console.run_frame()
    buttons = np.random.default_rng(5).integers(0, 256, 300) & ~0x0C  # no Start, no Select
    snap = console.snapshot()
    first = record(console, buttons)
    console.restore(snap)
    assert record(console, buttons) == first
    assert len({f[0] for f in first}) > 10 and any(f[4] for f in first)  # the pictures moved, sound came


def damaged(snap: bytes, other: bytes) -> dict[str, bytes]:
    flipped = bytearray(snap)
    flipped[len(snap) // 2] ^= 0x10
    crafted = bytearray(snap)  # a checksum that matches a cycle count no console can have
    crafted[CYCLES_AT:CYCLES_AT + 8] = struct.pack("<q", -1)
    crafted[-4:] = struct.pack("<I", zlib.crc32(crafted[:-4]))
    return {"another cartridge": other, "truncated": snap[:-100], "one byte changed": bytes(flipped),
            "magic": b"X" + snap[1:], "out-of-range field": bytes(crafted)}


def test_refused_snapshots_leave_the_console_unchanged():
    console = Console(rom_bytes())
    console.run_frame(30)
    snap = console.snapshot()
    assert struct.unpack("<I", snap[-4:])[0] == zlib.crc32(snap[:-4])
    other = Console(program(COUNTER, chr_rom=SQUARE_CHR))
    other.run_frame(30)
    console.run_frame(5)
    before = console.snapshot()
    for name, data in damaged(snap, other.snapshot()).items():
        with pytest.raises(ValueError, match="^restore: "):
            console.restore(data)
        assert console.snapshot() == before, name


def test_reset_is_power_on_start_script_and_idle_frames(tmp_path):
    """The env's reset (a snapshot restored after other episodes) against a
    scripting console powered on and run through the same frames."""
    env = make_env(obs_type="ram")
    env.reset(seed=1)
    for a in range(40):
        env.step(a % env.action_space.n)
    obs, _ = env.reset(seed=3)
    actions = [1, 2, 3, 1, 0, 2] * 5
    got = [obs] + [env.step(a)[0] for a in actions]

    (tmp_path / "balloonpop.nes").write_bytes(rom_bytes())
    nes, pad = kestrix.NES(str(tmp_path / "balloonpop.nes")), kestrix.Controller()
    nes.setController(pad, 0)
    presses = parse_presses(START)
    for frame in range(max(end for _, end, _ in presses)):
        pad.updateInputs(list(buttons_at(presses, frame)))
        nes.runFrame()
    pad.updateInputs([False] * 8)
    idle = 1 + int(seeding.np_random(3)[0].integers(0, env.unwrapped.noop_max + 1))
    for _ in range(idle):
        nes.runFrame()
    want = [nes.cpuMem()[:0x800].copy()]
    table = env.unwrapped._table
    for a in actions:
        pad.updateInputs(list(table[a]))
        for _ in range(env.unwrapped.frame_skip):
            nes.runFrame()
        want.append(nes.cpuMem()[:0x800].copy())
    assert np.array_equal(np.stack(got), np.stack(want))


@pytest.mark.parametrize("home", ["missing", "read-only"])
def test_envs_print_nothing_touch_no_home_and_lose_no_line(tmp_path, monkeypatch, capfd, home):
    folder = tmp_path / "elsewhere"
    if home == "read-only":
        folder.mkdir()
        folder.chmod(0o500)
    monkeypatch.setenv("HOME", str(folder))
    done = threading.Event()
    printed = []

    def talk():
        while not done.is_set() or len(printed) < 300:
            printed.append(len(printed))
            os.write(1, f"line {printed[-1]}\n".encode())

    thread = threading.Thread(target=talk)
    thread.start()
    for seed in range(3):
        env = make_env()
        env.reset(seed=seed)
        env.step(1)
        env.close()
    done.set()
    thread.join()
    out = capfd.readouterr().out.splitlines()
    assert out == [f"line {k}" for k in range(len(printed))]
    assert os.listdir(folder) == [] if home == "read-only" else not folder.exists()


@pytest.mark.parametrize("how", ["deepcopy", "pickle"])
def test_copies_go_on_exactly_as_the_original(how):
    env = make_env(obs_type="ram")
    env.reset(seed=2)
    for a in range(10):
        env.step(a % 3)
    twin = copy.deepcopy(env) if how == "deepcopy" else pickle.loads(pickle.dumps(env))
    actions = [2, 1, 0, 3] * 10
    runs = [[e.step(a)[0] for a in actions] for e in (env, twin)]
    assert np.array_equal(runs[0], runs[1])
    assert np.array_equal(env.reset(seed=4)[0], twin.reset(seed=4)[0])


def test_env_snapshot_round_trip_and_views():
    env = NESEnv(rom_bytes(), obs_type="ram")
    env.reset(seed=0)
    snap = env.snapshot()
    after = [env.step(1)[0] for _ in range(20)]
    env.restore(snap)
    assert np.array_equal([env.step(1)[0] for _ in range(20)], after)
    env.cpu_memory[0x300] = 0x5A  # the views are the console's own memory
    assert env.ram()[0x300] == 0x5A
    with pytest.raises(ValueError, match="another cartridge"):
        env.restore(Console(program(COUNTER, chr_rom=SQUARE_CHR)).snapshot())


def test_quiet_is_per_console(tmp_path, capfd):
    """An engine console built beside a scripting one leaves its lines alone."""
    path = tmp_path / "demo.nes"
    path.write_bytes(rom_bytes())
    Console(rom_bytes()).run_frame()
    kestrix.NES(str(path))
    Console(rom_bytes())
    out = capfd.readouterr().out.splitlines()
    assert [line.startswith("LINUX") for line in out] == [True, False, False, False, False]
    assert out[2:] == ["No Battery", "iNES", "1"]
