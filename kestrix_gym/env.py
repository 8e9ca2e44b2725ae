"""A Gymnasium environment around one kestrix console."""
from __future__ import annotations

import hashlib
import os
import pathlib
from collections.abc import Callable, Mapping, Sequence
from typing import Any, Literal, SupportsFloat

import gymnasium as gym
import numpy as np
from gymnasium import spaces

from ._engine import Console
from .buttons import BUTTONS, MULTI_BINARY, NO_BUTTONS, action_names, action_table, buttons_at, parse_presses
from .ram import Change, Reaches, RamVariable

RAM_SIZE = 0x800
MEMORY = 0x10000
INFO_KEYS = ("frame_number", "episode_frame_number", "lives")
SCREEN = (240, 256)
FRAME_HZ = 1789773 * 3 / (341 * 262)
# Luma weights in 256ths (0.299, 0.587, 0.114): integer products are cheaper
# than floating ones on the strided channels, and sum to at most 65,280.
GREY = (np.uint16(77), np.uint16(150), np.uint16(29))

RewardFn = Callable[[np.ndarray, np.ndarray], SupportsFloat]
TerminatedFn = Callable[[np.ndarray], bool]


def area_plan(src: int, dst: int) -> tuple[np.ndarray, np.ndarray]:
    """How `dst` cells average `src` cells, each the mean of the source cells
    it covers, fractional cells weighted by their covered part: (index,
    weight), both (k, dst), where k is the most cells one output cell touches
    (weight 0 where it touches fewer)."""
    edges = np.arange(dst + 1) * (src / dst)
    lo, hi = edges[:-1, None], edges[1:, None]
    cells = np.arange(src)[None, :]
    weights = np.clip(np.minimum(hi, cells + 1) - np.maximum(lo, cells), 0, None) / (src / dst)
    first = np.minimum(lo[:, 0].astype(np.intp), src - 1)
    k = int(np.count_nonzero(weights, axis=1).max())
    index = np.minimum(first[None, :] + np.arange(k)[:, None], src - 1)
    weight = np.where(first[None, :] + np.arange(k)[:, None] < src,
                      np.take_along_axis(weights.T, index, axis=0), 0.0)
    return index, weight.astype(np.float32)


def area_resize(pic: np.ndarray, plan: tuple[np.ndarray, np.ndarray], axis: int) -> np.ndarray:
    """Resizes one axis of `pic` (0 or 1) by an area_plan.

    A few weighted gathers rather than a product with the weight matrix: a
    matrix product runs on NumPy's BLAS threads, which spin against the other
    processes of a vector of envs and made two envs slower than one."""
    index, weight = plan
    out: np.ndarray | None = None
    for i, w in zip(index, weight):
        term = pic[i] * w.reshape(-1, *[1] * (pic.ndim - 1)) if axis == 0 else \
            pic[:, i] * w.reshape(1, -1, *[1] * (pic.ndim - 2))
        out = term if out is None else out + term
    assert out is not None
    return out


