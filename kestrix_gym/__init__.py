"""Gymnasium environments for the kestrix NES emulator.

Importing the package registers the integrations it ships (folder
integrations/): "kestrix/BalloonPop-v0" and "kestrix/BladeBuster-v0", each
with its native VectorNESEnv as gym.make_vec's default."""
from __future__ import annotations

from pkgutil import extend_path

# The compiled engine (_engine) may lie in another folder of the package than
# these sources: the installed package or a build folder on the path, when
# the sources are imported from a checkout.
__path__ = extend_path(__path__, __name__)

from .balloonpop import ENV_ID, ScriptedPolicy  # noqa: E402
from .buttons import ACTION_LISTS, BUTTONS, MULTI_BINARY  # noqa: E402
from .env import NESEnv  # noqa: E402
from .integrations import PACKAGED, register_integrations  # noqa: E402
from .ram import AnyOf, Change, Changes, RamVariable, Reaches  # noqa: E402
from .record import RecordEpisode, replay  # noqa: E402
from .vector import VectorNESEnv  # noqa: E402

__all__ = ["ACTION_LISTS", "BUTTONS", "MULTI_BINARY", "AnyOf", "Change", "Changes", "NESEnv", "RamVariable",
           "Reaches", "ScriptedPolicy", "ENV_ID", "VectorNESEnv", "RecordEpisode", "replay",
           "register_integrations"]

register_integrations(PACKAGED)
