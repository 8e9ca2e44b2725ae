"""Where a frame's instructions go, by part of the emulator.

Builds a source tree (default: this checkout) with symbols (RelWithDebInfo:
the release options plus -g, link-time optimisation as in the release build)
under build/profile/, runs `runFrame()` + `getImg()` under callgrind for
FRAMES frames after WARMUP (default 60) of warm-up (only the timed frames are counted;
a game with a scripted start in same_behaviour.START_FRAMES gets Start pressed
on those frames of the warm-up, so give it --warmup past them), and
splits the instructions by part:

    CPU step/dispatch  the CPU's fetch, decode and instructions (cpu*.cpp, cpu.h)
    bus read/write     memory reads/writes, registers, mapper writes, controller, OAM DMA
    PPU background     the PPU's dot loop: tile fetch, scroll, background pixels
    PPU sprites        sprite evaluation, sprite counters and sprite pixels
    RGB conversion     colour index to RGB stores and the picture copy
    PPU other          the PPU's run loop, idle dots, vertical blank
    APU                everything in apu*.cpp and apu*.h
    console loop       the step loop that drives CPU, APU and PPU (NESUnit::single_cycle, step_frame, runFrame)
    binding            the rest of wrapper.cpp, pybind11, NumPy and the interpreter running the loop
    other              anything else (the C library, ...)

Each instruction is given to the innermost function it was inlined from
(addr2line -i), then by name; in the PPU's dot loop itself the source line
decides (what it touches: sprite state, the RGB table or neither). Calls into
the C library (memcpy, memset) count for the part of their caller.

--corpus [DIR] profiles every cartridge in DIR (default: the corpus/ folder
of the shared ROM folder) and any ROM given, and prints a line per cartridge:
the instructions per frame in all and per part. Callgrind runs some fifty
times slower than the module: on a busy machine, a few frames (--frames 20)
already give the split.

Usage:
  .venv/bin/python benchmarks/profile_frame.py [SOURCE_TREE] [ROM ...] [--corpus [DIR]]
      [--frames N] [--perf] [--top K]

Needs valgrind (apt-get install valgrind) and binutils' addr2line. --perf
also samples the run with `perf record` (software clock where the machine
has no hardware counters) and prints the top symbols."""
from __future__ import annotations

import argparse
import collections
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "benchmarks"))
from same_behaviour import START_FRAMES, cmake_build, sync_tree, tree_hash  # noqa: E402

PARTS = ("CPU step/dispatch", "bus read/write", "PPU background", "PPU sprites", "RGB conversion", "PPU other",
         "APU", "console loop", "binding", "other")

# Runs the frames, pressing Start on the warm-up frames given (counted from
# 1, as same_behaviour.py counts them). The timed ones run inside a ctypes callback (called once
# by the C library's bsearch), so that callgrind can collect only inside
# ctypes' closure_fcn: the start-up and warm-up are not counted.
DRIVER = r"""
import ctypes, os, sys
os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
import kestrix
rom, frames, warmup = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
starts = {int(f) for f in sys.argv[4].split(",") if f}
nes = kestrix.NES(rom)
pad = kestrix.Controller()
if starts:
    nes.setController(pad, 0)
for i in range(warmup):
    pad.updateInputs([b == 3 and i + 1 in starts for b in range(8)])
    nes.runFrame()
    nes.getImg()
def measured(a, b):
    for _ in range(frames):
        nes.runFrame()
        nes.getImg()
    return 0
CMP = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)
libc = ctypes.CDLL(None)
key, table = ctypes.c_int(0), (ctypes.c_int * 1)(0)
libc.bsearch(ctypes.byref(key), table, 1, 4, CMP(measured))
"""

