"""The worker of benchmarks/same_behaviour.py: what it prints depends only on
the build, the cartridge and the seed of its pads (two runs in different
homes agree), and the pads it presses reach the program. The benchmark
tools' corpus takes every cartridge file, whatever the case of its name."""
import argparse
import json
import os
import pathlib
import subprocess
import sys

import kestrix

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "benchmarks"))
import compare_peers  # noqa: E402
import same_behaviour  # noqa: E402
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
    mixed = next(v for v in timing_programs.VARIANTS if v.name.startswith("mixed"))
    cart.write_bytes(timing_programs.build(mixed))
    first = worker_lines(tmp_path, "a", cart, 1)
    assert len(first) == 61 and "state=-" not in first[50]  # a header, 60 frames, a state at frame 50
    assert worker_lines(tmp_path, "b", cart, 1) == first
    assert worker_lines(tmp_path, "c", cart, 2) != first


def test_corpus_takes_cartridges_whatever_the_case_of_the_name(tmp_path, monkeypatch):
    shared = tmp_path / "roms"
    for rel in ("corpus/BLOCKS.NES", "corpus/snow.nes", "corpus/README", "games/Game.Nes", "extra/extra.nes"):
        (shared / rel).parent.mkdir(parents=True, exist_ok=True)
        (shared / rel).write_bytes(b"NES\x1a")
    monkeypatch.setenv("KESTRIX_ROMS", str(shared))
    monkeypatch.setattr(same_behaviour, "WORK", tmp_path / "same")  # where the generated programs go
    names = {p.name for p in same_behaviour.corpus(quick=False)}
    assert {"BLOCKS.NES", "snow.nes", "Game.Nes"} <= names and "README" not in names
    # compare_peers --corpus: the folder's cartridges only, then the ones given.
    args = argparse.Namespace(corpus="", roms=[str(shared / "extra" / "extra.nes")])
    assert [pathlib.Path(r).name for r in compare_peers.chosen_roms(args)] == ["BLOCKS.NES", "snow.nes", "extra.nes"]
