"""Plays a cartridge headless and prints what happened.

Usage: main_job.py [ROM] [--frames N]
Without ROM, plays the nes15 game from the shared test cartridges."""
import argparse
import pathlib
import sys
import time

import kestrix

ROOT = pathlib.Path(__file__).resolve().parent.parent
DEFAULT_ROM = ROOT.parent / "shared" / "roms" / "nes15" / "nes15-NTSC.nes"


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("rom", nargs="?", default=str(DEFAULT_ROM), help="cartridge image (.nes)")
    ap.add_argument("--frames", type=int, default=600, help="frames to emulate (default 600, 10 s)")
    args = ap.parse_args()
    if not pathlib.Path(args.rom).exists():
        print(f"cartridge not found: {args.rom}", file=sys.stderr)
        return 2
    nes = kestrix.NES(args.rom)
    sys.stdout.flush()
    start = time.perf_counter()
    for _ in range(args.frames):
        nes.runFrame()
    wall = time.perf_counter() - start
    cycles = nes.cycleCount()
    print(f"cartridge:        {args.rom}")
    print(f"frames:           {nes.frameCount()}")
    print(f"CPU cycles:       {cycles}")
    print(f"emulated seconds: {cycles / 1789773:.3f}")
    print(f"wall seconds:     {wall:.3f}")
    print(f"frames/second:    {args.frames / wall:.1f} (unpaced)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
