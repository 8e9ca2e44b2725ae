"""Smoke tests of the main job and the examples, run as a user runs them,
on a cartridge whose picture and sound are known."""
import os
import pathlib
import shutil
import subprocess
import sys
import wave
from fractions import Fraction

import numpy as np
import pytest

import kestrix
from nesbuild import program

ROOT = pathlib.Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"
MODULE_DIR = str(pathlib.Path(kestrix.__file__).resolve().parent)

# Rendering off, so the whole picture is the backdrop colour, which the NMI
# handler sets every frame: $21 + (frame & 7) while no button is held, $11 +
# (frame & 7) while any is. Kept every second frame, neighbours always differ,
# so no GIF frame is merged. Pulse 1 plays a constant 440 Hz tone, and the
# program marks its battery RAM with $5A $A5 $C3.
SHOW = """
reset:  SEI
        CLD
        LDX #$FF
        TXS
        LDA #$5A
        STA $6000
        LDA #$A5
        STA $6001
        LDA #$C3
        STA $6002
        LDA #$01
        STA $4015
        LDA #$BF
        STA $4000
        LDA #$FD
        STA $4002
        LDA #$00
        STA $4003
        STA $2001
        LDA #$80
        STA $2000
idle:   JMP idle
nmi:    PHA
        LDA #$01
        STA $4016
        LDA #$00
        STA $4016
        STA $01
        LDX #8
read:   LDA $4016
        AND #$01
        ORA $01
        STA $01
        DEX
        BNE read
        INC $00
        LDA $00
        AND #$07
        CLC
        ADC #$21
        LDX $01
        BEQ paint
        SEC
        SBC #$10
paint:  LDX #$3F
        STX $2006
        LDX #$00
        STX $2006
        STA $2007
        STX $2006
        STX $2006
        PLA
        RTI
"""
TONE_HZ = 1789773 / (16 * (0xFD + 1))
FRAME_HZ = 1789773 / (341 * 262 / 3)
FRAME_SAMPLES = 44100 / FRAME_HZ


@pytest.fixture
def show_rom(tmp_path):
    path = tmp_path / "show.nes"
    path.write_bytes(program(SHOW, battery=True))
    return path


@pytest.fixture
def palette():
    return kestrix.NES().colorLookup().astype(int)


def run_example(script: str, *args, cwd, timeout: float = 300, env: dict | None = None):
    """Runs examples/<script> with this process's module and HOME; fails on a non-zero exit."""
    e = dict(os.environ)
    e["PYTHONPATH"] = os.pathsep.join([MODULE_DIR] + ([e["PYTHONPATH"]] if e.get("PYTHONPATH") else []))
    e.update(env or {})
    proc = subprocess.run([sys.executable, str(EXAMPLES / script), *map(str, args)], cwd=cwd, env=e,
                          capture_output=True, text=True, timeout=timeout)
    assert proc.returncode == 0, f"{script} failed ({proc.returncode}):\n{proc.stdout}\n{proc.stderr}"
    return proc


def gif_frames(path):
    """The GIF's frames as RGB arrays, and their delays in ms."""
    from PIL import Image
    frames, delays = [], []
    with Image.open(path) as im:
        for i in range(im.n_frames):
            im.seek(i)
            frames.append(np.asarray(im.convert("RGB")))
            delays.append(im.info["duration"])
    return frames, delays


def mp4_frames(path):
    import imageio.v3 as iio
    return [f.shape for f in iio.imiter(path, plugin="FFMPEG")]


def stream_seconds(path) -> dict[str, float]:
    """The decoded length of each stream of a media file, by media type."""
    import imageio_ffmpeg
    listing = subprocess.run([imageio_ffmpeg.get_ffmpeg_exe(), "-v", "error", "-i", str(path), "-f", "framecrc", "-"],
                             capture_output=True, text=True, check=True, timeout=120).stdout
    time_base, kind, ticks = {}, {}, {}
    for line in listing.splitlines():
        key, _, value = line.partition(": ")
        if key.startswith("#tb "):
            time_base[key[4:]] = Fraction(value)
        elif key.startswith("#media_type "):
            kind[key[12:]] = value
        elif not line.startswith("#"):
            stream, _dts, _pts, duration, *_ = (field.strip() for field in line.split(","))
            ticks[stream] = ticks.get(stream, 0) + int(duration)
    return {kind[s]: float(n * time_base[s]) for s, n in ticks.items()}


