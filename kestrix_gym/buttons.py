"""Button names, ready action lists and the press syntax of the examples."""
from __future__ import annotations

from collections.abc import Iterable, Sequence

# Order of kestrix.Controller.updateInputs.
BUTTONS = ("A", "B", "Select", "Start", "Up", "Down", "Left", "Right")
NO_BUTTONS: tuple[bool, ...] = (False,) * 8
TAP_FRAMES = 6  # a tap lasts long enough for a game that polls the pad every other frame

# Ready lists of button combinations for Discrete action spaces; action 0 is
# always "no button". "multi-binary" instead gives MultiBinary(8).
ACTION_LISTS: dict[str, tuple[str, ...]] = {
    "right-only": ("", "Right", "Right+A", "Right+B", "Right+A+B"),
    "simple movement": ("", "Right", "Right+A", "Right+B", "Right+A+B", "A", "Left"),
    "complex movement": ("", "Right", "Right+A", "Right+B", "Right+A+B", "A", "Left",
                         "Left+A", "Left+B", "Left+A+B", "Down", "Up"),
    # Walk, fire (B) and jump (A), as in a gallery shooter.
    "shooter": ("", "Left", "Right", "B", "Left+B", "Right+B", "A"),
}
MULTI_BINARY = "multi-binary"


def buttons_from_names(names: str | Iterable[str]) -> tuple[bool, ...]:
    """'Start', 'Right+A', 'up a' or ['Right', 'A'] -> the eight flags of updateInputs."""
    if isinstance(names, str):
        names = names.replace("+", " ").replace(",", " ").split()
    wanted = {n.lower() for n in names}
    unknown = wanted - {b.lower() for b in BUTTONS}
    if unknown:
        raise ValueError(f"unknown button(s) {', '.join(sorted(unknown))}; use {', '.join(BUTTONS)}")
    return tuple(b.lower() in wanted for b in BUTTONS)


def action_table(actions: str | Sequence[str | Sequence[str]]) -> list[tuple[bool, ...]]:
    """The button flags of each Discrete action, from a ready list's name or a
    list of combinations; the first entry must press nothing."""
    if isinstance(actions, str):
        try:
            actions = ACTION_LISTS[actions]
        except KeyError:
            raise ValueError(f"unknown action list {actions!r}; ready lists: "
                             f"{', '.join(ACTION_LISTS)} (or {MULTI_BINARY!r})") from None
    table = [buttons_from_names(a) for a in actions]
    if not table or any(table[0]):
        raise ValueError("action 0 must be the combination without buttons")
    return table


def action_names(actions: str | Sequence[str | Sequence[str]]) -> list[str]:
    """Each combination of an action list as its buttons' names joined by "+"
    in the list's own order ("NOOP" for none): "right+a" -> "Right+A"."""
    combos = ACTION_LISTS[actions] if isinstance(actions, str) else actions
    proper = {b.lower(): b for b in BUTTONS}
    names = []
    for combo in combos:
        parts = combo.replace("+", " ").replace(",", " ").split() if isinstance(combo, str) else list(combo)
        names.append("+".join(proper[p.lower()] for p in parts) or "NOOP")
    return names


Press = tuple[int, int, tuple[bool, ...]]


def parse_presses(items: str | Iterable[str]) -> list[Press]:
    """Items 'FRAME=BUTTONS' (a tap of TAP_FRAMES frames) or 'FIRST-END=BUTTONS'
    (held from FIRST up to, not including, END); 'FIRST-END=' waits."""
    if isinstance(items, str):
        items = [items]
    presses = []
    for item in items:
        when, sep, names = item.partition("=")
        try:
            if not sep:
                raise ValueError
            first, _, end = when.partition("-")
            start = int(first)
            stop = int(end) if end else start + TAP_FRAMES
        except ValueError:
            raise ValueError(f"press {item!r}: expected FRAME=BUTTONS or FIRST-END=BUTTONS") from None
        if start < 0 or stop <= start:
            raise ValueError(f"press {item!r}: empty or negative frame range")
        presses.append((start, stop, buttons_from_names(names)))
    return presses


def buttons_at(presses: Sequence[Press], frame: int) -> tuple[bool, ...]:
    flags = NO_BUTTONS
    for first, end, press in presses:
        if first <= frame < end:
            flags = tuple(a or b for a, b in zip(flags, press))
    return flags
