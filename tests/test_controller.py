"""Controllers as the emulated program reads them through $4016/$4017, and
the scripting side that sets their buttons and plugs them in."""
import gc
import weakref

import pytest

import kestrix

READS = 10


def reader(strobe: str = "each-frame", reads: int = READS) -> str:
    """A program that, at every vertical blank, reads both ports `reads` times
    and appends the values at $0300 (port 0) and $0400 (port 1).

    strobe: "each-frame" strobes 1 then 0 before the reads; "once" does so once
    at reset; "held" writes 1 once at reset and never clears it."""
    init = {"each-frame": "", "once": "LDA #$01\nSTA $4016\nLDA #$00\nSTA $4016",
            "held": "LDA #$01\nSTA $4016"}[strobe]
    per_frame = "LDA #$01\nSTA $4016\nLDA #$00\nSTA $4016" if strobe == "each-frame" else ""
    return f"""
        {init}
        LDA #$80
        STA $2000
    spin: JMP spin
    nmi:
        {per_frame}
        LDX $E0
        LDY #$00
    read:
        LDA $4016
        STA $0300,X
        LDA $4017
        STA $0400,X
        INX
        INY
        CPY #{reads}
        BNE read
        STX $E0
        RTI
    """


def frame_reads(nes: kestrix.NES, frame: int, port: int = 0, reads: int = READS) -> list[int]:
    """Runs one frame and returns what the program read from the port during it."""
    nes.runFrame()
    base = (0x0300, 0x0400)[port] + frame * reads
    return [int(b) for b in nes.cpuMem()[base:base + reads]]


def expected(buttons, reads: int = READS) -> list[int]:
    bits = [0x41 if b else 0x40 for b in buttons]
    return (bits + [0x41] * reads)[:reads]


NONE = [False] * 8


def test_console_without_script_controllers_reads_released_buttons(console):
    nes = console(reader())
    assert frame_reads(nes, 0, 0) == [0x40] * 8 + [0x41] * 2
    nes2 = console(reader())
    assert frame_reads(nes2, 0, 1) == [0x40] * 8 + [0x41] * 2


@pytest.mark.parametrize("buttons", [
    [True, False, False, False, False, False, False, False],
    [0, 0, 0, 0, 0, 0, 0, 1],
    [1, 0, 1, 1, 0, 0, 1, 0],
    [False, True, False, False, True, False, False, True],
    [True] * 8,
], ids=["A", "right-ints", "mixed", "b-up-right", "all"])
def test_buttons_are_read_in_order_a_first(console, buttons):
    nes = console(reader())
    pad = kestrix.Controller()
    pad.updateInputs(list(buttons))
    nes.setController(pad, 0)
    assert frame_reads(nes, 0, 0) == expected(buttons)
    assert frame_reads(nes, 1, 1) == expected(NONE)  # port 1 keeps its own released pad


@pytest.mark.parametrize("items,buttons", [
    ([True] + [False] * 7 + [True], [True] + [False] * 7),                     # nine items: first eight
    ([None, True, None, None, None, None, None, None], [False, True] + [False] * 6),
    ([0.0, 2.5, 0, -1, False, None, 1, 0], [False, True, False, True, False, False, True, False]),
], ids=["nine-items", "none-is-released", "numbers-by-truth"])
def test_update_inputs_conversions(console, items, buttons):
    nes = console(reader())
    pad = kestrix.Controller()
    pad.updateInputs(items)
    nes.setController(pad, 0)
    assert frame_reads(nes, 0) == expected(buttons)


def test_new_controller_is_released(console):
    nes = console(reader())
    nes.setController(kestrix.Controller(), 1)
    assert frame_reads(nes, 0, 1) == expected(NONE)


CAST = "Unable to cast Python instance of type "


@pytest.mark.parametrize("bad,error,match", [
    ([True] * 7, IndexError, None),
    ([True] * 7 + ["x"], RuntimeError, CAST),
    ([True] * 6 + [[]] + [True], RuntimeError, CAST),
], ids=["seven-items", "text-item", "list-item"])
def test_failed_update_keeps_the_previous_buttons(console, bad, error, match):
    nes = console(reader())
    pad = kestrix.Controller()
    before = [False, True, True, False, False, False, False, True]
    pad.updateInputs(before)
    nes.setController(pad, 0)
    # The items before the failing one would change the buttons if they were applied one by one.
    with pytest.raises(error, match=match):
        pad.updateInputs(bad)
    assert frame_reads(nes, 0) == expected(before)


def test_update_inputs_rejects_a_tuple(console):
    pad = kestrix.Controller()
    with pytest.raises(TypeError):
        pad.updateInputs(tuple([True] * 8))


def test_change_is_seen_at_the_next_strobe(console):
    nes = console(reader())
    pad = kestrix.Controller()
    nes.setController(pad, 0)
    pad.updateInputs([True] + [False] * 7)
    assert frame_reads(nes, 0) == expected([True] + [False] * 7)
    pad.updateInputs([False] * 7 + [True])
    assert frame_reads(nes, 1) == expected([False] * 7 + [True])


