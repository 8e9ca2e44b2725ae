"""Faults that the fuzz harnesses (fuzz/) found, each with the input that
showed it; the same inputs stay in the harnesses' seed corpora."""
import pathlib

import pytest

BLOCK = 81933  # offset of the mapper block in a slot file


def irq_total(nes) -> int:
    mem = nes.cpuMem()
    return int(mem[0x14]) | int(mem[0x16]) << 8


@pytest.mark.parametrize("counter, irqs, after", [
    # A pending reload and any lower value a slot file can hold: the first step
    # loads the latch (5); IRQs on steps 6, 12, ..., 240, step 241 reloads and
    # step 242 leaves 4.
    (-1, 40, 4),
    (-7, 40, 4),
    (-2**31, 40, 4),
    (2**31 - 1, 0, 2**31 - 1 - 242),
])
def test_mmc3_counter_from_slot_file(cart, counter, irqs, after):
    # fuzz/corpus/state/regress_mmc3_counter_min: a counter of -2**31 was
    # decremented past the bottom of its 32-bit range.
    c = cart(mapper=4, prg_kb=32, chr_kb=8)
    c.write((0xC000, 5), (0xE001, 0), (0x2001, 0x18))
    c.nes.saveState(1)
    path = pathlib.Path(c.nes.getSaveDir()) / "1"
    data = bytearray(path.read_bytes())
    data[BLOCK + 7:BLOCK + 11] = counter.to_bytes(4, "little", signed=True)
    path.write_bytes(data)
    assert c.nes.loadState(1)
    before = irq_total(c.nes)
    c.nes.runFrame()  # 242 counter steps: lines 0-240 and 261
    assert irq_total(c.nes) - before == irqs
    c.nes.saveState(2)
    block = (pathlib.Path(c.nes.getSaveDir()) / "2").read_bytes()[BLOCK:BLOCK + 14]
    assert int.from_bytes(block[7:11], "little", signed=True) == after
