"""Named numbers anywhere in the console's CPU memory, and the common reward
and episode-end rules built from them."""
from __future__ import annotations

import operator
from dataclasses import dataclass
from typing import Literal

import numpy as np

MEMORY = 0x10000


@dataclass(frozen=True)
class RamVariable:
    """`size` bytes at `address` ($0000-$FFFF: internal RAM, cartridge RAM at
    $6000-$7FFF, or any other cell of CPU memory), in `byteorder`, read as:

    - unsigned (the default), or `signed` (two's complement over `size` bytes);
    - `bcd`: packed BCD, each byte two decimal digits, the high nibble first;
    - `digits`: one decimal digit per byte, `offset` subtracted from each byte
      first (digits stored as tile codes: the code of the "0" tile). A byte
      that is then not 0-9 (a blank in place of a leading zero) counts as 0.

    `byteorder` names where the most significant byte (or digit) is: "little",
    the last; "big", the first, as most games keep score digits."""

    address: int
    size: int = 1
    byteorder: Literal["little", "big"] = "little"
    bcd: bool = False
    signed: bool = False
    digits: bool = False
    offset: int = 0

    def __post_init__(self) -> None:
        if not 1 <= self.size <= 8 or not 0 <= self.address <= MEMORY - self.size:
            raise ValueError(f"variable at ${self.address:04X}, {self.size} bytes, is outside $0000-$FFFF "
                             "(or holds more than 8 bytes)")
        if self.size == 8 and not (self.bcd or self.signed or self.digits):
            raise ValueError("an unsigned variable holds at most 7 bytes (8 when signed, bcd or digits)")
        if self.byteorder not in ("little", "big"):
            raise ValueError(f"byteorder must be 'little' or 'big', not {self.byteorder!r}")
        if self.bcd + self.signed + self.digits > 1:
            raise ValueError("a variable is one of bcd, signed or digits")
        if not 0 <= self.offset <= 255 or (self.offset and not self.digits):
            raise ValueError("offset (0-255) applies to digits=True only")

    def read(self, memory: np.ndarray) -> int:
        """The value in `memory`, the console's CPU memory (or its first bytes
        at least up to the variable's end)."""
        data = [int(b) for b in memory[self.address:self.address + self.size]]
        if self.byteorder == "little":
            data.reverse()
        value = 0
        for b in data:  # most significant byte first
            if self.bcd:
                value = value * 100 + (b >> 4) * 10 + (b & 15)
            elif self.digits:
                d = (b - self.offset) & 0xFF
                value = value * 10 + (d if d < 10 else 0)
            else:
                value = value << 8 | b
        if self.signed and value >= 1 << (8 * self.size - 1):
            value -= 1 << (8 * self.size)
        return value


@dataclass(frozen=True)
class Change:
    """Reward rule: how much a variable grew during the frame (times `scale`)."""

    variable: RamVariable
    scale: float = 1.0

    def __call__(self, before: np.ndarray, after: np.ndarray) -> float:
        return self.scale * (self.variable.read(after) - self.variable.read(before))


@dataclass(frozen=True)
class Changes:
    """Reward rule: the weighted sum of how much variables grew during the frame."""

    terms: tuple[tuple[RamVariable, float], ...]

    def __call__(self, before: np.ndarray, after: np.ndarray) -> float:
        return sum(w * (v.read(after) - v.read(before)) for v, w in self.terms)


COMPARISONS = {"==": operator.eq, "!=": operator.ne, "<": operator.lt, "<=": operator.le, ">": operator.gt,
               ">=": operator.ge}


@dataclass(frozen=True)
class Reaches:
    """Episode-end rule: the variable compares to `value` by `op` (default: holds it)."""

    variable: RamVariable
    value: int
    op: str = "=="

    def __post_init__(self) -> None:
        if self.op not in COMPARISONS:
            raise ValueError(f"op must be one of {', '.join(COMPARISONS)}, not {self.op!r}")

    def __call__(self, memory: np.ndarray) -> bool:
        return COMPARISONS[self.op](self.variable.read(memory), self.value)


@dataclass(frozen=True)
class AnyOf:
    """Episode-end rule: any of the conditions holds."""

    conditions: tuple[Reaches, ...]

    def __call__(self, memory: np.ndarray) -> bool:
        return any(c(memory) for c in self.conditions)
