"""Helpers shared by the examples: the default cartridge, loading it with the
module's diagnostic lines kept apart, scripted button presses, and writing
frames and audio to GIF, MP4 (with sound), PNG and WAV files."""
from __future__ import annotations

import ctypes
import os
import pathlib
import subprocess
import sys
import tempfile
import wave
from collections.abc import Iterable
from fractions import Fraction
from typing import Any, TextIO

import numpy as np

import kestrix

ROOT = pathlib.Path(__file__).resolve().parent.parent

# The project's own demo cartridge; the nes15 puzzle if a checkout lacks it.
DEMO_ROM = ROOT / "demo" / "demo.nes"
FALLBACK_ROM = ROOT.parent / "shared" / "roms" / "nes15" / "nes15-NTSC.nes"

CPU_HZ = 1789773
# Every frame is 341 x 262 dots (no frame is a dot shorter), three dots per
# CPU cycle: 60.0985 Hz, the rate at which frames and sound are made.
FRAME_RATE = Fraction(CPU_HZ * 3, 341 * 262)
FRAME_HZ = float(FRAME_RATE)
SAMPLE_RATE = 44100

# Button order of Controller.updateInputs.
BUTTONS = ("A", "B", "Select", "Start", "Up", "Down", "Left", "Right")
RELEASED: tuple[bool, ...] = (False,) * 8


def default_rom() -> pathlib.Path:
    return DEMO_ROM if DEMO_ROM.exists() else FALLBACK_ROM


def flush_c_stdio() -> None:
    """The module prints its diagnostics with C stdio, which may hold them in
    its buffer: flush it so they come before our own output."""
    try:
        ctypes.CDLL(None).fflush(None)
    except (OSError, AttributeError):
        pass


class CartridgeError(Exception):
    """A cartridge that cannot be loaded, with a one-line reason."""


def open_console(rom: pathlib.Path, log: TextIO | None) -> kestrix.NES:
    """Loads a cartridge. The lines the module prints while it does (save
    folder, header facts) go to the C library's standard output, file
    descriptor 1, where Python's own redirection cannot catch them: they are
    captured there and passed on to `log` (None drops them), so that standard
    output holds only what the example prints itself. A missing file or one
    that is no cartridge raises CartridgeError; its lines are then dropped."""
    if not rom.is_file():
        raise CartridgeError(f"cartridge not found: {rom}")
    sys.stdout.flush()
    with tempfile.TemporaryFile() as captured:
        saved = os.dup(1)
        os.dup2(captured.fileno(), 1)
        try:
            nes = kestrix.NES(str(rom))
        except ValueError as e:
            raise CartridgeError(f"not a cartridge: {rom}: {e}") from None
        except OSError as e:
            raise CartridgeError(f"cannot read cartridge: {rom}: {e.strerror or e}") from None
        except RuntimeError as e:  # e.g. its save folder cannot be made
            raise CartridgeError(f"cannot load cartridge: {rom}: {e}") from None
        finally:
            flush_c_stdio()  # before fd 1 is given back, or the lines would follow it there
            os.dup2(saved, 1)
            os.close(saved)
        captured.seek(0)
        lines = captured.read().decode(errors="replace")
    if log is not None and lines:
        log.write(lines)
        log.flush()
    return nes


class OutputError(Exception):
    """An output file or folder that cannot be written, with a one-line reason."""


def check_output_file(path: pathlib.Path) -> None:
    """Raises OutputError unless a file can be written at `path`, so that a bad
    path ends a run before its emulation rather than after it. Writing is
    tried, as permission bits do not tell (they let root write into /proc,
    which refuses new files): an existing file is opened for appending and left
    as it was, a missing one is created and removed again."""
    if path.is_dir():
        raise OutputError(f"cannot write output: {path}: is a folder")
    try:
        if path.exists():
            open(path, "ab").close()
        else:
            open(path, "xb").close()
            path.unlink()
    except OSError as e:
        raise OutputError(f"cannot write output: {path}: {e.strerror or e}") from None


