"""Episodes as small files: the seed and the actions, which replay exactly.

A recording is, in this order:
1. the line ``KXEPISODE 1`` (magic and format version);
2. one line of JSON: ``cartridge_sha1`` (hex), ``options`` (the NESEnv
   options as given, RamVariables as their fields, callables by name),
   ``seed`` and ``action_space`` (its repr);
3. one byte per step: the Discrete action, or for MultiBinary the buttons as
   a bit mask (bit k = button k, A first).
"""
from __future__ import annotations

import dataclasses
import json
import os
import pathlib
from typing import Any

import gymnasium as gym
import numpy as np

from .env import NESEnv

MAGIC = b"KXEPISODE 1\n"


def _plain(value: Any) -> Any:
    """Options as JSON values: RamVariables by their fields, callables by name."""
    if dataclasses.is_dataclass(value) and not isinstance(value, type):
        return {type(value).__name__: _plain(dataclasses.asdict(value))}
    if isinstance(value, dict):
        return {str(k): _plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    if callable(value):
        return {"callable": f"{getattr(value, '__module__', '?')}.{getattr(value, '__qualname__', repr(value))}"}
    return value


def header(env: NESEnv, seed: int) -> dict[str, Any]:
    return {"cartridge_sha1": env.cartridge_sha1, "options": _plain(env.options), "seed": seed,
            "action_space": repr(env.action_space)}


def _action_byte(env: NESEnv, action: Any) -> int:
    if isinstance(env.action_space, gym.spaces.MultiBinary):
        return sum(1 << k for k, b in enumerate(np.asarray(action).reshape(8)) if b)
    return int(action)


class RecordEpisode(gym.Wrapper[Any, Any, Any, Any]):
    """Records every episode of a NESEnv to ``folder/episode-NNNNN.kxep``
    (see the module's text for the format); the file is written when the
    episode ends, at the next reset or at close. A reset without a seed gets
    one drawn from the wrapper's generator (seeded by the first seed given),
    so that every recording replays."""

    def __init__(self, env: gym.Env[Any, Any], folder: str | os.PathLike[str]) -> None:
        super().__init__(env)
        if not isinstance(env.unwrapped, NESEnv):
            raise TypeError("RecordEpisode records NESEnv episodes")
        space = env.unwrapped.action_space
        if isinstance(space, gym.spaces.Discrete) and space.n > 256:
            raise ValueError("RecordEpisode keeps an action in a byte: at most 256 actions")
        self.folder = pathlib.Path(folder)
        self.folder.mkdir(parents=True, exist_ok=True)
        self.episodes = 0
        self._seeds: np.random.Generator | None = None
        self._header: dict[str, Any] | None = None
        self._actions = bytearray()
        self.paths: list[pathlib.Path] = []

    def reset(self, *, seed: int | None = None, options: dict[str, Any] | None = None) -> Any:
        self._write()
        if seed is None:
            if self._seeds is None:
                self._seeds = np.random.default_rng()
            seed = int(self._seeds.integers(2**31))
        elif self._seeds is None:
            self._seeds = np.random.default_rng(seed)
        result = self.env.reset(seed=seed, options=options)
        self._header = header(self.env.unwrapped, seed)  # type: ignore[arg-type]
        return result

    def step(self, action: Any) -> Any:
        result = self.env.step(action)  # a refused action is not recorded
        if self._header is not None:
            self._actions.append(_action_byte(self.env.unwrapped, action))  # type: ignore[arg-type]
            if result[2] or result[3]:
                self._write()
        return result

    def close(self) -> None:
        self._write()
        super().close()

    def _write(self) -> None:
        if self._header is None:
            return
        self.episodes += 1
        path = self.folder / f"episode-{self.episodes:05d}.kxep"
        path.write_bytes(MAGIC + json.dumps(self._header).encode() + b"\n" + bytes(self._actions))
        self.paths.append(path)
        self._header = None
        self._actions = bytearray()


def read(path: str | os.PathLike[str]) -> tuple[dict[str, Any], bytes]:
    """A recording's header and its actions (one byte each)."""
    data = pathlib.Path(path).read_bytes()
    if not data.startswith(MAGIC):
        raise ValueError(f"{path}: not an episode recording (no {MAGIC.strip().decode()!r} line)")
    line, sep, actions = data[len(MAGIC):].partition(b"\n")
    try:
        head = json.loads(line) if sep else None
    except ValueError:
        head = None
    if not isinstance(head, dict) or not {"cartridge_sha1", "options", "seed", "action_space"} <= head.keys():
        raise ValueError(f"{path}: the recording's header is damaged")
    return head, actions


def replay(path: str | os.PathLike[str], env: NESEnv) -> list[Any]:
    """The observations of a recorded episode (the reset's first), played
    again in `env`, which must run the same cartridge with the same options."""
    head, actions = read(path)
    env = env.unwrapped  # type: ignore[assignment]
    if head["cartridge_sha1"] != env.cartridge_sha1:
        raise ValueError(f"{path} was recorded on the cartridge with SHA-1 {head['cartridge_sha1']}; "
                         f"this env runs {env.cartridge_sha1}")
    mine = _plain(env.options)
    differ = sorted(k for k in mine.keys() | head["options"].keys() if mine.get(k) != head["options"].get(k))
    if differ:
        raise ValueError(f"{path} was recorded with other env options: {', '.join(differ)} "
                         f"(recorded {', '.join(f'{k}={head['options'].get(k)!r}' for k in differ)})")
    multi = isinstance(env.action_space, gym.spaces.MultiBinary)
    observations = [env.reset(seed=head["seed"])[0]]
    for a in actions:
        action = np.array([(a >> k) & 1 for k in range(8)], np.int8) if multi else int(a)
        observations.append(env.step(action)[0])
    return observations
