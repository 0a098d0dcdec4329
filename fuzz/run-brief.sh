#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer) and runs
# each one briefly, starting from its kept corpus in fuzz/corpus/<target>/. Exits non-zero when a target
# fails to build or any run finds something (a crash, a sanitizer report, a broken invariant, a hang);
# the input that did it is left in the artifacts folder printed at the end.
#
#   bash fuzz/run-brief.sh                  # every target, 20 seconds each
#   FUZZ_SECONDS=60 bash fuzz/run-brief.sh fuzz_port_bytes
#
# Environment: BUILD_DIR (default build-fuzz in the source tree), FUZZ_SECONDS (default 20),
# FUZZ_RUNS (a number of executions instead of a time), JOBS (build jobs, default 2).
set -euo pipefail

src="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$src/build-fuzz}"
seconds="${FUZZ_SECONDS:-20}"
jobs="${JOBS:-2}"

all_targets=(fuzz_slot_reply fuzz_write_reply fuzz_number_parse fuzz_value_text fuzz_coef_file
             fuzz_backup_file fuzz_port_bytes)
if [ "$#" -gt 0 ]; then
    targets=("$@")
else
    targets=("${all_targets[@]}")
fi

mkdir -p "$build"
cmake -S "$src" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DRQ7_FUZZ=ON -DRQ7_BUILD_UI=OFF -DRQ7_BUILD_TESTS=OFF > "$build/fuzz-configure.log" 2>&1 ||
    { cat "$build/fuzz-configure.log"; exit 1; }
cmake --build "$build" -j"$jobs" --target "${targets[@]}"

work="$build/fuzz-work"
artifacts="$build/fuzz-artifacts"
mkdir -p "$artifacts"
failed=()
for t in "${targets[@]}"; do
    # New inputs go to a scratch corpus; the kept corpus is only read.
    rm -rf "${work:?}/$t"
    mkdir -p "$work/$t"
    limit=(-max_total_time="$seconds")
    if [ -n "${FUZZ_RUNS:-}" ]; then
        limit=(-runs="$FUZZ_RUNS")
    fi
    echo "== $t (${limit[*]})"
    if "$build/fuzz/$t" "${limit[@]}" -timeout=60 -artifact_prefix="$artifacts/$t-" \
        "$work/$t" "$src/fuzz/corpus/$t" > "$work/$t.log" 2>&1; then
        grep -E '^Done [0-9]+ runs' "$work/$t.log" || true
    else
        echo "FINDING in $t:"
        grep -E -A3 'invariant broken|ERROR:|SUMMARY:' "$work/$t.log" | head -40 || tail -40 "$work/$t.log"
        failed+=("$t")
    fi
done

if [ "${#failed[@]}" -gt 0 ]; then
    echo "fuzzing found problems in: ${failed[*]} (inputs in $artifacts, logs in $work)"
    exit 1
fi
echo "no findings"