def colour_index(img, palette) -> int:
    """The palette entry that fills the whole picture."""
    assert img.shape == (240, 256, 3)
    assert (img == img[0, 0]).all(), "the picture is not one colour"
    matches = [i for i in [*range(0x11, 0x19), *range(0x21, 0x29)] if (palette[i] == img[0, 0]).all()]
    assert matches, f"colour {img[0, 0]} is not a palette entry"
    return matches[0]


def read_wav(path):
    with wave.open(str(path), "rb") as w:
        params = w.getparams()
        samples = np.frombuffer(w.readframes(w.getnframes()), "<i2")
    return params, samples


def dominant_hz(samples) -> float:
    spectrum = np.abs(np.fft.rfft(samples - samples.mean()))
    return float(np.argmax(spectrum)) * 44100 / len(samples)


def test_main_job_writes_gif_png_wav_and_summary(tmp_path, show_rom, palette):
    pytest.importorskip("imageio")
    out = tmp_path / "result"
    proc = run_example("main_job.py", show_rom, "--frames", 60, "--out", out, "--no-progress", cwd=tmp_path)
    summary = dict(line.split(":", 1) for line in proc.stdout.splitlines() if line.startswith(("frames", "emulated")))
    assert summary["frames"].strip() == "60"
    assert summary["emulated seconds"].split()[0] == f"{60 * (341 * 262 / 3) / 1789773:.3f}"
    assert float(summary["frames/second"].split()[0]) > 0

    frames, delays = gif_frames(out / "frames.gif")
    assert len(frames) == 30  # every second frame, none merged
    assert sum(delays) == pytest.approx(1000 * 60 / (1789773 / (341 * 262 / 3)), abs=10)
    colours = [colour_index(f, palette) for f in frames]
    assert all(0x21 <= c <= 0x28 for c in colours)
    assert all(a != b for a, b in zip(colours, colours[1:]))

    from PIL import Image
    with Image.open(out / "last_frame.png") as png:
        assert png.size == (256, 240)
        last = np.asarray(png.convert("RGB"))
    assert (last == frames[-1]).all(), "the GIF does not end with the last frame"

    params, samples = read_wav(out / "audio.wav")
    assert (params.nchannels, params.sampwidth, params.framerate) == (1, 2, 44100)
    assert len(samples) % 1024 == 0
    assert abs(len(samples) - 60 * FRAME_SAMPLES) <= 512, "audio blocks were lost or repeated"
    assert dominant_hz(samples) == pytest.approx(TONE_HZ, abs=3)


def test_main_job_default_cartridge_and_mp4(tmp_path):
    pytest.importorskip("imageio")
    pytest.importorskip("imageio_ffmpeg")
    sys.path.insert(0, str(EXAMPLES))
    try:
        import media
        rom = media.default_rom()
    finally:
        sys.path.remove(str(EXAMPLES))
    if not rom.is_file():
        pytest.skip(f"default cartridge {rom} not available")
    proc = run_example("main_job.py", "--frames", 40, "--mp4", cwd=tmp_path)
    assert str(rom) in proc.stdout
    out = tmp_path / "out"
    _, delays = gif_frames(out / "frames.gif")
    assert sum(delays) == pytest.approx(1000 * 40 / (1789773 / (341 * 262 / 3)), abs=10)
    assert mp4_frames(out / "frames.mp4") == [(240, 256, 3)] * 20


@pytest.mark.parametrize("script", ["main_job.py", "record.py", "agent.py", "play.py"])
@pytest.mark.parametrize("name, message", [("none.nes", "cartridge not found"), ("notes.txt", "not a cartridge")])
def test_unusable_cartridge_is_one_line(tmp_path, script, name, message):
    (tmp_path / "notes.txt").write_text("not a cartridge\n")
    e = dict(os.environ, PYTHONPATH=MODULE_DIR, SDL_VIDEODRIVER="dummy", SDL_AUDIODRIVER="dummy")
    proc = subprocess.run([sys.executable, str(EXAMPLES / script), str(tmp_path / name)], cwd=tmp_path,
                          env=e, capture_output=True, text=True, timeout=120)
    assert proc.returncode == 2
    assert proc.stdout == ""
    lines = proc.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith(f"{message}: {tmp_path / name}"), proc.stderr


