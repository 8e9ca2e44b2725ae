#!/usr/bin/env bash
# Shared set-up: creates .venv with CPython 3.12 (pyenv's when python3.12 is
# not on PATH), installs the build and test dependencies and builds kestrix.
# Each step is skipped when what it reads is unchanged since it last ran
# (stamp files in .venv). Run it, or source it and call kestrix_venv and
# kestrix_build (scripts/test.sh does, to announce them apart).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="$root/.venv"
export PIP_DISABLE_PIP_VERSION_CHECK=1
# cmake, ctest and ninja come from the venv (requirements-dev.txt), not the system.
export PATH="$venv/bin:$PATH"

find_python312() {
    local cand
    for cand in python3.12 "$(command -v pyenv >/dev/null 2>&1 && pyenv root)"/versions/3.12*/bin/python3.12 \
                "$HOME"/.pyenv/versions/3.12*/bin/python3.12 /root/.pyenv/versions/3.12*/bin/python3.12 \
                /usr/bin/python3.12 /usr/local/bin/python3.12; do
        if "$cand" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' >/dev/null 2>&1; then
            echo "$cand"
            return 0
        fi
    done
    echo "kestrix needs CPython 3.12: install it (e.g. 'pyenv install 3.12') and try again" >&2
    return 1
}

# The packages of a requirements file, when it changed since its last install.
kestrix_requirements() {
    local file="$1" stamp want
    stamp="$venv/.stamp-$(basename "$file")"
    want="$(sha256sum "$file" | cut -d' ' -f1)"
    if [ "$(cat "$stamp" 2>/dev/null)" != "$want" ]; then
        echo "installing the packages of $(basename "$file") into .venv"
        "$venv/bin/python" -m pip install -q -r "$file"
        echo "$want" >"$stamp"
    fi
}

# The venv and the packages of requirements-dev.txt.
kestrix_venv() {
    if [ ! -x "$venv/bin/python" ]; then
        local py
        py="$(find_python312)"
        echo "creating $venv with $py"
        "$py" -m venv "$venv"
    fi
    kestrix_requirements "$root/requirements-dev.txt"
}

# The optimised module, installed into the venv.
kestrix_build() {
    local want
    want="$("$venv/bin/python" "$root/scripts/build_inputs.py" "$root")"
    if [ "$(cat "$venv/.build-stamp" 2>/dev/null)" = "$want" ] &&
        compgen -G "$venv/lib/python3.12/site-packages/kestrix.*.so" >/dev/null; then
        return 0
    fi
    echo "building kestrix (optimised) and installing it into .venv"
    "$venv/bin/python" -m pip install -q --no-build-isolation "$root"
    echo "$want" >"$venv/.build-stamp"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    kestrix_venv
    kestrix_build
fi
