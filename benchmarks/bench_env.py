"""Environment steps per second of kestrix_gym's BalloonPop, 84x84 grayscale,
frame_skip 4, random actions: the native vector (VectorNESEnv, gym.make_vec's
default) of 2 and of N envs (N = --envs, default 8), each on 1 thread and on
all usable cores, and Gymnasium's async vector of 1 and 2 envs (one process
per env); all measured in alternating windows of one run, so a change in the
machine's load hits them alike. Steps/s counts env steps: vector steps x envs.

Usage: python benchmarks/bench_env.py [--envs N] [--seconds S] [--rounds R]
                                      [--peer-python PATH]

With --peer-python (default /work/peers/nespy/bin/python when it exists and
imports nes_py) the same loop, one and two processes, is timed for nes-py's
environment on the same cartridge, in that interpreter's own venv."""
from __future__ import annotations

import os

# One BLAS thread per worker: the vector's processes are the parallelism.
for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import argparse  # noqa: E402
import json  # noqa: E402
import pathlib  # noqa: E402
import statistics  # noqa: E402
import subprocess  # noqa: E402
import tempfile  # noqa: E402
import time  # noqa: E402
from typing import Any  # noqa: E402

import gymnasium as gym  # noqa: E402
import numpy as np  # noqa: E402

import kestrix_gym  # noqa: E402  (registers the env)
import kestrix_gym.vector  # noqa: E402

PEER_PYTHON = pathlib.Path("/work/peers/nespy/bin/python")

# Runs in the peer's interpreter: frame skip, grayscale and area resize done
# the same way as kestrix_gym's, around nes-py's one-frame step.
PEER_SCRIPT = r"""
import json, multiprocessing as mp, sys, time
import numpy as np
from nes_py import NESEnv

def weights(src, dst):
    edges = np.arange(dst + 1) * (src / dst)
    lo, hi = edges[:-1, None], edges[1:, None]
    cells = np.arange(src)[None, :]
    return (np.clip(np.minimum(hi, cells + 1) - np.maximum(lo, cells), 0, None) / (src / dst)).astype(np.float32)

ROWS, COLS = weights(240, 84), weights(256, 84).T.copy()
GREY = np.array([0.299, 0.587, 0.114], np.float32)

def run(rom, seconds, out):
    env = NESEnv(rom)
    env.reset()
    rng = np.random.default_rng(0)
    steps, t0 = 0, time.perf_counter()
    while time.perf_counter() - t0 < seconds:
        a = int(rng.integers(256))
        for _ in range(4):
            r = env.step(a)
            if r[2]:
                env.reset()
        obs = np.clip(np.rint(ROWS @ (r[0] @ GREY) @ COLS), 0, 255).astype(np.uint8)
        steps += 1
    out.put(steps / (time.perf_counter() - t0))

if __name__ == "__main__":
    rom, seconds, n = sys.argv[1], float(sys.argv[2]), int(sys.argv[3])
    q = mp.Queue()
    procs = [mp.Process(target=run, args=(rom, seconds, q)) for _ in range(n)]
    for p in procs: p.start()
    rates = [q.get() for _ in procs]
    for p in procs: p.join()
    print(json.dumps(sum(rates)))
"""