# By innermost function name (after the class prefix), first match wins.
BY_NAME: tuple[tuple[str, str], ...] = (
    (r"^NES::CPU::(read|write|read_register|read_register_cell|write_register|call_map_read|call_map_write"
     r"|map_memory|fold|oam_dma|fetch|peek|poke|bus)", "bus read/write"),
    (r"^NES::(\w*Mapper\w*|NROM|MMC1|MMC3|UxROM|CNROM|NTDEC\w*)::", "bus read/write"),
    (r"^NES::Controller", "bus read/write"),
    (r"^NES::CPU::", "CPU step/dispatch"),
    (r"^NES::APU::", "APU"),
    (r"^NES::PPU::\w*(sprite|oam|evaluate)", "PPU sprites"),
    (r"^NES::PPU::\w*(rgb|RGB|color|colour|frame_copy|present|publish)", "RGB conversion"),
    (r"^NES::PPU::(v_horiz|v_vert|fold_nt|\w*(tile|background|bg|fetch)\w*)", "PPU background"),
    (r"^NES::PPU::(span_pixels|visible_span)", "PPU dot loop"),
    (r"^NES::PPU::", "PPU other"),
    (r"^NESUnit::(single_cycle|step_frame|runFrame|sync_ppu|frame_callback|run_until)", "console loop"),
    (r"NESUnit::|^pybind11::|ControllerWrapper|PyInit", "binding"),
)
# In the dot loop, what a source line touches.
SPRITE_WORDS = re.compile(r"sprite|line_x|pixel_counter|\bam\b|active_mask|s_value|s_palette|behind|chosen|"
                          r"spr_left|line_count|\blc\b|sprites_on|secondary_oam|eval_")
RGB_WORDS = re.compile(r"NTSC_TO_RGB|\brow\b|row\[|cache\[|rgb|RGB")
LIBC_CALLEES = re.compile(r"^(__)?(memcpy|memmove|memset|memcmp)\w*")


def build(tree: pathlib.Path, jobs: int) -> pathlib.Path:
    tree = tree.resolve()
    base = ROOT / "build" / "profile" / tree_hash(tree)
    mods = list((base / "build").glob("kestrix*.so"))
    if mods:
        return mods[0]
    sync_tree(tree, base / "tree")
    print(f"building {tree} with symbols ({base / 'build.log'})", flush=True)
    cmake_build(base / "tree", base / "build", jobs, base / "build.log",
                ("-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g"))
    return next((base / "build").glob("kestrix*.so"))


def parse_callgrind(path: pathlib.Path, module: str):
    """Self instructions per (object, address) and per (object, function), and
    the instructions of C-library calls made from the module, per call site."""
    names: dict[tuple[str, str], str] = {}
    per_addr: collections.Counter = collections.Counter()
    per_fn: collections.Counter = collections.Counter()
    lib_calls: collections.Counter = collections.Counter()  # (call site address) -> instructions
    lib_fn_in_module_calls: collections.Counter = collections.Counter()  # callee name -> instructions
    ob = fn = cob = cfn = ""
    pending_call = False
    last = [0, 0]
    summary = 0

    def name(kind: str, text: str) -> str:
        m = re.match(r"\((\d+)\)(?: (.*))?", text)
        if not m:
            return text
        key = (kind, m.group(1))
        if m.group(2) is not None:
            names[key] = m.group(2)
        return names.get(key, "?")

    with open(path) as f:
        for line in f:
            c = line[0]
            if c in "0123456789+-*":
                parts = line.split()
                pos = []
                for i, tok in enumerate(parts[:2]):
                    if tok == "*":
                        v = last[i]
                    elif tok[0] in "+-":
                        v = last[i] + int(tok, 0)
                    else:
                        v = int(tok, 0)
                    pos.append(v)
                last = pos
                cost = int(parts[2]) if len(parts) > 2 else 0
                if pending_call:
                    pending_call = False
                    if ob == module and LIBC_CALLEES.match(cfn) and cob != module:
                        lib_calls[pos[0]] += cost
                        lib_fn_in_module_calls[cfn] += cost
                    cob = ""
                    continue
                per_addr[(ob, pos[0])] += cost
                per_fn[(ob, fn)] += cost
                continue
            if line.startswith("summary:"):
                summary = int(line.split(":", 1)[1])
                continue
            key, _, value = line.rstrip("\n").partition("=")
            if key == "ob":
                ob = name("ob", value)
            elif key == "fn":
                fn = name("fn", value)
            elif key == "cob":
                cob = name("ob", value)
            elif key == "cfn":
                cfn = name("fn", value)
                cob = cob or ob
            elif key == "calls":
                pending_call = True
            if key in ("fn", "ob"):
                cob = ""
    return per_addr, per_fn, lib_calls, lib_fn_in_module_calls, summary


