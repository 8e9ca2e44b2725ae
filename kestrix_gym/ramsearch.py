"""Finds where a game keeps a number: run the console, then keep the
addresses whose value changed as the number did, and repeat.

    python -m kestrix_gym.ramsearch ROM [--start PRESS [PRESS ...]] STEP... [--max N]

Steps run in order: ``--run FRAMES[:BUTTONS]`` advances the console with the
buttons held (``--run 30:B``, ``--run 60:Right+A``); ``--keep RULE`` keeps
the candidates whose value, against the value at the previous ``--keep``
(or after the start), ``increased``, ``decreased``, stayed ``unchanged``,
``changed``, or is ``equal=V`` now. Every address of CPU memory
($0000-$FFFF) starts as a candidate. At the end every remaining address is
printed in ascending order as ``$XXXX value``, one per line (the first N
with ``--max N``).

In a notebook: ``RamSearch(rom, start).run(30, "B").keep("increased")``,
then ``.results()``."""
from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence
from typing import Any

import numpy as np

from ._engine import Console
from .buttons import buttons_at, buttons_from_names, parse_presses
from .env import _mask, rom_data

RULES = ("increased", "decreased", "unchanged", "changed")


class RamSearch:
    """Candidates for a number in CPU memory, narrowed step by step."""

    def __init__(self, rom: str | os.PathLike[str] | bytes, start: str | Sequence[str] | None = None) -> None:
        self.console = Console(rom_data(rom))
        presses = parse_presses(start) if start else []
        for frame in range(max((end for _, end, _ in presses), default=0)):
            self.console.set_buttons(0, _mask(buttons_at(presses, frame)))
            self.console.run_frame()
        self.console.set_buttons(0, 0)
        self.candidates = np.arange(0x10000)
        self.previous = self.console.cpu_memory().copy()

    def run(self, frames: int, buttons: str = "") -> RamSearch:
        """Advances `frames` frames with `buttons` held ("B", "Right+A", "" for none)."""
        if frames < 0:
            raise ValueError("frames must be at least 0")
        self.console.set_buttons(0, _mask(buttons_from_names(buttons)))
        self.console.run_frame(frames)
        self.console.set_buttons(0, 0)
        return self

    def keep(self, rule: str) -> RamSearch:
        """Keeps the candidates that follow `rule` (see the module's text)."""
        now = self.console.cpu_memory().copy()
        old, new = self.previous[self.candidates], now[self.candidates]
        if rule.startswith("equal="):
            try:
                value = int(rule[6:], 0)
            except ValueError:
                raise ValueError(f"keep {rule!r}: equal= needs a number (0-255, $-less hex as 0x..)") from None
            chosen = new == value
        elif rule in RULES:
            chosen = {"increased": new > old, "decreased": new < old, "unchanged": new == old,
                      "changed": new != old}[rule]
        else:
            raise ValueError(f"keep {rule!r}: use one of {', '.join(RULES)} or equal=V")
        self.candidates = self.candidates[chosen]
        self.previous = now
        return self

    def results(self) -> list[tuple[int, int]]:
        """The remaining (address, value) pairs, in ascending order."""
        memory = self.console.cpu_memory()
        return [(int(a), int(memory[a])) for a in self.candidates]


class _Step(argparse.Action):
    """Collects --run and --keep in the order given."""

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, values: Any,
                 option_string: str | None = None) -> None:
        steps = getattr(namespace, "steps", None) or []
        steps.append((self.dest, values))
        namespace.steps = steps


def _run_step(text: str) -> tuple[int, str]:
    frames, _, buttons = text.partition(":")
    try:
        n = int(frames)
        buttons_from_names(buttons)
    except ValueError as e:
        raise argparse.ArgumentTypeError(f"--run {text!r}: expected FRAMES[:BUTTONS] ({e})") from None
    if n < 0:
        raise argparse.ArgumentTypeError(f"--run {text!r}: frames must be at least 0")
    return n, buttons


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(prog="python -m kestrix_gym.ramsearch", description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("rom", help="cartridge image (.nes)")
    ap.add_argument("--start", nargs="+", default=None, metavar="PRESS",
                    help="presses after power-on, e.g. 10=Start 16-30=")
    ap.add_argument("--run", dest="run", type=_run_step, action=_Step, metavar="FRAMES[:BUTTONS]")
    ap.add_argument("--keep", dest="keep", action=_Step, metavar="RULE",
                    help="increased, decreased, unchanged, changed or equal=V")
    ap.add_argument("--max", type=int, default=None, metavar="N", help="print at most N addresses")
    args = ap.parse_args(argv)
    try:
        search = RamSearch(args.rom, args.start)
        for kind, value in getattr(args, "steps", None) or []:
            if kind == "run":
                search.run(*value)
            else:
                search.keep(value)
    except (OSError, ValueError) as e:
        print(f"ramsearch: {e}", file=sys.stderr)
        return 2
    found = search.results()
    for address, value in found[:args.max] if args.max is not None else found:
        print(f"${address:04X} {value}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
