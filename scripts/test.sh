#!/usr/bin/env bash
# Builds and runs the whole test suite:
#   1. every test program (and the end-to-end test of the real program) in a plain build,
#   2. the same under AddressSanitizer + UndefinedBehaviorSanitizer,
#   3. each fuzz target briefly on its kept corpus (clang, libFuzzer),
#   4. the Debian package, built and its contents checked,
#   5. link/ and coef/ cross-built for Windows and their tests run under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"
JOBS="${JOBS:-2}"
# No test's verdict depends on how quickly the simulated adapter is scheduled (scripts/stress-tests.sh
# runs them beside a busy load), so two test programs run at a time.
CTEST_JOBS="${CTEST_JOBS:-2}"

echo "== plain build and tests"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$JOBS"
ctest --test-dir build --output-on-failure -j "$CTEST_JOBS"

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build and tests"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DRQ7_SANITIZE=ON
cmake --build build-asan -j "$JOBS"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan --output-on-failure -j "$CTEST_JOBS"

echo "== fuzz targets on their kept corpus"
bash fuzz/run-brief.sh

echo "== Debian package"
bash scripts/check-package.sh

echo "== Windows cross-build, tests under Wine"
bash scripts/windows-check.sh
