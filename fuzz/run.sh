#!/usr/bin/env bash
# Builds the fuzz harnesses into build/fuzz and runs one of them.
#
#   fuzz/run.sh rom|state|cpu|snapshot [libFuzzer options...]
#   fuzz/run.sh rom -runs=1000000
#   fuzz/run.sh state -max_total_time=600
#   fuzz/run.sh cpu crash-file             # replays one input
#   fuzz/run.sh build                      # only builds
#   fuzz/run.sh ci                         # short fixed runs of all four
#
# New inputs go to build/fuzz/corpus/<name>, or $KESTRIX_FUZZ_CORPUS (the seeds
# of fuzz/corpus/<name> are read, never written); crashes to build/fuzz/artifacts/. Options given
# here come after the defaults, so they override them.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${KESTRIX_FUZZ_BUILD:-$root/build/fuzz}"

usage() {
    echo "usage: $0 rom|state|cpu|snapshot|build|ci [libFuzzer options or input files...]" >&2
    exit 2
}
[ $# -ge 1 ] || usage
name="$1"
shift
case "$name" in
    rom | state | cpu | snapshot | build | ci) ;;
    *) usage ;;
esac

cxx="${CXX_FUZZ:-clang++}"
if ! command -v "$cxx" >/dev/null 2>&1; then
    echo "$0: $cxx not found (apt-get install clang libclang-rt-dev)" >&2
    exit 3
fi
generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" "${generator[@]}" -DKESTRIX_FUZZ=ON -DCMAKE_CXX_COMPILER="$cxx" \
        -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" >/dev/null
[ "$name" = build ] && exit 0

if [ "$name" = ci ]; then
    # Every seed (the regression inputs among them) runs first, then a fixed
    # number of mutations with a fixed seed; new inputs go to a scratch folder.
    scratch="$(mktemp -d)"
    mkdir -p "$build/artifacts"
    trap 'rm -rf "$scratch"' EXIT
    status=0
    for h in rom:2000 state:1000 cpu:1000 snapshot:1000; do
        mkdir -p "$scratch/${h%%:*}"
        start=$SECONDS
        if KESTRIX_FUZZ_BUILD="$build" KESTRIX_FUZZ_CORPUS="$scratch/${h%%:*}" "$0" "${h%%:*}" -runs="${h#*:}" \
            -seed=1 -max_total_time=40 -artifact_prefix="$scratch/" >"$scratch/log" 2>&1; then
            echo "fuzz_${h%%:*}: $(grep -E '^#[0-9]+[[:space:]]+DONE' "$scratch/log" | tr -s ' \t' ' ') ($((SECONDS - start)) s)"
        else
            status=1
            echo "fuzz_${h%%:*} FAILED:" >&2
            grep -E 'ERROR|SUMMARY|runtime error|differs|Test unit' "$scratch/log" >&2 || tail -20 "$scratch/log" >&2
            if cp "$scratch"/crash-* "$scratch"/leak-* "$scratch"/timeout-* "$build/artifacts/" 2>/dev/null; then :; fi
            echo "(failing inputs kept in $build/artifacts; replay with: $0 ${h%%:*} <file>)" >&2
        fi
    done
    exit $status
fi

seeds=("$root/fuzz/corpus/$name")
defaults=()
case "$name" in
    rom) seeds+=("$root/fuzz/carts") ;;
    state) defaults=(-max_len=82193) ;;  # the 4-byte prefix and one slot image
    cpu) defaults=(-max_len=16384) ;;
    snapshot) defaults=(-max_len=256) ;;  # the 4-byte prefix and up to 63 edits
esac
[ -f "$root/fuzz/$name.dict" ] && defaults+=(-dict="$root/fuzz/$name.dict")
corpus="${KESTRIX_FUZZ_CORPUS:-$build/corpus/$name}"
mkdir -p "$corpus" "$build/artifacts"

# Input files or folders as arguments: replay them instead of fuzzing.
for arg in "$@"; do
    if [ "${arg#-}" = "$arg" ]; then
        exec "$build/fuzz/fuzz_$name" "$@"
    fi
done

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
exec "$build/fuzz/fuzz_$name" -timeout=300 -print_final_stats=1 -artifact_prefix="$build/artifacts/$name-" \
    "${defaults[@]}" "$@" "$corpus" "${seeds[@]}"
