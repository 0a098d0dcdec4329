#!/usr/bin/env bash
# Runs the test programs N times with `ctest -j2` while a busy loop runs on every core, and prints how
# often each test failed: a test whose verdict depends on scheduling shows up here.
#
#   bash scripts/stress-tests.sh N [BUILD_DIR] [CTEST_ARGS...]
#
# BUILD_DIR (default: build) is configured and built first if it holds no build yet. Further arguments
# go to ctest (for example -R test_exchange). The end-to-end test drives the real program in its own X
# server and is left out unless the arguments select it. Exits non-zero when any run failed.
set -euo pipefail
cd "$(dirname "$0")/.."

RUNS="${1:-}"
if ! [[ "$RUNS" =~ ^[1-9][0-9]*$ ]]; then
    echo "usage: stress-tests.sh N [BUILD_DIR] [CTEST_ARGS...]" >&2
    exit 2
fi
shift
BUILD="build"
if [ $# -gt 0 ] && [[ "$1" != -* ]]; then
    BUILD="$1"
    shift
fi
CTEST_ARGS=("$@")
if [ ${#CTEST_ARGS[@]} -eq 0 ]; then
    CTEST_ARGS=(-E '^e2e_program$')
fi
export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"

if [ ! -f "$BUILD/CTestTestfile.cmake" ]; then
    cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$BUILD" -j 2

LOGS="$(mktemp -d /tmp/rq7-stress.XXXXXX)"
LOAD_PIDS=()
stop_load() {
    for pid in "${LOAD_PIDS[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${LOAD_PIDS[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    LOAD_PIDS=()
}
trap stop_load EXIT
CORES="$(nproc)"
for _ in $(seq "$CORES"); do
    bash -c 'while :; do :; done' &
    LOAD_PIDS+=("$!")
done
echo "== $RUNS runs of ctest -j2 in $BUILD beside $CORES busy loops (logs in $LOGS)"

FAILED_RUNS=0
for run in $(seq "$RUNS"); do
    log="$LOGS/run-$run.log"
    if ctest --test-dir "$BUILD" -j 2 --output-on-failure "${CTEST_ARGS[@]}" >"$log" 2>&1; then
        echo "run $run: passed ($(grep -Eo '[0-9]+ tests passed, [0-9]+ tests failed out of [0-9]+' "$log" || grep -Eo '[0-9]+% tests passed.*' "$log"))"
    else
        FAILED_RUNS=$((FAILED_RUNS + 1))
        echo "run $run: FAILED"
        grep -E '^\s+[0-9]+ - .* \((Failed|Timeout|SEGFAULT|Subprocess aborted|Exception|Child aborted|Not Run)\)' "$log" |
            sed 's/^/    /' || true
        grep -E '^\[  FAILED  \] [A-Za-z_0-9/.]+ \(' "$log" | sed 's/^/    /' || true
    fi
done
stop_load

echo "== failures per test over $RUNS runs"
# Test programs (ctest's list) and the GoogleTest cases inside them.
cat "$LOGS"/run-*.log |
    grep -Eo '^\s+[0-9]+ - [A-Za-z_0-9]+ \((Failed|Timeout|SEGFAULT|Subprocess aborted|Exception|Child aborted)\)' |
    sed -E 's/^\s+[0-9]+ - //' | sort | uniq -c | sort -rn | sed 's/^/  /' || true
cat "$LOGS"/run-*.log | grep -E '^\[  FAILED  \] [A-Za-z_0-9/.]+ \(' | sed -E 's/^\[  FAILED  \] ([^ ]+).*/\1/' |
    sort | uniq -c | sort -rn | sed 's/^/  /' || true
echo "$FAILED_RUNS of $RUNS runs failed"
[ "$FAILED_RUNS" -eq 0 ]
