"""kestrix side by side with the NES modules a Python user can pick.

Each engine runs in a subprocess of its own, pinned to one and the same core
(os.sched_setaffinity); engines take turns within a round (their order
rotates from round to round) and every run times the same kind of work: one
frame plus the picture, FRAMES frames after WARMUP frames of warm-up.

    kestrix       NES(rom).runFrame() + getImg()
    stable-retro  RetroEmulator(rom).step() + get_screen()
    cynes         NES(rom).step()
    nes-py        NESEnv(rom).step(0)

For each cartridge and engine it prints the median and min/max over the
rounds of wall-clock frames per second and of process CPU time per frame, and
the ratio kestrix/peer (above 1: kestrix is faster); then, per peer, the
geometric mean of the ratios over the cartridges and the lowest one. The
peers are optional and nothing is installed here: an engine whose
interpreter cannot import it is reported and skipped. See the README
(Benchmark) for making their venvs.

--corpus [DIR] runs every cartridge in DIR (default: the corpus/ folder of
the shared ROM folder), plus any ROM given, on kestrix and stable-retro
(unless --engines says otherwise), 3 rounds of 1,200 frames after 300 of
warm-up unless set, and prints a line per cartridge: the engines' median
frames/s and the ratio. stable-retro does not load a file named *.NES: it
runs a copy named *.nes in a temporary folder.

Usage:
  .venv/bin/python benchmarks/compare_peers.py [ROM ...] [--corpus [DIR]] [--rounds R]
      [--frames N] [--warmup N] [--peers DIR] [--peer-python ENGINE=PYTHON ...]
      [--kestrix-python PYTHON] [--kestrix-src [LABEL=]PATH ...] [--engines a,b,...] [--cpu N]"""
from __future__ import annotations

import argparse
import json
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import tempfile
from dataclasses import dataclass, field

from rom_files import cartridges, corpus_dir, roms_dir

ROOT = pathlib.Path(__file__).resolve().parent.parent
PEERS = ("stable-retro", "cynes", "nes-py")
# The venv folder (under --peers) in which each peer is looked for first.
PEER_VENV = {"stable-retro": "retro", "cynes": "retro", "nes-py": "nespy"}

# Child programs: set up the engine for ROM, then run(n) steps n frames with the picture.
SETUP = {
    "kestrix": "import kestrix\nnes = kestrix.NES(ROM)\n"
               "def run(n):\n    for _ in range(n):\n        nes.runFrame()\n        nes.getImg()\n",
    "stable-retro": "import retro\nemu = retro.RetroEmulator(ROM)\n"
                    "def run(n):\n    for _ in range(n):\n        emu.step()\n        emu.get_screen()\n",
    "cynes": "from cynes import NES\nnes = NES(ROM)\n"
             "def run(n):\n    for _ in range(n):\n        nes.step()\n",
    "nes-py": "from nes_py import NESEnv\nenv = NESEnv(ROM)\nenv.reset()\n"
              "def run(n):\n    for _ in range(n):\n        env.step(0)\n",
}
IMPORT = {"kestrix": "kestrix", "stable-retro": "retro", "cynes": "cynes", "nes-py": "nes_py"}
# Rounds, frames and warm-up frames when not given.
DEFAULTS = (5, 3000, 60)
CORPUS_DEFAULTS = (3, 1200, 300)
CORPUS_ENGINES = ("kestrix", "stable-retro")

CHILD = """
import os, sys, json, time
os.sched_setaffinity(0, {{{cpu}}})
out = os.fdopen(os.dup(1), "w")
os.dup2(os.open(os.devnull, os.O_WRONLY), 1)  # the engines' own printing
ROM = {rom!r}
{setup}
run({warmup})
t, c = time.perf_counter(), time.process_time()
run({frames})
wall, cpu = time.perf_counter() - t, time.process_time() - c
print(json.dumps({{"wall": wall, "cpu": cpu}}), file=out)
"""


@dataclass
class Engine:
    label: str
    kind: str  # a key of SETUP
    python: str
    env: dict[str, str] = field(default_factory=dict)


