"""APU: channel outputs, frame sequencer, mixer, sample schedule and block hand-off.

Most tests run with CLOCK_SPEED=88200, which makes the APU rate 44,100 steps per
second: a sample then falls due on every APU step (sample s on step s + 1), so every
published block shows 1,024 consecutive steps, channel by channel. The programs set
their registers with straight-line code from reset (`Timeline`), so the APU step on
which each write takes effect is known and the expected outputs follow from it."""
import time

import numpy as np
import pytest

DEFAULT_RATE = 1789773 // 2  # APU steps per second at the default clock
SAMPLE_RATE = 44100
PER_STEP_CLOCK = 88200  # APU rate 44,100: one sample per APU step
STEPS_PER_FRAME = 14892  # a little more than one frame of APU steps
SCALE = (0.00752, 0.00752, 0.00851, 0.00494, 0.00335)
DUTY = ((0, 1, 0, 0, 0, 0, 0, 0), (0, 1, 1, 0, 0, 0, 0, 0), (0, 1, 1, 1, 1, 0, 0, 0), (1, 0, 0, 1, 1, 1, 1, 1))
TRI_SEQ = np.array(list(range(15, -1, -1)) + list(range(16)))
NOISE_PERIODS = (4, 8, 16, 32, 64, 96, 128, 160, 202, 254, 380, 508, 762, 1016, 2034, 4068)
QUARTER, HALF = (0, 3729, 7458, 11187), (0, 7458)
# All five channels sounding: pulses, triangle, noise (period 2 steps), DMC (a looping
# 17-byte sample at $C040).
ALL_CHANNELS = ((0x4000, 0xBF), (0x4002, 0x40), (0x4003, 0x08), (0x4004, 0x79), (0x4006, 0x57),
                (0x4007, 0x08), (0x4008, 0xFF), (0x400A, 0x30), (0x400B, 0x08), (0x400C, 0x3D),
                (0x400F, 0x08), (0x4010, 0x4E), (0x4011, 0x30), (0x4012, 0x01), (0x4013, 0x01),
                (0x4015, 0x1F))
SAMPLE_DATA = ".org $C040\n.byte " + ",".join(f"${(i * 89 + 23) & 0xFF:02X}" for i in range(17))
# Every output value a channel can have (the DMC's is 2 x level - 128).
CHANNEL_OUTPUTS = (range(-15, 16), range(-15, 16), [*range(-15, 0, 2), 0, *range(1, 16, 2)], range(16),
                   range(-128, 127, 2))


def scaled(outputs, ch):
    """Channel `ch`'s float32 value for integer output(s)."""
    return (np.asarray(outputs, dtype=np.float64) * SCALE[ch]).astype(np.float32)


def to_samples(values):
    return (np.asarray(values, dtype=np.float32) * np.float32(32767)).astype(np.int32)


def channel_samples(outputs, ch):
    return to_samples(scaled(outputs, ch))


def mixed_samples(values):
    """Mixed samples from the five channels' float32 values, summed in float32."""
    p1, p2, tri, noise, dmc = values
    return to_samples((((p1 + p2) + tri) + noise) + dmc)


def decode(got):
    return [np.frombuffer(b, dtype="<i2").astype(np.int32) for b in got]


def channel_outputs(blocks):
    """The integer channel outputs behind the five channel blocks (every sample must be one)."""
    outs = []
    for ch in range(5):
        candidates = np.array(CHANNEL_OUTPUTS[ch])
        table = channel_samples(candidates, ch)
        idx = np.searchsorted(table, blocks[ch + 1])
        assert np.array_equal(table[np.minimum(idx, len(table) - 1)], blocks[ch + 1]), f"channel {ch}"
        outs.append(candidates[idx])
    return outs


def lfsr_bits(shifts, tap):
    """Bit 0 of the noise shift register (1 at power-on) after 1 .. `shifts` shifts."""
    s, out = 1, np.empty(shifts, np.int8)
    for i in range(shifts):
        s = (s >> 1) | (((s ^ (s >> tap)) & 1) << 14)
        out[i] = s & 1
    return out


