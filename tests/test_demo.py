"""The project's demo cartridge (demo/demo.nes, source demo/demo.s): it
rebuilds byte for byte from its source, and it plays as its source says:
title screen, a playfield scrolling under a still status bar, moving 8x16
sprites, a player driven by the pad, shots that pop balloons for points in
a timed round, and a tune whose pitches are those of the source's note
table."""
import pathlib
import re
import shutil
import subprocess

import numpy as np
import pytest

import kestrix

DEMO = pathlib.Path(__file__).resolve().parent.parent / "demo"
ROM = DEMO / "demo.nes"
SOURCE = (DEMO / "demo.s").read_text()

# The RAM cells and OAM entries documented in the header of demo.s.
GAME_STATE, SONG_ROW, SFX_TIMER, SCORE, TIMER = 0x00, 0x01, 0x02, 0x03, 0x05
TITLE, PLAYING, GAME_OVER = 0, 1, 2
PLAYER, PLAYER_RIGHT_HALF, SHOT = 1, 2, 3
BALLOONS = range(4, 24)
GROUND_Y = 175
BAR_LINES = 32                          # the status bar: nametable rows 0-3
BAR_ROWS = (0x2020, 0x2040)             # its two lines of text in nametable $2000

BUTTONS = ("A", "B", "SELECT", "START", "UP", "DOWN", "LEFT", "RIGHT")
CPU_HZ = 1789773
RATE = 44100


def buttons(*names: str) -> list[bool]:
    return [b in names for b in BUTTONS]


def constants(name: str) -> dict[str, int]:
    """Decimal constants of demo.s whose names match the pattern."""
    return {m.group(1): int(m.group(2))
            for m in re.finditer(rf"^({name})\s*=\s*(\d+)\b", SOURCE, re.M)}


NOTES = constants(r"[PT]_[A-G]\d")
TUNING = constants(r"WALK_SPEED|SHOT_SPEED|SHOT_TOP|ROUND_SECONDS|SECOND_FRAMES")


def song() -> list[list[str]]:
    """The song rows of demo.s: melody, harmony, bass, drum."""
    return [[x.strip() for x in m.group(1).split(";")[0].split(",")]
            for m in re.finditer(r"^\s*ROW\s+(.+)$", SOURCE, re.M)]


def pulse_hz(period: int) -> float:
    return CPU_HZ / (16 * (period + 1))


def triangle_hz(period: int) -> float:
    return CPU_HZ / (32 * (period + 1))


def peak_hz(samples: np.ndarray) -> tuple[float, float]:
    """Dominant frequency of a block of samples and the FFT bin width."""
    x = samples.astype(float) - samples.mean()
    spectrum = np.abs(np.fft.rfft(x * np.hanning(len(x))))
    spectrum[0] = 0
    return spectrum.argmax() * RATE / len(x), RATE / len(x)


def channel(block: list, k: int) -> np.ndarray:
    return np.frombuffer(block[k], dtype="<i2")


class Demo:
    def __init__(self):
        self.nes = kestrix.NES(str(ROM))
        self.pad = kestrix.Controller()
        self.nes.setController(self.pad, 0)
        self.mem = self.nes.cpuMem()
        self.oam = self.nes.OAM()

    def run(self, frames: int = 1, *held: str) -> None:
        self.pad.updateInputs(buttons(*held))
        for _ in range(frames):
            self.nes.runFrame()

    def start_game(self) -> None:
        self.run(5)
        self.run(1, "START")
        self.run(3)
        assert self.mem[GAME_STATE] == PLAYING

    def score(self) -> int:
        return int(self.mem[SCORE]) | int(self.mem[SCORE + 1]) << 8     # as BCD: 0x0123 is 123

    def bar(self) -> list[str]:
        names = bytes(self.nes.ppuMem()[0x2000:0x2400])
        return [names[a - 0x2000:a - 0x2000 + 32].decode("ascii").strip() for a in BAR_ROWS]

    def entry(self, n: int) -> tuple[int, int, int, int]:
        return tuple(int(b) for b in self.oam[4 * n:4 * n + 4])

    def bar_and_playfield(self) -> tuple[np.ndarray, np.ndarray]:
        """The status bar without its clock's digits (row 1, columns 27-28), and the playfield."""
        img = np.array(self.nes.getImg())
        img[8:16, 27 * 8:29 * 8] = 0
        return img[:BAR_LINES], img[BAR_LINES:]


@pytest.fixture
def demo() -> Demo:
    return Demo()


