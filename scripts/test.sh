#!/usr/bin/env bash
# Builds and runs the whole test suite:
#   1. every test program (and the end-to-end test of the real program) in a plain build,
#   2. the same under AddressSanitizer + UndefinedBehaviorSanitizer,
#   3. each fuzz target briefly on its kept corpus (clang, libFuzzer),
#   4. the Debian package, built and its contents checked (lintian and appstreamcli included),
#   5. link/ and coef/ cross-built for Windows and their tests run under Wine,
#   6. when the Qt kit for MinGW-w64 is found (scripts/qt-mingw-kit.sh: ../shared/qt6-mingw beside the
#      checkout, or /opt/qt6-mingw): the whole Windows program built, its zip and installer made and
#      checked, and its end-to-end test and window tests run under Wine. Without the kit this step
#      says plainly that it skipped them.
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

echo "== Windows program with Qt: package, end-to-end test under Wine"
# shellcheck source=scripts/qt-mingw-kit.sh
source scripts/qt-mingw-kit.sh
if rq7_find_qt_mingw; then
    export RQ7_QT_MINGW
    bash scripts/windows-package.sh
    bash scripts/windows-e2e.sh
else
    echo "SKIPPED: the Windows program (build, zip and installer, end-to-end test under Wine): no Qt kit"
    echo "for MinGW-w64 was found (looked for: $RQ7_QT_MINGW_MISSING)"
fi
