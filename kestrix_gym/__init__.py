"""Gymnasium environments for the kestrix NES emulator.

Importing the package registers "kestrix/BalloonPop-v0" (gym.make_vec gives
its native VectorNESEnv)."""
from __future__ import annotations

from pkgutil import extend_path

# The compiled engine (_engine) may lie in another folder of the package than
# these sources: the installed package or a build folder on the path, when
# the sources are imported from a checkout.
__path__ = extend_path(__path__, __name__)

import gymnasium as gym  # noqa: E402

from .balloonpop import ENV_ID, ScriptedPolicy
from .buttons import ACTION_LISTS, BUTTONS, MULTI_BINARY
from .env import NESEnv
from .ram import Change, RamVariable, Reaches
from .record import RecordEpisode, replay
from .vector import VectorNESEnv

__all__ = ["ACTION_LISTS", "BUTTONS", "MULTI_BINARY", "Change", "NESEnv", "RamVariable", "Reaches",
           "ScriptedPolicy", "ENV_ID", "VectorNESEnv", "RecordEpisode", "replay"]

if ENV_ID not in gym.registry:
    gym.register(id=ENV_ID, entry_point="kestrix_gym.balloonpop:make_env",
                 vector_entry_point="kestrix_gym.balloonpop:make_vector")
