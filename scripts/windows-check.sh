#!/usr/bin/env bash
# The Windows build, proven: cross compiles coef/, link/ and their tests for 64-bit Windows with
# MinGW-w64 (warnings as errors, linked statically) and runs the test programs under Wine in a fresh,
# throwaway Wine prefix. The serial tests talk to the adapter simulator, which runs natively on a
# pseudo-terminal that Wine's COM5 is mapped onto.
#
#   bash scripts/windows-check.sh
#
# Ends with the line "N passed, N failed, N skipped" (test cases of all programs; a program that
# crashes or hangs counts as one failure) and exits non-zero on any failure. Every Wine call has a time
# limit. Build folders: build-windows (cross) and build-windows-sim (the native simulator), or
# RQ7_WINDOWS_BUILD_DIR and RQ7_WINDOWS_SIM_BUILD_DIR.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"
# shellcheck source=scripts/windows-native.sh
source scripts/windows-native.sh
BUILD="${RQ7_WINDOWS_BUILD_DIR:-$ROOT/build-windows}"
PORT=COM5
HANG_UP_REGISTER=999 # a write to it makes the simulator hang the line up, as a pulled cable does
TEST_TIMEOUT=300

bash scripts/install-windows-deps.sh

echo "== cross build for Windows (MinGW-w64) in $BUILD"
timeout 1200 cmake -S . -B "$BUILD" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" \
    -DRQ7_BUILD_UI=OFF -DRQ7_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo --no-warn-unused-cli >/dev/null
timeout 1200 cmake --build "$BUILD" -j "$JOBS"

windows_build_native

mapfile -t PROGRAMS < <(find "$BUILD/tests/win" -maxdepth 1 -name 'test_*.exe' | sort)
if ((${#PROGRAMS[@]} == 0)); then
    echo "no test programs were built in $BUILD/tests/win" >&2
    exit 1
fi

# A fresh Wine prefix, headless and quiet, whose COM5 is the simulator's pseudo-terminal; removed at the
# end with everything this script started.
WORK="$(mktemp -d /tmp/rq7-windows-check.XXXXXX)"
cleanup() {
    windows_stop_simulator
    wine_stop_prefix
    rm -rf "$WORK"
}
trap cleanup EXIT
abort() {
    echo "$*" >&2
    exit 1
}
# shellcheck source=tests/win/wine/wine-prefix.sh
source tests/win/wine/wine-prefix.sh
unset DISPLAY WAYLAND_DISPLAY

echo "== adapter simulator on $PORT"
windows_start_simulator "$WORK/rq7sim.log" --hang-up-on "$HANG_UP_REGISTER"
echo "== Wine prefix in $WORK/prefix"
wine_make_prefix "$PORT=$WORK/ttyRQ7"
echo "Wine $(wine --version 2>/dev/null)"
echo "$PORT -> $WORK/ttyRQ7 -> $(readlink "$WORK/ttyRQ7")"

# What the tests are told: the port the simulator answers on, that the pseudo-terminal has its modem
# lines from the preloaded library, that this registry may be emptied, and the register whose write
# hangs the line up.
export RQ7_TEST_PORT="$PORT"
export RQ7_WINE_MODEM_LINES=emulated
export RQ7_SCRATCH_REGISTRY=1
export RQ7_TEST_HANG_UP_REGISTER="$HANG_UP_REGISTER"

passed=0
failed=0
skipped=0
for program in "${PROGRAMS[@]}"; do
    name="$(basename "$program" .exe)"
    log="$WORK/$name.log"
    echo "== $name"
    status=0
    if [ "$name" = test_win_console ] && command -v script >/dev/null; then
        # Wine gives a program a console only on a terminal: this one runs in one (script), and its
        # summary is taken from GoogleTest's report, as the console's drawing garbles the terminal's.
        report="$WORK/$name.xml"
        (cd "$WORK" && timeout -k 10 "$TEST_TIMEOUT" script -qec \
            "wine '$program' --gtest_output=xml:$(wine_path "$report" | sed 's/\\/\\\\/g')" /dev/null) \
            >"$WORK/$name.terminal" 2>&1 </dev/null || status=$?
        python3 - "$report" >"$log" 2>&1 <<'PYEOF' || status=1
import sys, xml.etree.ElementTree as ET
root = ET.parse(sys.argv[1]).getroot()
cases = root.iter("testcase")
failed = skipped = passed = 0
for case in cases:
    name = case.get("classname") + "." + case.get("name")
    if case.find("failure") is not None:
        failed += 1
        print(f"[  FAILED  ] {name}: " + " ".join(f.get("message", "") for f in case.findall("failure")))
    elif case.get("result") == "skipped" or case.find("skipped") is not None:
        skipped += 1
        print(f"[  SKIPPED ] {name}")
    else:
        passed += 1
        print(f"[       OK ] {name}")
print(f"[  PASSED  ] {passed} tests.")
if skipped:
    print(f"[  SKIPPED ] {skipped} tests, listed below:")
if failed:
    print(f"[  FAILED  ] {failed} tests, listed below:")
PYEOF
    else
        (cd "$WORK" && LD_PRELOAD="$MODEM_LINES" timeout -k 10 "$TEST_TIMEOUT" wine "$program") >"$log" 2>&1 \
            </dev/null || status=$?
    fi
    cat "$log"
    p=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\?\..*/\1/p' "$log" | tail -1)
    f=$(sed -n 's/^\[  FAILED  \] \([0-9]*\) tests\?, listed below:.*/\1/p' "$log" | tail -1)
    s=$(sed -n 's/^\[  SKIPPED \] \([0-9]*\) tests\?, listed below:.*/\1/p' "$log" | tail -1)
    passed=$((passed + ${p:-0}))
    failed=$((failed + ${f:-0}))
    skipped=$((skipped + ${s:-0}))
    if [ "$status" -ne 0 ] && [ -z "$f" ]; then
        # Crashed, hung or ended without GoogleTest's summary.
        echo "$name: ended with status $status without a test summary" >&2
        failed=$((failed + 1))
    elif [ "$status" -eq 0 ] && [ -z "$p" ]; then
        echo "$name: ran no test" >&2
        failed=$((failed + 1))
    fi
done

echo "== simulator log"
cat "$WORK/rq7sim.log" || true
echo "$passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
