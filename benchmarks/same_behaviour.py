"""Checks that a build of kestrix behaves exactly like a reference commit.

Builds the reference commit (default: the commit of the branch main) from an
extracted copy under build/same/, builds the candidate source tree (default:
this checkout) from a snapshot of its sources, runs both side by side in
separate processes over the same cartridges with the same pseudo-random pads
(a scripted start first for games that need one, see START_FRAMES) and
compares, after every frame: the picture, CPU memory, video memory, OAM,
the colour table, frameCount()/cycleCount(), the split audio blocks, what a
per-frame callback reads from cpuMem() (and the counters it sees), the
diagnostic lines the module prints, and every 50 frames the bytes of a
save-state file; one state is loaded back mid-run.

Usage:
  .venv/bin/python benchmarks/same_behaviour.py [--ref COMMIT] [--candidate PATH]
      [--frames N] [--quick] [--only TEXT,...] [-j N] [--selftest]

Exit status 0 when everything is identical, 1 on the first difference, 2 when
a build or a worker fails. --selftest copies the candidate, changes one line
(the sprite-overflow flag) and checks that the comparison reports it.

Builds are cached: the reference by commit, the candidate by a hash of its
sources (an unchanged tree is not rebuilt; a changed one rebuilds
incrementally in its own build folder)."""
from __future__ import annotations

import argparse
import ctypes
import hashlib
import json
import os
import pathlib
import random
import shutil
import subprocess
import sys
import tempfile
import time
from collections.abc import Iterator
from dataclasses import dataclass

from rom_files import cartridges, roms_dir

ROOT = pathlib.Path(__file__).resolve().parent.parent
WORK = ROOT / "build" / "same"
STATE_EVERY = 50
LOAD_AT = 275  # after this frame, the state saved at frame 250 is loaded back
# What a build needs from a source tree.
BUILD_INPUTS = ("CMakeLists.txt", "src", "stubs", "kestrix_gym/src")
FIELDS = ("img", "cpu", "ppu", "oam", "pal", "frames", "cycles", "audio", "callback", "output", "state")
# Games whose play needs Start on the title screens: the frames (counted from
# 1, loaded state or not) on which port 0 holds Start. Until the last of them
# port 0 presses nothing else; after it, pseudo-random buttons without Start
# and Select, which would pause the game or leave the round.
START_FRAMES: dict[str, tuple[range, ...]] = {
    "BladeBuster.nes": (range(180, 186), range(300, 306)),
}


# ---------------------------------------------------------------- corpus

def corpus(quick: bool, only: str | None = None) -> list[pathlib.Path]:
    """The cartridges to compare: the shared test ROMs (every .nes or .NES
    file below the shared ROM folder: the test cartridges, the corpus of
    demos and the games), the demo, the frozen benchmark cartridge and the
    generated timing programs."""
    sys.path.insert(0, str(ROOT / "benchmarks"))
    import timing_programs

    programs = timing_programs.write_all(WORK / "programs")
    carts = [ROOT / "demo" / "demo.nes", ROOT / "benchmarks" / "roms" / "demo-sprites.nes"]
    shared = roms_dir()
    found = cartridges(shared, recursive=True) if shared else []
    if quick:
        # One of each kind: a game, sprite timing, MMC3, CPU tests.
        keep = ("nes15-NTSC.nes", "09.timing_basics.nes", "4-scanline_timing.nes", "official_only.nes")
        found = [p for p in found if p.name in keep]
        programs = programs[::2]
    chosen = [p for p in carts if p.exists()] + found + programs
    if only:
        chosen = [p for p in chosen if any(part in p.name for part in only.split(","))]
    return chosen


# ---------------------------------------------------------------- builds

def git(*args: str, cwd: pathlib.Path = ROOT) -> str:
    return subprocess.run(["git", *args], cwd=cwd, check=True, capture_output=True, text=True).stdout.strip()


