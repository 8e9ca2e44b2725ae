"""The Gymnasium environments of kestrix_gym: spaces and API conformance,
seeded reproducible episodes, RAM-variable rules, frame skipping, action
lists, the BalloonPop task and vectorised stepping."""
import pathlib
import re

import numpy as np
import pytest

gym = pytest.importorskip("gymnasium")
from gymnasium.utils.env_checker import check_env  # noqa: E402

import kestrix_gym  # noqa: E402
from kestrix_gym import ACTION_LISTS, NESEnv, RamVariable  # noqa: E402
from kestrix_gym.balloonpop import ScriptedPolicy, make_env  # noqa: E402
from kestrix_gym.env import area_plan, area_resize  # noqa: E402
from nesbuild import program  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parent.parent
ENV_ID = "kestrix/BalloonPop-v0"

# Every frame (NMI): latch pad 1 into $12 (A in bit 7), count frames in
# $10/$11 (little endian) and fold the pad into $13, so that the RAM depends
# on every earlier action. While a button is held, sprite 0 (a white square)
# is put at ($13, $13) through $2004: OAM is not in a save state, so a
# console that played before shows it where a fresh one does not.
COUNTER = """
reset:  LDA #$3F
        STA $2006
        LDA #$00
        STA $2006
        LDA #$0F
        STA $2007
        LDA #$3F
        STA $2006
        LDA #$11
        STA $2006
        LDA #$30
        STA $2007
        LDA #$14
        STA $2001
        LDA #$80
        STA $2000
spin:   JMP spin
nmi:    LDA #1
        STA $4016
        LDA #0
        STA $4016
        LDX #8
read:   LDA $4016
        LSR A
        ROL $12
        DEX
        BNE read
        INC $10
        BNE fold
        INC $11
fold:   LDA $13
        ASL A
        ADC $12
        STA $13
        LDA $12
        BEQ done
        LDA #0
        STA $2003
        LDA $13
        STA $2004
        LDA #1
        STA $2004
        LDA #0
        STA $2004
        LDA $13
        STA $2004
done:   RTI
"""
SQUARE_CHR = bytes(16) + b"\xff" * 8 + bytes(8192 - 24)  # tile 1: solid colour 1
FRAMES = RamVariable(0x10, 2)


@pytest.fixture
def counter_rom(tmp_path):
    path = tmp_path / "counter.nes"
    path.write_bytes(program(COUNTER, chr_rom=SQUARE_CHR))
    return path


def pad_byte(names: str) -> int:
    return sum(0x80 >> kestrix_gym.BUTTONS.index(b) for b in names.replace("+", " ").split())


@pytest.mark.parametrize("kw, shape", [
    ({"render_mode": "rgb_array"}, (240, 256, 3)),
    ({"obs_type": "grayscale", "resize": 84, "max_pool": True}, (84, 84)),
    ({"obs_type": "ram", "actions": "multi-binary", "repeat_action_probability": 0.25}, (2048,)),
    ({"obs_type": "grayscale", "resize": 84, "grayscale_newaxis": True, "with_ram": True, "lives": "timer"}, None),
])
def test_check_env_passes(kw, shape):
    env = gym.make(ENV_ID, **kw)
    check_env(env.unwrapped)
    assert env.observation_space.shape == shape
    env.close()


def test_human_render_shows_the_frame_and_opens_no_sound(monkeypatch):
    pygame = pytest.importorskip("pygame")
    monkeypatch.setenv("SDL_VIDEODRIVER", "dummy")
    monkeypatch.setenv("SDL_AUDIODRIVER", "dummy")
    env = gym.make(ENV_ID, render_mode="human")
    try:
        env.reset(seed=0)
        env.step(2)
        shown = pygame.surfarray.array3d(pygame.display.get_surface()).transpose(1, 0, 2)
        assert shown.shape == (480, 512, 3)
        assert np.array_equal(shown[::2, ::2], env.unwrapped.picture)
        assert not pygame.mixer.get_init()
    finally:
        env.close()
    assert not pygame.display.get_init()


