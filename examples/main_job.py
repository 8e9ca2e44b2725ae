"""The main job: plays a cartridge headless with a scripted sequence of button
presses and writes what it saw and heard.

Usage: main_job.py [ROM] [--frames N] [--out DIR] [--every N] [--mp4] [--no-progress]

Without ROM it plays demo/demo.nes, or the nes15 puzzle from the shared test
cartridges while the demo is not there. Into DIR (default ./out) it writes
  frames.gif      every Nth frame (default 2: 30 fps), identical neighbours merged
  frames.mp4      the same frames as H.264 video, with --mp4
  last_frame.png  the final picture, 256 x 240
  audio.wav       the mixed sound, 44,100 Hz mono 16-bit
and prints frames, emulated and wall time and the unpaced frame rate, which
times the emulation alone (not the copying and encoding of frames). The
module's loading lines go to standard error, with the progress bar
(--no-progress hides the bar)."""
from __future__ import annotations

import argparse
import os
import pathlib
import sys
import time
from collections.abc import Iterable

import kestrix
from media import (CPU_HZ, FRAME_RATE, SAMPLE_RATE, CartridgeError, InputScript, OutputError, VideoWriter,
                   check_output_folder, default_rom, human_size, need, open_console, write_png, write_wav)

# What a player might do in the first ten seconds: leave the title screen,
# then walk right and left, jump, fire. (start s, held s, buttons)
SCRIPT = [
    (2.5, 0.1, "Start"),
    (3.0, 1.0, "Right"),
    (4.2, 0.1, "A"),
    (4.5, 1.0, "Left"),
    (5.7, 0.1, "B"),
    (6.0, 0.6, "Right A"),
    (7.0, 0.1, "Down"),
    (7.3, 0.1, "A"),
    (7.6, 0.1, "Up"),
    (8.0, 1.2, "Right"),
    (9.4, 0.1, "B"),
]


def progress(n: int, enabled: bool) -> Iterable[int]:
    try:
        from tqdm import tqdm
    except ImportError:
        return range(n)
    return tqdm(range(n), total=n, unit="frame", file=sys.stderr, disable=not enabled, leave=False,
                desc="emulating")


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("rom", nargs="?", default=None, help="cartridge image (.nes)")
    ap.add_argument("--frames", type=int, default=600, help="frames to emulate (default 600, 10 s)")
    ap.add_argument("--out", default="out", help="output folder (default ./out)")
    ap.add_argument("--every", type=int, default=2, help="keep every Nth frame for the video (default 2)")
    ap.add_argument("--mp4", action="store_true", help="also write frames.mp4 (needs imageio-ffmpeg)")
    ap.add_argument("--no-progress", action="store_true", help="no progress bar")
    args = ap.parse_args(argv)
    if args.frames < 1 or args.every < 1:
        ap.error("--frames and --every must be at least 1")
    rom = pathlib.Path(args.rom) if args.rom else default_rom()
    out = pathlib.Path(args.out)
    written = ["frames.gif", "last_frame.png", "audio.wav", *(["frames.mp4"] if args.mp4 else [])]
    try:
        check_output_folder(out, written)
    except OutputError as e:
        print(e, file=sys.stderr)
        return 2
    need("imageio", "imageio")
    wall_start = time.perf_counter()
    try:
        nes = open_console(rom, log=sys.stderr)
    except CartridgeError as e:
        print(e, file=sys.stderr)
        return 2
    out.mkdir(parents=True, exist_ok=True)
    fps = FRAME_RATE / args.every

    pad = kestrix.Controller()
    nes.setController(pad, 0)
    script = InputScript.in_seconds(SCRIPT)

    videos = [VideoWriter(out / "frames.gif", fps)]
    if args.mp4:
        try:
            videos.append(VideoWriter(out / "frames.mp4", fps))
        except RuntimeError as e:
            print(f"no MP4: {e}", file=sys.stderr)
    audio: list[bytes] = []
    emulating = 0.0
    held = None
    for frame in progress(args.frames, not args.no_progress):
        buttons = script.buttons(frame)
        if buttons != held:
            pad.updateInputs(list(buttons))
            held = buttons
        t = time.perf_counter()
        nes.runFrame()
        emulating += time.perf_counter() - t
        # A block of 1,024 samples lasts longer than a frame, so polling once
        # per frame never misses one.
        block = nes.getAudio()[0]
        if block:
            audio.append(block)
        if frame % args.every == args.every - 1:
            img = nes.getImg()
            for v in videos:
                v.add(img)

    for v in videos:
        v.close()
    write_png(out / "last_frame.png", nes.getImg())
    samples = write_wav(out / "audio.wav", audio)
    wall = time.perf_counter() - wall_start

    cycles = nes.cycleCount()
    print(f"cartridge:        {rom}")
    print(f"frames:           {nes.frameCount()}")
    print(f"emulated seconds: {cycles / CPU_HZ:.3f} ({cycles} CPU cycles)")
    print(f"wall seconds:     {emulating:.3f} emulating, {wall:.3f} in all (with capture and encoding)")
    print(f"frames/second:    {args.frames / emulating:.1f} (unpaced, emulation only)")
    for v in videos:
        merged = f" ({v.stored} pictures once repeats are merged)" if v.stored and v.stored < v.count else ""
        print(f"wrote {v.path}: {v.count} frames at {float(v.fps):.1f} fps{merged}, {human_size(os.path.getsize(v.path))}")
    print(f"wrote {out / 'last_frame.png'}: 256 x 240")
    print(f"wrote {out / 'audio.wav'}: {samples} samples, {samples / SAMPLE_RATE:.2f} s at {SAMPLE_RATE} Hz")
    return 0


if __name__ == "__main__":
    sys.exit(main())