class NESEnv(gym.Env[np.ndarray, Any]):
    """One console as an episodic environment.

    rom: a cartridge path or its bytes. actions: the name of a ready list
    (see ACTION_LISTS), a list of combinations such as ["", "Right", "Right+A"]
    (action 0 must press nothing), or "multi-binary" for MultiBinary(8) in
    the order A, B, Select, Start, Up, Down, Left, Right. Each step holds the
    action for `frame_skip` frames and sums the reward over them.

    obs_type: "rgb" (240x256x3), "grayscale" (240x256, or 240x256x1 with
    grayscale_newaxis) or "ram" (the 2 KiB of internal RAM); resize=(height,
    width) averages picture areas. with_ram=True makes the observation a Dict
    of the picture ("pixels") and the 2 KiB of RAM ("ram").
    variables: named RamVariables, reported in `info` and usable by name:
    reward="score" is the change of variable "score"; terminated=("state", 2)
    ends the episode when "state" holds 2. Callables are also accepted:
    reward(memory_before, memory_after) per frame, terminated(memory) after
    each frame, each memory the 64 KiB of CPU memory. lives: a variable (or
    its name) reported as info["lives"]; terminate_on_life_loss ends the
    episode after a frame in which it dropped.

    start: presses run after power-on ("150=Start", "200-320=Right+A", as in
    the examples); a snapshot of the console after them is the start of every
    episode. Each reset restores it, runs one frame and then a random number
    (0..noop_max, from the reset's seed) of frames without buttons.
    start_states: snapshots (snapshot()) to start episodes from instead, one
    picked by the reset's seed when there are several.

    The env runs a console of its own engine (kestrix_gym._engine): it prints
    nothing, reads and writes no file and needs no HOME. snapshot() and
    restore() give and take its exact state; cpu_memory, video_memory, oam
    and picture are NumPy views of it. The env can be deep-copied and pickled.
    """

    metadata: dict[str, Any] = {"render_modes": ["rgb_array", "human"], "render_fps": 60}

    def __init__(self, rom: str | os.PathLike[str] | bytes, *,
                 actions: str | Sequence[str | Sequence[str]] = "simple movement",
                 frame_skip: int = 4,
                 obs_type: Literal["rgb", "grayscale", "ram"] = "rgb",
                 resize: int | tuple[int, int] | None = None,
                 variables: Mapping[str, RamVariable] | None = None,
                 reward: str | RewardFn | None = None,
                 terminated: tuple[str, int] | TerminatedFn | None = None,
                 start: str | Sequence[str] | None = None,
                 noop_max: int = 30,
                 max_episode_steps: int | None = None,
                 repeat_action_probability: float = 0.0,
                 max_pool: bool = False,
                 lives: str | RamVariable | None = None,
                 terminate_on_life_loss: bool = False,
                 grayscale_newaxis: bool = False,
                 with_ram: bool = False,
                 start_states: Sequence[bytes] | None = None,
                 render_mode: str | None = None) -> None:
        # What a recording must match (see record.py), as given.
        self.options: dict[str, Any] = {
            "actions": actions, "frame_skip": frame_skip, "obs_type": obs_type, "resize": resize,
            "variables": variables, "reward": reward, "terminated": terminated, "start": start,
            "noop_max": noop_max, "max_episode_steps": max_episode_steps,
            "repeat_action_probability": repeat_action_probability, "max_pool": max_pool, "lives": lives,
            "terminate_on_life_loss": terminate_on_life_loss, "grayscale_newaxis": grayscale_newaxis,
            "with_ram": with_ram, "start_states": start_states}
        if frame_skip < 1 or noop_max < 0:
            raise ValueError("frame_skip must be at least 1 and noop_max at least 0")
        if not 0.0 <= repeat_action_probability <= 1.0:
            raise ValueError("repeat_action_probability must lie in [0, 1]")
        if obs_type not in ("rgb", "grayscale", "ram"):
            raise ValueError(f"obs_type must be 'rgb', 'grayscale' or 'ram', not {obs_type!r}")
        if obs_type == "ram" and (resize is not None or max_pool or with_ram):
            raise ValueError("resize, max_pool and with_ram apply to pictures, not to obs_type='ram'")
        if grayscale_newaxis and obs_type != "grayscale":
            raise ValueError("grayscale_newaxis applies to obs_type='grayscale'")
        if render_mode not in (None, *self.metadata["render_modes"]):
            raise ValueError(f"render_mode must be one of {self.metadata['render_modes']} or None")
        if max_episode_steps is not None and max_episode_steps < 1:
            raise ValueError("max_episode_steps must be at least 1")

        self.variables = dict(variables or {})
        for name in self.variables:
            if name in INFO_KEYS:
                raise ValueError(f"variable name {name!r} is taken by info")
        self._reward = self._reward_rule(reward)
        self._terminated = self._end_rule(terminated)
        self.lives: RamVariable | None = self._variable(lives) if isinstance(lives, str) else lives
        if terminate_on_life_loss and self.lives is None:
            raise ValueError("terminate_on_life_loss needs lives= (a variable)")
        self.terminate_on_life_loss = terminate_on_life_loss
        self.with_ram = with_ram

        data = rom_data(rom)
        self.cartridge_sha1 = hashlib.sha1(data).hexdigest()
        self.frame_skip = frame_skip
        self.obs_type = obs_type
        self.noop_max = noop_max
        self.max_episode_steps = max_episode_steps
        self.repeat_action_probability = repeat_action_probability
        self.max_pool = max_pool
        self.render_mode = render_mode
        self.metadata = {**self.metadata, "render_fps": round(FRAME_HZ / frame_skip)}

        if actions == MULTI_BINARY:
            self._table: list[tuple[bool, ...]] | None = None
            self.action_space: spaces.Space[Any] = spaces.MultiBinary(8)
        else:
            self._table = action_table(actions)
            self.action_space = spaces.Discrete(len(self._table))

        if isinstance(resize, int):
            resize = (resize, resize)
        self._resize: tuple[tuple[np.ndarray, np.ndarray], tuple[np.ndarray, np.ndarray]] | None = None
        shape: tuple[int, ...]
        if obs_type == "ram":
            shape = (RAM_SIZE,)
        else:
            hw = resize or SCREEN
            if resize is not None:
                if min(resize) < 1:
                    raise ValueError("resize needs a positive height and width")
                self._resize = (area_plan(SCREEN[0], resize[0]), area_plan(SCREEN[1], resize[1]))
            shape = (*hw, 3) if obs_type == "rgb" else (*hw, 1) if grayscale_newaxis else tuple(hw)
        self.observation_space: spaces.Space[Any] = spaces.Box(0, 255, shape, np.uint8)
        self._obs_shape = shape
        if with_ram:
            self.observation_space = spaces.Dict(
                {"pixels": self.observation_space, "ram": spaces.Box(0, 255, (RAM_SIZE,), np.uint8)})

        presses = parse_presses(start) if start is not None else []
        self._console: Console | None = Console(data)
        self._window: Any = None
        self._clock: Any = None
        self._buttons = NO_BUTTONS
        self._memory_before = np.zeros(MEMORY, np.uint8)
        self._lives = 0
        self._pictures = np.zeros((2, *SCREEN, 3), np.uint8)
        self._steps = 0
        self._episode_frames = 0

        console = self._console
        if start_states:
            # Snapshots of this cartridge's console (mid-level starts): each is
            # checked by restoring it; a reset picks one by its seed.
            self._starts = [bytes(s) for s in start_states]
            for k, s in enumerate(self._starts):
                try:
                    console.restore(s)
                except ValueError as e:
                    raise ValueError(f"start_states[{k}]: {e}") from None
        else:
            for frame in range(max((end for _, end, _ in presses), default=0)):
                console.set_buttons(0, _mask(buttons_at(presses, frame)))
                console.run_frame()
            console.set_buttons(0, 0)
            self._starts = [console.snapshot()]

    # -- rules -----------------------------------------------------------
    def _variable(self, name: str) -> RamVariable:
        try:
            return self.variables[name]
        except KeyError:
            raise ValueError(f"no RAM variable named {name!r}; variables: {', '.join(self.variables) or 'none'}") from None

    def _reward_rule(self, reward: str | RewardFn | None) -> RewardFn | None:
        if isinstance(reward, str):
            return Change(self._variable(reward))
        if reward is not None and not callable(reward):
            raise TypeError("reward must be a variable name, a callable(ram_before, ram_after) or None")
        return reward

    def _end_rule(self, terminated: tuple[str, int] | TerminatedFn | None) -> TerminatedFn | None:
        if isinstance(terminated, tuple):
            name, value = terminated
            return Reaches(self._variable(name), value)
        if terminated is not None and not callable(terminated):
            raise TypeError("terminated must be (variable name, value), a callable(ram) or None")
        return terminated

    # -- console ---------------------------------------------------------
    def _live(self) -> Console:
        if self._console is None:
            raise RuntimeError("the env is closed")
        return self._console

    @property
    def cpu_memory(self) -> np.ndarray:
        """A view of the console's 64 KiB CPU memory (writes reach the console)."""
        return self._live().cpu_memory()

    @property
    def video_memory(self) -> np.ndarray:
        """A view of the console's 16 KiB video memory."""
        return self._live().video_memory()

    @property
    def oam(self) -> np.ndarray:
        """A view of the console's 256 bytes of sprite memory."""
        return self._live().oam()

    @property
    def picture(self) -> np.ndarray:
        """A view of the last finished frame, 240x256x3 RGB."""
        return self._live().picture()

    def ram(self) -> np.ndarray:
        """A copy of the 2 KiB of internal RAM."""
        return self._live().cpu_memory()[:RAM_SIZE].copy()

    def audio(self) -> bytes:
        """The newest block of 1,024 mixed 16-bit samples (44.1 kHz) not yet
        taken, or b"" (as kestrix's NES.getAudio()[0])."""
        return self._live().audio()

    def snapshot(self) -> bytes:
        """The console's exact state (see restore())."""
        return self._live().snapshot()

    def restore(self, data: bytes) -> None:
        """Puts back a snapshot of this cartridge: the console then does
        exactly what it did after the snapshot. ValueError, and the console
        unchanged, for another cartridge's, a truncated or damaged snapshot.
        The episode's counters are the env's own and stay as they are; the
        held buttons are the snapshot's."""
        console = self._live()
        console.restore(data)
        held = console.buttons(0)
        self._buttons = tuple(bool(held >> k & 1) for k in range(8))

    def _frame(self, buttons: tuple[bool, ...]) -> None:
        if buttons != self._buttons:
            self._live().set_buttons(0, _mask(buttons))
            self._buttons = buttons
        self._live().run_frame()
        self._episode_frames += 1

    # -- Gymnasium API -----------------------------------------------------
    def reset(self, *, seed: int | None = None, options: dict[str, Any] | None = None) -> tuple[np.ndarray, dict[str, Any]]:
        super().reset(seed=seed)
        console = self._live()
        which = int(self.np_random.integers(len(self._starts))) if len(self._starts) > 1 else 0
        console.restore(self._starts[which])
        console.set_buttons(0, 0)
        self._buttons = NO_BUTTONS
        self._episode_frames = 0
        self._steps = 0
        for _ in range(1 + int(self.np_random.integers(0, self.noop_max + 1))):
            self._frame(NO_BUTTONS)
        img = console.picture()
        self._pictures[0] = img
        self._pictures[1] = img
        if self.lives is not None:
            self._lives = self.lives.read(console.cpu_memory())
        if self.render_mode == "human":
            self.render()
        return self._observe(), self._info()

    def step(self, action: Any) -> tuple[np.ndarray, float, bool, bool, dict[str, Any]]:
        console = self._live()
        # What the space contains: ints, NumPy integer scalars and 0-d arrays
        # (lists or arrays of eight 0/1 for MultiBinary). A negative index
        # would otherwise press one of the last combinations, a large one raise IndexError.
        if not self.action_space.contains(action):
            raise ValueError(f"action {action!r} is not in {self.action_space}")
        if self._table is None:
            wanted = tuple(bool(b) for b in np.asarray(action).reshape(8))
        else:
            wanted = self._table[int(action)]
        memory = console.cpu_memory()
        total = 0.0
        terminated = False
        for i in range(self.frame_skip):
            buttons = wanted
            if self.repeat_action_probability and self.np_random.random() < self.repeat_action_probability:
                buttons = self._buttons  # sticky: the previous frame's buttons stay
            if self._reward is not None:
                np.copyto(self._memory_before, memory)
            self._frame(buttons)
            if self._reward is not None:
                total += float(self._reward(self._memory_before, memory))
            if self.max_pool:
                self._pictures[self._episode_frames % 2] = console.picture()
            lost = False
            if self.lives is not None:
                lives = self.lives.read(memory)
                lost = self.terminate_on_life_loss and lives < self._lives
                self._lives = lives
            if lost or (self._terminated is not None and self._terminated(memory)):
                terminated = True
                break
        self._steps += 1
        truncated = (not terminated and self.max_episode_steps is not None
                     and self._steps >= self.max_episode_steps)
        if self.render_mode == "human":
            self.render()
        return self._observe(), total, terminated, bool(truncated), self._info()

    def _observe(self) -> Any:
        pixels = self._picture_obs()
        if self.with_ram:
            return {"pixels": pixels, "ram": self._live().cpu_memory()[:RAM_SIZE].copy()}
        return pixels

    def _picture_obs(self) -> np.ndarray:
        console = self._live()
        if self.obs_type == "ram":
            return console.cpu_memory()[:RAM_SIZE].copy()
        img = self._pictures.max(axis=0) if self.max_pool else console.picture()
        if self.obs_type == "grayscale":
            # Per channel, not `img @ weights`: no BLAS threads (see area_resize).
            luma = img[..., 0] * GREY[0] + img[..., 1] * GREY[1] + img[..., 2] * GREY[2]
            if self._resize is None:
                return ((luma + np.uint16(128)) >> 8).astype(np.uint8).reshape(self._obs_shape)
            pic = luma * np.float32(1 / 256)
        elif self._resize is not None:
            pic = img
        else:
            return img.copy()
        if self._resize is not None:
            pic = area_resize(area_resize(pic, self._resize[0], 0), self._resize[1], 1)
        return np.clip(np.rint(pic), 0, 255).astype(np.uint8).reshape(self._obs_shape)

    def _info(self) -> dict[str, Any]:
        console = self._live()
        memory = console.cpu_memory()
        # The console's frame counter comes back with the start snapshot, so
        # equal seeds give equal infos.
        info: dict[str, Any] = {"frame_number": console.frame_count, "episode_frame_number": self._episode_frames}
        if self.lives is not None:
            info["lives"] = self._lives
        for name, var in self.variables.items():
            info[name] = var.read(memory)
        return info

    def get_action_meanings(self) -> list[str]:
        """The name of each action: its buttons joined by "+" ("NOOP" for
        none); for MultiBinary, the eight buttons in bit order."""
        if self._table is None:
            return list(BUTTONS)
        return action_names(self.options["actions"])

    def render(self) -> np.ndarray | None:
        if self.render_mode is None:
            gym.logger.warn("render() without a render_mode does nothing: pass render_mode='rgb_array' or 'human'")
            return None
        img = self._live().picture().copy()
        if self.render_mode == "rgb_array":
            return img
        self._show(img)
        return None

    def _show(self, img: np.ndarray) -> None:
        try:
            import pygame
        except ImportError:
            raise gym.error.DependencyNotInstalled(
                "render_mode='human' needs pygame-ce: pip install pygame-ce") from None
        scale = 2
        if self._window is None:
            # The display alone: pygame.init() would open the sound too, which
            # on a machine without a sound device floods standard error.
            pygame.display.init()
            pygame.display.set_caption("kestrix")
            self._window = pygame.display.set_mode((SCREEN[1] * scale, SCREEN[0] * scale))
            self._clock = pygame.time.Clock()
        surface = pygame.surfarray.make_surface(img.swapaxes(0, 1))
        self._window.blit(pygame.transform.scale(surface, self._window.get_size()), (0, 0))
        pygame.event.pump()
        pygame.display.flip()
        self._clock.tick(self.metadata["render_fps"])

    def close(self) -> None:
        self._console = None
        if self._window is not None:
            import pygame
            pygame.display.quit()
            self._window = None
        super().close()

    # Copies and pickles carry the console by its snapshot (see
    # _engine.Console); a window stays with the env that opened it.
    def __getstate__(self) -> dict[str, Any]:
        state = self.__dict__.copy()
        state["_window"] = state["_clock"] = None
        return state


def rom_data(rom: str | os.PathLike[str] | bytes) -> bytes:
    """A cartridge given as its path or its bytes, as bytes."""
    if isinstance(rom, (bytes, bytearray)):
        return bytes(rom)
    return pathlib.Path(rom).read_bytes()


def _mask(buttons: Sequence[bool]) -> int:
    """Buttons in the order A, B, Select, Start, Up, Down, Left, Right as the
    engine's bit mask (bit k for button k)."""
    return sum(1 << k for k, pressed in enumerate(buttons) if pressed)