# /proc refuses new entries although its permission bits let root write there.
@pytest.mark.parametrize("script, option, target, message", [
    ("main_job.py", "--out", "/proc/kestrix-out", "cannot make output folder: /proc/kestrix-out: "),
    ("main_job.py", "--out", "notes.txt/out", "cannot make output folder: notes.txt/out: notes.txt is not a folder"),
    ("record.py", "--video", "missing/clip.gif", "cannot write output: missing/clip.gif: "),
    ("record.py", "--wav", "folder", "cannot write output: folder: is a folder"),
], ids=["main-job-in-proc", "main-job-under-a-file", "record-missing-folder", "record-wav-is-a-folder"])
def test_unwritable_output_is_one_line_before_emulating(tmp_path, show_rom, script, option, target, message):
    if target.startswith("/proc/") and not os.path.isdir("/proc/self"):
        pytest.skip("no /proc on this system")
    (tmp_path / "notes.txt").write_text("a file, not a folder\n")
    (tmp_path / "folder").mkdir()
    before = sorted(tmp_path.rglob("*"))
    e = dict(os.environ, PYTHONPATH=MODULE_DIR)
    proc = subprocess.run([sys.executable, str(EXAMPLES / script), str(show_rom), "--frames", "30", option, target],
                          cwd=tmp_path, env=e, capture_output=True, text=True, timeout=120)
    assert proc.returncode == 2
    assert proc.stdout == ""
    lines = proc.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith(message), proc.stderr
    assert sorted(tmp_path.rglob("*")) == before, "the failed run left files behind"


# Frame counts whose audio is far from a half block, so one lost block shows.
@pytest.mark.parametrize("video, every, frames", [("clip.gif", 2, 40), ("clip.mp4", 1, 36)])
def test_record_video_wav_and_presses(tmp_path, show_rom, palette, video, every, frames):
    pytest.importorskip("imageio")
    if video.endswith(".mp4"):
        pytest.importorskip("imageio_ffmpeg")
    run_example("record.py", show_rom, "--frames", frames, "--video", video, "--wav", "clip.wav",
                "--press", "10-20=A", cwd=tmp_path)
    params, samples = read_wav(tmp_path / "clip.wav")
    assert (params.nchannels, params.sampwidth, params.framerate) == (1, 2, 44100)
    assert abs(len(samples) - frames * FRAME_SAMPLES) <= 512
    if video.endswith(".gif"):
        shown, _ = gif_frames(tmp_path / video)
        assert len(shown) == frames // every
        held = [i for i, f in enumerate(shown) if colour_index(f, palette) < 0x20]
        # A is read during frames 10-19, whose colours show in frames 11-20;
        # kept are frames 1, 3, 5, ..., so pictures 5 to 9.
        assert held == [5, 6, 7, 8, 9]
    else:
        assert mp4_frames(tmp_path / video) == [(240, 256, 3)] * frames
        seconds = stream_seconds(tmp_path / video)
        assert seconds["video"] == pytest.approx(frames / FRAME_HZ, abs=0.0005)  # at 60 fps it would be 1 ms longer
        assert seconds["audio"] == pytest.approx(seconds["video"], abs=0.05)


@pytest.mark.parametrize("press, message", [
    ("10=Jump", "unknown button(s) jump"), ("ten=A", "frame numbers must be integers"),
    ("10", "expected FRAME=BUTTONS"), ("20-10=A", "bad press 20-10"),
])
def test_record_rejects_bad_press(tmp_path, show_rom, press, message):
    e = dict(os.environ, PYTHONPATH=MODULE_DIR)
    proc = subprocess.run([sys.executable, str(EXAMPLES / "record.py"), str(show_rom), "--frames", "5",
                           "--press", press], cwd=tmp_path, env=e, capture_output=True, text=True, timeout=120)
    assert proc.returncode == 2
    assert message in proc.stderr


def test_play_headless_keeps_battery_ram(tmp_path, show_rom, _private_home):
    pytest.importorskip("pygame")
    proc = run_example("play.py", show_rom, "--frames", 20, "--scale", 1, cwd=tmp_path,
                       env={"SDL_VIDEODRIVER": "dummy", "SDL_AUDIODRIVER": "dummy"})
    assert "played 20 frames" in proc.stderr
    ram = (_private_home / ".config" / "Morvanet" / "show" / "ram").read_bytes()
    assert len(ram) == 8192 and ram[:3] == b"\x5a\xa5\xc3"


