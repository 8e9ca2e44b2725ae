"""Saves under faults: a write cut short at many points, folders that cannot
take a file, and slot files that cannot be loaded. A failed save leaves the
previous file as it was and names the path; a refused load leaves the console
as it was."""
import errno
import json
import os
import pathlib

import pytest

import kestrix
from nesbuild import program

STATE_SIZE = 82189
RAM_SIZE = 8192
IS_ROOT = os.geteuid() == 0

# Leaves battery RAM and most of memory to the test.
SOURCE = """
loop:   INC $10
        JMP loop
"""


@pytest.fixture
def cart(tmp_path):
    path = tmp_path / "cart.nes"
    path.write_bytes(program(SOURCE, battery=True))
    return path


def cart_folder() -> pathlib.Path:
    return pathlib.Path(os.environ["HOME"]) / ".config" / "Morvanet" / "cart"


# A file size limit makes the write fail at that byte, as a full disk would.
# For each limit: fill memory with a new pattern, try the write, then report
# the error and what the file holds.
LIMITS = """
import errno, json, os, resource, signal, sys, kestrix
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
target, limits = sys.argv[2], [int(x) for x in sys.argv[3].split(",")]
nes = kestrix.NES(sys.argv[1])
folder = nes.getSaveDir()
path = os.path.join(folder, "5" if target == "slot" else "ram")
mem = nes.cpuMem()

def write():
    if target == "slot":
        nes.saveState(5)
    else:
        nes.start()
        nes.stop()

def limited(limit, f):
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, resource.RLIM_INFINITY))
    try:
        f()
        return "ok"
    except OSError as e:
        return [e.errno, e.filename, str(e)]
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))

# A first save cut short leaves no file at all.
first = limited(100, lambda: nes.saveState(6))
first_left = os.path.exists(os.path.join(folder, "6"))
mem[0x6000:0x8000] = 0x11
write()
report = []
for i, limit in enumerate(limits):
    before = open(path, "rb").read()
    mem[0x6000:0x8000] = 0x20 + i
    outcome = limited(limit, write)
    after = open(path, "rb").read()
    report.append([limit, outcome, after == before, len(after), after[-1]])
print(json.dumps(dict(first=first, first_left=first_left, report=report, files=sorted(os.listdir(folder)))))
"""

STATE_LIMITS = [0, 1, 5, 13, 4096, 65548, 65549, 81933, STATE_SIZE - 1, STATE_SIZE]
RAM_LIMITS = [0, 1, 4095, 4096, RAM_SIZE - 1, RAM_SIZE]


@pytest.mark.parametrize("target, limits, size", [
    ("slot", STATE_LIMITS, STATE_SIZE),
    ("ram", RAM_LIMITS, RAM_SIZE),
])
def test_write_cut_short_anywhere_keeps_the_previous_file(cart, run_script, target, limits, size):
    out = json.loads(run_script(LIMITS, args=(cart, target, ",".join(map(str, limits)))).stdout.splitlines()[-1])
    path = str(cart_folder() / ("5" if target == "slot" else "ram"))
    assert out["first"][:2] == [errno.EFBIG, str(cart_folder() / "6")] and not out["first_left"]
    for i, (limit, outcome, unchanged, length, last) in enumerate(out["report"]):
        if limit < size:
            assert outcome[:2] == [errno.EFBIG, path] and path in outcome[2], (limit, outcome)
            assert unchanged and length == size, limit
        else:  # room for all of it: the new file replaces the old one
            assert outcome == "ok" and not unchanged and length == size
            if target == "ram":
                assert last == 0x20 + i
    # No temporary file is left behind, whatever failed.
    assert out["files"] == [os.path.basename(path)]


def test_battery_ram_when_the_console_is_collected_under_a_full_disk(cart, run_script):
    out = run_script(f"""
        import gc, resource, signal, kestrix
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        nes = kestrix.NES({str(cart)!r})
        nes.cpuMem()[0x6000:0x8000] = 0x11
        nes.start()
        nes.stop()
        nes.cpuMem()[0x6000:0x8000] = 0x22
        nes.start()
        resource.setrlimit(resource.RLIMIT_FSIZE, (1000, resource.RLIM_INFINITY))
        del nes  # stops as stop() would; the failure can only be reported
        gc.collect()
        print("collected")
    """)
    ram = cart_folder() / "ram"
    assert out.stdout.splitlines()[-1] == "collected"
    assert f"battery RAM not saved: cannot write '{ram}'" in out.stderr
    assert ram.read_bytes() == b"\x11" * RAM_SIZE and os.listdir(cart_folder()) == ["ram"]


