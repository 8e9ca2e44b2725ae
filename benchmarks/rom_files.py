"""Where the benchmark tools find cartridges.

The shared ROM folder is $KESTRIX_ROMS, else shared/roms beside the checkout,
else /work/shared/roms; its corpus/ folder holds the speed and behaviour
corpus. Cartridge files end in .nes in any case (BLOCKS.NES counts)."""
from __future__ import annotations

import os
import pathlib

ROOT = pathlib.Path(__file__).resolve().parent.parent


def roms_dir() -> pathlib.Path | None:
    for cand in (os.environ.get("KESTRIX_ROMS"), ROOT.parent / "shared" / "roms", "/work/shared/roms"):
        if cand and pathlib.Path(cand).is_dir():
            return pathlib.Path(cand)
    return None


def corpus_dir() -> pathlib.Path | None:
    shared = roms_dir()
    return shared / "corpus" if shared and (shared / "corpus").is_dir() else None


def is_cartridge(path: pathlib.Path) -> bool:
    return path.suffix.lower() == ".nes" and path.is_file()


def cartridges(folder: pathlib.Path, recursive: bool = False) -> list[pathlib.Path]:
    """The cartridge files in folder (and, if recursive, below it), sorted by
    path regardless of case."""
    paths = folder.rglob("*") if recursive else folder.iterdir()
    return sorted((p for p in paths if is_cartridge(p)), key=lambda p: (str(p).lower(), str(p)))
