#!/usr/bin/env bash
# The main job: plays a cartridge headless and reports what it did.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/scripts/env.sh" >&2
exec "$root/.venv/bin/python" "$root/examples/main_job.py" "$@"