def tree_hash(tree: pathlib.Path) -> str:
    h = hashlib.sha256()
    for name in BUILD_INPUTS:
        base = tree / name
        files = [base] if base.is_file() else sorted(p for p in base.rglob("*") if p.is_file())
        for p in files:
            h.update(str(p.relative_to(tree)).encode() + b"\0" + p.read_bytes() + b"\0")
    return h.hexdigest()[:16]


def sync_tree(src: pathlib.Path, dst: pathlib.Path) -> None:
    """Makes dst hold the build inputs of src; files whose bytes are unchanged
    keep their time stamps, so the build folder rebuilds only what changed."""
    wanted = set()
    for name in BUILD_INPUTS:
        base = src / name
        files = [base] if base.is_file() else [p for p in base.rglob("*") if p.is_file()]
        for p in files:
            rel = p.relative_to(src)
            wanted.add(rel)
            out = dst / rel
            data = p.read_bytes()
            if not out.exists() or out.read_bytes() != data:
                out.parent.mkdir(parents=True, exist_ok=True)
                out.write_bytes(data)
    for p in list(dst.rglob("*")):
        if p.is_file() and p.relative_to(dst) not in wanted:
            p.unlink()


def cmake_build(src: pathlib.Path, build: pathlib.Path, jobs: int, log: pathlib.Path,
                options: tuple[str, ...] = ("-DCMAKE_BUILD_TYPE=Release",), target: str = "kestrix") -> pathlib.Path:
    """Configures (once) and builds `target` (default: the module); returns
    the build folder."""
    import pybind11

    with open(log, "a") as out:
        if not (build / "CMakeCache.txt").exists():
            cmd = ["cmake", "-S", str(src), "-B", str(build), *options,
                   f"-DPython_EXECUTABLE={sys.executable}", f"-Dpybind11_DIR={pybind11.get_cmake_dir()}"]
            if shutil.which("ninja"):
                cmd += ["-G", "Ninja"]
            subprocess.run(cmd, check=True, stdout=out, stderr=subprocess.STDOUT)
        subprocess.run(["cmake", "--build", str(build), "--target", target, "-j", str(jobs)],
                       check=True, stdout=out, stderr=subprocess.STDOUT)
    mods = list(build.glob("kestrix*.so"))
    if target == "kestrix" and len(mods) != 1:
        raise RuntimeError(f"no single kestrix module in {build}")
    return build


def build_ref(commit: str, jobs: int) -> pathlib.Path:
    sha = git("rev-parse", "--verify", commit + "^{commit}")
    base = WORK / f"ref-{sha[:12]}"
    done = base / "built"
    if done.exists():
        return pathlib.Path(done.read_text())
    src = base / "tree"
    if src.exists():
        shutil.rmtree(src)
    src.mkdir(parents=True)
    # An older commit may lack some of today's inputs.
    inputs = [name for name in BUILD_INPUTS
              if subprocess.run(["git", "cat-file", "-e", f"{sha}:{name}"], cwd=ROOT, capture_output=True).returncode == 0]
    archive = subprocess.run(["git", "archive", sha, *inputs], cwd=ROOT, check=True, capture_output=True).stdout
    subprocess.run(["tar", "-x", "-C", str(src)], input=archive, check=True)
    print(f"building the reference {sha[:12]} ({base / 'build.log'})", flush=True)
    out = cmake_build(src, base / "build", jobs, base / "build.log")
    done.write_text(str(out))
    return out


def build_candidate(tree: pathlib.Path, jobs: int) -> tuple[pathlib.Path, str]:
    tree = tree.resolve()
    key = hashlib.sha256(str(tree).encode()).hexdigest()[:12]
    base = WORK / f"cand-{key}"
    sources = tree_hash(tree)
    stamp = base / "built"
    build = base / "build"
    if stamp.exists() and stamp.read_text() == sources and list(build.glob("kestrix*.so")):
        return build, sources
    base.mkdir(parents=True, exist_ok=True)
    sync_tree(tree, base / "tree")
    if tree_hash(base / "tree") != sources:
        raise RuntimeError(f"the sources of {tree} changed while they were copied; run again")
    print(f"building the candidate {tree} ({sources}; {base / 'build.log'})", flush=True)
    stamp.unlink(missing_ok=True)
    cmake_build(base / "tree", build, jobs, base / "build.log")
    stamp.write_text(sources)
    return build, sources


