"""Named variables in the console's 2 KiB of internal RAM, and the common
reward and episode-end rules built from them."""
from __future__ import annotations

from dataclasses import dataclass
from typing import Literal

import numpy as np


@dataclass(frozen=True)
class RamVariable:
    """`size` bytes at `address` ($0000-$07FF), in `byteorder`; with `bcd`
    each byte holds two decimal digits (high nibble first)."""

    address: int
    size: int = 1
    byteorder: Literal["little", "big"] = "little"
    bcd: bool = False

    def __post_init__(self) -> None:
        if self.size < 1 or not 0 <= self.address <= 0x800 - self.size:
            raise ValueError(f"RAM variable at ${self.address:04X}, {self.size} bytes, is outside $0000-$07FF")
        if self.byteorder not in ("little", "big"):
            raise ValueError(f"byteorder must be 'little' or 'big', not {self.byteorder!r}")

    def read(self, ram: np.ndarray) -> int:
        data = [int(b) for b in ram[self.address:self.address + self.size]]
        if self.byteorder == "little":
            data.reverse()
        value = 0
        for b in data:  # most significant byte first
            value = value * 100 + (b >> 4) * 10 + (b & 15) if self.bcd else value << 8 | b
        return value


@dataclass(frozen=True)
class Change:
    """Reward rule: how much a variable grew during the frame (times `scale`)."""

    variable: RamVariable
    scale: float = 1.0

    def __call__(self, before: np.ndarray, after: np.ndarray) -> float:
        return self.scale * (self.variable.read(after) - self.variable.read(before))


@dataclass(frozen=True)
class Reaches:
    """Episode-end rule: the variable holds `value`."""

    variable: RamVariable
    value: int

    def __call__(self, ram: np.ndarray) -> bool:
        return self.variable.read(ram) == self.value
