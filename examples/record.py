"""Records a cartridge's picture and sound: N frames to a video and a WAV.

Usage: record.py [ROM] [--frames N] [--video PATH] [--wav PATH] [--every K]
                 [--press FRAME=BUTTONS | --press FIRST-END=BUTTONS ...]

The video is an animated GIF or an H.264 MP4 with the sound as AAC (needs
imageio-ffmpeg), chosen by the extension of --video (default record.gif), at
the console's frame rate of 60.0985 Hz; --every K keeps every Kth frame
(default 2 for GIF, 1 for MP4). The WAV (default record.wav) is 44,100 Hz mono
16-bit. The module's loading lines go to standard error. Presses hold buttons: "150=Start" taps Start at frame 150 for six
frames, "200-320=Right+A" holds Right and A from frame 200 to 319."""
from __future__ import annotations

import argparse
import pathlib
import sys

import kestrix
from media import (FRAME_RATE, SAMPLE_RATE, CartridgeError, InputScript, OutputError, VideoWriter, check_output_file,
                   default_rom, mux_audio, need, open_console, write_wav)


def record(nes: kestrix.NES, frames: int, video: pathlib.Path, wav: pathlib.Path, every: int,
           script: InputScript) -> tuple[int, int]:
    """Returns (video frames, audio samples) written. An MP4 gets the sound too."""
    pad = kestrix.Controller()
    nes.setController(pad, 0)
    blocks: list[bytes] = []
    with VideoWriter(video, FRAME_RATE / every) as out:
        for frame in range(frames):
            pad.updateInputs(list(script.buttons(frame)))
            nes.runFrame()
            block = nes.getAudio()[0]
            if block:
                blocks.append(block)
            if frame % every == every - 1:
                out.add(nes.getImg())
    samples = write_wav(wav, blocks)
    # The sound lags the picture by less than one block of 1,024 samples
    # (23 ms): the block still being filled at the end is not yet available.
    if out.kind == "mp4" and samples:
        mux_audio(video, wav)
    return out.count, samples


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("rom", nargs="?", default=None, help="cartridge image (.nes)")
    ap.add_argument("--frames", type=int, default=600, help="frames to record (default 600, 10 s)")
    ap.add_argument("--video", default="record.gif", help="video file, .gif or .mp4 (default record.gif)")
    ap.add_argument("--wav", default="record.wav", help="sound file (default record.wav)")
    ap.add_argument("--every", type=int, default=0, help="keep every Kth frame (default 2 for GIF, 1 for MP4)")
    ap.add_argument("--press", action="append", default=[], metavar="FRAMES=BUTTONS",
                    help="hold buttons (A B Select Start Up Down Left Right, joined with +)")
    args = ap.parse_args(argv)
    rom = pathlib.Path(args.rom) if args.rom else default_rom()
    video = pathlib.Path(args.video)
    every = args.every or (1 if video.suffix.lower() == ".mp4" else 2)
    if args.frames < 1 or every < 1:
        ap.error("--frames and --every must be at least 1")
    try:
        script = InputScript.parse(args.press)
    except ValueError as e:
        print(f"record.py: {e}", file=sys.stderr)
        return 2
    try:
        for path in (video, pathlib.Path(args.wav)):
            check_output_file(path)
    except OutputError as e:
        print(e, file=sys.stderr)
        return 2
    try:
        nes = open_console(rom, log=sys.stderr)
    except CartridgeError as e:
        print(e, file=sys.stderr)
        return 2
    need("imageio", "imageio")
    try:
        count, samples = record(nes, args.frames, video, pathlib.Path(args.wav), every, script)
    except (ValueError, RuntimeError) as e:
        print(f"record.py: {e}", file=sys.stderr)
        return 2
    fps = float(FRAME_RATE / every)
    sound = f", with {samples / SAMPLE_RATE:.2f} s of AAC sound" if video.suffix.lower() == ".mp4" and samples else ""
    print(f"wrote {video}: {count} frames at {fps:.4f} fps, {count / fps:.2f} s{sound}")
    print(f"wrote {args.wav}: {samples} samples, {samples / SAMPLE_RATE:.2f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