def test_rebuild_from_source_is_byte_identical(tmp_path):
    if not (shutil.which("ca65") and shutil.which("ld65")):
        pytest.skip("ca65/ld65 (cc65) not installed")
    out = tmp_path / "rebuilt.nes"
    subprocess.run([str(DEMO / "build.sh"), str(out)], check=True, capture_output=True)
    assert out.read_bytes() == ROM.read_bytes()


def test_cartridge_is_nrom_with_vertical_mirroring():
    image = ROM.read_bytes()
    assert image[:4] == b"NES\x1a"
    assert (image[4], image[5]) == (1, 1)                 # 16 KiB PRG, 8 KiB CHR
    assert image[6] & 0xF1 == 0x01 and image[7] & 0xF0 == 0
    assert len(image) == 16 + 16384 + 8192


def test_title_screen_shows_own_font_text_and_no_sprites(demo):
    demo.run(30)
    assert demo.mem[GAME_STATE] == TITLE
    names = bytes(demo.nes.ppuMem()[0x2000:0x23C0])
    rows = [names[r * 32:r * 32 + 32].decode("ascii").strip() for r in range(30)]
    assert [r for r in rows if r] == ["BALLOON POP", "A JUMP   B FIRE", "PRESS START"]
    img = np.array(demo.nes.getImg())
    colours = {tuple(c) for c in img.reshape(-1, 3)}
    assert colours == {(0, 0, 0), (255, 255, 255)}        # white ink on black paper
    # The 'B' of the title is drawn with the cartridge's own glyph.
    k = np.array(demo.nes.ppuMem()[ord("B") * 16:ord("B") * 16 + 8])
    cell = img[8 * 8:8 * 8 + 8, 10 * 8:10 * 8 + 8].all(axis=2)
    assert np.array_equal(np.packbits(cell, axis=1)[:, 0], k)
    assert all(demo.entry(n)[0] == 0xFF for n in range(64))


@pytest.mark.parametrize("press_start_at, first_game_frame", [(10, (11, 14)), (None, (118, 124))])
def test_title_ends_on_start_or_after_two_seconds(demo, press_start_at, first_game_frame):
    for frame in range(1, 200):
        demo.run(1, *(["START"] if frame == press_start_at else []))
        if demo.mem[GAME_STATE] == PLAYING:
            break
    lo, hi = first_game_frame
    assert lo <= frame <= hi


@pytest.mark.parametrize("held, step, flip", [("RIGHT", 1, 0), ("LEFT", -1, 0x40)])
def test_dpad_walks_the_player(demo, held, step, flip):
    demo.start_game()
    y, _, _, x = demo.entry(PLAYER)
    assert y == GROUND_Y
    demo.run(30, held)
    y2, _, attr, x2 = demo.entry(PLAYER)
    assert x2 - x == 30 * step * TUNING["WALK_SPEED"]
    assert y2 == GROUND_Y
    assert attr & 0x40 == flip                              # faces the way it walks
    assert demo.entry(PLAYER_RIGHT_HALF)[3] == x2 + 8
    assert demo.entry(PLAYER_RIGHT_HALF)[2] & 0x40 == flip
    demo.run(10)
    assert demo.entry(PLAYER)[3] == x2                      # stops when released


def test_a_jumps_and_lands(demo):
    demo.start_game()
    demo.run(1, "A")
    heights = []
    for _ in range(40):
        demo.run(1)
        heights.append(GROUND_Y - demo.entry(PLAYER)[0])
    # Up at 4 px/frame against 1/4 px/frame^2: 30 px high, 32 frames in the air.
    top = max(heights)
    peak = heights.index(top)
    assert 28 <= top <= 32
    assert heights[:peak + 1] == sorted(heights[:peak + 1])
    assert heights[peak:] == sorted(heights[peak:], reverse=True)
    assert heights.index(0) in range(28, 35)
    assert heights[-1] == 0


def test_b_fires_one_shot_straight_up(demo):
    demo.start_game()
    demo.run(30, "LEFT")                                    # between two bunches of balloons
    _, _, _, px = demo.entry(PLAYER)
    assert demo.entry(SHOT)[0] == 0xFF
    demo.run(1, "B")
    ys = []
    while demo.entry(SHOT)[0] != 0xFF and len(ys) < 40:
        ys.append(demo.entry(SHOT)[0])
        assert demo.entry(SHOT)[3] == px + 4                # from the player's middle
        demo.run(1, "B")                                    # held: still one shot
    assert ys[0] < GROUND_Y and np.all(np.diff(ys) == -TUNING["SHOT_SPEED"])
    assert ys[-1] - TUNING["SHOT_SPEED"] < TUNING["SHOT_TOP"] <= ys[-1]    # gone at the top
    assert demo.score() == 0


