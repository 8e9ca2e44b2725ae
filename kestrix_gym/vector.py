"""N consoles stepped together by a pool of C++ threads: a native Gymnasium
vector environment of NESEnv's options."""
from __future__ import annotations

import copy
import os
from typing import Any

import numpy as np
from gymnasium.utils import seeding
from gymnasium.vector import AutoresetMode, VectorEnv
from gymnasium.vector.utils import batch_space

from ._engine import Batch
from .env import RAM_SIZE, NESEnv, rom_data
from .ram import AnyOf, Change, Changes, Reaches, RamVariable


def usable_cores() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on every platform
        return os.cpu_count() or 1


class VectorNESEnv(VectorEnv[np.ndarray, np.ndarray, np.ndarray]):
    """`num_envs` consoles of one cartridge with NESEnv's options (`actions`,
    `frame_skip`, `obs_type`, `resize`, `variables`, `reward`, `terminated`,
    `start`, `noop_max`, `max_episode_steps`, `repeat_action_probability`,
    `max_pool`), stepped by `num_threads` C++ threads (default: the usable
    cores) with the interpreter lock released; observations are written
    straight into one batch array. Each env does exactly what a NESEnv with
    the same options, seed and actions does. Reward and episode-end rules
    given as Python callables (other than Change and Reaches) run frame by
    frame in Python, one env after the other (slower).

    Autoreset is Gymnasium's next-step mode: the step after an episode ends
    resets that env (its action is ignored) and returns the first
    observation of the new episode with reward 0. reset(seed=s) seeds env i
    with s + i, as Gymnasium's own vectors do."""

    metadata: dict[str, Any] = {"autoreset_mode": AutoresetMode.NEXT_STEP, "render_modes": []}

    def __init__(self, rom: str | os.PathLike[str] | bytes, num_envs: int, *, num_threads: int | None = None,
                 copy: bool = True, **options: Any) -> None:
        if num_envs < 1:
            raise ValueError("num_envs must be at least 1")
        if num_threads is not None and num_threads < 1:
            raise ValueError("num_threads must be at least 1")
        if options.get("render_mode") is not None:
            raise ValueError("VectorNESEnv does not render; use NESEnv or Gymnasium's vectors for render_mode")
        options.pop("render_mode", None)
        data = rom_data(rom)
        proto = NESEnv(data, **options)  # checks the options and runs the start presses once
        self.num_envs = num_envs
        self.copy = copy
        self.single_observation_space = proto.observation_space
        self.single_action_space = proto.action_space
        self.observation_space = batch_space(proto.observation_space, num_envs)
        self.action_space = batch_space(proto.action_space, num_envs)
        self.render_mode = None
        self._proto = proto
        self._names = list(proto.variables)
        self._table = None if proto._table is None else np.array(
            [sum(1 << k for k, b in enumerate(combo) if b) for combo in proto._table], np.uint8)
        self._rngs: list[np.random.Generator | None] = [None] * num_envs
        self._held = np.zeros(num_envs, np.uint8)
        self._steps = np.zeros(num_envs, np.int64)
        self._autoreset = np.zeros(num_envs, np.bool_)
        self._drawn: list[tuple[int, Any]] = []  # (env, generator state) of this step's sticky draws
        self._batch: Batch | None = None
        self._envs: list[NESEnv] = []
        self._memories: list[np.ndarray] = []
        rules = self._native_rules(proto)
        if rules is not None and proto.lives is not None:
            self._lives_column = rules["lives"]
        self._native = rules is not None
        if rules is None:
            self._envs = [copy_env(proto) for _ in range(num_envs)]
            self._threads = 1
        else:
            self._threads = num_threads or min(usable_cores(), num_envs)
            self._batch = Batch(data, num_envs, self._threads, rules, proto._starts)
            proto.close()  # its options and start snapshot are all the batch needs
            n = num_envs
            self._obs = np.zeros((n, *proto._obs_shape), np.uint8)
            self._memories = [self._batch.cpu_memory(i) for i in range(n)] if proto.with_ram else []
            self._reward = np.zeros(n, np.float64)
            self._terminated = np.zeros(n, np.uint8)
            self._frames = np.zeros(n, np.int32)
            self._info = np.zeros((n, 2 + len(rules["variables"])), np.int64)
            self._buttons = np.zeros((n, proto.frame_skip), np.uint8)
            self._idle = np.zeros(n, np.int32)
            self._start = np.zeros(n, np.int32)

    @staticmethod
    def _native_rules(env: NESEnv) -> dict[str, Any] | None:
        """The batch's rules, or None when a rule is a Python callable."""
        reward, end = env._reward, env._terminated
        if not (reward is None or isinstance(reward, (Change, Changes))) or \
                not (end is None or isinstance(end, (Reaches, AnyOf))):
            return None
        variables: list[RamVariable] = list(env.variables.values())

        def index(var: RamVariable) -> int:
            if var not in variables:
                variables.append(var)
            return variables.index(var)

        rules: dict[str, Any] = {
            "frame_skip": env.frame_skip, "obs": env.obs_type, "max_pool": env.max_pool,
            "resize": None if env._resize is None else tuple(
                (idx.astype(np.int32), w.astype(np.float32)) for idx, w in env._resize),
            "gains": [] if reward is None else [(index(reward.variable), float(reward.scale))]
            if isinstance(reward, Change) else [(index(v), float(w)) for v, w in reward.terms],
            "ends": [] if end is None else [(index(c.variable), c.op, int(c.value))
                                           for c in (end.conditions if isinstance(end, AnyOf) else (end,))],
            "lives": None if env.lives is None else index(env.lives),
            "life_loss": env.terminate_on_life_loss,
        }
        # Variables the rules add after the named ones are read but not reported.
        rules["variables"] = [(v.address, v.size, v.byteorder == "big", variable_format(v), v.offset)
                              for v in variables]
        return rules

    @property
    def num_threads(self) -> int:
        """Threads that step the consoles (the caller's among them)."""
        return self._threads

    # -- Gymnasium API -----------------------------------------------------
    def reset(self, *, seed: int | list[int | None] | None = None,
              options: dict[str, Any] | None = None) -> tuple[np.ndarray, dict[str, Any]]:
        seeds = [seed + i for i in range(self.num_envs)] if isinstance(seed, int) else seed
        if seeds is not None and len(seeds) != self.num_envs:
            raise ValueError(f"reset: {len(seeds)} seeds for {self.num_envs} envs")
        for i in range(self.num_envs):
            s = None if seeds is None else seeds[i]
            if s is not None or self._rngs[i] is None:
                self._rngs[i] = seeding.np_random(s)[0]
        self._autoreset[:] = False
        self._steps[:] = 0
        if not self._native:
            results = [env.reset(seed=None if seeds is None else seeds[i]) for i, env in enumerate(self._envs)]
            return self._gather_obs([o for o, _ in results]), self._gather_info([i for _, i in results])
        self._run(np.ones(self.num_envs, np.bool_))
        return self._output(), self._infos()

    def step(self, actions: Any) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray, dict[str, Any]]:
        wanted = self._masks(actions)
        if not self._native:
            return self._step_envs(actions)
        resets = self._autoreset.copy()
        self._plan(wanted, resets)
        self._run(resets)
        self._steps += 1
        self._steps[resets] = 0
        terminated = self._terminated.astype(np.bool_)
        terminated[resets] = False
        truncated = np.zeros(self.num_envs, np.bool_)
        if self._proto.max_episode_steps is not None:
            truncated = ~terminated & ~resets & (self._steps >= self._proto.max_episode_steps)
        reward = self._reward.copy()
        reward[resets] = 0.0
        self._autoreset = terminated | truncated
        return self._output(), reward, terminated, truncated, self._infos()

    def snapshot(self, index: int) -> bytes:
        """Env `index`'s exact console state (see NESEnv.snapshot())."""
        if not self._native:
            return self._envs[index].snapshot()
        return self._live().snapshot(index)

    def restore(self, index: int, data: bytes) -> None:
        """Puts a snapshot back into env `index` (see NESEnv.restore())."""
        if not self._native:
            self._envs[index].restore(data)
            return
        batch = self._live()
        batch.restore(index, data)
        self._held[index] = batch.buttons(index)

    def cpu_memory(self, index: int) -> np.ndarray:
        """A view of env `index`'s 64 KiB CPU memory (read or write it between steps)."""
        if not self._native:
            return self._envs[index].cpu_memory
        return self._live().cpu_memory(index)

    def close_extras(self, **kwargs: Any) -> None:
        for env in self._envs:
            env.close()
        if self._batch is not None:
            self._batch.close()  # joins the pool
            self._batch = None

    # -- the batch ---------------------------------------------------------
    def _live(self) -> Batch:
        if self._batch is None:
            raise RuntimeError("the vector is closed")
        return self._batch

    def _masks(self, actions: Any) -> np.ndarray:
        """Each env's buttons as bit masks; ValueError for anything the batch
        action space does not contain."""
        a = np.asarray(actions)
        n = self.num_envs
        if self._table is None:
            ok = a.shape == (n, 8) and np.isin(a, (0, 1)).all()
            if not ok:
                raise ValueError(f"actions must be {n} rows of eight 0/1 values (shape ({n}, 8)), not {a.shape} {a.dtype}")
            return (a.astype(np.uint8) << np.arange(8, dtype=np.uint8)).sum(axis=1, dtype=np.uint8)
        if a.shape != (n,) or not np.issubdtype(a.dtype, np.integer) or (a < 0).any() or (a >= len(self._table)).any():
            raise ValueError(f"actions must be {n} integers in 0..{len(self._table) - 1} (shape ({n},)), "
                             f"not {actions!r}")
        return self._table[a]

    def _plan(self, wanted: np.ndarray, resets: np.ndarray) -> None:
        """Each frame's buttons; sticky actions draw from each env's generator
        as NESEnv does (a draw per frame run: see _settle)."""
        p = self._proto.repeat_action_probability
        self._drawn.clear()
        for i in range(self.num_envs):
            if resets[i]:
                continue
            if not p:
                self._buttons[i] = wanted[i]
                continue
            rng = self._rngs[i]
            assert rng is not None, "reset() first"
            self._drawn.append((i, rng.bit_generator.state))
            held = self._held[i]
            for f, r in enumerate(rng.random(self._proto.frame_skip)):
                held = held if r < p else wanted[i]
                self._buttons[i, f] = held

    def _run(self, resets: np.ndarray) -> None:
        starts = len(self._proto._starts)
        for i in np.flatnonzero(resets):
            rng = self._rngs[i]
            assert rng is not None
            self._start[i] = int(rng.integers(starts)) if starts > 1 else 0  # drawn as NESEnv.reset() draws
            self._idle[i] = int(rng.integers(0, self._proto.noop_max + 1))
            self._held[i] = 0
        self._live().step(resets.astype(np.uint8), self._start, self._idle, self._buttons, self._obs, self._reward,
                          self._terminated, self._frames, self._info)
        frames = self._frames
        for i in np.flatnonzero(~resets):
            self._held[i] = self._buttons[i, frames[i] - 1]
        # A step that ended early drew only for the frames it ran.
        for i, state in self._drawn:
            if frames[i] < self._proto.frame_skip:
                rng = self._rngs[i]
                assert rng is not None
                rng.bit_generator.state = state
                rng.random(int(frames[i]))
        self._drawn.clear()

    def _output(self) -> Any:
        pixels = self._obs.copy() if self.copy else self._obs
        if self._memories:
            return {"pixels": pixels, "ram": np.stack([m[:RAM_SIZE] for m in self._memories])}
        return pixels

    def _infos(self) -> dict[str, Any]:
        columns = {"frame_number": 1, "episode_frame_number": 0}
        if self._proto.lives is not None:
            columns["lives"] = 2 + self._lives_column
        columns.update({name: 2 + k for k, name in enumerate(self._names)})
        infos: dict[str, Any] = {}
        for name, k in columns.items():
            infos[name] = self._info[:, k].copy()
            infos["_" + name] = np.ones(self.num_envs, np.bool_)
        return infos

    # -- Python rules: the envs one after the other ----------------------
    def _step_envs(self, actions: Any) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray, dict[str, Any]]:
        n = self.num_envs
        obs, infos = [], []
        reward = np.zeros(n, np.float64)
        terminated = np.zeros(n, np.bool_)
        truncated = np.zeros(n, np.bool_)
        for i, env in enumerate(self._envs):
            if self._autoreset[i]:
                o, info = env.reset()
            else:
                o, reward[i], terminated[i], truncated[i], info = env.step(actions[i])
            obs.append(o)
            infos.append(info)
        self._autoreset = terminated | truncated
        return self._gather_obs(obs), reward, terminated, truncated, self._gather_info(infos)

    def _gather_obs(self, obs: list[Any]) -> Any:
        if isinstance(obs[0], dict):
            return {key: np.stack([o[key] for o in obs]) for key in obs[0]}
        return np.stack(obs)

    def _gather_info(self, infos: list[dict[str, Any]]) -> dict[str, Any]:
        vector: dict[str, Any] = {}
        for i, info in enumerate(infos):
            vector = self._add_info(vector, info, i)
        return vector


def variable_format(v: RamVariable) -> str:
    return "bcd" if v.bcd else "signed" if v.signed else "digits" if v.digits else "unsigned"


def copy_env(env: NESEnv) -> NESEnv:
    """A NESEnv that goes on as `env` does (its console travels as a snapshot)."""
    return copy.deepcopy(env)
