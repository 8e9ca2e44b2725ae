"""Prints a hash of everything the module's build reads, so that scripts/env.sh
rebuilds only when one of them changed.

Usage: python scripts/build_inputs.py ROOT"""
from __future__ import annotations

import hashlib
import pathlib
import sys
import tomllib

# Read by CMake or pip; README.md is left out (only the package description).
FIXED = ["CMakeLists.txt", "pyproject.toml", "requirements-dev.txt", "src", "stubs", "kestrix_gym"]


def shipped_packages(root: pathlib.Path) -> list[str]:
    """The pure-Python package folders the wheel ships (wheel.packages)."""
    config = tomllib.loads((root / "pyproject.toml").read_text())
    packages = config.get("tool", {}).get("scikit-build", {}).get("wheel", {}).get("packages", [])
    # scikit-build-core also accepts a table of {target: source folder}.
    return list(packages.values()) if isinstance(packages, dict) else list(packages)


def files_of(path: pathlib.Path) -> list[pathlib.Path]:
    if path.is_file():
        return [path]
    if path.is_dir():
        return sorted(f for f in path.rglob("*") if f.is_file() and "__pycache__" not in f.parts)
    return []


def build_inputs_hash(root: pathlib.Path) -> str:
    h = hashlib.sha256()
    for name in sorted(set(FIXED + shipped_packages(root))):
        for f in files_of(root / name):
            data = f.read_bytes()
            # Name and length first, so that moving bytes between files changes the hash.
            h.update(f"{f.relative_to(root)}\0{len(data)}\0".encode())
            h.update(data)
    return h.hexdigest()


if __name__ == "__main__":
    print(build_inputs_hash(pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".")))