# Folders that cannot take a new file, honest under root too: a system folder,
# a cartridge folder that became a plain file.
def replace_with_file(folder: pathlib.Path) -> None:
    for p in folder.iterdir():
        p.unlink()
    folder.rmdir()
    folder.write_bytes(b"was a folder")


def test_save_into_system_folder(cart):
    folder = pathlib.Path("/sys")
    if not folder.is_dir():
        pytest.skip("no /sys here")
    nes = kestrix.NES(str(cart))
    assert nes.setSaveDir(str(folder))
    with pytest.raises(PermissionError) as err:
        nes.saveState(3)
    assert err.value.filename == "/sys/3"


def test_battery_ram_folder_replaced_by_a_file(cart):
    nes = kestrix.NES(str(cart))
    nes.cpuMem()[0x6000] = 0x5A
    replace_with_file(cart_folder())
    nes.start()
    with pytest.raises(OSError) as err:
        nes.stop()
    assert (err.value.errno, err.value.filename) == (errno.ENOTDIR, str(cart_folder() / "ram"))
    assert cart_folder().read_bytes() == b"was a folder"
    frames = nes.frameCount()
    nes.runFrame()  # the run thread did stop
    assert nes.frameCount() == frames + 1


@pytest.mark.skipif(IS_ROOT, reason="root writes into a read-only folder anyway")
def test_save_into_read_only_folder(cart):
    nes = kestrix.NES(str(cart))
    nes.saveState(2)
    previous = (cart_folder() / "2").read_bytes()
    nes.runFrame()
    cart_folder().chmod(0o555)
    try:
        with pytest.raises(PermissionError) as err:
            nes.saveState(2)
    finally:
        cart_folder().chmod(0o755)
    assert err.value.filename == str(cart_folder() / "2")
    assert (cart_folder() / "2").read_bytes() == previous and os.listdir(cart_folder()) == ["2"]


# ------------------------------------------------------------------ loads that are refused

def snapshot(nes):
    return bytes(nes.cpuMem()), bytes(nes.ppuMem()), nes.cycleCount(), nes.frameCount()


def truncate_to(n):
    def spoil(p: pathlib.Path):
        p.write_bytes(p.read_bytes()[:n])
    return spoil


def unreadable(p: pathlib.Path):
    if IS_ROOT:
        pytest.skip("root reads a file without read permission")
    p.chmod(0)


@pytest.mark.parametrize("spoil, error, problem", [
    (truncate_to(STATE_SIZE - 1), ValueError, f"{STATE_SIZE - 1} bytes instead of {STATE_SIZE}"),
    (truncate_to(0), ValueError, f"0 bytes instead of {STATE_SIZE}"),
    (lambda p: (p.unlink(), os.mkfifo(p)), ValueError, "not a regular file"),  # would block if opened
    (lambda p: (p.unlink(), p.symlink_to(p.parent / "nowhere")), ValueError, "not a regular file"),
    (lambda p: (p.unlink(), p.symlink_to("/dev/zero")), ValueError, "not a regular file"),
    (unreadable, PermissionError, "Permission denied"),
], ids=["short-by-one", "empty", "fifo", "dangling-link", "device", "unreadable"])
def test_refused_load_leaves_the_console_unchanged(cart, spoil, error, problem):
    nes = kestrix.NES(str(cart))
    nes.runFrame()
    nes.saveState(4)
    nes.cpuMem()[0x0300:0x0400] = 0x99  # differs from the saved state
    nes.ppuMem()[0x2000:0x2100] = 0x77
    nes.runFrame()
    slot = cart_folder() / "4"
    spoil(slot)
    before = snapshot(nes)
    with pytest.raises(error) as err:
        nes.loadState(4)
    assert str(slot) in str(err.value) and problem in str(err.value)
    assert snapshot(nes) == before
    nes.runFrame()
    assert nes.frameCount() == before[3] + 1