# ---------------------------------------------------------------- worker

def random_pads(rng: random.Random, start_select: float = 0.04) -> Iterator[tuple[list[bool], list[bool]]]:
    """Buttons held for a few frames at a time; Select and Start on port 0
    with the probability start_select."""
    while True:
        hold = rng.randrange(1, 20)
        one = [rng.random() < (start_select if i in (2, 3) else 0.3) for i in range(8)]
        two = [rng.random() < 0.3 for _ in range(8)]
        for _ in range(hold):
            yield one, two


def pads(rng: random.Random, starts: tuple[range, ...] = ()) -> Iterator[tuple[list[bool], list[bool]]]:
    """The pads of both ports per frame: pseudo-random (Start and Select
    seldom), or with starts, port 0 holding only Start on those frames up to
    the last of them and then pseudo-random without Start and Select."""
    if not starts:
        yield from random_pads(rng)
        return
    last = max(r[-1] for r in starts)
    stream = random_pads(rng, start_select=0.0)
    frame = 0
    while True:
        frame += 1
        one, two = next(stream)
        if frame <= last:
            one = [i == 3 and any(frame in r for r in starts) for i in range(8)]
        yield one, two


class Run:
    """One cartridge driven the same way on every build: pseudo-random pads on
    both ports, a per-frame callback that reads cpuMem() and the counters, the
    audio taken after every frame, a state saved every 50 frames and the one
    of frame 250 loaded back after frame 275."""

    def __init__(self, kestrix, cart: str, seed: int, saves: pathlib.Path) -> None:
        self.nes = nes = kestrix.NES(cart)
        self.saves = saves
        nes.setSaveDir(str(saves))
        self.pads = kestrix.Controller(), kestrix.Controller()
        nes.setController(self.pads[0], 0)
        nes.setController(self.pads[1], 1)
        name = pathlib.Path(cart).name
        self.buttons = pads(random.Random(f"{seed}/{name}"), START_FRAMES.get(name, ()))
        self.mem = nes.cpuMem()
        self.seen: list[str] = []
        nes.perFrame(self.callback)
        self.frame = 0

    def callback(self) -> None:
        self.seen.append(f"{digest(self.mem)}/{self.nes.frameCount()}/{self.nes.cycleCount()}")

    def step(self) -> tuple[str, list[bytes], list[str]]:
        """Runs one frame; returns what the state slot shows, the audio and the callback's readings."""
        one, two = next(self.buttons)
        self.pads[0].updateInputs(one)
        self.pads[1].updateInputs(two)
        self.seen = []
        self.nes.runFrame()
        self.frame += 1
        state = "-"
        if self.frame % STATE_EVERY == 0:
            self.nes.saveState(1)
            state = digest((self.saves / "1").read_bytes())
        if self.frame == LOAD_AT:
            state = f"load={self.nes.loadState(1)}"
        return state, self.nes.getAudio(split_channels=True), self.seen

    def close(self) -> None:
        self.nes.perFrame(lambda: None)  # drops the callback's reference to this run
        del self.nes, self.mem


def digest(data) -> str:
    return hashlib.blake2b(data, digest_size=8).hexdigest()


