"""Gymnasium environments for the kestrix NES emulator.

Importing the package registers "kestrix/BalloonPop-v0"."""
from __future__ import annotations

import gymnasium as gym

from .balloonpop import ENV_ID, ScriptedPolicy
from .buttons import ACTION_LISTS, BUTTONS, MULTI_BINARY
from .env import NESEnv
from .ram import Change, RamVariable, Reaches

__all__ = ["ACTION_LISTS", "BUTTONS", "MULTI_BINARY", "Change", "NESEnv", "RamVariable", "Reaches",
           "ScriptedPolicy", "ENV_ID"]

if ENV_ID not in gym.registry:
    gym.register(id=ENV_ID, entry_point="kestrix_gym.balloonpop:make_env")
