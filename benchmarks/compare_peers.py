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
the ratio kestrix/peer (above 1: kestrix is faster). The peers are optional
and nothing is installed here: an engine whose interpreter cannot import it
is reported and skipped. See the README (Benchmark) for making their venvs.

Usage:
  .venv/bin/python benchmarks/compare_peers.py [ROM ...] [--rounds R] [--frames N]
      [--peers DIR] [--peer-python ENGINE=PYTHON ...] [--kestrix-python PYTHON]
      [--kestrix-src [LABEL=]PATH ...] [--engines a,b,...] [--cpu N]"""
from __future__ import annotations

import argparse
import json
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
from dataclasses import dataclass, field

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


def roms_dir() -> pathlib.Path | None:
    for cand in (os.environ.get("KESTRIX_ROMS"), ROOT.parent / "shared" / "roms", "/work/shared/roms"):
        if cand and pathlib.Path(cand).is_dir():
            return pathlib.Path(cand)
    return None


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
    return [e for e in kestrix + peers if wanted is None or e.label in wanted or e.kind in wanted]


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("roms", nargs="*", help="cartridges (default: nes15 and benchmarks/roms/demo-sprites.nes)")
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--frames", type=int, default=3000)
    ap.add_argument("--warmup", type=int, default=60)
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
    roms = args.roms or default_roms()
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
    with open("/proc/loadavg") as f:
        print(f"load average at start: {f.read().split(' ', 3)[:3]}; core {args.cpu}; "
              f"{args.rounds} rounds of {args.frames} frames after {args.warmup}", flush=True)
    results: dict[tuple[str, str], list[dict[str, float]]] = {}
    with tempfile.TemporaryDirectory(prefix="kestrix-peers-") as home:
        os.makedirs(os.path.join(home, ".config"))
        for r in range(args.rounds):
            for rom in roms:
                k = r % len(engines)
                for e in engines[k:] + engines[:k]:
                    try:
                        res = time_one(e, rom, args.frames, args.warmup, args.cpu, home)
                    except RuntimeError as err:
                        print(err)
                        continue
                    results.setdefault((rom, e.label), []).append(res)
            print(f"round {r + 1} of {args.rounds} done", flush=True)
    with open("/proc/loadavg") as f:
        print(f"load average at end: {f.read().split(' ', 3)[:3]}")
    base = engines[0].label if engines[0].kind == "kestrix" else None
    print()
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
            fps = [args.frames / x["wall"] for x in runs]
            us = [x["cpu"] * 1e6 / args.frames for x in runs]
            ratio_wall = ratio_cpu = ""
            if ref and e.label != base:
                ref_fps = statistics.median(args.frames / x["wall"] for x in ref)
                ref_us = statistics.median(x["cpu"] * 1e6 / args.frames for x in ref)
                ratio_wall = f"{ref_fps / statistics.median(fps):.2f}"
                ratio_cpu = f"{statistics.median(us) / ref_us:.2f}"
            print(f"| {name} | {e.label} | {spread(fps)} | {spread(us)} | {ratio_wall} | {ratio_cpu} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
