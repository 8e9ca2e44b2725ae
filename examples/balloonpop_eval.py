"""Scores of a scripted policy against uniform random actions on
kestrix/BalloonPop-v0: whole rounds (the episode ends at game over), the
same seeds for both.

Usage: balloonpop_eval.py [--episodes N] [--seed S]

The scripted policy (kestrix_gym.ScriptedPolicy) reads the RAM: it walks
under the balloon nearest the line of its shot and fires when one is
above. The random policy draws each step's action uniformly from the
task's action list."""
from __future__ import annotations

import argparse
import sys
import time

import gymnasium as gym
import numpy as np

import kestrix_gym
from kestrix_gym import ScriptedPolicy


def play(policy: str, seed: int) -> tuple[float, int]:
    """One episode; returns (total reward, steps)."""
    env = gym.make(kestrix_gym.ENV_ID, obs_type="ram")
    rng = np.random.default_rng(seed)
    scripted = ScriptedPolicy()
    obs, _ = env.reset(seed=seed)
    total, steps, done = 0.0, 0, False
    while not done:
        action = scripted(obs) if policy == "scripted" else int(rng.integers(env.action_space.n))  # type: ignore[attr-defined]
        obs, reward, terminated, truncated, _ = env.step(action)
        total += float(reward)
        steps += 1
        done = terminated or truncated
    env.close()
    return total, steps


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--episodes", type=int, default=10, help="episodes per policy (default 10)")
    ap.add_argument("--seed", type=int, default=0, help="seed of the first episode; then +1 each")
    args = ap.parse_args(argv)
    if args.episodes < 1:
        ap.error("--episodes must be at least 1")
    means = {}
    for policy in ("scripted", "random"):
        t0 = time.perf_counter()
        results = [play(policy, args.seed + i) for i in range(args.episodes)]
        scores = [s for s, _ in results]
        means[policy] = float(np.mean(scores))
        print(f"{policy:9s} mean {means[policy]:6.1f}  scores {' '.join(f'{s:g}' for s in scores)}  "
              f"({sum(n for _, n in results)} steps, {time.perf_counter() - t0:.1f} s)")
    ratio = means["scripted"] / means["random"] if means["random"] else float("inf")
    print(f"scripted - random = {means['scripted'] - means['random']:.1f} points, ratio {ratio:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
