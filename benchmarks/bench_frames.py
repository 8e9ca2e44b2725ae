"""Frames per second of unpaced runFrame() on a real cartridge.

Usage: python benchmarks/bench_frames.py [ROM] [--frames N] [--repeat R]

Without ROM it runs the nes15 game from the public test cartridges
(../shared/roms next to the checkout, or $KESTRIX_ROMS), or, where they are
not there, benchmarks/roms/demo-sprites.nes: the demo cartridge as it was
frozen for benchmarking, so that its figures stay comparable."""
import argparse
import ctypes
import os
import pathlib
import sys
import time

import kestrix

ROOT = pathlib.Path(__file__).resolve().parent.parent
NES15 = pathlib.Path("nes15") / "nes15-NTSC.nes"
FROZEN_DEMO = ROOT / "benchmarks" / "roms" / "demo-sprites.nes"
DOTS_PER_FRAME = 341 * 262


def default_rom() -> pathlib.Path:
    for roms in (os.environ.get("KESTRIX_ROMS"), ROOT.parent / "shared" / "roms"):
        if roms and (pathlib.Path(roms) / NES15).is_file():
            return pathlib.Path(roms) / NES15
    print(f"nes15 not found (../shared/roms/{NES15} or $KESTRIX_ROMS/{NES15}): "
          f"using {FROZEN_DEMO.relative_to(ROOT)}")
    return FROZEN_DEMO


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("rom", nargs="?", default=None, help="cartridge image (default: nes15, else the frozen demo)")
    ap.add_argument("--frames", type=int, default=3000)
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()
    if args.rom is None:
        args.rom = str(default_rom())
    # The loader's diagnostic lines go to the C library's standard output
    # (file descriptor 1): silenced there, and flushed before it is given back.
    sys.stdout.flush()
    saved = os.dup(1)
    with open(os.devnull, "w") as devnull:
        os.dup2(devnull.fileno(), 1)
        try:
            nes = kestrix.NES(args.rom)
        except (OSError, ValueError) as e:
            sys.exit(f"bench_frames.py: {args.rom}: {e}")
        finally:
            ctypes.CDLL(None).fflush(None)
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
