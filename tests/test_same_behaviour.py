"""The worker of benchmarks/same_behaviour.py: what it prints depends only on
the build, the cartridge and the seed of its pads (two runs in different
homes agree), and the pads it presses reach the program."""
import json
import os
import pathlib
import subprocess
import sys

import kestrix

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "benchmarks"))
import timing_programs  # noqa: E402


def worker_lines(tmp_path: pathlib.Path, label: str, cart: pathlib.Path, seed: int) -> list[str]:
    home = tmp_path / label
    (home / ".config").mkdir(parents=True)
    env = dict(os.environ, HOME=str(home), PYTHONPATH=str(pathlib.Path(kestrix.__file__).resolve().parent))
    job = json.dumps({"carts": [str(cart)], "frames": 60, "seed": seed})
    proc = subprocess.run([sys.executable, str(ROOT / "benchmarks" / "same_behaviour.py"), "--worker", job],
                          env=env, capture_output=True, text=True, timeout=120, check=True)
    return proc.stdout.splitlines()[1:]  # after the module's path


def test_worker_stream_is_reproducible_and_follows_the_pads(tmp_path):
    cart = tmp_path / "mixed.nes"
    cart.write_bytes(timing_programs.build(timing_programs.VARIANTS[-1]))
    first = worker_lines(tmp_path, "a", cart, 1)
    assert len(first) == 61 and "state=-" not in first[50]  # a header, 60 frames, a state at frame 50
    assert worker_lines(tmp_path, "b", cart, 1) == first
    assert worker_lines(tmp_path, "c", cart, 2) != first
