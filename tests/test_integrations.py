"""Integration files: loading and its errors, registration, finding the
cartridge by SHA-1, the shipped integrations, and the RAM search."""
import hashlib
import json

import numpy as np
import pytest

gym = pytest.importorskip("gymnasium")
from gymnasium.utils.env_checker import check_env  # noqa: E402

import kestrix_gym  # noqa: E402
from kestrix_gym import integrations, ramsearch  # noqa: E402
from kestrix_gym.balloonpop import settings  # noqa: E402
from nesbuild import program  # noqa: E402

# Counts frames in $0345 while B is held (NMI: read the pad, B is the second bit).
COUNTER = """
reset:  LDA #$80
        STA $2000
spin:   JMP spin
nmi:    LDA #1
        STA $4016
        LDA #0
        STA $4016
        LDA $4016
        LDA $4016
        AND #1
        BEQ done
        INC $0345
done:   RTI
"""


@pytest.fixture
def counter():
    return program(COUNTER)


def integration_file(rom: bytes, **changes):
    game = {"name": "Counter", "cartridge": {"sha1": hashlib.sha1(rom).hexdigest(), "file": "counter.nes"},
            "actions": ["", "B"], "variables": {"held": {"address": "$0345"}}, "reward": {"held": 0.5},
            "done": [{"variable": "held", "op": ">=", "value": 20}]}
    game.update(changes)
    return game


def write(folder, game, name="Counter.json"):
    folder.mkdir(parents=True, exist_ok=True)
    (folder / name).write_text(json.dumps(game))
    return folder / name


def test_integration_registers_an_env(tmp_path, counter, monkeypatch):
    """The cartridge is found by its hash in a published-style tree, renamed."""
    monkeypatch.setenv("KESTRIX_ROMS", str(tmp_path / "roms"))
    (tmp_path / "roms" / "counter-1.0" / "bin").mkdir(parents=True)
    (tmp_path / "roms" / "counter-1.0" / "bin" / "CNT.NES").write_bytes(counter)
    (tmp_path / "roms" / "other.nes").write_bytes(program("reset: JMP reset\nnmi: RTI\n"))
    game = integration_file(counter, name="CounterTest")
    assert kestrix_gym.register_integrations(write(tmp_path / "games", game).parent) == ["kestrix/CounterTest-v0"]
    env = gym.make("kestrix/CounterTest-v0", noop_max=0)
    env.reset(seed=0)
    steps = [env.step(1)[1:3] for _ in range(5)]
    assert steps == [(2.0, False)] * 4 + [(2.0, True)]  # 4 frames a step, ended at 20
    assert isinstance(gym.make_vec("kestrix/CounterTest-v0", num_envs=2), kestrix_gym.VectorNESEnv)


@pytest.mark.parametrize("change, field", [
    ({"variables": {"held": {"address": "$0345", "format": "packed"}}}, "variables.held.format"),
    ({"variables": {"held": {"address": "0345"}}}, "variables.held.address"),
    ({"cartridge": {"sha1": "abc", "file": "x.nes"}}, "cartridge.sha1"),
    ({"done": [{"variable": "lives", "op": "==", "value": 0}]}, r"done\[0\].variable"),
    ({"reward": {"held": "much"}}, "reward.held"),
    ({"actions": ["B"]}, "actions"),
    ({"start": ["Start"]}, "start"),
    ({"speed": 3}, "unknown field"),
])
def test_field_errors_name_the_field(tmp_path, counter, change, field):
    with pytest.raises(integrations.IntegrationError, match=f"Counter.json: {field}"):
        integrations.load_integration(write(tmp_path, integration_file(counter, **change)))


def test_wrong_or_missing_cartridge(tmp_path, counter, monkeypatch):
    monkeypatch.setenv("KESTRIX_ROMS", str(tmp_path / "empty"))
    (tmp_path / "empty").mkdir()
    path = write(tmp_path, integration_file(counter))
    sha1 = hashlib.sha1(counter).hexdigest()
    with pytest.raises(ValueError, match=f"this cartridge has SHA-1 [0-9a-f]{{40}}, the integration is for "
                                         f"counter.nes with SHA-1 {sha1}"):
        integrations.make(str(path), rom=program("reset: JMP reset\nnmi: RTI\n"))
    with pytest.raises(FileNotFoundError, match=f"needs the cartridge counter.nes \\(SHA-1 {sha1}\\)"):
        integrations.make(str(path))


def test_balloonpop_integration_is_the_task():
    game = integrations.load_integration(integrations.PACKAGED / "BalloonPop.json")
    assert game.options == settings() | {"actions": list(settings()["actions"])}
    assert gym.spec("kestrix/BalloonPop-v0").kwargs == {"integration": str(game.path.resolve())}


@pytest.mark.parametrize("path", sorted(integrations.PACKAGED.glob("*.json")), ids=lambda p: p.stem)
def test_shipped_integrations_pass_check_env(path, monkeypatch):
    from conftest import ROMS
    if ROMS:
        monkeypatch.setenv("KESTRIX_ROMS", str(ROMS))
    game = integrations.load_integration(path)
    try:
        env = gym.make(game.env_id)
    except FileNotFoundError:
        pytest.skip(f"cartridge {game.file} not present")
    check_env(env.unwrapped)
    obs, info = env.reset(seed=0)
    assert env.observation_space.contains(obs) and set(game.options["variables"]) <= info.keys()


def test_ramsearch_finds_the_counter(tmp_path, counter, capsys):
    rom = tmp_path / "counter.nes"
    rom.write_bytes(counter)
    code = ramsearch.main([str(rom), "--start", "5=", "--run", "10:B", "--keep", "increased", "--run", "10",
                           "--keep", "unchanged", "--run", "6:B", "--keep", "increased"])
    assert code == 0 and capsys.readouterr().out == "$0345 16\n"
    search = ramsearch.RamSearch(counter).run(3, "B").keep("equal=3")
    assert (0x0345, 3) in search.results()
    assert np.all(np.diff([a for a, _ in search.results()]) > 0)
