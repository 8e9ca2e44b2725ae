"""Checks that the fast paths change nothing: every cartridge runs on a console
in the normal mode (CPU batches, idle loops counted at once, a lagging PPU
drawing in spans, a lagging APU skipping quiet stretches) and on one in the
plain mode (CPU::clock(), APU::cycle() and PPU::cycle(), one at a time, as the
model describes them), with the same pseudo-random pads, and after every frame
the picture, CPU memory, video memory, OAM, palette, registers, counters, the
cycle of every NMI and IRQ, the audio blocks and the save-state image are
compared (tests/cpp/plain_compare.cpp does the work).

Usage:
  .venv/bin/python benchmarks/plain_check.py [FOLDER ...] [--frames N] [--seed S]
      [-j N] [--tool PATH] [--selftest]

Without a folder: every cartridge below the shared ROM folder (test
cartridges, corpus, games), the demo, the sprite benchmark cartridge and the
generated timing programs. Exit status 0 when everything agrees, 1 on the
first difference (cartridge, frame, what differs), 2 when the build fails or
no cartridge is found. --selftest builds a copy of this tree with one line of
a fast path changed and shows that the comparison reports it (exit 0 when it
does)."""
from __future__ import annotations

import argparse
import concurrent.futures
import pathlib
import shutil
import subprocess
import sys
import time

from rom_files import cartridges, roms_dir
from same_behaviour import cmake_build

ROOT = pathlib.Path(__file__).resolve().parent.parent
WORK = ROOT / "build" / "plain"
# What the tool's build reads from a source tree.
BUILD_INPUTS = ("CMakeLists.txt", "src", "stubs", "kestrix_gym/src", "tests/cpp", "fuzz/harness.h")
# One line of a fast path each, changed by --selftest (the first found once in
# the sources): the triangle's phase after a skipped quiet stretch, the
# sprite overflow flag of the overflow walk, the cycles of counted idle passes.
MUTATIONS = (
    ("uint32_t t = tri_timer + 2 * n;", "uint32_t t = tri_timer + 2 * n + 1;"),
    ("if (overflow) *registers[2] |= 0x20;", "if (overflow) *registers[2] |= 0x00;"),
    ("cycles += k * pass;", "cycles += k * pass + 1;"),
)


def build_tool(src: pathlib.Path, build: pathlib.Path, jobs: int) -> pathlib.Path:
    """Configures (once) and builds plain_compare from `src`; returns its path."""
    build.mkdir(parents=True, exist_ok=True)
    cmake_build(src, build, jobs, build / "build.log", ("-DCMAKE_BUILD_TYPE=Release", "-DKESTRIX_CPP_TESTS=ON"),
                target="plain_compare")
    return build / "tests" / "cpp" / "plain_compare"


def default_cartridges() -> list[pathlib.Path]:
    sys.path.insert(0, str(ROOT / "benchmarks"))
    import timing_programs

    shared = roms_dir()
    found = cartridges(shared, recursive=True) if shared else []
    own = [ROOT / "demo" / "demo.nes", ROOT / "benchmarks" / "roms" / "demo-sprites.nes"]
    return [p for p in own if p.exists()] + found + timing_programs.write_all(WORK / "programs")


def run_all(tool: pathlib.Path, carts: list[pathlib.Path], frames: int, seed: int, jobs: int) -> int:
    """Runs the comparison over the cartridges, `jobs` at a time; prints a line
    per cartridge and, at the end, the first difference in cartridge order."""
    start = time.monotonic()
    results: dict[int, tuple[int, str]] = {}

    def one(i: int) -> tuple[int, int, str]:
        p = subprocess.run([str(tool), "--frames", str(frames), "--seed", str(seed), str(carts[i])],
                           capture_output=True, text=True)
        return i, p.returncode, (p.stdout + p.stderr).strip()

    with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, jobs)) as pool:
        futures = [pool.submit(one, i) for i in range(len(carts))]
        try:
            for done, fut in enumerate(concurrent.futures.as_completed(futures), 1):
                i, code, text = fut.result()
                results[i] = (code, text)
                print(f"[{done}/{len(carts)}] {text or carts[i]}", flush=True)
                if code != 0:
                    for f in futures:
                        f.cancel()
                    break
        except KeyboardInterrupt:
            for f in futures:
                f.cancel()
            raise
    failed = sorted(i for i, (code, _) in results.items() if code != 0)
    took = time.monotonic() - start
    if failed:
        code, text = results[failed[0]]
        what = "differs" if code == 1 else "failed"
        print(f"FIRST DIFFERENCE ({what}): {text}")
        return 1
    print(f"all {len(carts)} cartridges agree over {frames} frames ({took:.0f} s)")
    return 0


def selftest(args: argparse.Namespace, carts: list[pathlib.Path]) -> int:
    """Builds a copy of this tree with one fast-path line changed; passes when
    the comparison reports a difference."""
    copy = WORK / "selftest-tree"
    if copy.exists():
        shutil.rmtree(copy)
    for name in BUILD_INPUTS:
        src = ROOT / name
        if src.is_dir():
            shutil.copytree(src, copy / name)
        else:
            (copy / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(src, copy / name)
    sources = sorted((copy / "src").glob("*.cpp")) + sorted((copy / "src").glob("*.h"))
    for old, new in MUTATIONS:
        hits = [p for p in sources if old in p.read_text()]
        if len(hits) == 1 and hits[0].read_text().count(old) == 1:
            hits[0].write_text(hits[0].read_text().replace(old, new))
            break
    else:
        print("self-check: none of the lines to change is in the sources once", file=sys.stderr)
        return 2
    print(f"self-check: {hits[0].relative_to(copy)}: {old!r} -> {new!r}", flush=True)
    tool = build_tool(copy, WORK / "selftest-build", args.jobs)
    if run_all(tool, carts, args.frames, args.seed, args.jobs) == 1:
        print("self-check passed: the changed line was reported")
        return 0
    print("self-check FAILED: the changed line was not reported", file=sys.stderr)
    return 1


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("folders", nargs="*", type=pathlib.Path,
                    help="folders searched for cartridges (*.nes, any case), or cartridge files")
    ap.add_argument("--frames", type=int, default=600, help="frames per cartridge (default 600)")
    ap.add_argument("--seed", type=int, default=1, help="seed of the pads")
    ap.add_argument("-j", "--jobs", type=int, default=2, help="processes for building and running (default 2)")
    ap.add_argument("--tool", type=pathlib.Path, help="a built plain_compare to use instead of building one")
    ap.add_argument("--selftest", action="store_true",
                    help="change one line of a fast path in a copy and check that the comparison reports it")
    args = ap.parse_args()
    if args.frames < 1:
        ap.error("--frames must be at least 1")
    carts: list[pathlib.Path] = []
    for f in args.folders:
        if not f.exists():
            ap.error(f"{f}: no such folder or file")
        carts += cartridges(f, recursive=True) if f.is_dir() else [f]
    if not args.folders:
        carts = default_cartridges()
    if not carts:
        print("no cartridge found", file=sys.stderr)
        return 2
    try:
        if args.selftest:
            return selftest(args, carts)
        tool = args.tool or build_tool(ROOT, WORK / "build", args.jobs)
    except subprocess.CalledProcessError as e:
        print(f"build failed ({e}); see the build.log under {WORK}", file=sys.stderr)
        return 2
    return run_all(tool, carts, args.frames, args.seed, args.jobs)


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        print("interrupted", file=sys.stderr)
        sys.exit(130)