def check_output_folder(folder: pathlib.Path, names: Iterable[str]) -> None:
    """Raises OutputError unless the files `names` can be written into
    `folder`. A missing folder is not made yet (a run that fails later leaves
    nothing behind): a temporary folder is made and removed in the nearest
    existing folder above it instead."""
    if folder.exists():
        if not folder.is_dir():
            raise OutputError(f"cannot make output folder: {folder}: a file of that name exists")
        for name in names:
            check_output_file(folder / name)
        return
    above = next((p for p in folder.parents if p.exists()), folder.parent)
    if not above.is_dir():
        raise OutputError(f"cannot make output folder: {folder}: {above} is not a folder")
    try:
        os.rmdir(tempfile.mkdtemp(dir=above))
    except OSError as e:
        raise OutputError(f"cannot make output folder: {folder}: {e.strerror or e}") from None


def buttons_from_names(names: str) -> tuple[bool, ...]:
    """'Start', 'Right+A', 'up a' -> the eight flags of updateInputs."""
    wanted = {n.lower() for n in names.replace("+", " ").replace(",", " ").split()}
    known = {b.lower() for b in BUTTONS}
    unknown = wanted - known
    if unknown:
        raise ValueError(f"unknown button(s) {', '.join(sorted(unknown))}; use {', '.join(BUTTONS)}")
    return tuple(b.lower() in wanted for b in BUTTONS)


class InputScript:
    """Buttons as a function of the frame number: a list of presses, each held
    from its first frame up to (not including) its last."""

    TAP_FRAMES = 6  # long enough for a game that polls the pad every other frame

    def __init__(self, presses: Iterable[tuple[int, int, tuple[bool, ...]]] = ()) -> None:
        self.presses = list(presses)
        for first, end, flags in self.presses:
            if first < 0 or end <= first or len(flags) != 8:
                raise ValueError(f"bad press {first}-{end}")

    @classmethod
    def parse(cls, items: Iterable[str]) -> InputScript:
        """Items 'FRAME=BUTTONS' (a short tap) or 'FIRST-END=BUTTONS' (held)."""
        presses = []
        for item in items:
            when, sep, names = item.partition("=")
            if not sep:
                raise ValueError(f"press {item!r}: expected FRAME=BUTTONS or FIRST-END=BUTTONS")
            try:
                if "-" in when:
                    first, end = (int(x) for x in when.split("-", 1))
                else:
                    first = int(when)
                    end = first + cls.TAP_FRAMES
            except ValueError:
                raise ValueError(f"press {item!r}: frame numbers must be integers") from None
            presses.append((first, end, buttons_from_names(names)))
        return cls(presses)

    @classmethod
    def in_seconds(cls, presses: Iterable[tuple[float, float, str]]) -> InputScript:
        """Presses as (start s, held s, buttons), converted at the console's frame rate."""
        out = []
        for start, held, names in presses:
            first = round(start * FRAME_HZ)
            out.append((first, first + max(1, round(held * FRAME_HZ)), buttons_from_names(names)))
        return cls(out)

    def buttons(self, frame: int) -> tuple[bool, ...]:
        flags = RELEASED
        for first, end, press in self.presses:
            if first <= frame < end:
                flags = tuple(a or b for a, b in zip(flags, press))
        return flags


