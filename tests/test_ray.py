"""The Ray rollout example against a head node started here, on the loopback
address only, compared with the same collectors run without Ray."""
import json
import os
import pathlib
import secrets
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

import pytest

pytest.importorskip("gymnasium")
pytest.importorskip("ray")

ROOT = pathlib.Path(__file__).resolve().parent.parent
EXAMPLE = ROOT / "examples" / "ray_rollouts.py"

pytestmark = pytest.mark.skipif(os.environ.get("KESTRIX_SANITIZED") == "1",
                                reason="Ray's own processes must not inherit the sanitizer runtime")


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def returns(args: list[str], env: dict, out: pathlib.Path) -> dict:
    """Runs the example; the episode returns by seed from its --json file."""
    proc = subprocess.run([sys.executable, str(EXAMPLE), *args, "--json", str(out)],
                          env=env, timeout=300, capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    return json.loads(out.read_text())["returns"]


def test_rollouts_on_a_ray_head_match_a_run_without_ray(tmp_path):
    env = dict(os.environ, RAY_USAGE_STATS_ENABLED="0", RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER="0",
               RAY_AUTH_MODE="token", RAY_AUTH_TOKEN=secrets.token_hex(32))
    # Ray's socket paths must stay short: its folder goes straight under /tmp.
    temp = tempfile.mkdtemp(prefix="kray", dir="/tmp")
    port = free_port()
    with open(tmp_path / "head.log", "wb") as log:
        head = subprocess.Popen(
            [str(pathlib.Path(sys.executable).parent / "ray"), "start", "--head", "--block",
             "--node-ip-address", "127.0.0.1", "--port", str(port), "--num-cpus", "2",
             "--include-dashboard", "false", "--disable-usage-stats", "--temp-dir", temp,
             "--object-store-memory", str(100 * 1024 * 1024)],
            env=env, stdout=log, stderr=subprocess.STDOUT, start_new_session=True)
    try:
        deadline = time.monotonic() + 180
        while not (pathlib.Path(temp) / "ray_current_cluster").exists():
            assert head.poll() is None, (tmp_path / "head.log").read_text()
            assert time.monotonic() < deadline, "the head node did not come up"
            time.sleep(0.5)
        args = ["--actors", "2", "--envs", "1", "--episodes", "2", "--max-steps", "40",
                "--policy", "scripted", "--seed", "5"]
        results = [returns([*args, *extra], env, tmp_path / f"{extra[0]}.json")
                   for extra in (["--address", f"127.0.0.1:{port}"], ["--no-ray"])]
    finally:
        # The head and everything it started share its process group.
        for sig, grace in ((signal.SIGTERM, 15), (signal.SIGKILL, None)):
            try:
                os.killpg(head.pid, sig)
                head.wait(timeout=grace)
            except (ProcessLookupError, subprocess.TimeoutExpired):
                pass
        shutil.rmtree(temp, ignore_errors=True)
    on_ray, local = results
    assert sorted(on_ray) == ["5", "6"] and all(len(r) == 2 for r in on_ray.values())
    assert on_ray == local


def test_rollouts_without_address_ignore_a_stale_cluster_file(tmp_path):
    """Without --address the example starts an instance of its own, even where
    `ray start` left the address of a head that has since died: Ray's default
    temp folder (RAY_TMPDIR/ray) holds such a file, naming a closed port."""
    temp = pathlib.Path(tempfile.mkdtemp(prefix="kray", dir="/tmp"))  # short socket paths, as above
    (temp / "ray").mkdir()
    (temp / "ray" / "ray_current_cluster").write_text(f"127.0.0.1:{free_port()}")
    env = {k: v for k, v in os.environ.items() if k != "RAY_ADDRESS"}
    env.update(RAY_TMPDIR=str(temp), RAY_USAGE_STATS_ENABLED="0")
    args = ["--actors", "2", "--envs", "1", "--episodes", "1", "--max-steps", "30", "--policy", "scripted"]
    try:
        on_ray = returns(args, env, tmp_path / "local.json")
    finally:
        shutil.rmtree(temp, ignore_errors=True)
    assert on_ray == returns([*args, "--no-ray"], env, tmp_path / "no-ray.json")
    assert sorted(on_ray) == ["0", "1"]