def inline_chains(module: pathlib.Path, offsets: list[int]) -> dict[int, list[tuple[str, str]]]:
    """For each offset: [(function, file:line), ...], innermost first."""
    out: dict[int, list[tuple[str, str]]] = {}
    if not offsets:
        return out
    # A marker address after each query separates the answers.
    text = "".join(f"{o:#x}\n0\n" for o in offsets)
    proc = subprocess.run(["addr2line", "-f", "-i", "-C", "-e", str(module)], input=text, capture_output=True,
                          text=True, check=True)
    lines = proc.stdout.splitlines()
    i = 0
    for o in offsets:
        chain = []
        while i + 1 < len(lines) and not (lines[i] == "??" and lines[i + 1] in ("??:0", "??:?")):
            chain.append((lines[i], lines[i + 1]))
            i += 2
        i += 2  # the marker's "?? ??:0"
        out[o] = chain
    return out


def load_bias(module: pathlib.Path, per_fn_addrs: dict[str, list[int]]) -> int:
    """Run-time address minus file offset of the module's code, from the
    entries of its executed functions."""
    syms: dict[str, int] = {}
    proc = subprocess.run(["nm", "-C", "--defined-only", str(module)], capture_output=True, text=True, check=True)
    for line in proc.stdout.splitlines():
        parts = line.split(" ", 2)
        if len(parts) == 3 and parts[1] in "tTwW":
            syms.setdefault(parts[2], int(parts[0], 16))
    votes: collections.Counter = collections.Counter()
    for fn, addrs in per_fn_addrs.items():
        if fn in syms:
            votes[min(addrs) - syms[fn]] += 1
    if not votes:
        raise RuntimeError("cannot place the module's code: no executed function matches its symbols")
    return votes.most_common(1)[0][0]


def ppu_line_part(where: str, sources: dict[str, list[str]]) -> str:
    """The part of a line of the PPU's pixel loops, by the names it uses."""
    file, _, line = where.partition(":")
    text = line_text(sources, file, line)
    if SPRITE_WORDS.search(text):
        return "PPU sprites"
    if RGB_WORDS.search(text):
        return "RGB conversion"
    return "PPU background"


def classify(chain: list[tuple[str, str]], sources: dict[str, list[str]]) -> str:
    for func, where in chain:
        func = re.sub(r"^[^\s(]+ (?=[\w:]+::)", "", func)  # a template's return type
        short = re.sub(r"\(.*", "", func) if "{lambda" not in func else func
        for pattern, part in BY_NAME:
            if re.search(pattern, short):
                if part != "PPU dot loop":
                    return part
                return ppu_line_part(where, sources)
        if "{lambda" in func and "PPU::" in func:
            return ppu_line_part(where, sources)
        file = where.partition(":")[0]
        if "/pybind11/" in file or file.endswith("wrapper.cpp") or file.endswith("wrapper.h"):
            return "binding"
        if file.endswith(("apu.cpp", "apu_fast.cpp", "apu.h", "apu_mix.h")):
            return "APU"
    return "binding"  # module code with no known source: pybind11's glue


def line_text(sources: dict[str, list[str]], file: str, line: str) -> str:
    if file not in sources:
        try:
            sources[file] = pathlib.Path(file).read_text(errors="replace").splitlines()
        except OSError:
            sources[file] = []
    digits = re.match(r"\d+", line)
    n = int(digits.group(0)) if digits else 0
    lines = sources[file]
    return lines[n - 1] if 0 < n <= len(lines) else ""