def worker(carts: list[str], frames: int, seed: int) -> None:
    """Runs each cartridge and prints one line of digests per frame.

    The module's own printing (C stdio) goes to a capture file, read after
    every frame; our lines go to the original standard output."""
    out = os.fdopen(os.dup(1), "w", buffering=1 << 16)
    home = pathlib.Path(os.environ["HOME"])
    with open(home / "stdout.txt", "wb") as sink:
        os.dup2(sink.fileno(), 1)
    capture = open(home / "stdout.txt", "rb")  # an offset of its own
    libc = ctypes.CDLL(None)
    import kestrix

    print(f"module {kestrix.__file__}", file=out, flush=True)

    def new_output() -> str:
        libc.fflush(None)
        text = capture.read()
        return digest(text.replace(str(home).encode(), b"$HOME")) if text else "-"

    for ci, cart in enumerate(carts):
        saves = home / f"saves{ci}"
        saves.mkdir()
        try:
            run = Run(kestrix, cart, seed, saves)
        except Exception as e:  # a cartridge refused: the refusal is the behaviour to compare
            print(f"cart {ci} {pathlib.Path(cart).name} output={new_output()} refused={type(e).__name__}:"
                  + str(e).replace(str(home), "$HOME").replace(" ", "_"), file=out)
            continue
        nes, mem = run.nes, run.mem
        print(f"cart {ci} {pathlib.Path(cart).name} output={new_output()}", file=out)
        for f in range(1, frames + 1):
            state, audio, seen = run.step()
            rec = {
                "img": digest(nes.getImg()), "cpu": digest(mem), "ppu": digest(nes.ppuMem()),
                "oam": digest(nes.OAM()), "pal": digest(nes.colorLookup()), "frames": str(nes.frameCount()),
                "cycles": str(nes.cycleCount()), "audio": digest(b"|".join(audio)) + f"x{len(audio)}",
                "callback": ",".join(seen) or "-", "output": new_output(), "state": state,
            }
            print(f"{ci} {f} " + " ".join(f"{k}={rec[k]}" for k in FIELDS), file=out)
        del nes, mem
        run.close()
    out.flush()


def dump_frame(cart: str, frame: int, seed: int, folder: pathlib.Path) -> None:
    """Replays one cartridge up to `frame` and writes the raw memories there."""
    import numpy as np

    os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
    import kestrix

    saves = pathlib.Path(os.environ["HOME"]) / "saves"
    saves.mkdir()
    run = Run(kestrix, cart, seed, saves)
    for _ in range(frame):
        run.step()
    nes = run.nes
    np.savez(folder / "frame.npz", img=nes.getImg(), cpu=nes.cpuMem(), ppu=nes.ppuMem(), oam=nes.OAM(),
             pal=nes.colorLookup())


# ---------------------------------------------------------------- comparison

class Side:
    """One build's worker process."""

    def __init__(self, label: str, module_dir: pathlib.Path, carts: list[str], frames: int, seed: int,
                 tmp: pathlib.Path) -> None:
        self.label = label
        self.home = tmp / label
        (self.home / ".config").mkdir(parents=True)
        env = dict(os.environ, HOME=str(self.home), PYTHONPATH=str(module_dir))
        self.err = open(tmp / f"{label}.err", "w+")
        cmd = [sys.executable, __file__, "--worker", json.dumps({"carts": carts, "frames": frames, "seed": seed})]
        self.proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=self.err, env=env, text=True)
        assert self.proc.stdout is not None
        self.lines = self.proc.stdout

    def line(self) -> str:
        text = self.lines.readline()
        if not text:
            self.proc.wait()
            self.err.seek(0)
            raise RuntimeError(f"the {self.label} worker ended early (status {self.proc.returncode}):\n"
                               + self.err.read()[-3000:])
        return text.rstrip("\n")

    def close(self) -> None:
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()


def parse(line: str) -> dict[str, str]:
    return dict(item.split("=", 1) for item in line.split()[2:])


