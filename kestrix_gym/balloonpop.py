"""The BalloonPop task: the project's demo cartridge as an environment, and
a scripted policy that plays it from the RAM."""
from __future__ import annotations

import importlib.resources
from typing import Any

import numpy as np

from .buttons import ACTION_LISTS
from .env import NESEnv
from .vector import VectorNESEnv
from .ram import RamVariable

ENV_ID = "kestrix/BalloonPop-v0"

# The cartridge's RAM map.
GAME_STATE = RamVariable(0x00)           # 0 title, 1 playing, 2 game over
SCORE = RamVariable(0x03, 2, "little", bcd=True)
TIMER = RamVariable(0x05)                # whole seconds left in the round
TITLE, PLAYING, GAME_OVER = 0, 1, 2
PLAYER_Y = 0x0204                        # OAM buffer entry 1: Y byte and
PLAYER_X = 0x0207                        # X byte, the player's position
SHOT_Y = 0x020C                          # OAM buffer entry 3, Y byte ($FF: no shot)
BALLOONS = slice(0x0210, 0x0260)         # OAM buffer entries 4-23
HIDDEN_Y = 0xEF                          # sprites at this Y or below are off screen
# The shot leaves 4 pixels right of the player's X and 8 above its Y, flies
# up 8 pixels a frame until it passes Y 24 and pops a balloon whose X and Y
# are -4..4 and -12..5 from its own.
SHOT_DX, SHOT_DY, SHOT_SPEED, SHOT_TOP = 4, -8, 8, 24
HIT_X, HIT_Y = (-4, 4), (-12, 5)

ACTIONS = ACTION_LISTS["shooter"]        # "", Left, Right, B, Left+B, Right+B, A
NOOP, LEFT, RIGHT, FIRE = 0, 1, 2, 3
# Start is tapped on the title screen, then a few frames let the round begin.
START = ("10=Start", "16-30=")


def rom_bytes() -> bytes:
    return importlib.resources.files(__package__).joinpath("roms/balloonpop.nes").read_bytes()


def settings(**kwargs: Any) -> dict[str, Any]:
    """The task's NESEnv options, `kwargs` overriding them."""
    return dict(actions=ACTIONS, start=START,
                variables={"game_state": GAME_STATE, "score": SCORE, "timer": TIMER},
                reward="score", terminated=("game_state", GAME_OVER)) | kwargs


def make_env(rom: str | bytes | None = None, **kwargs: Any) -> NESEnv:
    """NESEnv on the BalloonPop cartridge: reward = score change, episode end
    = game over; keyword arguments override the defaults."""
    return NESEnv(rom_bytes() if rom is None else rom, **settings(**kwargs))


def make_vector(num_envs: int = 1, rom: str | bytes | None = None, **kwargs: Any) -> VectorNESEnv:
    """VectorNESEnv of the task (gym.make_vec's default for its id); `num_threads` and
    NESEnv's options as keywords."""
    return VectorNESEnv(rom_bytes() if rom is None else rom, num_envs, **settings(**kwargs))


class ScriptedPolicy:
    """Walks under the balloon nearest the line of its shot and fires when one
    will be there as the shot passes. Reads the RAM (obs_type="ram" or
    NESEnv.ram()). Balloons drift: their speed is estimated from the
    previous step's picture (`frame_skip` frames ago). B fires on a new
    press only, so the policy never presses it two steps running."""

    def __init__(self, frame_skip: int = 4, tolerance: int = 3) -> None:
        self.frame_skip = frame_skip
        self.tolerance = tolerance
        self.reset()

    def reset(self) -> None:
        self.fired = False
        self.last_x: np.ndarray | None = None

    def __call__(self, ram: np.ndarray) -> int:
        aim = int(ram[PLAYER_X]) + SHOT_DX
        top = int(ram[PLAYER_Y]) + SHOT_DY           # the shot's Y in its first frame
        oam = ram[BALLOONS].reshape(-1, 4).astype(int)
        ys, xs = oam[:, 0], oam[:, 3]
        speed = np.zeros(len(xs))
        if self.last_x is not None:
            speed = ((xs - self.last_x + 128) % 256 - 128) / self.frame_skip
            speed[np.abs(speed) > 4] = 0             # a balloon that popped and restarted
        self.last_x = xs
        frames = np.clip((top - ys) / SHOT_SPEED, 0, (top - SHOT_TOP) / SHOT_SPEED) + 1
        ahead = xs + speed * frames - aim            # where each balloon is when the shot is level
        visible = ys < HIDDEN_Y
        reach = visible & (ys >= SHOT_TOP - HIT_Y[1]) & (ys <= top - HIT_Y[0])
        pool = reach if reach.any() else visible
        if not pool.any():
            action = NOOP
        else:
            dx = float(ahead[pool][np.argmin(np.abs(ahead[pool]))])
            if abs(dx) <= self.tolerance and pool is reach:
                action = FIRE if ram[SHOT_Y] == 0xFF and not self.fired else NOOP
            else:
                action = RIGHT if dx > 0 else LEFT
        self.fired = action == FIRE
        return action