def test_play_records_a_replayable_episode(tmp_path, show_rom):
    pytest.importorskip("pygame")
    kestrix_gym = pytest.importorskip("kestrix_gym")
    proc = run_example("play.py", show_rom, "--frames", 20, "--scale", 1, "--record", tmp_path / "rec", cwd=tmp_path,
                       env={"SDL_VIDEODRIVER": "dummy", "SDL_AUDIODRIVER": "dummy"})
    path = tmp_path / "rec" / "episode-00001.kxep"
    assert f"recorded 20 steps to {path}" in proc.stderr
    env = kestrix_gym.NESEnv(show_rom, actions="multi-binary", frame_skip=1, noop_max=0)
    assert len(kestrix_gym.replay(path, env)) == 21


def test_agent_consoles_keep_states_apart(tmp_path, show_rom, _private_home):
    proc = run_example("agent.py", show_rom, "--consoles", 3, "--steps", 12, "--episode", 5, "--skip", 2,
                       cwd=tmp_path)
    lines = dict(line.split(":", 1) for line in proc.stdout.splitlines() if ":" in line)
    assert lines["consoles"].split()[0] == "3"
    assert "slot files in 3 private save folders" in lines["consoles"]
    assert "6 episodes ended" in lines["steps"]  # two resets of three consoles
    # Each console: 12 steps of 2 frames, and one frame after each of its 3 loads.
    assert lines["frames"].split()[0] == str(3 * (12 * 2 + 3))
    # The cartridge's own folder never received a slot file.
    assert not (_private_home / ".config" / "Morvanet" / "show" / "0").exists()