def test_reset_with_a_seed_replays_the_episode(counter_rom):
    """A reset after a long random episode equals a fresh env's reset with the
    same seed, for the same actions; cartridge as path and as bytes."""
    used = NESEnv(str(counter_rom), start="3=Right")
    fresh = NESEnv(counter_rom.read_bytes(), start="3=Right")
    used.reset(seed=11)
    rng = np.random.default_rng(0)
    for _ in range(150):
        used.step(int(rng.integers(used.action_space.n)))
    actions = [0] * 3 + list(rng.integers(used.action_space.n, size=20))
    runs = []
    for env in (used, fresh):
        obs, info = env.reset(seed=7)
        seq = [obs] + [env.step(int(a))[0] for a in actions]
        runs.append((np.stack(seq), info["frame_number"]))
    assert runs[0][1] == runs[1][1]
    assert np.array_equal(runs[0][0], runs[1][0])
    assert runs[1][0].max() > 0  # the square was drawn
    # Seeds choose the number of idle frames before the first observation.
    assert len({fresh.reset(seed=s)[1]["frame_number"] for s in range(6)}) > 1
    used.close()
    fresh.close()


@pytest.mark.parametrize("raw, kw, value", [
    ([0x34, 0x12, 0x99], {}, 0x34),
    ([0x34, 0x12, 0x99], {"size": 2}, 0x1234),
    ([0x34, 0x12, 0x99], {"size": 2, "byteorder": "big"}, 0x3412),
    ([0x34, 0x12, 0x99], {"size": 2, "bcd": True}, 1234),
    ([0x34, 0x12, 0x99], {"size": 3, "byteorder": "big", "bcd": True}, 341299),
    ([0x34, 0x12, 0x99], {"size": 3, "bcd": True}, 991234),
    ([0xFE, 0xFF, 0x99], {"size": 2, "signed": True}, -2),
    ([0x7F, 0x12, 0x99], {"signed": True}, 127),
    ([0x31, 0x32, 0x20], {"size": 3, "byteorder": "big", "digits": True, "offset": 0x30}, 120),  # a blank counts 0
    ([0x01, 0x02, 0x09], {"size": 3, "digits": True}, 921),
])
def test_ram_variable_reads(raw, kw, value):
    memory = np.zeros(0x10000, np.uint8)
    memory[0x6FFD:0x7000] = raw  # cartridge RAM
    assert RamVariable(0x6FFD, **kw).read(memory) == value


@pytest.mark.parametrize("kw", [{"address": 0xFFFF, "size": 2}, {"address": 0, "size": 8},
                                {"address": 0, "bcd": True, "signed": True}, {"address": 0, "offset": 3}])
def test_ram_variable_refuses(kw):
    with pytest.raises(ValueError):
        RamVariable(**kw)


def test_change_reward_across_a_bcd_carry():
    score = RamVariable(0x03, 2, bcd=True)
    before, after = np.zeros(2048, np.uint8), np.zeros(2048, np.uint8)
    before[3:5] = [0x99, 0x00]   # 0099
    after[3:5] = [0x01, 0x01]    # 0101
    assert kestrix_gym.Change(score)(before, after) == 2.0


def test_frame_skip_sums_rewards_and_stops_at_the_end(counter_rom):
    env = NESEnv(str(counter_rom), frame_skip=4, obs_type="ram", noop_max=0,
                 variables={"frames": FRAMES, "low": RamVariable(0x10)}, reward="frames")
    obs, info = env.reset(seed=0)
    first = obs.copy()
    end = (info["low"] + 6) % 256
    env.close()
    env = NESEnv(counter_rom.read_bytes(), frame_skip=4, obs_type="ram", noop_max=0,
                 variables={"frames": FRAMES, "low": RamVariable(0x10)}, reward="frames",
                 terminated=("low", end))
    obs, _ = env.reset(seed=0)
    assert np.array_equal(obs, first)
    obs1, r1, term1, _, info1 = env.step(0)
    kept = obs1.copy()
    _, r2, term2, _, info2 = env.step(0)
    assert (r1, term1, r2, term2) == (4.0, False, 2.0, True)
    assert info2["frame_number"] - info1["frame_number"] == 2
    assert np.array_equal(obs1, kept)  # observations are copies, not views
    env.close()


