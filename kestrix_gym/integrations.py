"""Games as data files: one JSON file per game names its cartridge (by
SHA-1; the cartridge is never shipped), how to reach play, where the game
keeps its numbers, the reward, the episode's end, the lives and the
actions. register_integrations(folder) registers kestrix/<Name>-v0 for each.

A file's fields (see the README for a worked example):

- ``name`` (letters, digits, ``_``): the env is ``kestrix/<name>-v0``;
- ``cartridge``: ``{"sha1": "<40 hex digits>", "file": "<name to ask for>"}``;
- ``start``: presses after power-on (``["10=Start", "16-30="]``), optional;
- ``actions``: the Discrete action set, a list of button combinations
  (``""`` first), or the name of a ready list;
- ``variables``: ``{"<name>": {"address": 3 or "$0003", "size": 1,
  "byteorder": "little" | "big", "format": "unsigned" | "signed" | "bcd" |
  "digits", "offset": 0}}`` (every key but ``address`` optional);
- ``reward``: ``{"<variable>": weight, ...}``, the weighted sum of their
  changes per frame, optional;
- ``done``: ``[{"variable": "<name>", "op": "==" | "!=" | "<" | "<=" |
  ">" | ">=", "value": 2}, ...]``, the episode ends when any holds, optional;
- ``lives``: a variable's name, optional;
- ``start_snapshots``: files of snapshots (NESEnv.snapshot()) beside the JSON
  file, episodes starting from one of them instead of the start presses, optional.
"""
from __future__ import annotations

import hashlib
import json
import os
import pathlib
import re
from dataclasses import dataclass, field
from typing import Any

import gymnasium as gym

from .buttons import ACTION_LISTS, action_table, parse_presses
from .env import NESEnv, rom_data
from .ram import COMPARISONS, AnyOf, Changes, Reaches, RamVariable
from .vector import VectorNESEnv

PACKAGED = pathlib.Path(__file__).resolve().parent / "integrations"
ROMS = pathlib.Path(__file__).resolve().parent / "roms"
FORMATS = ("unsigned", "signed", "bcd", "digits")


@dataclass
class Integration:
    """A checked integration file and the NESEnv options it stands for."""

    path: pathlib.Path
    name: str
    sha1: str
    file: str
    options: dict[str, Any] = field(default_factory=dict)

    @property
    def env_id(self) -> str:
        return f"kestrix/{self.name}-v0"


class IntegrationError(ValueError):
    """An integration file that cannot be used; the message names the field."""


def _check(ok: bool, where: str, what: str) -> None:
    if not ok:
        raise IntegrationError(f"{where}: {what}")


def _variable(entry: Any, where: str) -> RamVariable:
    _check(isinstance(entry, dict), where, "must be an object with an address")
    unknown = entry.keys() - {"address", "size", "byteorder", "format", "offset"}
    _check(not unknown, where, f"unknown field(s) {', '.join(sorted(unknown))}")
    address = entry.get("address")
    if isinstance(address, str) and re.fullmatch(r"\$[0-9A-Fa-f]{1,4}", address):
        address = int(address[1:], 16)
    _check(isinstance(address, int) and not isinstance(address, bool), f"{where}.address",
           "must be a number or \"$XXXX\"")
    fmt = entry.get("format", "unsigned")
    _check(fmt in FORMATS, f"{where}.format", f"must be one of {', '.join(FORMATS)}, not {fmt!r}")
    size, offset = entry.get("size", 1), entry.get("offset", 0)
    _check(isinstance(size, int) and not isinstance(size, bool), f"{where}.size", "must be a number")
    _check(isinstance(offset, int) and not isinstance(offset, bool), f"{where}.offset", "must be a number")
    try:
        return RamVariable(address, size, entry.get("byteorder", "little"), bcd=fmt == "bcd", signed=fmt == "signed",
                           digits=fmt == "digits", offset=offset)
    except ValueError as e:
        raise IntegrationError(f"{where}: {e}") from None


