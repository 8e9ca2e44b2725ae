"""Where a public test cartridge lies in a cartridge folder, in either layout:
one folder per set (`nestest/nestest.nes`) or the collection as published,
whose folders carry version suffixes (`sprite_hit_tests_2005.10.05`) and which
keeps some cartridges elsewhere (`other/nestest.nes`).
tests/cpp/nestest_cpu.cpp applies the same rules."""
import pathlib

import pytest


def find_cartridge(roms: pathlib.Path | None, rel: str) -> pathlib.Path:
    """The file for `rel` (a path such as "sprite_hit_tests/01.basics.nes")
    under `roms`: the exact path; else the rest of `rel` below a folder whose
    name starts with rel's first folder; else the one file of that name
    anywhere under `roms`. Skips the test, with a reason that begins with
    "test cartridge", when there is none, or several (naming them)."""
    if roms is not None and roms.is_dir():
        if (roms / rel).is_file():
            return roms / rel
        folder, _, below = rel.partition("/")
        found = [d / below for d in roms.iterdir() if d.is_dir() and d.name.startswith(folder) and (d / below).is_file()]
        if not found:
            name = pathlib.PurePosixPath(rel).name
            # Compared by name, not globbed: cartridge names may hold [ ] or *.
            found = [p for p in roms.rglob("*") if p.name == name and p.is_file()]
        if len(found) == 1:
            return found[0]
        if found:
            names = ", ".join(sorted(p.relative_to(roms).as_posix() for p in found))
            pytest.skip(f"test cartridge {rel}: several candidates: {names}")
    pytest.skip(f"test cartridge {rel} not available")
