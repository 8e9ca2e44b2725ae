"""The loop a reinforcement-learning user writes: many consoles in one
process, random actions, episodes reset from a save state.

Usage: agent.py [ROM] [--consoles N] [--steps N] [--episode N] [--skip K] [--seed S]

Each console warms up past the title screen, keeps that moment in save-state
slot 0 and from then on plays random button combinations, each held for K
frames (one agent step). An episode ends after --episode steps and restarts
by loading slot 0. Since all consoles run the same cartridge they would
share its save folder; each gets a temporary folder of its own through
setSaveDir. The observation here is a 60 x 64 grey image (every 4th pixel);
a real agent would feed it to its policy. At the end the script prints the
frames per second of all consoles together."""
from __future__ import annotations

import argparse
import pathlib
import sys
import tempfile
import time

import numpy as np

import kestrix
from media import BUTTONS, CartridgeError, InputScript, default_rom, open_console

RESET_SLOT = 0
# Leaves the title screen: Start is tapped, then the game gets a moment to begin.
WARMUP = InputScript.parse(["150=Start"])
WARMUP_FRAMES = 240
GREY_WEIGHTS = np.array([77, 150, 29], dtype=np.uint16)  # sums to 256


class Env:
    """One console as an episodic environment."""

    def __init__(self, nes: kestrix.NES, save_dir: str, skip: int) -> None:
        self.nes = nes
        if not self.nes.setSaveDir(save_dir):
            raise RuntimeError(f"cannot use {save_dir} as save folder")
        self.pad = kestrix.Controller()
        self.nes.setController(self.pad, 0)
        self.skip = skip
        for frame in range(WARMUP_FRAMES):
            self.pad.updateInputs(list(WARMUP.buttons(frame)))
            self.nes.runFrame()
        self.pad.updateInputs([False] * 8)
        self.nes.saveState(RESET_SLOT)
        self.frames = 0

    def reset(self) -> np.ndarray:
        if not self.nes.loadState(RESET_SLOT):
            raise RuntimeError(f"save state {RESET_SLOT} vanished from {self.nes.getSaveDir()}")
        # getImg() still shows the last picture from before the load: the
        # first observation of the episode comes from one frame run after it.
        self.pad.updateInputs([False] * 8)
        self.nes.runFrame()
        self.nes.getAudio()
        self.frames += 1
        return self.observe()

    def step(self, action: np.ndarray) -> np.ndarray:
        """Holds the buttons of `action` (eight flags) for `skip` frames."""
        self.pad.updateInputs(action.tolist())
        for _ in range(self.skip):
            self.nes.runFrame()
            self.nes.getAudio()  # an agent that listens would keep these
        self.frames += self.skip
        return self.observe()

    def observe(self) -> np.ndarray:
        img = self.nes.getImg()[::4, ::4].astype(np.uint16)
        return ((img @ GREY_WEIGHTS) >> 8).astype(np.uint8)


def random_actions(rng: np.random.Generator, n: int) -> np.ndarray:
    """n random pads; opposite directions are never held together."""
    actions = rng.random((n, len(BUTTONS))) < 0.3
    up, down, left, right = (BUTTONS.index(b) for b in ("Up", "Down", "Left", "Right"))
    actions[:, down] &= ~actions[:, up]
    actions[:, left] &= ~actions[:, right]
    return actions


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("rom", nargs="?", default=None, help="cartridge image (.nes)")
    ap.add_argument("--consoles", type=int, default=8, help="consoles in this process (default 8)")
    ap.add_argument("--steps", type=int, default=300, help="agent steps per console (default 300)")
    ap.add_argument("--episode", type=int, default=100, help="steps per episode (default 100)")
    ap.add_argument("--skip", type=int, default=4, help="frames per step (default 4)")
    ap.add_argument("--seed", type=int, default=0, help="random seed")
    args = ap.parse_args(argv)
    if min(args.consoles, args.steps, args.episode, args.skip) < 1:
        ap.error("--consoles, --steps, --episode and --skip must be at least 1")
    rom = pathlib.Path(args.rom) if args.rom else default_rom()
    try:
        # The other consoles load the same file quietly: one report of it is enough.
        consoles = [open_console(rom, log=sys.stderr if i == 0 else None) for i in range(args.consoles)]
    except CartridgeError as e:
        print(e, file=sys.stderr)
        return 2
    rng = np.random.default_rng(args.seed)

    with tempfile.TemporaryDirectory(prefix="kestrix-agent-") as tmp:
        dirs = [pathlib.Path(tmp) / f"console{i}" for i in range(args.consoles)]
        for d in dirs:
            d.mkdir()
        envs = [Env(nes, str(d), args.skip) for nes, d in zip(consoles, dirs)]
        start = time.perf_counter()
        obs = np.stack([env.reset() for env in envs])
        episodes = 0
        for t in range(1, args.steps + 1):
            actions = random_actions(rng, len(envs))
            obs = np.stack([env.step(a) for env, a in zip(envs, actions)])
            if t % args.episode == 0:
                obs = np.stack([env.reset() for env in envs])
                episodes += len(envs)
        wall = time.perf_counter() - start
        frames = sum(env.frames for env in envs)
        slot_files = sum(1 for d in dirs if (d / str(RESET_SLOT)).is_file())

    print(f"consoles:         {len(envs)} (slot files in {slot_files} private save folders)")
    print(f"steps:            {args.steps} per console, {args.skip} frames each; {episodes} episodes ended")
    print(f"observation:      {obs.shape[1]} x {obs.shape[2]} grey, mean {obs.mean():.1f}")
    print(f"frames:           {frames} in {wall:.2f} s")
    print(f"frames/second:    {frames / wall:.0f} all consoles, {frames / wall / len(envs):.0f} each")
    return 0


if __name__ == "__main__":
    sys.exit(main())
