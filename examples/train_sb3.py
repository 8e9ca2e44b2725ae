"""Trains a PPO agent of Stable-Baselines3 on BalloonPop with the options
that replace Gymnasium's AtariPreprocessing, in SB3's vector env with frame
stacking. Needs `pip install stable-baselines3` (and PyTorch); neither the
main job nor the tests install them.

Usage: train_sb3.py [--envs N] [--steps T] [--out PATH]"""
from __future__ import annotations

import argparse
import sys

from kestrix_gym.balloonpop import make_env

# AtariPreprocessing(noop_max=30, frame_skip=4, screen_size=84, grayscale_obs=True,
# grayscale_newaxis=True, terminal_on_life_loss=False), with max-pooling and sticky actions.
ATARI_STYLE = dict(frame_skip=4, noop_max=30, max_pool=True, resize=84, obs_type="grayscale",
                   grayscale_newaxis=True, repeat_action_probability=0.25)


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--envs", type=int, default=4, help="envs of SB3's vector (default 4)")
    ap.add_argument("--steps", type=int, default=100_000, help="training steps (default 100,000)")
    ap.add_argument("--out", default="ppo_balloonpop", help="where the model is saved")
    args = ap.parse_args(argv)
    try:
        from stable_baselines3 import PPO
        from stable_baselines3.common.env_util import make_vec_env
        from stable_baselines3.common.vec_env import VecFrameStack
    except ImportError:
        print("train_sb3.py needs Stable-Baselines3: pip install stable-baselines3", file=sys.stderr)
        return 1
    venv = VecFrameStack(make_vec_env(lambda: make_env(**ATARI_STYLE), n_envs=args.envs, seed=0), n_stack=4)
    print(f"observations {venv.observation_space.shape}, actions {make_env().get_action_meanings()}")
    model = PPO("CnnPolicy", venv, verbose=1, seed=0)
    model.learn(args.steps)
    model.save(args.out)
    venv.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
