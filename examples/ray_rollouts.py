"""Rollouts of kestrix/BalloonPop-v0 on Ray: each actor holds a native vector
of environments (VectorNESEnv: its consoles stepped by C++ threads) and
plays a policy until every env has finished its episodes; the script
reports episode returns and environment steps/s.

Usage: ray_rollouts.py [--address HOST:PORT] [--actors N] [--envs M]
                       [--episodes E] [--policy random|scripted] [--seed S]
                       [--max-steps T] [--threads K] [--node-ip-address IP] [--no-ray]
                       [--json PATH]

Without --address a private local Ray instance is started for the run, even
when this machine runs a Ray cluster, a killed one left its address file
behind or RAY_ADDRESS is set. With --address the script joins a running
cluster (start its head with `ray start --head --node-ip-address HEAD_IP
--port 6379`, and on each worker machine `ray start --address HEAD_IP:6379`;
to keep everything on one machine's loopback address:
`RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER=0 ray start --head --node-ip-address
127.0.0.1 --port 6379`, then --address 127.0.0.1:6379).
The cartridge travels to the actors as bytes, so workers need the kestrix
package but no shared files. Each actor's vector steps on --threads threads
(default: the usable cores). Env j of actor i is seeded with S + i*M + j;
--no-ray runs the same collectors one after the other in this process,
which gives the same returns."""
from __future__ import annotations

import argparse
import json
import os
import sys
import time
from pathlib import Path
from typing import Any

import numpy as np  # noqa: E402

from kestrix_gym.balloonpop import ScriptedPolicy, make_vector, rom_bytes  # noqa: E402

LOOPBACK = "127.0.0.1"


class Collector:
    """A native vector of BalloonPop envs on the given seeds, and a policy."""

    def __init__(self, rom: bytes, seeds: list[int], policy: str, max_steps: int | None,
                 threads: int | None = None) -> None:
        obs_type = "ram" if policy == "scripted" else "grayscale"
        resize = None if policy == "scripted" else 84
        self.seeds = seeds
        self.policy = policy
        self.envs = make_vector(len(seeds), rom=rom, obs_type=obs_type, resize=resize, max_episode_steps=max_steps,
                                num_threads=threads)

    def run(self, episodes: int) -> dict[str, Any]:
        """Plays until every env has finished `episodes` episodes, then closes
        the envs (Ray ends actors without running their exit handlers)."""
        try:
            return self._play(episodes)
        finally:
            self.envs.close()

    def _play(self, episodes: int) -> dict[str, Any]:
        n = len(self.seeds)
        n_actions = int(self.envs.single_action_space.n)  # type: ignore[attr-defined]
        rngs = [np.random.default_rng(s) for s in self.seeds]
        scripted = [ScriptedPolicy() for _ in self.seeds]
        returns: list[list[float]] = [[] for _ in self.seeds]
        running = np.zeros(n)
        resetting = np.zeros(n, bool)  # this step only resets the env (autoreset)
        steps = 0
        t0 = time.perf_counter()
        seeds: list[int | None] = list(self.seeds)
        obs, _ = self.envs.reset(seed=seeds)
        while min(len(r) for r in returns) < episodes:
            if self.policy == "scripted":
                actions = np.array([p(o) for p, o in zip(scripted, obs)])
            else:
                actions = np.array([int(g.integers(n_actions)) for g in rngs])
            obs, reward, terminated, truncated, _ = self.envs.step(actions)
            for i in range(n):
                if resetting[i]:
                    scripted[i].reset()
                    continue
                if len(returns[i]) < episodes:
                    steps += 1
                running[i] += reward[i]
                if terminated[i] or truncated[i]:
                    returns[i].append(float(running[i]))
                    running[i] = 0.0
            resetting = terminated | truncated
        return {"seeds": self.seeds, "returns": returns, "steps": steps, "seconds": time.perf_counter() - t0}