@pytest.mark.parametrize("actions", list(ACTION_LISTS) + ["multi-binary"])
def test_actions_press_their_buttons(counter_rom, actions):
    env = NESEnv(str(counter_rom), actions=actions, obs_type="ram", frame_skip=2, noop_max=0)
    env.reset(seed=0)
    if actions == "multi-binary":
        cases = [(np.array(bits), int("".join(map(str, bits)), 2))
                 for bits in ([1, 0, 0, 1, 0, 0, 0, 1], [0, 1, 1, 0, 1, 1, 1, 0], [0] * 8)]
    else:
        assert ACTION_LISTS[actions][0] == ""
        cases = [(i, pad_byte(combo)) for i, combo in enumerate(ACTION_LISTS[actions])]
    for action, expected in cases:
        assert env.step(action)[0][0x12] == expected, (action, actions)
    env.close()
    with pytest.raises(ValueError, match="action 0"):
        NESEnv(str(counter_rom), actions=["Right", ""])


# NumPy integer scalars and 0-d arrays are actions as plain ints are; anything
# outside the space is refused rather than indexing from the end or failing later.
@pytest.mark.parametrize("actions, action, pressed", [
    ("simple movement", np.int64(6), "Left"), ("simple movement", np.array(2), "Right+A"),
    ("simple movement", 7, None), ("simple movement", -1, None), ("simple movement", np.int64(7), None),
    ("simple movement", 1.5, None), ("multi-binary", [1, 0, 0, 0, 0, 0, 0, 2], None),
    ("multi-binary", np.ones(7, np.int8), None),
])
def test_step_takes_what_the_action_space_contains(counter_rom, actions, action, pressed):
    env = NESEnv(str(counter_rom), actions=actions, obs_type="ram", frame_skip=2, noop_max=0)
    env.reset(seed=0)
    if pressed is None:
        with pytest.raises(ValueError, match=re.escape(f"action {action!r} is not in {env.action_space}")):
            env.step(action)
    else:
        assert env.step(action)[0][0x12] == pad_byte(pressed)
    env.close()


def test_sticky_actions_keep_the_previous_buttons(counter_rom):
    env = NESEnv(str(counter_rom), obs_type="ram", repeat_action_probability=1.0, noop_max=0)
    env.reset(seed=0)
    assert [int(env.step(a)[0][0x12]) for a in (1, 2, 3)] == [0, 0, 0]
    env.close()


@pytest.mark.parametrize("src, dst, rows", [
    (4, 2, [[0.5, 0.5, 0, 0], [0, 0, 0.5, 0.5]]),
    (3, 2, [[2 / 3, 1 / 3, 0], [0, 1 / 3, 2 / 3]]),
    (5, 2, [[0.4, 0.4, 0.2, 0, 0], [0, 0, 0.2, 0.4, 0.4]]),
    (2, 4, [[1, 0], [1, 0], [0, 1], [0, 1]]),
])
def test_area_resize_averages_the_covered_cells(src, dst, rows):
    pic = np.arange(src * 3, dtype=np.float64).reshape(src, 3) ** 2
    want = np.array(rows) @ pic
    assert np.allclose(area_resize(pic, area_plan(src, dst), 0), want)
    assert np.allclose(area_resize(pic.T, area_plan(src, dst), 1), want.T)


def test_packaged_cartridge_is_the_demo():
    demo = (ROOT / "demo" / "demo.nes").read_bytes()
    assert (ROOT / "kestrix_gym" / "roms" / "balloonpop.nes").read_bytes() == demo
    assert kestrix_gym.balloonpop.rom_bytes() == demo


def test_sync_and_async_vectors_agree():
    results = []
    for mode in ("sync", "async"):
        envs = gym.make_vec(ENV_ID, num_envs=2, vectorization_mode=mode, obs_type="grayscale", resize=84)
        obs, _ = envs.reset(seed=[3, 4])
        frames = [obs]
        for a in range(12):
            frames.append(envs.step(np.array([a % 7, (a * 3) % 7]))[0])
        envs.close()
        results.append(np.stack(frames))
    assert results[0].shape == (13, 2, 84, 84)
    assert np.array_equal(results[0], results[1])


def test_balloonpop_rewards_the_score_and_ends_at_game_over():
    env = gym.make(ENV_ID, obs_type="ram")
    obs, info = env.reset(seed=0)
    assert (info["game_state"], info["score"]) == (1, 0) and info["timer"] >= 59  # a round has begun
    policy, total = ScriptedPolicy(), 0.0
    for _ in range(150):
        obs, reward, terminated, _, info = env.step(policy(obs))
        total += reward
    assert total == info["score"] > 0
    env.unwrapped.cpu_memory[0x05] = 1  # the last second of the round
    for _ in range(20):
        *_, terminated, _, info = env.step(0)
        if terminated:
            break
    assert terminated and info["game_state"] == 2
    env.close()


