#!/usr/bin/env bash
# Shared set-up: creates .venv with CPython 3.12 (pyenv's when python3.12 is
# not on PATH), installs the build and test dependencies and builds kestrix.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

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

venv="$root/.venv"
if [ ! -x "$venv/bin/python" ]; then
    py="$(find_python312)"
    "$py" -m venv "$venv"
fi
export PIP_DISABLE_PIP_VERSION_CHECK=1
"$venv/bin/python" -m pip install -q -r "$root/requirements-dev.txt"
"$venv/bin/python" -m pip install -q --no-build-isolation "$root"