def profile(module: pathlib.Path, rom: str, frames: int, tmp: pathlib.Path, warmup: int = 60) -> dict:
    out = tmp / f"callgrind.{pathlib.Path(rom).stem}.out"
    home = tmp / "home"
    (home / ".config").mkdir(parents=True, exist_ok=True)
    env = dict(os.environ, HOME=str(home), PYTHONPATH=str(module.parent))
    driver = tmp / "driver.py"
    driver.write_text(DRIVER)
    starts = ",".join(str(f) for r in START_FRAMES.get(pathlib.Path(rom).name, ()) for f in r)
    subprocess.run(["valgrind", "--tool=callgrind", "--collect-atstart=no", "--toggle-collect=closure_fcn",
                    "--dump-instr=yes", f"--callgrind-out-file={out}", sys.executable, str(driver), rom, str(frames), str(warmup),
                    starts],
                   env=env, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    per_addr, per_fn, lib_calls, lib_names, total = parse_callgrind(out, str(module))
    mod = str(module)
    fn_addrs = functions_addresses(out, mod)
    bias = load_bias(module, fn_addrs)
    addrs = sorted({a for (ob, a) in per_addr if ob == mod} | set(lib_calls))
    chains = inline_chains(module, [a - bias for a in addrs])
    sources: dict[str, list[str]] = {}
    parts: collections.Counter = collections.Counter()
    lines: collections.Counter = collections.Counter()
    for (ob, addr), cost in per_addr.items():
        if ob == mod:
            chain = chains[addr - bias]
            parts[classify(chain, sources)] += cost
            if chain:
                lines[(chain[0][0].split("(")[0], chain[0][1])] += cost
        elif "python" in ob or "numpy" in ob or "_ctypes" in ob or "libffi" in ob:
            parts["binding"] += cost
        else:
            parts["other"] += cost
    for addr, cost in lib_calls.items():
        part = classify(chains[addr - bias], sources)
        if part.startswith("PPU"):
            part = "RGB conversion"  # the PPU's block copies are the picture's
        parts[part] += cost
        parts["other"] -= cost
    return {"total": total, "parts": parts, "lines": lines, "lib": lib_names, "out": out}


def functions_addresses(path: pathlib.Path, module: str) -> dict[str, list[int]]:
    """Executed addresses per function of the module (names without their argument lists)."""
    res: dict[str, list[int]] = collections.defaultdict(list)
    names: dict[tuple[str, str], str] = {}
    ob = fn = ""
    last = 0
    skip = False

    def name(kind: str, text: str) -> str:
        m = re.match(r"\((\d+)\)(?: (.*))?", text)
        if not m:
            return text
        if m.group(2) is not None:
            names[(kind, m.group(1))] = m.group(2)
        return names.get((kind, m.group(1)), "?")

    with open(path) as f:
        for line in f:
            c = line[0]
            if c in "0123456789+-*":
                tok = line.split(None, 1)[0]
                last = last if tok == "*" else (last + int(tok, 0) if tok[0] in "+-" else int(tok, 0))
                if skip:
                    skip = False
                elif ob == module:
                    res[fn].append(last)
                continue
            key, _, value = line.rstrip("\n").partition("=")
            if key == "ob":
                ob = name("ob", value)
            elif key == "fn":
                fn = name("fn", value)
            elif key in ("cob", "cfn"):
                name("ob" if key == "cob" else "fn", value)
            elif key == "calls":
                skip = True
    return res


def print_parts_by_part(roms: list[str], results: dict[str, dict], frames: int) -> None:
    """A line per part, a column pair (share, instructions per frame) per cartridge."""
    names = [pathlib.Path(r).name for r in roms]
    print("| part | " + " | ".join(f"{n}: % | {n}: instr/frame" for n in names) + " |")
    print("|---|" + "---|---|" * len(roms))
    for part in PARTS:
        cells = []
        for rom in roms:
            r = results[rom]
            v = r["parts"].get(part, 0)
            cells.append(f"{100 * v / r['total']:.1f} | {v / frames:,.0f}")
        print(f"| {part} | " + " | ".join(cells) + " |")
    print("| total | " + " | ".join(f"100 | {results[r]['total'] / frames:,.0f}" for r in roms) + " |")


def print_parts_by_cartridge(roms: list[str], results: dict[str, dict], frames: int) -> None:
    """A line per cartridge: instructions per frame in all and per part."""
    print("| cartridge | total | " + " | ".join(PARTS) + " |")
    print("|---|---|" + "---|" * len(PARTS))
    for rom in roms:
        name = pathlib.Path(rom).name
        r = results.get(rom)
        if r is None:
            print(f"| {name} | failed |" + " |" * len(PARTS))
            continue
        cells = [f"{r['parts'].get(part, 0) / frames:,.0f}" for part in PARTS]
        print(f"| {name} | {r['total'] / frames:,.0f} | " + " | ".join(cells) + " |")


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("tree", nargs="?", default=str(ROOT), help="source tree (default: this checkout)")
    ap.add_argument("roms", nargs="*", help="cartridges (default: nes15 and benchmarks/roms/demo-sprites.nes); "
                    "with --corpus, profiled after the corpus")
    ap.add_argument("--corpus", nargs="?", const="", metavar="DIR",
                    help="every cartridge in DIR (default: corpus/ of the shared ROM folder), a line each")
    ap.add_argument("--frames", type=int, default=300)
    ap.add_argument("--warmup", type=int, default=60, help="frames run before the counted ones")
    ap.add_argument("--top", type=int, help="source lines to list per cartridge (default 15; 0 with --corpus)")
    ap.add_argument("--perf", action="store_true", help="also sample the run with perf record")
    ap.add_argument("-j", "--jobs", type=int, default=2)
    args = ap.parse_args()
    if not shutil.which("valgrind"):
        print("valgrind is needed: apt-get install valgrind", file=sys.stderr)
        return 2
    from compare_peers import chosen_roms

    if pathlib.Path(args.tree).is_file() or args.tree.lower().endswith(".nes"):  # only cartridges were given
        args.roms.insert(0, args.tree)
        args.tree = str(ROOT)
    if args.top is None:
        args.top = 0 if args.corpus is not None else 15
    roms = chosen_roms(args)
    module = build(pathlib.Path(args.tree), args.jobs)
    with tempfile.TemporaryDirectory(prefix="kestrix-profile-") as tmpname:
        tmp = pathlib.Path(tmpname)
        results = {}
        for rom in roms:
            print(f"callgrind: {pathlib.Path(rom).name}, {args.frames} frames ...", flush=True)
            try:
                results[rom] = profile(module, rom, args.frames, tmp, args.warmup)
            except (subprocess.CalledProcessError, RuntimeError) as e:
                if args.corpus is None:
                    raise
                print(f"  failed: {e}", flush=True)
        print()
        if args.corpus is not None:
            print_parts_by_cartridge(roms, results, args.frames)
        else:
            print_parts_by_part(roms, results, args.frames)
        for rom in results if args.top else ():
            r = results[rom]
            print(f"\n{pathlib.Path(rom).name}: the {args.top} most expensive source lines (innermost function)")
            for (func, where), cost in r["lines"].most_common(args.top):
                print(f"  {100 * cost / r['total']:5.1f}%  {cost / args.frames:10,.0f}/frame  "
                      f"{where.replace(str(module.parent.parent / 'tree') + '/', '')}  {func}")
            if r["lib"]:
                print("  C library calls from the module: " + ", ".join(
                    f"{k} {v / args.frames:,.0f}/frame" for k, v in r["lib"].most_common()))
        if args.perf:
            for rom in results:
                perf(module, rom, max(args.frames, 3000), tmp)
    return 0


def perf(module: pathlib.Path, rom: str, frames: int, tmp: pathlib.Path) -> None:
    data = tmp / "perf.data"
    env = dict(os.environ, HOME=str(tmp / "home"), PYTHONPATH=str(module.parent))
    rec = subprocess.run(["perf", "record", "-e", "cpu-clock", "-F", "2000", "-o", str(data), "--",
                          sys.executable, str(tmp / "driver.py"), rom, str(frames), "60", ""],
                         env=env, capture_output=True, text=True)
    if rec.returncode:
        print(f"perf record failed: {rec.stderr.strip()[-500:]}")
        return
    rep = subprocess.run(["perf", "report", "-i", str(data), "--stdio", "--sort", "dso,symbol", "--percent-limit", "1"],
                         capture_output=True, text=True)
    print(f"\nperf record (cpu-clock samples), {pathlib.Path(rom).name}, {frames} frames:")
    for line in rep.stdout.splitlines():
        if line.strip() and not line.startswith("#"):
            print(re.sub(r"(\s+-)*\s*$", "", line))


if __name__ == "__main__":
    sys.exit(main())