def describe(cart: str, frame: int, fields: list[str], dirs: tuple[pathlib.Path, pathlib.Path], seed: int,
             tmp: pathlib.Path) -> str:
    """Where the first differing memories differ, from a replay of both builds."""
    import numpy as np

    arrays = []
    for label, module_dir in zip(("ref-dump", "cand-dump"), dirs):
        home = tmp / label
        (home / ".config").mkdir(parents=True)
        env = dict(os.environ, HOME=str(home), PYTHONPATH=str(module_dir))
        subprocess.run([sys.executable, __file__, "--dump", json.dumps(
            {"cart": cart, "frame": frame, "seed": seed, "folder": str(home)})], env=env, check=True)
        arrays.append(np.load(home / "frame.npz"))
    notes = []
    for name in ("img", "cpu", "ppu", "oam", "pal"):
        if name not in fields:
            continue
        a, b = arrays[0][name], arrays[1][name]
        where = np.argwhere(a != b)
        if len(where) == 0:
            continue
        first = tuple(int(i) for i in where[0])
        if name == "img":
            notes.append(f"picture: {len(where)} values differ, first at line {first[0]} x {first[1]} "
                         f"(ref {a[first[:2]].tolist()} candidate {b[first[:2]].tolist()})")
        else:
            notes.append(f"{name}: {len(where)} bytes differ, first at ${first[0]:04X} "
                         f"(ref ${int(a[first]):02X} candidate ${int(b[first]):02X})")
    return "; ".join(notes)


@dataclass
class Pair:
    """A reference and a candidate worker running the same cartridges."""
    ref: Side
    cand: Side
    carts: list[str]
    done: int = 0


def first_difference(pair: Pair, frames: int) -> tuple[int, list[str], str] | int:
    """Reads one cartridge's lines from both workers: the frames compared when
    identical, else (frame, the differing fields, the lines' differing values)."""
    head_r, head_c = pair.ref.line(), pair.cand.line()
    if head_r != head_c:
        return 0, ["loading"], f"  reference {head_r!r}\n  candidate {head_c!r}"
    if " refused=" in head_r:
        return 0
    for f in range(1, frames + 1):
        lr, lc = pair.ref.line(), pair.cand.line()
        if lr != lc:
            a, b = parse(lr), parse(lc)
            fields = [k for k in FIELDS if a.get(k) != b.get(k)]
            return f, fields, "\n".join(f"  {k}: reference {a.get(k)} candidate {b.get(k)}" for k in fields)
    return frames


