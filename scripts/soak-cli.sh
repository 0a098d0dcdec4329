#!/usr/bin/env bash
# A soak of rq7cli against rq7sim on a line that misbehaves at random: READS reads (default 500) and
# WRITES writes (default 100), each against an adapter of its own whose replies are now and then
# spoiled by noise, lost or late (rq7sim --noise/--lose/--late, seeded per run so any run can be played
# again). Every run must either end with exit 0 and the exact block (checked against the simulator's
# --dump), or with a non-zero exit and its message; no run may print, write to a file or report as
# written a value the adapter does not hold. Prints the count of each outcome. Figures only: it is not
# part of scripts/test.sh. A full run takes about 35 minutes.
#
#   bash scripts/soak-cli.sh [READS [WRITES [BUILD_DIR]]]
#
# SOAK_NOISE, SOAK_LOSE, SOAK_LATE (percent of the replies, default 3 each), SOAK_LATE_MS (default 400)
# and SOAK_SEED (the first seed, default 1000) change the line. Exits non-zero when a run broke the rule.
set -euo pipefail
cd "$(dirname "$0")/.."

READS="${1:-500}"
WRITES="${2:-100}"
BUILD="${3:-build}"
if ! [[ "$READS" =~ ^[0-9]+$ && "$WRITES" =~ ^[0-9]+$ ]]; then
    echo "usage: soak-cli.sh [READS [WRITES [BUILD_DIR]]]" >&2
    exit 2
fi
if [ ! -f "$BUILD/build.ninja" ] && [ ! -f "$BUILD/Makefile" ]; then
    cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$BUILD" --target rq7cli rq7sim
exec python3 scripts/soak-cli.py "$BUILD/cli/rq7cli" "$BUILD/sim/rq7sim" "$READS" "$WRITES"
