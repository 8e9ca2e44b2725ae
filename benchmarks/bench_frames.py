"""Frames per second of unpaced runFrame() on a real cartridge.

Usage: python benchmarks/bench_frames.py [ROM] [--frames N] [--repeat R]"""
import argparse
import os
import pathlib
import time

import kestrix

ROOT = pathlib.Path(__file__).resolve().parent.parent
DEFAULT_ROM = ROOT.parent / "shared" / "roms" / "nes15" / "nes15-NTSC.nes"
DOTS_PER_FRAME = 341 * 262


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("rom", nargs="?", default=str(DEFAULT_ROM))
    ap.add_argument("--frames", type=int, default=3000)
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()
    # The loader's diagnostic lines go to the C library's standard output.
    saved = os.dup(1)
    with open(os.devnull, "w") as devnull:
        os.dup2(devnull.fileno(), 1)
        try:
            nes = kestrix.NES(args.rom)
        finally:
            os.dup2(saved, 1)
            os.close(saved)
    for _ in range(60):  # past the power-on frames
        nes.runFrame()
    best = 0.0
    for r in range(args.repeat):
        t = time.perf_counter()
        for _ in range(args.frames):
            nes.runFrame()
        dt = time.perf_counter() - t
        fps = args.frames / dt
        best = max(best, fps)
        print(f"run {r + 1}: {args.frames} frames in {dt:.3f} s = {fps:.0f} frames/s, "
              f"{dt * 1e9 / (args.frames * DOTS_PER_FRAME):.2f} ns per PPU dot")
    print(f"best: {best:.0f} frames/s on {pathlib.Path(args.rom).name}")


if __name__ == "__main__":
    main()