def compare(ref_dir: pathlib.Path, cand_dir: pathlib.Path, carts: list[pathlib.Path], frames: int,
            seed: int, jobs: int) -> int:
    """Runs the corpus on both builds; prints a line per cartridge and the summary."""
    with tempfile.TemporaryDirectory(prefix="kestrix-same-") as tmpname:
        tmp = pathlib.Path(tmpname)
        groups = max(1, jobs // 2)
        pairs = []
        for g in range(groups):
            group = [str(c) for c in carts[g::groups]]
            pairs.append(Pair(Side(f"ref{g}", ref_dir, group, frames, seed, tmp),
                              Side(f"cand{g}", cand_dir, group, frames, seed, tmp), group))
        t0 = time.monotonic()
        total = 0
        try:
            for pair in pairs:
                print(f"reference: {pair.ref.line().split(' ', 1)[1]}")
                print(f"candidate: {pair.cand.line().split(' ', 1)[1]}")
            # The pairs advance in turn, one cartridge each, so all stay busy.
            while any(pair.done < len(pair.carts) for pair in pairs):
                for pair in pairs:
                    if pair.done == len(pair.carts):
                        continue
                    cart = pair.carts[pair.done]
                    name = pathlib.Path(cart).name
                    diff = first_difference(pair, frames)
                    if not isinstance(diff, int):
                        f, fields, values = diff
                        print(f"DIFFERENT {name}: frame {f}: {', '.join(fields)} differ\n{values}")
                        try:
                            detail = describe(cart, f, fields, (ref_dir, cand_dir), seed, tmp) if f else ""
                            if detail:
                                print("  " + detail)
                        except (subprocess.CalledProcessError, OSError) as e:
                            print(f"  (no detail: {e})")
                        print(f"first difference: {name}, frame {f}, {', '.join(fields)}")
                        return 1
                    total += diff
                    pair.done += 1
                    print(f"same  {name:40s} " + (f"{diff} frames" if diff else "refused by both"), flush=True)
        finally:
            for pair in pairs:
                pair.ref.close()
                pair.cand.close()
        print(f"identical on {len(carts)} cartridges, {total} frames ({time.monotonic() - t0:.0f} s)")
        return 0


# ---------------------------------------------------------------- self-check

# One-line changes of behaviour, tried in order until one applies to the
# candidate's sources: each must be reported by the comparison.
MUTATIONS = (
    ("src/ppu_fast.cpp", "if (overflow) *registers[2] |= 0x20;", "if (overflow) *registers[2] |= 0x00;"),  # no sprite overflow flag
    ("src/cpu.cpp", "memory[0x2002] = c & 0x7F;", "memory[0x2002] = c & 0x3F;"),  # PPUSTATUS read clears sprite-0
)


def selftest(ref_dir: pathlib.Path, args: argparse.Namespace) -> int:
    """Compares the reference with a copy of the candidate that has one line
    changed; passes when the comparison reports a difference."""
    src = pathlib.Path(args.candidate).resolve()
    copy = WORK / "selftest-tree"
    sync_tree(src, copy)
    for rel, old, new in MUTATIONS:
        text = (copy / rel).read_text()
        if text.count(old) == 1:
            (copy / rel).write_text(text.replace(old, new))
            break
    else:
        print("self-check: none of the lines to change is in the candidate's sources", file=sys.stderr)
        return 2
    print(f"self-check: {rel}: {old!r} -> {new!r}", flush=True)
    cand_dir, _ = build_candidate(copy, args.jobs)
    status = compare(ref_dir, cand_dir, corpus(args.quick, args.only), args.frames, args.seed, args.jobs)
    if status == 1:
        print("self-check passed: the changed line was reported")
        return 0
    print("self-check FAILED: the changed line was not reported", file=sys.stderr)
    return 1


# ---------------------------------------------------------------- main

def main() -> int:
    if len(sys.argv) == 3 and sys.argv[1] == "--worker":
        job = json.loads(sys.argv[2])
        worker(job["carts"], job["frames"], job["seed"])
        return 0
    if len(sys.argv) == 3 and sys.argv[1] == "--dump":
        job = json.loads(sys.argv[2])
        dump_frame(job["cart"], job["frame"], job["seed"], pathlib.Path(job["folder"]))
        return 0
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--ref", default="main", help="reference commit (default: main)")
    ap.add_argument("--candidate", default=str(ROOT), help="source tree to check (default: this checkout)")
    ap.add_argument("--frames", type=int, default=600, help="frames per cartridge (default 600)")
    ap.add_argument("--quick", action="store_true", help="a few cartridges and 300 frames, for use while working")
    ap.add_argument("-j", "--jobs", type=int, default=2, help="processes for building and running (default 2)")
    ap.add_argument("--only", help="only cartridges whose file name contains one of these comma-separated texts")
    ap.add_argument("--seed", type=int, default=12, help="seed of the pads")
    ap.add_argument("--selftest", action="store_true",
                    help="check that a one-line change of the candidate is reported")
    args = ap.parse_args()
    if args.quick and args.frames == 600:
        args.frames = 300
    try:
        ref_dir = build_ref(args.ref, args.jobs)
        if args.selftest:
            return selftest(ref_dir, args)
        cand_dir, digest = build_candidate(pathlib.Path(args.candidate), args.jobs)
    except (subprocess.CalledProcessError, RuntimeError) as e:
        print(f"build failed: {e}", file=sys.stderr)
        return 2
    print(f"reference {args.ref}: {ref_dir}\ncandidate {args.candidate} ({digest}): {cand_dir}", flush=True)
    try:
        return compare(ref_dir, cand_dir, corpus(args.quick, args.only), args.frames, args.seed, args.jobs)
    except RuntimeError as e:
        print(f"failed: {e}", file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