def load_integration(path: str | os.PathLike[str]) -> Integration:
    """Reads and checks one integration file; IntegrationError names the field at fault."""
    path = pathlib.Path(path)
    where = path.name
    try:
        doc = json.loads(path.read_text())
    except ValueError as e:
        raise IntegrationError(f"{where}: not JSON ({e})") from None
    _check(isinstance(doc, dict), where, "must hold one JSON object")
    known = {"name", "cartridge", "start", "actions", "variables", "reward", "done", "lives", "start_snapshots"}
    unknown = doc.keys() - known
    _check(not unknown, where, f"unknown field(s) {', '.join(sorted(unknown))}")
    name = doc.get("name")
    _check(isinstance(name, str) and re.fullmatch(r"[A-Za-z0-9_]+", name or "") is not None, f"{where}: name",
           "must be letters, digits or _")
    cart = doc.get("cartridge")
    _check(isinstance(cart, dict) and isinstance(cart.get("sha1"), str) and
           re.fullmatch(r"[0-9a-f]{40}", cart.get("sha1", "")) is not None, f"{where}: cartridge.sha1",
           "must be 40 lower-case hex digits")
    _check(isinstance(cart.get("file"), str) and cart["file"] != "", f"{where}: cartridge.file",
           "must name the cartridge file to provide")
    options: dict[str, Any] = {}

    start = doc.get("start")
    if start is not None:
        _check(isinstance(start, list) and all(isinstance(p, str) for p in start), f"{where}: start",
               "must be a list of presses")
        try:
            parse_presses(start)
        except ValueError as e:
            raise IntegrationError(f"{where}: start: {e}") from None
        options["start"] = tuple(start)

    actions = doc.get("actions")
    _check(isinstance(actions, (str, list)), f"{where}: actions", "must be a list of button combinations")
    try:
        action_table(actions)
    except ValueError as e:
        raise IntegrationError(f"{where}: actions: {e}") from None
    options["actions"] = ACTION_LISTS[actions] if isinstance(actions, str) else list(actions)

    raw = doc.get("variables", {})
    _check(isinstance(raw, dict), f"{where}: variables", "must be an object of named variables")
    variables = {k: _variable(v, f"{where}: variables.{k}") for k, v in raw.items()}
    options["variables"] = variables

    def named(ref: Any, at: str) -> RamVariable:
        _check(isinstance(ref, str) and ref in variables, at, f"names no variable ({ref!r})")
        return variables[ref]

    reward = doc.get("reward")
    if reward is not None:
        _check(isinstance(reward, dict) and reward, f"{where}: reward", "must map variables to weights")
        for k, w in reward.items():
            named(k, f"{where}: reward.{k}")
            _check(isinstance(w, (int, float)) and not isinstance(w, bool), f"{where}: reward.{k}",
                   "the weight must be a number")
        if len(reward) == 1 and next(iter(reward.values())) == 1:
            options["reward"] = next(iter(reward))  # the variable's change, as reward="name" gives it
        else:
            options["reward"] = Changes(tuple((variables[k], float(w)) for k, w in reward.items()))

    done = doc.get("done")
    if done is not None:
        _check(isinstance(done, list) and done, f"{where}: done", "must be a list of conditions")
        conditions = []
        for k, c in enumerate(done):
            at = f"{where}: done[{k}]"
            _check(isinstance(c, dict) and not (c.keys() - {"variable", "op", "value"}), at,
                   "must be {\"variable\", \"op\", \"value\"}")
            op = c.get("op", "==")
            _check(op in COMPARISONS, f"{at}.op", f"must be one of {', '.join(COMPARISONS)}")
            _check(isinstance(c.get("value"), int) and not isinstance(c.get("value"), bool), f"{at}.value",
                   "must be a whole number")
            conditions.append(Reaches(named(c.get("variable"), f"{at}.variable"), c["value"], op))
        if len(conditions) == 1 and conditions[0].op == "==":
            options["terminated"] = (done[0]["variable"], conditions[0].value)
        else:
            options["terminated"] = AnyOf(tuple(conditions))

    lives = doc.get("lives")
    if lives is not None:
        named(lives, f"{where}: lives")
        options["lives"] = lives

    snapshots = doc.get("start_snapshots")
    if snapshots:
        _check(isinstance(snapshots, list) and all(isinstance(s, str) for s in snapshots),
               f"{where}: start_snapshots", "must be a list of file names")
        try:
            options["start_states"] = [(path.parent / s).read_bytes() for s in snapshots]
        except OSError as e:
            raise IntegrationError(f"{where}: start_snapshots: {e}") from None
    return Integration(path, name, cart["sha1"], cart["file"], options)