def cpu_seconds(envs: gym.vector.VectorEnv) -> float:
    """CPU time used so far by this process and the vector's workers (Linux /proc)."""
    total = sum(os.times()[:2])
    for proc in getattr(envs, "processes", []):
        try:
            fields = pathlib.Path(f"/proc/{proc.pid}/stat").read_text().rsplit(")", 1)[1].split()
            total += (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
        except (OSError, IndexError, ValueError):
            return float("nan")
    return total


def measure(envs: gym.vector.VectorEnv, seconds: float, rng: np.random.Generator) -> tuple[float, float]:
    """(env steps per second, CPU milliseconds per env step) over one window."""
    n = envs.num_envs
    steps, t0, c0 = 0, time.perf_counter(), cpu_seconds(envs)
    while time.perf_counter() - t0 < seconds:
        envs.step(rng.integers(int(getattr(envs.single_action_space, "n")), size=n))
        steps += 1
    wall, cpu = time.perf_counter() - t0, cpu_seconds(envs) - c0
    return steps * n / wall, 1000 * cpu / (steps * n)


def peer_rate(python: pathlib.Path, rom: pathlib.Path, seconds: float, n: int) -> float:
    out = subprocess.run([str(python), "-c", PEER_SCRIPT, str(rom), str(seconds), str(n)],
                         capture_output=True, text=True, check=True, timeout=seconds * 4 + 120)
    return float(out.stdout.strip().splitlines()[-1])


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--envs", type=int, default=8, help="envs of the wide native vector (default 8)")
    ap.add_argument("--seconds", type=float, default=5.0, help="length of each window (default 5)")
    ap.add_argument("--rounds", type=int, default=3, help="windows per vector (default 3)")
    ap.add_argument("--peer-python", default=None, help="interpreter with nes_py installed (default: the peers venv)")
    args = ap.parse_args()
    settings: dict[str, Any] = {"obs_type": "grayscale", "resize": 84, "frame_skip": 4}
    cores = kestrix_gym.vector.usable_cores()
    kinds: dict[str, dict[str, Any]] = {}
    for n in (2, args.envs):
        for t in (1, cores):
            kinds[f"kestrix native, {n} envs, {t} thread{'s' if t > 1 else ''}"] = dict(num_envs=n, num_threads=t)
    for n in (1, 2):
        kinds[f"Gymnasium async, {n} env{'s' if n > 1 else ''}"] = dict(num_envs=n, vectorization_mode="async")
    vectors = {name: gym.make_vec(kestrix_gym.ENV_ID, **kw, **settings) for name, kw in kinds.items()}
    rng = np.random.default_rng(0)
    rates: dict[str, list[float]] = {name: [] for name in vectors}
    cpu: dict[str, list[float]] = {name: [] for name in vectors}
    try:
        for v in vectors.values():
            v.reset(seed=0)  # env i gets seed i
            measure(v, 1.0, rng)  # warm-up
        for _ in range(args.rounds):
            for name, v in vectors.items():
                rate, ms = measure(v, args.seconds, rng)
                rates[name].append(rate)
                cpu[name].append(ms)
    finally:
        for v in vectors.values():
            v.close()

    print(f"BalloonPop, 84x84 grayscale, frame_skip 4, random actions; {args.rounds} alternating "
          f"windows of {args.seconds:g} s; {cores} usable cores, load average {os.getloadavg()[0]:.1f}")
    print("| Vector | Env steps/s (median) | Windows | CPU ms per env step |")
    print("|---|---|---|---|")
    med = {name: statistics.median(r) for name, r in rates.items()}
    for name in vectors:
        print(f"| {name} | {med[name]:,.0f} | {', '.join(f'{r:,.0f}' for r in rates[name])} | "
              f"{statistics.median(cpu[name]):.2f} |")

    python = pathlib.Path(args.peer_python) if args.peer_python else PEER_PYTHON
    if python.exists() and subprocess.run([str(python), "-c", "import nes_py"], capture_output=True).returncode == 0:
        with tempfile.TemporaryDirectory() as tmp:
            rom = pathlib.Path(tmp) / "balloonpop.nes"
            rom.write_bytes(kestrix_gym.balloonpop.rom_bytes())
            for n in (1, 2):
                rate = peer_rate(python, rom, args.seconds, n)
                print(f"| nes-py, {n} process{'es' if n > 1 else ''} | {rate:,.0f} | 1 | |")
    else:
        print(f"(nes-py not timed: {python} with nes_py not found)")
    t = "threads" if cores > 1 else "thread"
    for n in (2, args.envs):
        print(f"native {n} envs, {cores} {t} / 1 thread: "
              f"{med[f'kestrix native, {n} envs, {cores} {t}'] / med[f'kestrix native, {n} envs, 1 thread']:.2f}x")
    print(f"native 2 envs, {cores} {t} / Gymnasium async 2 envs: "
          f"{med[f'kestrix native, 2 envs, {cores} {t}'] / med['Gymnasium async, 2 envs']:.2f}x")
    print(json.dumps({"steps_per_second": rates, "cpu_ms_per_step": cpu}))


if __name__ == "__main__":
    main()