def test_change_between_strobes_is_not_seen(console):
    # Strobed once at reset; four reads per frame shift the latched byte on.
    nes = console(reader("once", reads=4))
    pad = kestrix.Controller()
    first = [True, False, True, False, False, True, False, True]
    pad.updateInputs(first)
    nes.setController(pad, 0)
    assert frame_reads(nes, 0, reads=4) == expected(first[:4], 4)
    pad.updateInputs([not b for b in first])
    assert frame_reads(nes, 1, reads=4) == expected(first[4:], 4)
    assert frame_reads(nes, 2, reads=4) == [0x41] * 4


def test_strobe_held_high_always_reads_the_first_button(console):
    nes = console(reader("held", reads=4))
    pad = kestrix.Controller()
    pad.updateInputs([True, False, False, False, False, False, False, False])
    nes.setController(pad, 0)
    assert frame_reads(nes, 0, reads=4) == [0x41] * 4
    pad.updateInputs([False] * 8)
    # No new strobe write: the byte latched at the write is still there, unshifted.
    assert frame_reads(nes, 1, reads=4) == [0x41] * 4


def test_one_controller_on_both_ports(console):
    nes = console(reader())
    pad = kestrix.Controller()
    buttons = [False, False, True, True, False, False, False, False]
    pad.updateInputs(buttons)
    nes.setController(pad, 0)
    nes.setController(pad, 1)
    nes.runFrame()
    m = nes.cpuMem()
    assert [int(b) for b in m[0x300:0x300 + READS]] == expected(buttons)
    assert [int(b) for b in m[0x400:0x400 + READS]] == expected(buttons)


def test_one_controller_on_two_consoles(console):
    a = console(reader(), name="a.nes")
    b = console(reader(), name="b.nes")
    pad = kestrix.Controller()
    pad.updateInputs([True] * 4 + [False] * 4)
    a.setController(pad, 1)
    b.setController(pad, 0)
    assert frame_reads(a, 0, 1) == expected([True] * 4 + [False] * 4)
    assert frame_reads(b, 0, 0) == expected([True] * 4 + [False] * 4)


@pytest.mark.parametrize("port", [2, 255, -1, 511])
def test_set_controller_rejects_ports_other_than_0_and_1(console, port):
    nes = console(reader())
    pad = kestrix.Controller()
    pad.updateInputs([True] * 8)
    with pytest.raises(ValueError):
        nes.setController(pad, port)
    assert frame_reads(nes, 0, 0) == expected(NONE)
    assert frame_reads(nes, 1, 1) == expected(NONE)


@pytest.mark.parametrize("port,reads_port", [(256, 0), (257, 1), (-255, 1), (-256, 0)])
def test_set_controller_uses_the_low_8_bits_of_the_port(console, port, reads_port):
    nes = console(reader())
    pad = kestrix.Controller()
    pad.updateInputs([True] + [False] * 7)
    nes.setController(pad, port)
    nes.runFrame()
    m = nes.cpuMem()
    got = {p: [int(x) for x in m[base:base + READS]] for p, base in ((0, 0x300), (1, 0x400))}
    assert got[reads_port] == expected([True] + [False] * 7)
    assert got[1 - reads_port] == expected(NONE)


def test_set_controller_with_none_is_a_reference_cast_error(console):
    nes = console(reader())
    with pytest.raises(RuntimeError):
        nes.setController(None, 0)


def test_set_controller_with_none_attaches_nothing(console):
    nes = console(reader())
    pad = kestrix.Controller()
    pad.updateInputs([False, True] + [False] * 6)
    nes.setController(pad, 0)
    with pytest.raises(RuntimeError):
        nes.setController(None, 0)
    with pytest.raises(RuntimeError):
        nes.setController(None, 1)
    assert frame_reads(nes, 0) == expected([False, True] + [False] * 6)
    assert nes.cpuMem()[0x400:0x400 + READS].tolist() == expected(NONE)


def test_set_controller_rejects_other_objects(console):
    nes = console(reader())
    with pytest.raises(TypeError):
        nes.setController([True] * 8, 0)


def test_attached_controller_is_kept_alive_while_attached(console):
    nes = console(reader())
    pad = kestrix.Controller()
    pad.updateInputs([True, True] + [False] * 6)
    nes.setController(pad, 0)
    gone = weakref.ref(pad)
    del pad
    gc.collect()
    assert gone() is not None
    junk = [kestrix.Controller() for _ in range(64)]  # would reuse freed memory
    for j in junk:
        j.updateInputs([False] * 8)
    assert frame_reads(nes, 0) == expected([True, True] + [False] * 6)
    # Once another pad takes the port, the first one is no longer held.
    nes.setController(kestrix.Controller(), 0)
    gc.collect()
    assert gone() is None
    assert frame_reads(nes, 1) == expected(NONE)
