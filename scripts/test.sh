#!/usr/bin/env bash
# Runs every test: once against the optimised module, once against a build
# with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/scripts/env.sh"
"$root/.venv/bin/python" -m pip install -q -r "$root/requirements-gym.txt"
cd "$root"
py="$root/.venv/bin/python"

echo "== tests (optimised build)"
"$py" -m pytest -q -p no:cacheprovider tests "$@"

echo "== tests (address and undefined-behaviour sanitizers)"
asan_dir="$root/build/sanitize"
cmake -S "$root" -B "$asan_dir" -DKESTRIX_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DKESTRIX_CPP_TESTS=ON \
    -DPython_EXECUTABLE="$py" -Dpybind11_DIR="$("$py" -m pybind11 --cmakedir)" >/dev/null
cmake --build "$asan_dir" -j "$(nproc)" >/dev/null
echo "== C++ core tests (sanitizers)"
ctest --test-dir "$asan_dir" --output-on-failure

echo "== thread stress test (thread sanitizer)"
tsan_dir="$root/build/tsan"
cmake -S "$root" -B "$tsan_dir" -DKESTRIX_TSAN=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRIX_CPP_TESTS=ON \
    -DKESTRIX_STRESS_SECONDS=3 \
    -DPython_EXECUTABLE="$py" -Dpybind11_DIR="$("$py" -m pybind11 --cmakedir)" >/dev/null
cmake --build "$tsan_dir" -j "$(nproc)" --target stress_threads >/dev/null
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1" ctest --test-dir "$tsan_dir" -R '^stress_threads$' --output-on-failure
# libstdc++ is preloaded too so that the sanitizer runtime can intercept C++ throws.
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export KESTRIX_SANITIZED=1
PYTHONPATH="$asan_dir" "$py" -c 'import kestrix, sys; assert "sanitize" in kestrix.__file__, kestrix.__file__'
PYTHONPATH="$asan_dir" "$py" -m pytest -q -p no:cacheprovider tests "$@"

echo "== fuzz harnesses (short fixed runs of each on its seed corpus)"
# The harnesses are clang builds with their own sanitizer runtime.
unset LD_PRELOAD ASAN_OPTIONS UBSAN_OPTIONS
have_libfuzzer() {
    command -v clang++ >/dev/null 2>&1 &&
        printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' |
        clang++ -fsanitize=fuzzer -x c++ - -o /dev/null >/dev/null 2>&1
}
if ! have_libfuzzer && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    echo "installing clang and its fuzzer runtime (apt-get)"
    apt-get install -y -q clang libclang-rt-dev >/dev/null 2>&1 ||
        { apt-get update -q >/dev/null 2>&1 && apt-get install -y -q clang libclang-rt-dev >/dev/null 2>&1; } || true
fi
if have_libfuzzer; then
    "$root/fuzz/run.sh" ci
else
    echo "SKIPPED: clang++ with libFuzzer is not available (as root: apt-get install clang libclang-rt-dev)"
fi
