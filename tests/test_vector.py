"""VectorNESEnv: the native batch against separate NESEnvs, gym.make_vec,
errors and the pool's lifetime."""
import os

import numpy as np
import pytest

gym = pytest.importorskip("gymnasium")
import kestrix_gym  # noqa: E402
from kestrix_gym import VectorNESEnv  # noqa: E402
from kestrix_gym.balloonpop import ENV_ID, GAME_STATE, SCORE, make_env, rom_bytes, settings  # noqa: E402
from kestrix_gym.balloonpop import TIMER as TIMER_VARIABLE  # noqa: E402
from kestrix_gym.ram import AnyOf, Changes, Reaches  # noqa: E402

N = 4
TIMER = 0x05  # BalloonPop's seconds left in the round


def live_threads() -> int:
    return len(os.listdir("/proc/self/task"))


def play(vec, memory, actions):
    """reset(seed=5), then the actions; the round's last second is set in
    envs 0 and 2 at steps 10 and 70, so they reach game over mid-step."""
    out = [vec.reset(seed=5)]
    for t, a in enumerate(actions):
        if t in (10, 70):
            for i in (0, 2):
                memory(i)[TIMER] = 1
        out.append(vec.step(a))
    return out


def mid_round_starts() -> list[bytes]:
    """Snapshots 5 and 20 steps into a round."""
    env = make_env()
    env.reset(seed=0)
    starts = []
    for steps in (5, 15):
        for _ in range(steps):
            env.step(2)
        starts.append(env.snapshot())
    return starts


@pytest.mark.parametrize("kw", [
    {"obs_type": "grayscale", "resize": 84, "max_pool": True, "repeat_action_probability": 0.25},
    {"obs_type": "rgb", "resize": (60, 50), "max_episode_steps": 40},
    {"obs_type": "ram", "frame_skip": 3},
    {"obs_type": "grayscale", "reward": lambda before, after: float(after[3] != before[3])},  # a Python rule
    {"obs_type": "grayscale", "grayscale_newaxis": True, "with_ram": True, "lives": "timer",
     "terminate_on_life_loss": True},  # each second of the round is a life
    {"obs_type": "ram", "reward": Changes(((SCORE, 1.0), (TIMER_VARIABLE, -0.5))), "start_states": "two",
     "terminated": AnyOf((Reaches(GAME_STATE, 2), Reaches(TIMER_VARIABLE, 1, "<=")))},
])
def test_vector_steps_as_separate_envs(kw):
    """Through episode ends mid-step, truncations and autoresets: the same
    observations, rewards, endings and infos as NESEnvs in Gymnasium's vector."""
    if kw.get("start_states") == "two":
        kw = dict(kw, start_states=mid_round_starts())
    actions = list(np.random.default_rng(1).integers(0, 7, (120, N)))
    native = VectorNESEnv(rom_bytes(), N, num_threads=2, **settings(**kw))
    ref = gym.vector.SyncVectorEnv([lambda: make_env(**kw) for _ in range(N)])
    got = play(native, native.cpu_memory, actions)
    want = play(ref, lambda i: ref.envs[i].unwrapped.cpu_memory, actions)
    for a, b in zip(got, want):
        for x, y in zip(a[:-1], b[:-1]):
            if isinstance(x, dict):
                assert x.keys() == y.keys() and all(np.array_equal(x[k], y[k]) for k in x)
            else:
                assert np.array_equal(x, y)
        assert a[-1].keys() == b[-1].keys()
        for key in a[-1]:
            assert np.array_equal(a[-1][key], b[-1][key]), key
    ended = np.array([step[2] for step in got[1:]])
    if "lives" in kw:
        assert ended.sum() >= 4 * 6  # a life lost each 15 steps
    else:
        assert ended[:, 0].sum() == 2 and ended[:, 2].sum() == 2 and not ended[:, 1].any()
    native.close()
    ref.close()


def test_make_vec_gives_the_native_vector():
    vec = gym.make_vec(ENV_ID, num_envs=2, num_threads=1, max_episode_steps=3, obs_type="ram")
    assert isinstance(vec, VectorNESEnv) and vec.num_threads == 1
    assert vec.metadata["autoreset_mode"] == gym.vector.AutoresetMode.NEXT_STEP
    vec.reset(seed=0)
    assert [bool(vec.step(np.zeros(2, int))[3].all()) for _ in range(3)] == [False, False, True]
    vec.close()
    assert isinstance(gym.make_vec(ENV_ID, num_envs=2, vectorization_mode="sync"), gym.vector.SyncVectorEnv)


@pytest.mark.parametrize("actions, message", [
    (np.zeros(3, int), r"actions must be 4 integers in 0\.\.6 \(shape \(4,\)\)"),
    (np.array([0, 1, 7, 0]), r"actions must be 4 integers"),
    (np.array([0.0, 1.0, 2.0, 3.0]), r"actions must be 4 integers"),
])
def test_bad_actions_are_refused(actions, message):
    vec = VectorNESEnv(rom_bytes(), N, **settings(obs_type="ram"))
    vec.reset(seed=0)
    with pytest.raises(ValueError, match=message):
        vec.step(actions)
    vec.close()


def test_failing_rule_raises_in_the_caller():
    def reward(before, after):
        raise ZeroDivisionError("rule failed")

    vec = VectorNESEnv(rom_bytes(), 2, **settings(obs_type="ram", reward=reward))
    vec.reset(seed=0)
    with pytest.raises(ZeroDivisionError, match="rule failed"):
        vec.step(np.zeros(2, int))


def test_close_and_collection_end_the_pool():
    before = live_threads()
    vec = VectorNESEnv(rom_bytes(), N, num_threads=3, **settings(obs_type="ram"))
    assert live_threads() == before + 2
    vec.close()
    assert live_threads() == before
    with pytest.raises(RuntimeError, match="closed"):
        vec.step(np.zeros(N, int))
    VectorNESEnv(rom_bytes(), N, num_threads=3, **settings(obs_type="ram"))  # dropped unclosed
    assert live_threads() == before


def test_snapshot_and_restore_of_one_env():
    vec = VectorNESEnv(rom_bytes(), 2, **settings(obs_type="ram"))
    vec.reset(seed=0)
    snap = vec.snapshot(1)
    after = [vec.step(np.array([2, 2]))[0][1] for _ in range(10)]
    vec.restore(1, snap)
    assert np.array_equal([vec.step(np.array([2, 2]))[0][1] for _ in range(10)], after)
    with pytest.raises(IndexError):
        vec.snapshot(2)


def test_native_variables_read_as_python_does():
    formats = {"u": {"size": 3}, "s": {"size": 2, "signed": True, "byteorder": "big"}, "b": {"size": 3, "bcd": True},
               "d": {"size": 3, "digits": True, "offset": 0x30, "byteorder": "big"}}
    variables = {name: kestrix_gym.RamVariable(0x6F00 + 4 * k, **kw) for k, (name, kw) in enumerate(formats.items())}
    vec = VectorNESEnv(rom_bytes(), 1, **settings(obs_type="ram", variables=variables, reward=None, terminated=None))
    vec.reset(seed=0)
    memory = vec.cpu_memory(0)
    memory[0x6F00:0x6F10] = [0x31, 0xF2, 0x99, 0, 0xFE, 0xFF, 0, 0, 0x45, 0x23, 0x01, 0, 0x31, 0x20, 0x39, 0]
    info = vec.step(np.zeros(1, int))[4]
    assert [int(info[name][0]) for name in formats] == [v.read(memory) for v in variables.values()] == \
        [0x99F231, -257, 12345, 109]
