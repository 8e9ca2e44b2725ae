"""The BalloonPop task: the project's demo cartridge as an environment, and
a scripted policy that plays it from the RAM."""
from __future__ import annotations

import importlib.resources
from typing import Any

import numpy as np

from .buttons import ACTION_LISTS
from .env import NESEnv
from .ram import RamVariable

ENV_ID = "kestrix/BalloonPop-v0"

# The cartridge's RAM map.
GAME_STATE = RamVariable(0x00)           # 0 title, 1 playing, 2 game over
SCORE = RamVariable(0x03, 2, "little", bcd=True)
TIMER = RamVariable(0x05)                # whole seconds left in the round
TITLE, PLAYING, GAME_OVER = 0, 1, 2
PLAYER_X = 0x0207                        # OAM buffer entry 1, X byte
SHOT_Y = 0x020C                          # OAM buffer entry 3, Y byte ($FF: no shot)
BALLOONS = slice(0x0210, 0x0260)         # OAM buffer entries 4-23
SHOT_OFFSET = 4                          # the shot leaves 4 pixels right of the player's X
HIDDEN_Y = 0xEF                          # sprites at this Y or below are off screen

ACTIONS = ACTION_LISTS["shooter"]        # "", Left, Right, B, Left+B, Right+B, A
NOOP, LEFT, RIGHT, FIRE = 0, 1, 2, 3
# Start is tapped on the title screen, then a few frames let the round begin.
START = ("10=Start", "16-30=")


def rom_bytes() -> bytes:
    return importlib.resources.files(__package__).joinpath("roms/balloonpop.nes").read_bytes()


def make_env(rom: str | bytes | None = None, **kwargs: Any) -> NESEnv:
    """NESEnv on the BalloonPop cartridge: reward = score change, episode end
    = game over; keyword arguments override the defaults."""
    settings: dict[str, Any] = dict(
        actions=ACTIONS, start=START,
        variables={"game_state": GAME_STATE, "score": SCORE, "timer": TIMER},
        reward="score", terminated=("game_state", GAME_OVER))
    settings.update(kwargs)
    return NESEnv(rom_bytes() if rom is None else rom, **settings)


class ScriptedPolicy:
    """Walks under the balloon nearest the shot's line and fires when it is
    above. Reads the RAM (obs_type="ram" or NESEnv.ram()). B fires on a new
    press only, so the policy remembers whether it pressed it last step."""

    def __init__(self, tolerance: int = 3) -> None:
        self.tolerance = tolerance
        self.fired = False

    def reset(self) -> None:
        self.fired = False

    def __call__(self, ram: np.ndarray) -> int:
        aim = int(ram[PLAYER_X]) + SHOT_OFFSET
        oam = ram[BALLOONS].reshape(-1, 4)
        xs = oam[oam[:, 0] < HIDDEN_Y, 3].astype(int)
        if xs.size == 0:
            action = NOOP
        else:
            dx = int(xs[np.argmin(np.abs(xs - aim))]) - aim
            if abs(dx) <= self.tolerance:
                action = FIRE if ram[SHOT_Y] == 0xFF and not self.fired else NOOP
            else:
                action = RIGHT if dx > 0 else LEFT
        self.fired = action == FIRE
        return action
