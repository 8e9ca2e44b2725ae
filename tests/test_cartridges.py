"""Finding a public test cartridge in either layout of the cartridge folder."""
import pytest

from cartridges import find_cartridge

TREE = ["nestest/nestest.nes", "other/nestest.nes", "sprite_hit_tests_2005.10.05/01.basics.nes",
        "mmc3_test_2/rom_singles/1-clocking.nes", "misc/1-clocking.nes", "misc/deep/1.Branch_Basics.nes",
        "a/01-basics.nes", "b/rom_singles/01-basics.nes"]


@pytest.mark.parametrize("rel, found, skip", [
    # The exact path wins over another file of the same name.
    ("nestest/nestest.nes", "nestest/nestest.nes", None),
    # A folder named with a suffix, the rest of the path below it, before any file of that name elsewhere.
    ("sprite_hit_tests/01.basics.nes", "sprite_hit_tests_2005.10.05/01.basics.nes", None),
    ("mmc3_test/rom_singles/1-clocking.nes", "mmc3_test_2/rom_singles/1-clocking.nes", None),
    # A file found once anywhere.
    ("branch_timing_tests/1.Branch_Basics.nes", "misc/deep/1.Branch_Basics.nes", None),
    ("other/nestest.log", None, "test cartridge other/nestest.log not available"),
    ("instr_test-v5/rom_singles/01-basics.nes", None,
     "test cartridge instr_test-v5/rom_singles/01-basics.nes: several candidates: a/01-basics.nes, "
     "b/rom_singles/01-basics.nes"),
])
def test_find_cartridge(tmp_path, rel, found, skip):
    for name in TREE:
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_bytes(b"NES\x1a")
    if skip is None:
        assert find_cartridge(tmp_path, rel) == tmp_path / found
    else:
        with pytest.raises(pytest.skip.Exception) as info:
            find_cartridge(tmp_path, rel)
        assert str(info.value) == skip