def aim_and_fire_until_a_hit(demo: Demo, frames: int = 1200) -> np.ndarray:
    """Walks under the nearest balloon and fires until the score changes;
    returns the OAM from the frame before the hit."""
    score = demo.score()
    last_b = False
    for _ in range(frames // 2):
        before = np.array(demo.oam).reshape(64, 4).copy()
        py, px = int(before[PLAYER, 0]), int(before[PLAYER, 3]) + 8
        _, tx = min(((int(x) + 4 - px) ** 2 + (int(y) - py) ** 2, int(x) + 4) for y, _, _, x in before[BALLOONS])
        held = ["RIGHT"] if tx > px + 1 else ["LEFT"] if tx < px - 1 else []
        fire = abs(tx - px) <= 4 and before[SHOT, 0] == 0xFF and not last_b
        last_b = fire
        demo.run(1, *held, *(["B"] if fire else []))
        if demo.score() != score:
            return before
        demo.run(1, *held)
        if demo.score() != score:
            return np.array(demo.oam).reshape(64, 4).copy()
    raise AssertionError("no balloon popped")


@pytest.mark.parametrize("score, after", [(0x0000, 0x0001), (0x0009, 0x0010), (0x0999, 0x1000)],
                         ids=["0000", "0009", "0999"])
def test_a_hit_pops_the_balloon_and_scores(demo, score, after):
    demo.start_game()
    demo.mem[SCORE:SCORE + 2] = [score & 0xFF, score >> 8]
    hit = aim_and_fire_until_a_hit(demo)
    now = np.array(demo.oam).reshape(64, 4)
    assert demo.score() == after
    assert now[SHOT, 0] == 0xFF                             # the shot is spent
    dy = np.abs(now[BALLOONS, 0].astype(int) - hit[BALLOONS, 0])
    dx = np.abs(now[BALLOONS, 3].astype(int) - hit[BALLOONS, 3])
    moved = np.maximum(dy, np.minimum(dx, 256 - dx))        # X wraps around the screen
    assert (moved > 8).sum() == 1                           # one balloon starts again elsewhere
    demo.run(1)
    assert demo.bar()[0].startswith(f"SCORE {after:04X}")


def test_the_round_runs_out_and_start_begins_a_new_one(demo):
    demo.start_game()
    round_frames = TUNING["ROUND_SECONDS"] * TUNING["SECOND_FRAMES"]
    assert demo.mem[TIMER] == TUNING["ROUND_SECONDS"] and demo.score() == 0
    assert demo.bar() == ["SCORE 0000          TIME 60", "A JUMP   B FIRE"]
    demo.mem[SCORE] = 0x42                                  # as if two rounds' worth of pops
    seconds = []
    for frame in range(1, round_frames + 10):
        demo.run(1)
        seconds.append(int(demo.mem[TIMER]))
        if demo.mem[GAME_STATE] != PLAYING:
            break
    assert demo.mem[GAME_STATE] == GAME_OVER and demo.mem[TIMER] == 0
    assert abs(frame - round_frames) <= 3
    assert seconds[TUNING["SECOND_FRAMES"] + 5] == TUNING["ROUND_SECONDS"] - 1
    demo.run(1)
    assert demo.bar() == ["SCORE 0042          TIME 00", "GAME OVER      PRESS START"]
    x = demo.entry(PLAYER)[3]
    demo.run(120, "RIGHT", "B")                             # nothing moves until Start
    assert demo.mem[GAME_STATE] == GAME_OVER and demo.entry(PLAYER)[3] == x and demo.entry(SHOT)[0] == 0xFF
    demo.run(1, "START")
    demo.run(2)
    assert demo.mem[GAME_STATE] == PLAYING
    assert demo.mem[TIMER] == TUNING["ROUND_SECONDS"] and demo.score() == 0
    assert demo.bar() == ["SCORE 0000          TIME 60", "A JUMP   B FIRE"]


def test_status_bar_stays_still_while_the_playfield_scrolls(demo):
    demo.start_game()
    demo.run(2)
    bar0, field0 = demo.bar_and_playfield()
    assert len({tuple(c) for c in bar0[8:24].reshape(-1, 3)}) >= 2   # the bar holds text
    for _ in range(12):
        demo.run(23)
        bar, field = demo.bar_and_playfield()
        assert np.array_equal(bar, bar0)
        assert not np.array_equal(field, field0)
        field0 = field


def test_sixteen_or_more_8x16_sprites_move(demo):
    demo.start_game()
    demo.run(2)
    assert demo.mem[0x2000] & 0x20                          # PPUCTRL: 8x16 sprites
    before = np.array(demo.oam).reshape(64, 4).copy()
    demo.run(4)                                             # balloons move fractions of a pixel per frame
    after = np.array(demo.oam).reshape(64, 4)
    visible = after[:, 0] < 0xEF
    moved = visible & np.any(before[:, [0, 3]] != after[:, [0, 3]], axis=1)
    assert moved.sum() >= 16
    # The player's shoes are on lines 14-15 of its 16: drawn only in 8x16 mode.
    img = np.array(demo.nes.getImg())
    y, _, _, x = demo.entry(PLAYER)
    feet = img[y + 1 + 14:y + 1 + 16, x:x + 16]
    assert np.any(np.all(feet == 0, axis=2))


@pytest.fixture(scope="module")
def tune(tmp_path_factory):
    """300 frames from power-on without input: per frame the song row and
    the audio block fetched after it (or None)."""
    with pytest.MonkeyPatch.context() as mp:
        home = tmp_path_factory.mktemp("home")
        (home / ".config").mkdir()
        mp.setenv("HOME", str(home))
        demo = Demo()
        frames = []
        for _ in range(300):
            demo.nes.runFrame()
            block = demo.nes.getAudio(split_channels=True)
            frames.append((int(demo.mem[SONG_ROW]), block if block[0] else None))
    return frames


def row_spans(frames):
    """(first frame, end frame, row) of each complete row played."""
    starts = [f for f in range(1, len(frames)) if frames[f][0] != frames[f - 1][0]]
    return [(s, e, frames[s][0]) for s, e in zip(starts, starts[1:])]


def test_note_table_names_the_pitches_it_plays():
    names = {"C": -9, "D": -7, "E": -5, "F": -4, "G": -2, "A": 0, "B": 2}
    assert len(NOTES) >= 12
    for name, period in NOTES.items():
        kind, letter, octave = name[0], name[2], int(name[3])
        want = 440 * 2 ** ((names[letter] + 12 * (octave - 4)) / 12)
        got = pulse_hz(period) if kind == "P" else triangle_hz(period)
        assert abs(got / want - 1) < 0.006, name             # within a tenth of a semitone


@pytest.mark.parametrize("column, block_index, hz", [(0, 1, pulse_hz), (1, 2, pulse_hz), (2, 3, triangle_hz)],
                         ids=["pulse1", "pulse2", "triangle"])
def test_music_plays_the_notes_of_the_source(tune, column, block_index, hz):
    rows = song()
    spans = row_spans(tune)
    assert {row for _, _, row in spans} == set(range(len(rows)))
    for start, end, row in spans:
        # Blocks fetched from 2 frames after the row's start cover only that row.
        blocks = [b for _, b in tune[start + 2:end] if b is not None][:8]
        assert len(blocks) >= 6
        got, bin_width = peak_hz(np.concatenate([channel(b, block_index) for b in blocks]))
        want = hz(NOTES[rows[row][column]])
        assert abs(got - want) <= bin_width, (row, rows[row][column], got, want)


@pytest.mark.parametrize("block_index", [0, 1, 2, 3, 4], ids=["mixed", "pulse1", "pulse2", "triangle", "noise"])
def test_every_row_is_audible_on_each_channel(tune, block_index):
    for start, end, row in row_spans(tune):
        blocks = [b for _, b in tune[start:end] if b is not None]
        assert any(np.any(channel(b, block_index)) for b in blocks[:3]), row


@pytest.mark.parametrize("press", [True, False], ids=["B pressed", "no press"])
def test_b_plays_the_shot_sound_on_pulse2(demo, press):
    shot = [pulse_hz(p) for p in constants(r"SHOT_\d").values()]
    assert len(shot) == 3
    demo.start_game()
    demo.run(1)
    demo.nes.getAudio()
    demo.run(1, *(["B"] if press else []))
    assert (demo.mem[SFX_TIMER] > 0) == press
    demo.run(1)
    demo.nes.getAudio()                                     # may reach back before the press
    peaks = []
    for _ in range(9):                                      # blocks within the sound's 12 frames
        demo.run(1)
        block = demo.nes.getAudio(split_channels=True)
        if block[0]:
            peaks.append(peak_hz(channel(block, 2)))
    matched = {min(range(3), key=lambda k: abs(shot[k] - f)) for f, w in peaks
               if min(abs(s - f) for s in shot) <= w}
    if press:
        assert len(matched) >= 2 and len(peaks) >= 5
        assert all(min(abs(s - f) for s in shot) <= w for f, w in peaks)
    else:
        assert not matched and all(f < 1000 for f, _ in peaks)