def _cartridges(folder: pathlib.Path) -> list[pathlib.Path]:
    """Files of `folder` and its sub-folders that start as a cartridge image does."""
    found = []
    for root, _, files in os.walk(folder):
        for f in sorted(files):
            p = pathlib.Path(root) / f
            try:
                with p.open("rb") as fh:
                    if fh.read(4) == b"NES\x1a":
                        found.append(p)
            except OSError:
                continue
    return found


def find_cartridge(integration: Integration, rom: str | os.PathLike[str] | bytes | None = None) -> bytes:
    """The integration's cartridge: `rom` when given (refused unless its SHA-1
    matches), else the file with that SHA-1 in the package's roms folder or
    anywhere under $KESTRIX_ROMS."""
    if rom is not None:
        data = rom_data(rom)
        sha1 = hashlib.sha1(data).hexdigest()
        if sha1 != integration.sha1:
            raise ValueError(f"{integration.env_id}: this cartridge has SHA-1 {sha1}, the integration is for "
                             f"{integration.file} with SHA-1 {integration.sha1}")
        return data
    folders = [ROMS] + ([pathlib.Path(os.environ["KESTRIX_ROMS"])] if os.environ.get("KESTRIX_ROMS") else [])
    for folder in folders:
        for p in _cartridges(folder):
            data = p.read_bytes()
            if hashlib.sha1(data).hexdigest() == integration.sha1:
                return data
    raise FileNotFoundError(f"{integration.env_id} needs the cartridge {integration.file} (SHA-1 {integration.sha1}): "
                            "put it anywhere under the folder $KESTRIX_ROMS names (any sub-folder, any file name) "
                            "or pass rom=")


def make(integration: str, rom: str | os.PathLike[str] | bytes | None = None, **kwargs: Any) -> NESEnv:
    """The NESEnv of an integration file; keyword arguments override its options."""
    game = load_integration(integration)
    return NESEnv(find_cartridge(game, rom), **(game.options | kwargs))


def make_vector(num_envs: int = 1, integration: str = "", rom: str | os.PathLike[str] | bytes | None = None,
                **kwargs: Any) -> VectorNESEnv:
    """The VectorNESEnv of an integration file (gym.make_vec's default for its id)."""
    game = load_integration(integration)
    return VectorNESEnv(find_cartridge(game, rom), num_envs, **(game.options | kwargs))


def register_integrations(folder: str | os.PathLike[str]) -> list[str]:
    """Registers kestrix/<Name>-v0 (and its native vector) for every *.json
    file in `folder`, whether or not its cartridge is present; returns the ids.
    An id that another file registered already is refused."""
    ids = []
    for path in sorted(pathlib.Path(folder).glob("*.json")):
        game = load_integration(path)
        kwargs = {"integration": str(path.resolve())}
        if game.env_id in gym.registry:
            if gym.registry[game.env_id].kwargs == kwargs:
                ids.append(game.env_id)
                continue
            raise IntegrationError(f"{path.name}: {game.env_id} is registered already")
        gym.register(id=game.env_id, entry_point="kestrix_gym.integrations:make",
                     vector_entry_point="kestrix_gym.integrations:make_vector", kwargs=kwargs)
        ids.append(game.env_id)
    return ids