def collect(args: argparse.Namespace) -> tuple[list[dict[str, Any]], float]:
    rom = rom_bytes()
    seed_lists = [[args.seed + i * args.envs + j for j in range(args.envs)] for i in range(args.actors)]
    if args.no_ray:
        t0 = time.perf_counter()
        results = [Collector(rom, seeds, args.policy, args.max_steps, args.threads).run(args.episodes) for seeds in seed_lists]
        return results, time.perf_counter() - t0
    os.environ.setdefault("RAY_USAGE_STATS_ENABLED", "0")
    if args.node_ip_address == LOOPBACK:
        # Otherwise Ray swaps the loopback address for the machine's network address.
        os.environ.setdefault("RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER", "0")
    if args.address and "RAY_AUTH_MODE" not in os.environ and (Path.home() / ".ray" / "auth_token").is_file():
        os.environ["RAY_AUTH_MODE"] = "token"  # the token `ray start` made; a driver does not look by itself
    import ray
    if args.address:
        ray.init(address=args.address, _node_ip_address=args.node_ip_address, log_to_driver=False)
    else:
        # "local" starts a new instance: without it ray.init() joins the cluster
        # named by RAY_ADDRESS or by the address file of the last `ray start`
        # (left behind by a head that was killed), and refuses num_cpus there.
        ray.init(address="local", num_cpus=args.actors, include_dashboard=False,
                 _node_ip_address=args.node_ip_address, object_store_memory=100 * 1024 * 1024,
                 log_to_driver=False)
    try:
        remote = ray.remote(num_cpus=1)(Collector)
        actors: list[Any] = [remote.remote(rom, seeds, args.policy, args.max_steps, args.threads) for seeds in seed_lists]
        ray.get([a.__ray_ready__.remote() for a in actors])  # envs built before timing
        t0 = time.perf_counter()
        results = ray.get([a.run.remote(args.episodes) for a in actors])
        return results, time.perf_counter() - t0
    finally:
        ray.shutdown()


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--address", default=None, help="join this Ray cluster (HOST:PORT) instead of starting one")
    ap.add_argument("--node-ip-address", default=LOOPBACK,
                    help=f"this machine's address for Ray (default {LOOPBACK}: nothing leaves the machine)")
    ap.add_argument("--actors", type=int, default=2, help="Ray actors (default 2)")
    ap.add_argument("--envs", type=int, default=2, help="envs per actor (default 2)")
    ap.add_argument("--episodes", type=int, default=1, help="episodes per env (default 1)")
    ap.add_argument("--policy", choices=("random", "scripted"), default="random")
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--max-steps", type=int, default=None, help="truncate episodes after T steps")
    ap.add_argument("--threads", type=int, default=None, help="threads of each actor's vector (default: the cores)")
    ap.add_argument("--no-ray", action="store_true", help="run the collectors in this process")
    ap.add_argument("--json", default=None, help="also write the results to this file")
    args = ap.parse_args(argv)
    if min(args.actors, args.envs, args.episodes) < 1:
        ap.error("--actors, --envs and --episodes must be at least 1")
    results, wall = collect(args)
    returns = {s: r for res in results for s, r in zip(res["seeds"], res["returns"])}
    steps = sum(res["steps"] for res in results)
    flat = [x for r in returns.values() for x in r]
    where = "in this process" if args.no_ray else f"on Ray ({args.address or 'local instance'})"
    print(f"{args.actors} collector(s) x {args.envs} env(s) {where}, {args.policy} policy")
    print(f"episodes:      {len(flat)}, mean return {np.mean(flat):.2f} (min {min(flat):g}, max {max(flat):g})")
    print(f"env steps:     {steps} in {wall:.2f} s: {steps / wall:,.0f} steps/s")
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"returns": {str(s): r for s, r in returns.items()}, "steps": steps,
                       "seconds": wall, "steps_per_second": steps / wall}, f)
    return 0


if __name__ == "__main__":
    sys.exit(main())