def test_variable_in_cartridge_ram():
    """$6FE3 counts frames (NMIs): reward and info read cartridge RAM."""
    rom = program("reset: LDA #$80\n STA $2000\nspin: JMP spin\nnmi: INC $6FE3\n RTI\n")
    env = NESEnv(rom, obs_type="ram", noop_max=0, variables={"count": RamVariable(0x6FE3)}, reward="count")
    _, info = env.reset(seed=0)
    _, reward, _, _, after = env.step(0)
    assert (reward, after["count"] - info["count"]) == (4.0, 4)


def test_lives_and_the_life_loss_ending():
    """BalloonPop's seconds as lives: one is lost every 60 frames. The ending
    comes at the frame of the loss, which a frame-by-frame env finds."""
    kept = make_env(obs_type="ram", lives="timer")
    ending = make_env(obs_type="ram", lives="timer", terminate_on_life_loss=True)
    single = make_env(obs_type="ram", lives="timer", frame_skip=1)
    lives = [env.reset(seed=0)[1]["lives"] for env in (kept, ending, single)]
    while not (result := ending.step(0))[2]:
        assert not kept.step(0)[2]
    while (info := single.step(0)[4])["lives"] == lives[2]:
        pass
    assert result[4]["lives"] == info["lives"] == lives[1] - 1
    assert result[4]["episode_frame_number"] == info["episode_frame_number"]


def test_dict_observation_holds_picture_and_ram():
    env = make_env(obs_type="rgb", with_ram=True)
    obs, _ = env.reset(seed=0)
    assert np.array_equal(obs["pixels"], env.picture) and np.array_equal(obs["ram"], env.ram())


def test_action_meanings():
    assert make_env().get_action_meanings() == ["NOOP", "Left", "Right", "B", "Left+B", "Right+B", "A"]
    assert make_env(actions=["", "right a", ("Up", "B")]).get_action_meanings() == ["NOOP", "Right+A", "Up+B"]
    assert make_env(actions="multi-binary").get_action_meanings() == list(kestrix_gym.BUTTONS)


def test_frame_numbers_across_resets_with_one_seed():
    env = make_env(obs_type="ram")
    first = env.reset(seed=4)[1]
    for _ in range(30):
        env.step(1)
    later = env.step(1)[4]
    again = env.reset(seed=4)[1]
    assert (first["frame_number"], first["episode_frame_number"]) == \
        (again["frame_number"], again["episode_frame_number"])
    start_frames = first["frame_number"] - first["episode_frame_number"]  # the start presses
    assert start_frames == 30 and later["episode_frame_number"] == first["episode_frame_number"] + 31 * 4
    assert later["frame_number"] == start_frames + later["episode_frame_number"]


@pytest.mark.parametrize("kw", [{"obs_type": "grayscale", "resize": 84, "repeat_action_probability": 0.3},
                                {"obs_type": "ram", "actions": "multi-binary"}])
def test_record_then_replay(tmp_path, kw):
    env = kestrix_gym.RecordEpisode(make_env(max_episode_steps=40, **kw), tmp_path)
    rng = np.random.default_rng(2)
    for seed in (None, 9):
        observations = [env.reset(seed=seed)[0]]
        while True:
            obs, _, term, trunc, _ = env.step(env.action_space.sample() if kw.get("actions") else int(rng.integers(7)))
            observations.append(obs)
            if term or trunc:
                break
        path = env.paths[-1]
        assert path.stat().st_size < 2048  # a header and a byte per step
        assert np.array_equal(kestrix_gym.replay(path, make_env(max_episode_steps=40, **kw)), observations)


@pytest.mark.parametrize("other, message", [
    ({"frame_skip": 2}, r"other env options: frame_skip"),
    ({"rom": "counter"}, r"recorded on the cartridge with SHA-1 [0-9a-f]{40}"),
])
def test_mismatched_recording_is_refused(tmp_path, counter_rom, other, message):
    env = kestrix_gym.RecordEpisode(make_env(obs_type="ram"), tmp_path)
    env.reset(seed=1)
    env.step(1)
    env.close()
    target = make_env(obs_type="ram", **{k: (counter_rom.read_bytes() if k == "rom" else v) for k, v in other.items()})
    with pytest.raises(ValueError, match=message):
        kestrix_gym.replay(env.paths[0], target)
