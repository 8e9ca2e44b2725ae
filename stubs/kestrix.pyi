"""Type information for the kestrix extension module (an NES emulator)."""
import os
from collections.abc import Callable
from typing import Any, Protocol, SupportsIndex, overload

import numpy as np

_U8 = np.dtype[np.uint8]
_Path = str | bytes | bytearray | os.PathLike[str] | os.PathLike[bytes]

class _RomFile(Protocol):
    """What the file-object constructor uses: the name gives the save folder, read() the image."""

    @property
    def name(self) -> str | bytes: ...
    def read(self) -> bytes: ...

class _Truthy(Protocol):
    def __bool__(self) -> bool: ...

class _pybind11_type(type):
    """The metaclass of the module's classes (pybind11_builtins.pybind11_type)."""

class NES(metaclass=_pybind11_type):
    """One console: CPU, PPU, APU, cartridge and an optional run thread."""

    @overload
    def __init__(self, rom_name: _Path, CLOCK_SPEED: SupportsIndex = 1789773) -> None:
        """Loads the cartridge image at the path rom_name (text, bytes or os.PathLike such as pathlib.Path)."""
    @overload
    def __init__(self, CLOCK_SPEED: SupportsIndex = 1789773) -> None:
        """A console with an empty (zero-filled NROM) cartridge."""
    @overload
    def __init__(self, rom_file: _RomFile, CLOCK_SPEED: SupportsIndex = 1789773) -> None:
        """Reads the image with rom_file.read(); the save folder is named after rom_file.name."""
    def cpuMem(self) -> np.ndarray[tuple[int], _U8]:
        """Live, writable view of the 64 KiB CPU address space, shape (65536,)."""
    def ppuMem(self) -> np.ndarray[tuple[int], _U8]:
        """Live view of the 16 KiB video memory, shape (16384,)."""
    def OAM(self) -> np.ndarray[tuple[int], _U8]:
        """Live view of sprite memory, shape (256,)."""
    def getImg(self) -> np.ndarray[tuple[int, int, int], _U8]:
        """The last finished frame as RGB, shape (240, 256, 3); a view, copy it to keep it."""
    def colorLookup(self) -> np.ndarray[tuple[int, int], _U8]:
        """The 64-entry RGB colour table, shape (64, 3)."""
    def getAudio(self, split_channels: bool = False) -> list[bytes]:
        """The last completed block of 1,024 signed 16-bit little-endian samples at 44,100 Hz,
        handed out once; [b""] when none is waiting. With split_channels: mixed, pulse 1,
        pulse 2, triangle, noise, DMC."""
    def start(self) -> None:
        """Starts the run thread, paced to CLOCK_SPEED Hz. RuntimeError if one exists."""
    def stop(self) -> None:
        """Writes the battery RAM file, then stops and joins the run thread.
        RuntimeError (after writing the RAM) when there is no run thread."""
    def saveState(self, slot: SupportsIndex, /) -> None:
        """Writes save-state slot `slot` into the save folder."""
    def loadState(self, slot: SupportsIndex, /) -> bool:
        """Restores slot `slot`; False when the slot has no file."""
    def setPaused(self, paused: bool, /) -> None:
        """Pauses or resumes the run thread."""
    def setSaveDir(self, dir: _Path, /) -> bool:
        """Moves the save-state folder to an existing folder; False when it does not exist."""
    def getSaveDir(self) -> str:
        """The save-state folder."""
    def setController(self, pad: Controller, port: SupportsIndex, /) -> None:
        """Plugs pad into port 0 ($4016) or 1 ($4017)."""
    def frameCount(self) -> int:
        """Frames completed since power-on."""
    def cycleCount(self) -> int:
        """CPU cycles since power-on."""
    def runFrame(self) -> None:
        """Emulates up to the next frame boundary on the calling thread, unpaced."""
    def perFrame(self, callback: Callable[[], object] | None, /) -> None:
        """Calls callback at every frame boundary, on the thread that steps the console."""
    def _pybind11_conduit_v1_(self, *args: Any) -> Any: ...

class Controller(metaclass=_pybind11_type):
    """A standard pad: eight buttons, all released when made."""

    def __init__(self) -> None: ...
    def updateInputs(self, buttons: list[bool] | list[int] | list[_Truthy], /) -> None:
        """Sets all buttons from the first eight items: A, B, Select, Start, Up, Down, Left, Right."""
    def _pybind11_conduit_v1_(self, *args: Any) -> Any: ...