def default_roms() -> list[str]:
    roms = []
    shared = roms_dir()
    if shared and (shared / "nes15" / "nes15-NTSC.nes").exists():
        roms.append(str(shared / "nes15" / "nes15-NTSC.nes"))
    roms.append(str(ROOT / "benchmarks" / "roms" / "demo-sprites.nes"))
    return roms


def peers_dirs(given: str | None) -> list[pathlib.Path]:
    if given:
        return [pathlib.Path(given)]
    cands = [os.environ.get("KESTRIX_PEERS"), ROOT.parent / "peers", ROOT.parent.parent / "peers"]
    return [pathlib.Path(c) for c in cands if c]


def importable(engine: Engine) -> str | None:
    """None when the engine's interpreter imports it, else why not."""
    if not pathlib.Path(engine.python).exists():
        return f"no interpreter {engine.python}"
    proc = subprocess.run([engine.python, "-c", f"import {IMPORT[engine.kind]}"], capture_output=True, text=True,
                          env=dict(os.environ, **engine.env), timeout=120)
    if proc.returncode:
        return (proc.stderr.strip().splitlines() or ["import failed"])[-1]
    return None


def time_one(engine: Engine, rom: str, frames: int, warmup: int, cpu: int, home: str) -> dict[str, float]:
    code = CHILD.format(cpu=cpu, rom=rom, setup=SETUP[engine.kind], warmup=warmup, frames=frames)
    env = dict(os.environ, HOME=home, **engine.env)
    proc = subprocess.run([engine.python, "-c", code], capture_output=True, text=True, env=env)
    if proc.returncode:
        raise RuntimeError(f"{engine.label} on {pathlib.Path(rom).name} failed:\n{proc.stderr[-2000:]}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


def spread(values: list[float]) -> str:
    return f"{statistics.median(values):,.0f} ({min(values):,.0f}-{max(values):,.0f})"


def engines_from(args: argparse.Namespace) -> list[Engine]:
    kestrix: list[Engine] = []
    if args.kestrix_src:
        sys.path.insert(0, str(ROOT / "benchmarks"))
        from same_behaviour import build_candidate

        for item in args.kestrix_src:
            label, _, path = item.rpartition("=")
            build, _ = build_candidate(pathlib.Path(path), args.jobs)
            kestrix.append(Engine(label or "kestrix", "kestrix", args.kestrix_python,
                                  {"PYTHONPATH": str(build)}))
    else:
        kestrix.append(Engine("kestrix", "kestrix", args.kestrix_python))
    given = dict(item.split("=", 1) for item in args.peer_python)
    peers = []
    for kind in PEERS:
        python = given.get(kind)
        if python is None:
            found = [d / PEER_VENV[kind] / "bin" / "python" for d in peers_dirs(args.peers)]
            python = next((str(p) for p in found if p.exists()), sys.executable)
        peers.append(Engine(kind, kind, python))
    wanted = set(args.engines.split(",")) if args.engines else None
    if wanted is None and args.corpus is not None:
        wanted = set(CORPUS_ENGINES)
    return [e for e in kestrix + peers if wanted is None or e.label in wanted or e.kind in wanted]


def chosen_roms(args: argparse.Namespace) -> list[str]:
    """The cartridges to time: the corpus folder's (with --corpus) and the ones given."""
    if args.corpus is None:
        return args.roms or default_roms()
    roms = list(args.roms)
    folder = args.corpus
    if folder and pathlib.Path(folder).is_file():  # --corpus ROM: a cartridge after a bare --corpus
        roms.insert(0, folder)
        folder = ""
    found = pathlib.Path(folder) if folder else corpus_dir()
    if found is None or not found.is_dir():
        raise SystemExit(f"no corpus folder {folder or '(shared ROM folder)/corpus'}")
    return [str(p) for p in cartridges(found)] + roms


def retro_names(roms: list[str], folder: pathlib.Path) -> dict[str, str]:
    """stable-retro loads a cartridge only by a lower-case .nes name: copies of
    the others under such names (one subfolder each, so equal stems cannot clash)."""
    out = {}
    for i, rom in enumerate(roms):
        path = pathlib.Path(rom)
        if path.suffix != ".nes":
            copy = folder / str(i) / (path.stem + ".nes")
            copy.parent.mkdir(parents=True)
            shutil.copyfile(path, copy)
            out[rom] = str(copy)
    return out


def median_fps(runs: list[dict[str, float]], frames: int) -> float:
    return statistics.median(frames / x["wall"] for x in runs)


def print_table(roms: list[str], engines: list[Engine], base: str | None, frames: int,
                results: dict[tuple[str, str], list[dict[str, float]]]) -> None:
    print("| cartridge | engine | frames/s wall: median (min-max) | CPU us/frame: median (min-max) | "
          f"{base or 'kestrix'}/engine wall | {base or 'kestrix'}/engine CPU |")
    print("|---|---|---|---|---|---|")
    for rom in roms:
        name = pathlib.Path(rom).name
        ref = results.get((rom, base)) if base else None
        for e in engines:
            runs = results.get((rom, e.label))
            if not runs:
                print(f"| {name} | {e.label} | failed | | | |")
                continue
            fps = [frames / x["wall"] for x in runs]
            us = [x["cpu"] * 1e6 / frames for x in runs]
            ratio_wall = ratio_cpu = ""
            if ref and e.label != base:
                ref_us = statistics.median(x["cpu"] * 1e6 / frames for x in ref)
                ratio_wall = f"{median_fps(ref, frames) / statistics.median(fps):.2f}"
                ratio_cpu = f"{statistics.median(us) / ref_us:.2f}"
            print(f"| {name} | {e.label} | {spread(fps)} | {spread(us)} | {ratio_wall} | {ratio_cpu} |")


def print_corpus_table(roms: list[str], engines: list[Engine], base: str | None, frames: int,
                       results: dict[tuple[str, str], list[dict[str, float]]]) -> None:
    """A line per cartridge: every engine's median wall-clock frames/s, then base/engine."""
    others = [e.label for e in engines if e.label != base] if base else []
    print("| cartridge | " + " | ".join(f"{e.label} frames/s" for e in engines) + " | "
          + " | ".join(f"{base}/{o}" for o in others) + " |")
    print("|---|" + "---|" * (len(engines) + len(others)))
    for rom in roms:
        cells = []
        for e in engines:
            runs = results.get((rom, e.label))
            cells.append(f"{median_fps(runs, frames):,.0f}" if runs else "failed")
        for o in others:
            ratio = wall_ratio(results, rom, base, o, frames) if base else None
            cells.append(f"{ratio:.2f}" if ratio else "")
        print(f"| {pathlib.Path(rom).name} | " + " | ".join(cells) + " |")


def wall_ratio(results: dict[tuple[str, str], list[dict[str, float]]], rom: str, base: str, other: str,
               frames: int) -> float | None:
    """Median frames/s of base over that of other (above 1: base is faster); None when either failed."""
    ref, runs = results.get((rom, base)), results.get((rom, other))
    if not ref or not runs:
        return None
    return median_fps(ref, frames) / median_fps(runs, frames)


def print_summary(roms: list[str], engines: list[Engine], base: str, frames: int,
                  results: dict[tuple[str, str], list[dict[str, float]]]) -> None:
    """Per other engine: the geometric mean of the wall-clock ratios and the lowest, naming its cartridge."""
    for e in engines:
        if e.label == base:
            continue
        ratios = {rom: r for rom in roms if (r := wall_ratio(results, rom, base, e.label, frames))}
        if not ratios:
            continue
        low = min(ratios, key=lambda rom: ratios[rom])
        missing = len(roms) - len(ratios)
        print(f"{base}/{e.label} wall over {len(ratios)} cartridges"
              + (f" ({missing} failed)" if missing else "")
              + f": geometric mean {statistics.geometric_mean(ratios.values()):.2f}, "
              f"minimum {ratios[low]:.2f} ({pathlib.Path(low).name})")


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("roms", nargs="*", help="cartridges (default: nes15 and benchmarks/roms/demo-sprites.nes); "
                    "with --corpus, timed after the corpus")
    ap.add_argument("--corpus", nargs="?", const="", metavar="DIR",
                    help="every cartridge in DIR (default: corpus/ of the shared ROM folder), "
                         f"on {' and '.join(CORPUS_ENGINES)} unless --engines; "
                         "rounds, frames and warm-up default to %d, %d and %d" % CORPUS_DEFAULTS)
    ap.add_argument("--rounds", type=int, help=f"default {DEFAULTS[0]}")
    ap.add_argument("--frames", type=int, help=f"timed frames per run (default {DEFAULTS[1]})")
    ap.add_argument("--warmup", type=int, help=f"frames before the timed ones (default {DEFAULTS[2]})")
    ap.add_argument("--cpu", type=int, default=max(os.sched_getaffinity(0)), help="the core every engine runs on")
    ap.add_argument("--peers", help="folder of the peers' venvs retro/ and nespy/ (default: $KESTRIX_PEERS, ../peers)")
    ap.add_argument("--peer-python", action="append", default=[], metavar="ENGINE=PYTHON",
                    help=f"interpreter for a peer ({', '.join(PEERS)}); repeatable")
    ap.add_argument("--kestrix-python", default=sys.executable, help="interpreter that imports kestrix")
    ap.add_argument("--kestrix-src", action="append", metavar="[LABEL=]PATH",
                    help="build this source tree and time it instead (repeatable: several builds side by side)")
    ap.add_argument("--engines", help="only these engines (labels), comma-separated")
    ap.add_argument("-j", "--jobs", type=int, default=2, help="build processes for --kestrix-src")
    args = ap.parse_args()
    defaults = CORPUS_DEFAULTS if args.corpus is not None else DEFAULTS
    for name, value in zip(("rounds", "frames", "warmup"), defaults):
        if getattr(args, name) is None:
            setattr(args, name, value)
    roms = chosen_roms(args)
    engines = []
    for e in engines_from(args):
        why = importable(e)
        if why:
            print(f"{e.label}: skipped ({e.python}: {why})")
        else:
            engines.append(e)
            print(f"{e.label}: {e.python}" + (f" with {e.env}" if e.env else ""))
    if not engines:
        return 1
    print(f"{len(roms)} cartridges", flush=True)
    with open("/proc/loadavg") as f:
        print(f"load average at start: {f.read().split(' ', 3)[:3]}; core {args.cpu}; "
              f"{args.rounds} rounds of {args.frames} frames after {args.warmup}", flush=True)
    results: dict[tuple[str, str], list[dict[str, float]]] = {}
    with tempfile.TemporaryDirectory(prefix="kestrix-peers-") as home:
        os.makedirs(os.path.join(home, ".config"))
        retro = retro_names(roms, pathlib.Path(home) / "roms") if any(e.kind == "stable-retro" for e in engines) \
            else {}
        for r in range(args.rounds):
            for rom in roms:
                k = r % len(engines)
                for e in engines[k:] + engines[:k]:
                    path = retro.get(rom, rom) if e.kind == "stable-retro" else rom
                    try:
                        res = time_one(e, path, args.frames, args.warmup, args.cpu, home)
                    except RuntimeError as err:
                        print(err)
                        continue
                    results.setdefault((rom, e.label), []).append(res)
            print(f"round {r + 1} of {args.rounds} done", flush=True)
    with open("/proc/loadavg") as f:
        print(f"load average at end: {f.read().split(' ', 3)[:3]}")
    base = engines[0].label if engines[0].kind == "kestrix" else None
    print()
    if args.corpus is not None:
        print_corpus_table(roms, engines, base, args.frames, results)
    else:
        print_table(roms, engines, base, args.frames, results)
    if base:
        print()
        print_summary(roms, engines, base, args.frames, results)
    return 0


if __name__ == "__main__":
    sys.exit(main())
