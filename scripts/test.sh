#!/usr/bin/env bash
# Runs every test, announcing each phase with the time it usually takes on
# the 2-core development machine with one core free (about 8 minutes in all;
# more under load):
#   1. environment: .venv, the development requirements (when changed)
#   2. optimised build (when its inputs changed) and the Python tests against it
#   3. a build with AddressSanitizer and UndefinedBehaviorSanitizer (and the
#      fast paths' invariants checked): the C++ core tests, a short run of
#      benchmarks/plain_check.py, then the Python tests again against it
#   4. the thread stress test and the engine's batch step under ThreadSanitizer
#   5. short fixed runs of the fuzz harnesses (clang; installed with apt-get
#      when missing and running as root)
#
#   scripts/test.sh [--quick] [pytest arguments...]
#
# --quick runs phases 1 and 2 only. Other arguments go to every pytest run.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
quick=0
if [ "${1:-}" = "--quick" ]; then
    quick=1
    shift
fi
total=5
[ "$quick" = 1 ] && total=2
n=0
phase_start=$SECONDS
phase() {
    [ "$n" -gt 0 ] && echo "   (took $((SECONDS - phase_start)) s)"
    n=$((n + 1))
    phase_start=$SECONDS
    echo "== [$n/$total] $1 (usually $2)"
}

# The last line says how many tests of public test cartridges ran and how many
# were skipped for want of their cartridge: pytest's figure (tests/conftest.py
# writes it to $KESTRIX_CARTRIDGE_TALLY) and ctest's nestest (from its JUnit file).
tally="$(mktemp)"
trap 'rm -f "$tally"' EXIT
cartridge_summary() {
    local ran=0 skipped=0 nestest=""
    read -r ran skipped <"$tally" || true
    ran=${ran:-0} skipped=${skipped:-0}
    local line="pytest (optimised build): $ran ran, $skipped skipped"
    if [ -n "${1:-}" ]; then
        if grep -q '<testcase name="nestest_cpu"[^>]*status="notrun"' "$1"; then
            nestest=skipped skipped=$((skipped + 1))
        elif grep -q '<testcase name="nestest_cpu"' "$1"; then
            nestest=ran ran=$((ran + 1))
        else
            nestest="not in the ctest run"
        fi
        line="$line; ctest nestest: $nestest"
    fi
    echo "test cartridges: $ran tests ran, $skipped skipped for a missing cartridge ($line)"
}

phase "environment: .venv and the development requirements" "under 1 s; 1-3 min on a fresh clone"
source "$root/scripts/env.sh"
kestrix_venv
# The environments' packages (gymnasium, Ray): only the tests need them, not the main job.
kestrix_requirements "$root/requirements-gym.txt"
cd "$root"
py="$root/.venv/bin/python"

phase "optimised build, then the Python tests against it" "1 min; plus 1-3 min when the module is rebuilt"
kestrix_build
KESTRIX_CARTRIDGE_TALLY="$tally" "$py" -m pytest -q -p no:cacheprovider tests "$@"
if [ "$quick" = 1 ]; then
    echo "   (took $((SECONDS - phase_start)) s)"
    cartridge_summary
    exit 0
fi

phase "address and undefined-behaviour sanitizers: build, C++ core tests, plain-mode check, Python tests" "9 min"
asan_dir="$root/build/sanitize"
cmake -S "$root" -B "$asan_dir" -DKESTRIX_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DKESTRIX_CPP_TESTS=ON \
    -DPython_EXECUTABLE="$py" -Dpybind11_DIR="$("$py" -m pybind11 --cmakedir)" >/dev/null
cmake --build "$asan_dir" -j "$(nproc)" >/dev/null
ctest --test-dir "$asan_dir" --output-on-failure --output-junit "$asan_dir/ctest-junit.xml"
# The normal mode against the plain one, with the fast paths' invariants checked,
# over the first frames of every cartridge of the shared ROM folder and our own.
"$py" "$root/benchmarks/plain_check.py" --tool "$asan_dir/tests/cpp/plain_compare" --frames 10 | tail -n 1
# libstdc++ is preloaded too so that the sanitizer runtime can intercept C++ throws.
san_env=(LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
         ASAN_OPTIONS="detect_leaks=0:abort_on_error=0" UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
         KESTRIX_SANITIZED=1 PYTHONPATH="$asan_dir")
env "${san_env[@]}" "$py" -c 'import kestrix, sys; assert "sanitize" in kestrix.__file__, kestrix.__file__'
env "${san_env[@]}" "$py" -m pytest -q -p no:cacheprovider tests "$@"

phase "thread stress test and the engine's batch step under ThreadSanitizer: build and run" "1 min"
tsan_dir="$root/build/tsan"
cmake -S "$root" -B "$tsan_dir" -DKESTRIX_TSAN=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRIX_CPP_TESTS=ON \
    -DKESTRIX_STRESS_SECONDS=3 \
    -DPython_EXECUTABLE="$py" -Dpybind11_DIR="$("$py" -m pybind11 --cmakedir)" >/dev/null
cmake --build "$tsan_dir" -j "$(nproc)" --target stress_threads batch_threads >/dev/null
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1" ctest --test-dir "$tsan_dir" -R '^(stress_threads|batch_threads)$' \
    --output-on-failure

phase "fuzz harnesses: clang build, short fixed runs of each on its seed corpus" "1-2 min"
have_libfuzzer() {
    command -v clang++ >/dev/null 2>&1 &&
        printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' |
        clang++ -fsanitize=fuzzer -x c++ - -o /dev/null >/dev/null 2>&1
}
if ! have_libfuzzer && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    echo "installing clang and its fuzzer runtime with apt-get (clang libclang-rt-dev; a minute or two)"
    apt-get install -y -q clang libclang-rt-dev >/dev/null 2>&1 ||
        { apt-get update -q >/dev/null 2>&1 && apt-get install -y -q clang libclang-rt-dev >/dev/null 2>&1; } || true
fi
if have_libfuzzer; then
    "$root/fuzz/run.sh" ci
else
    echo "SKIPPED: clang++ with libFuzzer is not available (as root: apt-get install clang libclang-rt-dev)"
fi
echo "   (took $((SECONDS - phase_start)) s)"
cartridge_summary "$asan_dir/ctest-junit.xml"