def timer_at_zero(moduli, last):
    """Whether a channel timer, counting (t + 1) mod m once per step from 0 at power-on,
    is 0 when each step 0..last starts; `moduli` maps a step to the m in effect from it."""
    zero, t, m = np.empty(last + 1, bool), 0, moduli[0]
    for c in range(last + 1):
        m = moduli.get(c, m)
        zero[c] = t == 0
        t = (t + 1) % m
    return zero


def pulse_positions(periods, last):
    """Duty positions used on steps 0..last; `periods` maps a step to the period from it."""
    wraps = timer_at_zero({0: 1, **{c: p + 1 for c, p in periods.items()}}, last)
    return np.concatenate(([0], np.cumsum(wraps[1:]))) % 8  # advanced by each step that wraps


class Timeline:
    """Straight-line code from reset that knows the APU step of each register write.

    The CPU starts at cycle 0 and before each instruction the APU has run every step
    below half the CPU's cycle count, so a store by an instruction that starts at cycle
    C is seen from APU step ceil(C / 2) on."""

    def __init__(self):
        self.lines, self.cycle = [], 0

    def op(self, text, cycles):
        self.lines.append(text)
        self.cycle += cycles

    def write(self, addr, value):
        """LDA #value / STA addr; returns the first APU step that sees the store."""
        step = -(-(self.cycle + 2) // 2)
        self.op(f"LDA #${value:02X}", 2)
        self.op(f"STA ${addr:04X}", 4)
        return step

    def wait_until(self, step):
        """Pads so that the next write is seen from `step` on."""
        n = 2 * step - 2 - self.cycle
        n = 0 if n == 1 else n
        assert n >= 0, "the timeline is already past that step"
        if n % 2:
            self.op("LDA $00", 3)
            n -= 3
        for done in range(0, n // 2, 32):
            k = min(32, n // 2 - done)
            self.op(".byte " + ",".join(["$EA"] * k), 2 * k)

    def writes(self, *pairs):
        for addr, value in pairs:
            self.write(addr, value)
        return self

    def source(self, tail=""):
        return "\n".join(self.lines) + "\nforever: JMP forever\n" + tail


def step_blocks(nes, frames):
    """Runs frames at one sample per APU step; after each, yields the first APU step
    that the newest block shows and its six decoded blocks."""
    for _ in range(frames):
        nes.runFrame()
        steps = -(-nes.cycleCount() // 2)  # steps 0 .. steps - 1 have run
        got = nes.getAudio(split_channels=True)
        assert len(got) == 6
        newest = (steps - 2) // 1024  # index of the newest published block
        yield 1024 * (newest - 1) + 1, decode(got)


# ---------------------------------------------------------------- sample schedule


@pytest.mark.parametrize("enable_step", [21, 22])
def test_sample_schedule_at_default_clock(console, enable_step):
    # Noise with $400E = 0 shifts on every even step from power-on, so its output on
    # any step is known; sample k must show step ceil((k + 1) x 894,886 / 44,100).
    t = Timeline()
    t.write(0x400C, 0x3F)  # halt, constant volume 15
    t.write(0x400F, 0x08)
    t.wait_until(enable_step)
    t.write(0x4015, 0x08)
    nes = console(t.source())
    assert nes.getAudio() == [b""] and nes.getAudio(split_channels=True) == [b""]
    bits = lfsr_bits(62 * STEPS_PER_FRAME // 2 + 100, 1)
    published = 0
    for frame in range(1, 63):
        nes.runFrame()
        steps = -(-nes.cycleCount() // 2)
        made = (steps - 1) * SAMPLE_RATE // DEFAULT_RATE  # samples due by the last step
        split = frame % 2 == 0
        got = nes.getAudio(split_channels=split)
        if -(-made // 1024) == published:
            assert got == [b""], frame
            continue
        assert -(-made // 1024) == published + 1, frame
        published += 1
        assert len(got) == (6 if split else 1)
        assert nes.getAudio(split_channels=split) == [b""]  # a block is handed out once
        blocks = decode(got)
        if published == 1:  # published when sample 0 falls due, before it is stored
            assert not any(b.any() for b in blocks)
            continue
        k = np.arange(1024 * (published - 2), 1024 * (published - 1))
        step = -(-(k + 1) * DEFAULT_RATE // SAMPLE_RATE)
        expected = channel_samples(np.where((bits[step // 2] == 0) & (step >= enable_step), 15, 0), 3)
        assert np.array_equal(blocks[0], expected), frame
        if split:
            assert np.array_equal(blocks[4], expected)
            assert not any(blocks[i].any() for i in (1, 2, 3, 5))
    # Block 44 holds sample 44,099, due on step 894,886: 44,100 samples after 894,887 steps.
    assert published >= 45


@pytest.mark.parametrize("clock", [1, 2, 3, PER_STEP_CLOCK])
def test_one_sample_per_step_at_low_clocks(console, clock):
    # Any APU rate up to 44,100 (the rate of a clock of 1 included) gives a sample per step.
    t = Timeline()
    t.write(0x400C, 0x3F)
    t.write(0x400F, 0x08)
    t.write(0x4015, 0x08)
    nes = console(t.source(), clock=clock)
    bits = lfsr_bits(4 * STEPS_PER_FRAME // 2, 1)
    for first, blocks in step_blocks(nes, 4):
        step = np.arange(first, first + 1024)
        assert np.array_equal(blocks[4], channel_samples(np.where(bits[step // 2] == 0, 15, 0), 3))


def test_samples_of_the_unpaced_clock(console):
    # A clock argument of 0 runs at 2,147,483,647 Hz: APU rate 1,073,741,823, first sample on step 24,348.
    nes = console("forever: JMP forever", clock=0)
    nes.runFrame()
    assert nes.cycleCount() < 2 * 24348 and nes.getAudio() == [b""]
    nes.runFrame()
    assert nes.cycleCount() > 2 * 24348
    assert nes.getAudio(split_channels=True) == [bytes(2048)] * 6


def test_all_channels_off_give_zeros(console):
    t = Timeline().writes(*ALL_CHANNELS)
    t.wait_until(3000)
    t.write(0x4015, 0x00)
    nes = console(t.source(SAMPLE_DATA))
    for _ in range(4):
        nes.runFrame()
    blocks = decode(nes.getAudio(split_channels=True))
    assert len(blocks) == 6 and not any(b.any() for b in blocks)


@pytest.mark.parametrize("direct, byte, sample", [
    (None, 0x00, -14050),  # the power-on level 0
    (0x80, 0x00, -14050),  # $4011 keeps seven bits
    (0x7F, 0xFF, 13830),
    (0xFF, 0xFF, 13830),
])
def test_dmc_alone_holds_its_level(console, direct, byte, sample):
    # A looping one-byte sample of $00 (or $FF) keeps the level at its floor (or ceiling).
    t = Timeline()
    t.write(0x4010, 0x4F)
    if direct is not None:
        t.write(0x4011, direct)
    t.write(0x4012, 0x01)
    t.write(0x4013, 0x00)
    t.write(0x4015, 0x10)
    nes = console(t.source(f".org $C040\n.byte ${byte:02X}"))
    for _ in range(3):
        nes.runFrame()
    blocks = decode(nes.getAudio(split_channels=True))
    assert set(blocks[0]) == {sample} and set(blocks[5]) == {sample}
    assert not any(blocks[i].any() for i in range(1, 5))


def test_mixer_sums_channel_values_before_truncating(console):
    nes = console(Timeline().writes(*ALL_CHANNELS).source(SAMPLE_DATA))
    differ = 0
    for _ in range(8):
        nes.runFrame()
        got = nes.getAudio(split_channels=True)
        if got == [b""]:
            continue
        blocks = decode(got)
        values = [scaled(out, ch) for ch, out in enumerate(channel_outputs(blocks))]
        assert np.array_equal(blocks[0], mixed_samples(values))
        differ += np.count_nonzero(blocks[0] != sum(blocks[1:]))
    assert differ > 100  # truncating each channel first would give other samples


# ---------------------------------------------------------------- channels


@pytest.mark.parametrize("ch", [0, 1])
@pytest.mark.parametrize("duty", range(4))
def test_pulse_duty_sequence(console, ch, duty):
    # $4000 = $BF with period 8: -15, +15, +15, +15, +15, -15, -15, -15, each for 9 steps.
    base = 0x4000 + 4 * ch
    t = Timeline()
    period_step = t.write(base + 2, 8)
    t.write(base, duty << 6 | 0x3F)  # length halted, constant volume 15
    t.write(base + 3, 0x08)
    t.write(0x4015, 1 << ch)
    nes = console(t.source(), clock=PER_STEP_CLOCK)
    pos = pulse_positions({period_step: 8}, 3 * STEPS_PER_FRAME)
    level = np.array(DUTY[duty]) * 30 - 15
    for first, blocks in step_blocks(nes, 3):
        expected = channel_samples(level[pos[first:first + 1024]], ch)
        assert np.array_equal(blocks[1 + ch], expected)
        assert np.array_equal(blocks[0], expected)
        assert not blocks[2 - ch].any()


@pytest.mark.parametrize("writes, plays", [
    ({0x4002: 8, 0x4003: 0x08}, True),
    ({0x4002: 7, 0x4003: 0x08}, False),  # period 7 or less
    ({0x4002: 8}, False),  # length counter never loaded
    ({0x4002: 0x00, 0x4003: 0x0C, 0x4001: 0x80}, False),  # sweep target $800 mutes
    ({0x4002: 0x00, 0x4003: 0x0C, 0x4001: 0x00}, True),  # ... only while the sweep is enabled
    ({0x4002: 0x00, 0x4003: 0x0C, 0x4001: 0xF9}, True),  # target $200
])
def test_pulse_silence(console, writes, plays):
    t = Timeline().writes((0x4000, 0xBF), *writes.items(), (0x4015, 0x01))
    nes = console(t.source(), clock=PER_STEP_CLOCK)
    for _, blocks in step_blocks(nes, 3):
        assert blocks[1].all() if plays else not blocks[1].any()


@pytest.mark.parametrize("ch, sweep, new_period", [
    (0, 0xF9, 50),  # negate, shift 1: 100 - 50
    (1, 0xF9, 49),  # pulse 2 adds the ones' complement: 100 - 50 - 1
    (0, 0xF1, 150),
    (1, 0xF1, 150),
    (0, 0xF0, 200),  # shift 0 doubles the period
    (0, 0xF8, 0),  # shift 0: 100 - 100
    (1, 0xF8, 0),  # 100 - 101 = -1, clamped to 0
])
def test_sweep_target(console, ch, sweep, new_period):
    # The first half-frame clock (step 7458) finds the divider at 0 and sets the period;
    # with divider period 7 the next change comes eight half frames later.
    base = 0x4000 + 4 * ch
    t = Timeline()
    period_step = t.write(base + 2, 100)
    t.write(base, 0xBF)
    t.write(base + 1, sweep)
    t.write(base + 3, 0x08)
    t.write(0x4015, 1 << ch)
    nes = console(t.source(), clock=PER_STEP_CLOCK)
    pos = pulse_positions({period_step: 100, 7458: new_period}, 4 * STEPS_PER_FRAME)
    level = np.array(DUTY[2]) * 30 - 15
    for first, blocks in step_blocks(nes, 4):
        if new_period == 0:
            assert not blocks[1 + ch].any()
        else:
            assert np.array_equal(blocks[1 + ch], channel_samples(level[pos[first:first + 1024]], ch))


@pytest.mark.parametrize("period, later", [
    (0, None), (1, None), (2, None), (3, None), (37, None), (0x2A5, None),
    (0x2A5, 0x08),  # period $A5 from step 1001, with the timer past it: the timer wraps by mod
])
def test_triangle_sequence(console, period, later):
    # Two timer steps per APU step; the output kept is the second one's. Silent only
    # at periods 0 and 1.
    t = Timeline()
    periods = {0: 0, t.write(0x400A, period & 0xFF): period}
    t.write(0x4008, 0xFF)  # control set: the linear counter is reloaded at every quarter frame
    t.write(0x400B, 0x08 | period >> 8)  # the high bits come 3 steps later, before any wrap
    t.write(0x4015, 0x04)
    if later is not None:
        t.wait_until(1001)
        periods[t.write(0x400B, later)] = (later & 7) << 8 | (period & 0xFF)
    nes = console(t.source(), clock=PER_STEP_CLOCK)
    last = 3 * STEPS_PER_FRAME
    wraps = timer_at_zero({2 * c: p + 1 for c, p in periods.items()}, 2 * last + 1)
    position = np.concatenate(([0], np.cumsum(wraps[1:])))[1::2] % 32  # of each step's second call
    for first, blocks in step_blocks(nes, 3):
        if period <= 1:
            assert not blocks[3].any()
            continue
        level = TRI_SEQ[position[first:first + 1024]]
        assert np.array_equal(blocks[3], channel_samples((level - 7.5) * 2, 2))
        assert np.array_equal(blocks[0], blocks[3])


@pytest.mark.parametrize("mode, later", [
    (0x00, None), (0x03, None), (0x0A, None), (0x0E, None), (0x80, None), (0x85, None), (0x8F, None),
    (0x0F, 0x01), (0x8E, 0x83),  # a shorter period while the timer is past it: the timer wraps by mod
])
def test_noise_period_and_feedback(console, mode, later):
    # The register shifts on each step that starts with the timer at 0 (half the table
    # period); feedback bit 0 XOR bit 1, or bit 0 XOR bit 6 with $400E bit 7.
    t = Timeline()
    moduli = {0: 2, t.write(0x400E, mode): NOISE_PERIODS[mode & 15] // 2}
    t.write(0x400C, 0x3F)
    t.write(0x400F, 0x08)
    t.write(0x4015, 0x08)
    if later is not None:
        t.wait_until(1001)
        moduli[t.write(0x400E, later)] = NOISE_PERIODS[later & 15] // 2
    nes = console(t.source(), clock=PER_STEP_CLOCK)
    frames = 30 if later is None else 3
    shifts = np.cumsum(timer_at_zero(moduli, frames * STEPS_PER_FRAME))
    bits = lfsr_bits(shifts[-1], 6 if mode & 0x80 else 1)  # `later` keeps the feedback bit
    changes = 0
    for first, blocks in step_blocks(nes, frames):
        shifted = shifts[first:first + 1024]
        assert np.array_equal(blocks[4], channel_samples(np.where(bits[shifted - 1] == 0, 15, 0), 3))
        changes += np.count_nonzero(np.diff(blocks[4]))
    assert changes > 0


@pytest.mark.parametrize("mode", [None, 0x00, 0x80, 0xC0])
def test_frame_sequencer_clocks(console, mode):
    # Pulse 1: looping envelope with divider period 0 (one level per quarter frame);
    # pulse 2: length 20 counting half frames; triangle: linear counter 30 counting
    # quarter frames; noise: envelope with divider period 5, no loop. A $4017 write
    # restarts the sequence (the step after it has position 1) and with bit 7 set
    # clocks all units at once.
    t = Timeline()
    t.op("CLI", 2)
    t.write(0x4015, 0x0F)
    t.write(0x4000, 0x20)
    t.write(0x4002, 0x40)
    env_step = t.write(0x4003, 0x08)
    t.write(0x4004, 0x1F)
    t.write(0x4006, 0x40)
    length_step = t.write(0x4007, 0x10)  # index 2: length 20
    t.write(0x4008, 30)
    t.write(0x400A, 0x20)
    linear_step = t.write(0x400B, 0x08)
    t.write(0x400C, 0x05)
    noise_step = t.write(0x400F, 0x08)
    frames = 40
    step = np.arange(frames * STEPS_PER_FRAME)
    pos = step % 14916
    if mode is not None:
        t.wait_until(1301)  # chosen so that the windows below see all positions in 5-step mode
        write_step = t.write(0x4017, mode)
        pos[write_step:] = (step[write_step:] - (write_step - 1)) % (18640 if mode & 0x80 else 14916)
    quarter, half = np.isin(pos, QUARTER), np.isin(pos, HALF)
    if mode is not None and mode & 0x80:
        quarter[write_step] = half[write_step] = True
    nes = console(t.source("irq: INC $10\nRTI"), clock=PER_STEP_CLOCK)

    def since(start, flags):
        n = np.cumsum(flags)
        return n - n[start - 1]

    quarters_env, halves = since(env_step, quarter), since(length_step, half)
    quarters_linear, quarters_noise = since(linear_step, quarter), since(noise_step, quarter)
    bits = lfsr_bits(frames * STEPS_PER_FRAME // 2 + 1, 1)
    seen = set()
    for first, blocks in step_blocks(nes, frames):
        w = slice(first, first + 1024)
        seen |= set(pos[w][quarter[w]])
        assert np.array_equal(np.abs(blocks[1]), channel_samples((16 - quarters_env[w]) % 16, 0))
        assert np.array_equal(np.abs(blocks[2]), channel_samples(np.where(halves[w] < 20, 15, 0), 1))
        assert np.array_equal(blocks[3] != 0, (quarters_linear[w] >= 1) & (quarters_linear[w] <= 30))
        decay = np.maximum(0, 15 - (quarters_noise[w] - 1) // 6)
        assert np.array_equal(blocks[4], channel_samples(np.where(bits[step[w] // 2] == 0, decay, 0), 3))
    if mode is not None:  # the write put quarter-frame clocks inside blocks, to the step
        assert seen == set(QUARTER) if mode & 0x80 else seen
    assert nes.cpuMem()[0x10] == 0  # the frame interrupt flag never reaches the CPU


def channel_setup(ch, halt=True):
    """Writes that make channel `ch` audible once its length counter is loaded."""
    if ch < 2:
        return (0x4000 + 4 * ch, 0x1F | halt << 5), (0x4002 + 4 * ch, 0x80)
    if ch == 2:  # the halt bit is also the linear counter's control bit
        return (0x4008, 0x7F | halt << 7), (0x400A, 0x40)
    return (0x400C, 0x1F | halt << 5), (0x400E, 0x02)


@pytest.mark.parametrize("ch", range(4))
@pytest.mark.parametrize("actions, plays", [
    ("enable load", True),
    ("load enable", True),  # the half-frame clock finds the channel enabled
    ("enable load disable enable", False),  # disabling clears the length counter
    ("load wait enable", False),  # a half-frame clock while disabled clears it
])
def test_length_counter_and_enable(console, ch, actions, plays):
    t = Timeline().writes(*channel_setup(ch))
    for action in actions.split():
        if action == "wait":
            t.wait_until(7500)  # past the half-frame clock on step 7458
        else:
            t.write(*{"enable": (0x4015, 1 << ch), "disable": (0x4015, 0),
                      "load": (0x4003 + 4 * ch, 0x08)}[action])
    nes = console(t.source(), clock=PER_STEP_CLOCK)
    for _, blocks in step_blocks(nes, 3):
        assert blocks[1 + ch].any() == plays


@pytest.mark.parametrize("ch", range(4))
@pytest.mark.parametrize("halt", [False, True])
def test_length_counter_halt(console, ch, halt):
    # Length 2 (index 3) runs out on the second half-frame clock (step 14916) unless halted.
    t = Timeline().writes(*channel_setup(ch, halt), (0x4015, 1 << ch), (0x4003 + 4 * ch, 3 << 3))
    nes = console(t.source(), clock=PER_STEP_CLOCK)
    for first, blocks in step_blocks(nes, 3):
        assert blocks[1 + ch].any() == (halt or first + 1023 < 14916)


@pytest.mark.parametrize("index, length", [(1, 254), (3, 2), (10, 60), (12, 14), (16, 10), (26, 72),
                                           (28, 16), (31, 30)])
def test_length_table(console, index, length):
    # Loaded before the first half-frame clock, the counter silences pulse 1 on step 7458 x length.
    nes = console(Timeline().writes((0x4000, 0x1F), (0x4002, 0x40), (0x4003, index << 3), (0x4015, 0x01)).source())
    published, last_step = 0, 0
    while last_step < 7458 * length:  # every block is caught: at most one is published per frame
        nes.runFrame()
        got = nes.getAudio()
        if got == [b""]:
            continue
        published += 1
        k = np.arange(1024 * (published - 2), 1024 * (published - 1))
        step = -(-(k + 1) * DEFAULT_RATE // SAMPLE_RATE)
        if published > 1:
            assert np.array_equal(decode(got)[0] != 0, step < 7458 * length)
            last_step = step[-1]


@pytest.mark.parametrize("addr_reg, len_reg", [(0x01, 0x01), (0xFF, 0x04)])
def test_dmc_plays_sample_from_prg(console, addr_reg, len_reg):
    # The sample at $C000 + 64 x ($4012), ($4013) x 16 + 1 bytes long, looping; read LSB
    # first, +2 / -2 per output clock within 0-127. From $FFC0 it wraps to $8000.
    t = Timeline()
    assert t.write(0x4010, 0x4F) == 1  # loop; an output clock on every 27th step from step 1 on
    t.write(0x4011, 0x40)  # loaded by the first clock (step 27) instead of a bit
    t.write(0x4012, addr_reg)
    t.write(0x4013, len_reg)
    t.write(0x4015, 0x10)  # fetches the first byte on the next step
    data = ",".join(f"${(i * 73 + 41) & 0xFF:02X}" for i in range(58))
    nes = console(t.source(f".org $FFC0\n.byte {data}\n.org $C040\n.byte {data}"), clock=PER_STEP_CLOCK)
    mem = nes.cpuMem()
    start = 0xC000 + 64 * addr_reg
    sample = [mem[0x8000 + (start + i) % 0x8000] for i in range(16 * len_reg + 1)]
    bits = np.unpackbits(np.array(sample, np.uint8), bitorder="little")
    levels = [64]
    for n in range(4 * STEPS_PER_FRAME // 27):
        nxt = levels[-1] + (2 if bits[n % len(bits)] else -2)
        levels.append(nxt if 0 <= nxt <= 127 else levels[-1])
    levels = np.array(levels)
    for first, blocks in step_blocks(nes, 4):
        step = np.arange(first, first + 1024)
        assert np.array_equal(blocks[5], channel_samples(2 * levels[step // 27 - 1] - 128, 4))


@pytest.mark.parametrize("start_level, byte, direct, level_after", [
    (121, 0xFF, 0x20, 32),  # climbs to 127 and stays there
    (5, 0x03, 0xA0, 32),  # falls to 1 and stays there; $4011 keeps seven bits
])
def test_dmc_sample_end_and_direct_load(console, start_level, byte, direct, level_after):
    # One byte without loop: its 8 bits, then 8 clocks on the emptied shift register
    # (-2 each within 0-127), the last of which also silences the channel at level 64.
    # A $4011 write takes effect on the next output clock.
    t = Timeline()
    t.write(0x4011, start_level)
    t.write(0x4012, 0x01)
    t.write(0x4013, 0x00)
    t.wait_until(100)
    rate_step = t.write(0x4010, 0x0F)  # the timer, at 100 of 214, now counts modulo 27
    fetch_step, direct_step = 13500, 14000
    t.wait_until(fetch_step)
    t.write(0x4015, 0x10)
    t.wait_until(direct_step)
    t.write(0x4011, direct)
    nes = console(t.source(f".org $C040\n.byte ${byte:02X}"), clock=PER_STEP_CLOCK)
    first, blocks = next(step_blocks(nes, 1))
    assert first < fetch_step and direct_step + 27 < first + 1024
    clocks = np.flatnonzero(timer_at_zero({0: 214, rate_step: 27}, first + 1023))
    level, value = np.full(1024, start_level), start_level
    for n, clock in enumerate(clocks[clocks >= fetch_step][:16]):  # the fetch precedes its step's clock
        delta = 2 if n < 8 and (byte >> n) & 1 else -2
        value = value + delta if 0 <= value + delta <= 127 else value
        level[clock - first:] = 64 if n == 15 else value
    level[clocks[clocks >= direct_step][0] - first:] = level_after
    expected = np.where(np.arange(first, first + 1024) >= fetch_step, channel_samples(2 * level - 128, 4), 0)
    assert np.array_equal(blocks[5], expected)


@pytest.mark.parametrize("control, irqs", [(0x8F, 1), (0xCF, 0), (0x0F, 0)])
def test_dmc_irq_on_the_last_fetch(console, control, irqs):
    # The fetch of a one-byte sample's only byte happens on the first APU step after the
    # $4015 write, so the CPU enters the IRQ after the next instruction (X = 1).
    nes = console(f"""
        CLI
        LDA #${control:02X}
        STA $4010
        LDA #$00
        STA $4013
        LDX #0
        LDA #$10
        STA $4015
        INX
        INX
        INX
        INX
    forever: JMP forever
    irq: STX $11
        INC $10
        RTI
    """)
    for _ in range(3):
        nes.runFrame()
    mem = nes.cpuMem()
    assert mem[0x10] == irqs
    if irqs:
        assert mem[0x11] == 1


@pytest.mark.parametrize("channel, period", [("pulse", 253), ("pulse", 100), ("pulse", 1000),
                                             ("triangle", 126), ("triangle", 400)])
def test_pitch(console, channel, period):
    if channel == "pulse":
        writes = ((0x4000, 0xBF), (0x4002, period & 0xFF), (0x4003, 0x08 | period >> 8), (0x4015, 0x01))
        freq = 1789773 / (16 * (period + 1))
    else:
        writes = ((0x4008, 0xFF), (0x400A, period & 0xFF), (0x400B, 0x08 | period >> 8), (0x4015, 0x04))
        freq = 1789773 / (32 * (period + 1))
    nes = console(Timeline().writes(*writes).source())
    signal = []
    while len(signal) < 10:  # at most one block per frame: none is missed
        nes.runFrame()
        got = nes.getAudio()
        if got != [b""]:
            signal.append(decode(got)[0])
    signal = np.concatenate(signal[2:]).astype(np.float64)  # skip the start
    spectrum = np.abs(np.fft.rfft((signal - signal.mean()) * np.hanning(len(signal))))
    peak = int(np.argmax(spectrum[1:])) + 1
    assert abs(peak - freq * len(signal) / SAMPLE_RATE) <= 1


# ---------------------------------------------------------------- hand-off


def test_blocks_of_one_call_come_from_one_publication(console):
    # The run thread publishes while the script reads. Every set is checked for
    # consistency: the mixed block must equal the float32 sum of the channel values read
    # from the five channel blocks of the same call. With the noise shifting every two
    # steps no two blocks agree, so a set mixing two publications fails the check. A pass
    # cannot prove that no tear is possible: a publication rarely overlaps a copy.
    # A clock below the achievable speed keeps the pacing on: about 43 blocks a second.
    nes = console(Timeline().writes(*ALL_CHANNELS).source(SAMPLE_DATA), clock=4_000_000)
    seen = set()
    nes.start()
    try:
        deadline = time.monotonic() + 30
        while len(seen) < 40 and time.monotonic() < deadline:
            got = nes.getAudio(split_channels=True)
            if got == [b""]:
                continue
            blocks = decode(got)
            values = [scaled(out, ch) for ch, out in enumerate(channel_outputs(blocks))]
            assert np.array_equal(blocks[0], mixed_samples(values))
            seen.add(got[0])
    finally:
        nes.stop()
    assert len(seen) == 40
