#!/usr/bin/env bash
# The main job: plays a cartridge headless and reports what it did.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/scripts/env.sh"
# Set-up messages go to standard error: standard output is the job's report.
kestrix_venv >&2
kestrix_build >&2
exec "$root/.venv/bin/python" "$root/examples/main_job.py" "$@"