def write_wav(path: pathlib.Path | str, blocks: Iterable[bytes]) -> int:
    """Writes getAudio blocks (signed 16-bit little endian, as WAV stores them)
    as a mono 44,100 Hz file; returns the number of samples."""
    data = b"".join(blocks)
    with wave.open(str(path), "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(SAMPLE_RATE)
        w.writeframes(data)
    return len(data) // 2


def write_png(path: pathlib.Path | str, image: np.ndarray) -> None:
    import imageio.v3 as iio
    iio.imwrite(path, np.ascontiguousarray(image))


def gif_durations_ms(count: int, fps: float) -> list[int]:
    """Frame delays for a GIF, which counts in hundredths of a second: each
    frame ends at the centisecond nearest its true end, so 30 fps becomes
    30, 30, 40, ... ms rather than a uniform 30 ms (33 fps)."""
    ends = [round((i + 1) * 100 / fps) for i in range(count)]
    return [10 * (b - a) for a, b in zip([0] + ends, ends)]


class VideoWriter:
    """Collects RGB frames into an animated GIF (Pillow, through imageio) or an
    H.264 MP4 (the ffmpeg of the imageio-ffmpeg package, streamed while
    recording), chosen by the file extension. `fps` may be a Fraction: an MP4
    keeps it exactly, so that its picture stays in step with the sound."""

    def __init__(self, path: pathlib.Path | str, fps: float | Fraction) -> None:
        self.path = pathlib.Path(path)
        self.fps = fps
        self.count = 0
        self.stored = 0  # GIF pictures after identical neighbours were merged
        self.kind = self.path.suffix.lower().lstrip(".")
        self._frames: list[np.ndarray] = []
        self._writer: Any = None
        if self.kind == "mp4":
            try:
                import imageio_ffmpeg
            except ImportError:
                raise RuntimeError("MP4 needs the imageio-ffmpeg package (pip install imageio-ffmpeg)") from None
            # 256 x 240 is a multiple of ffmpeg's 16-pixel blocks: no rescaling.
            self._writer = imageio_ffmpeg.write_frames(str(self.path), (256, 240), fps=Fraction(fps),
                                                       codec="libx264", quality=8, macro_block_size=16,
                                                       ffmpeg_log_level="error")
            self._writer.send(None)
        elif self.kind != "gif":
            raise ValueError(f"{self.path}: the video must be .gif or .mp4")

    def add(self, frame: np.ndarray) -> None:
        if self._writer is not None:
            self._writer.send(np.ascontiguousarray(frame))
        else:
            self._frames.append(np.array(frame, copy=True))
        self.count += 1

    def close(self) -> None:
        if self._writer is not None:
            self._writer.close()
            self._writer = None
        elif self._frames:
            import imageio.v3 as iio
            # Identical consecutive frames are merged by Pillow, their delays added.
            iio.imwrite(self.path, np.stack(self._frames), plugin="pillow", loop=0,
                        duration=gif_durations_ms(len(self._frames), float(self.fps)))
            self._frames = []
            from PIL import Image
            with Image.open(self.path) as im:
                self.stored = getattr(im, "n_frames", 1)  # single-picture GIFs lack it

    def __enter__(self) -> VideoWriter:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def mux_audio(video: pathlib.Path, wav: pathlib.Path) -> None:
    """Adds the WAV's sound to an MP4 as an AAC track, the picture copied as it
    is. Both start at the console's power-on, so they are in step."""
    import imageio_ffmpeg
    muxed = video.with_name(video.stem + ".muxing" + video.suffix)
    cmd = [imageio_ffmpeg.get_ffmpeg_exe(), "-y", "-v", "error", "-i", str(video), "-i", str(wav),
           "-map", "0:v:0", "-map", "1:a:0", "-c:v", "copy", "-c:a", "aac", "-b:a", "128k", str(muxed)]
    proc = subprocess.run(cmd, capture_output=True, text=True)
    if proc.returncode != 0:
        muxed.unlink(missing_ok=True)
        raise RuntimeError(f"ffmpeg could not add the sound to {video}: {proc.stderr.strip()}")
    os.replace(muxed, video)


def need(module: str, package: str) -> None:
    """Exits with a clear message when an optional package is missing."""
    import importlib
    try:
        importlib.import_module(module)
    except ImportError:
        sys.exit(f"this example needs the {package} package: pip install {package} "
                 f"(or pip install -r requirements-dev.txt)")


def human_size(n: int) -> str:
    if n < 1024:
        return f"{n} B"
    if n < 1024 * 1024:
        return f"{n / 1024:.1f} KiB"
    return f"{n / (1024 * 1024):.1f} MiB"