def test_benchmark_defaults_to_frozen_demo_without_test_cartridges(tmp_path):
    bench = tmp_path / "clone" / "benchmarks"  # no shared/roms beside this clone
    (bench / "roms").mkdir(parents=True)
    shutil.copy(ROOT / "benchmarks" / "bench_frames.py", bench)
    shutil.copy(ROOT / "benchmarks" / "roms" / "demo-sprites.nes", bench / "roms")
    e = {k: v for k, v in os.environ.items() if k != "KESTRIX_ROMS"} | {"PYTHONPATH": MODULE_DIR}
    proc = subprocess.run([sys.executable, str(bench / "bench_frames.py"), "--frames", "5", "--repeat", "1"],
                          cwd=tmp_path, env=e, capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert "using benchmarks/roms/demo-sprites.nes" in proc.stdout
    assert proc.stdout.splitlines()[-1].endswith("frames/s on demo-sprites.nes")


# ---------------------------------------------------------------- in-process parts of play.py and media.py

@pytest.fixture
def examples_path():
    sys.path.insert(0, str(EXAMPLES))
    yield
    sys.path.remove(str(EXAMPLES))


@pytest.fixture
def play(examples_path, monkeypatch):
    monkeypatch.setenv("SDL_VIDEODRIVER", "dummy")
    monkeypatch.setenv("SDL_AUDIODRIVER", "dummy")
    pytest.importorskip("pygame")
    import play as module
    module.pygame.display.init()
    yield module
    module.pygame.quit()


class Pressed:
    """Stands in for pygame.key.get_pressed(): the given keys are down."""

    def __init__(self, *keys):
        self.keys = set(keys)

    def __getitem__(self, key):
        return key in self.keys


@pytest.mark.parametrize("keys, button", [
    (("K_x",), "A"), (("K_z",), "B"), (("K_RSHIFT",), "Select"), (("K_RETURN",), "Start"),
    (("K_KP_ENTER",), "Start"), (("K_UP",), "Up"), (("K_DOWN",), "Down"), (("K_LEFT",), "Left"),
    (("K_RIGHT",), "Right"), (("K_LSHIFT", "K_a", "K_SPACE"), None),
])
def test_play_keys_map_to_buttons(play, show_rom, keys, button):
    player = play.Player(kestrix.NES(str(show_rom)), play.pygame.display.set_mode((256, 240)))
    flags = player.buttons(Pressed(*(getattr(play.pygame, k) for k in keys)))
    names = ("A", "B", "Select", "Start", "Up", "Down", "Left", "Right")
    assert [n for n, f in zip(names, flags) if f] == ([button] if button else [])


def test_play_save_load_quit_keys(play, show_rom, tmp_path):
    pg = play.pygame
    nes = kestrix.NES(str(show_rom))
    player = play.Player(nes, pg.display.set_mode((256, 240)))
    key = lambda k: pg.event.Event(pg.KEYDOWN, key=k)  # noqa: E731
    assert player.handle(key(pg.K_F9)) == "slot 0 is empty"
    player.step(Pressed())
    mem = nes.cpuMem()
    saved = int(mem[0])
    assert player.handle(key(pg.K_F5)) == "state saved to slot 0"
    assert (pathlib.Path(nes.getSaveDir()) / "0").is_file()
    for _ in range(3):
        player.step(Pressed())
    assert mem[0] != saved
    assert player.handle(key(pg.K_F9)) == "state loaded from slot 0"
    assert mem[0] == saved
    assert player.running
    player.handle(key(pg.K_ESCAPE))
    assert not player.running
    player.quit()  # no run thread: stop() writes the RAM and its RuntimeError is absorbed
    assert (pathlib.Path(os.environ["HOME"]) / ".config" / "Morvanet" / "show" / "ram").read_bytes()[:3] == b"\x5a\xa5\xc3"


def test_play_draws_the_picture_scaled(play, show_rom, palette):
    pg = play.pygame
    screen = pg.display.set_mode((512, 480))
    player = play.Player(kestrix.NES(str(show_rom)), screen)
    for _ in range(3):
        player.step(Pressed())
    shown = pg.surfarray.array3d(screen).transpose(1, 0, 2)
    assert shown.shape == (480, 512, 3)
    expected = player.nes.getImg()[0, 0]
    assert (shown == expected).all()
    assert (palette[0x21:0x29] == expected).all(axis=1).any()


class FakeStream:
    def __init__(self, *, callback, **kw):
        self.callback, self.kw, self.started = callback, kw, False

    def start(self):
        self.started = True

    def stop(self):
        pass

    def close(self):
        pass


def test_sound_queue_order_padding_and_cap(play, monkeypatch):
    import types
    fake = types.ModuleType("sounddevice")
    fake.RawOutputStream = FakeStream
    monkeypatch.setitem(sys.modules, "sounddevice", fake)
    sound = play.Sound()
    assert sound.active and sound._stream.started
    assert sound._stream.kw["samplerate"] == 44100 and sound._stream.kw["dtype"] == "int16"
    fill = sound._stream.callback

    sound.push(bytes(range(1, 11)))
    sound.push(b"")  # an empty getAudio result adds nothing
    out = bytearray(b"\xff" * 6)
    fill(out, 3, None, None)
    assert bytes(out) == bytes([1, 2, 3, 4, 5, 6])
    out = bytearray(b"\xff" * 8)
    fill(out, 4, None, None)
    assert bytes(out) == bytes([7, 8, 9, 10, 0, 0, 0, 0])  # ran dry: silence

    # More than the cap queued: the oldest sound goes, the newest stays.
    blocks = [bytes([i]) * 2048 for i in range(1, 20)]
    for b in blocks:
        sound.push(b)
    out = bytearray(play.Sound.MAX_QUEUED + 2)
    fill(out, len(out) // 2, None, None)
    tail = b"".join(blocks)[-play.Sound.MAX_QUEUED:]
    assert bytes(out[:play.Sound.MAX_QUEUED]) == tail and out[-2:] == b"\0\0"


def test_sound_without_portaudio_degrades(play, monkeypatch):
    monkeypatch.setitem(sys.modules, "sounddevice", None)  # import raises ImportError
    sound = play.Sound()
    assert not sound.active and "sounddevice" in sound.problem
    sound.push(b"\1\2")  # ignored, no error
    sound.close()


@pytest.mark.parametrize("items, frame, pressed", [
    (["10=Start"], 9, []), (["10=Start"], 10, ["Start"]), (["10=Start"], 15, ["Start"]), (["10=Start"], 16, []),
    (["5-8=Right+A"], 7, ["A", "Right"]), (["5-8=right a"], 8, []),
    (["0-100=Left", "50=B"], 52, ["B", "Left"]),
])
def test_input_script(examples_path, items, frame, pressed):
    import media
    flags = media.InputScript.parse(items).buttons(frame)
    assert [n for n, f in zip(media.BUTTONS, flags) if f] == pressed

