#!/usr/bin/env bash
# The Windows build's benchmark under Wine: bench/bench_windows_wine.cpp, built by
# scripts/windows-package.sh, run from a copy of the program's folder (plus Qt's offscreen platform
# plugin from the kit) in a throwaway Wine prefix, against the native rq7sim on the pseudo-terminal
# behind Wine's COM5. Prints figures; nothing passes or fails on time.
#
#   bash scripts/windows-bench.sh [runs]        (default 5 runs of each sequence)
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"
RUNS="${1:-5}"
PACKAGE_BUILD="${RQ7_WINDOWS_PACKAGE_DIR:-$ROOT/build-windows-package}"
SIM_BUILD="${RQ7_WINDOWS_SIM_BUILD_DIR:-$ROOT/build-windows-sim}"
PORT=COM5

fail() {
    echo "windows-bench: $*" >&2
    exit 1
}
# shellcheck source=scripts/qt-mingw-kit.sh
source scripts/qt-mingw-kit.sh
rq7_find_qt_mingw || fail "no Qt kit for MinGW-w64 (looked for: $RQ7_QT_MINGW_MISSING)"
shopt -s nullglob
zips=("$PACKAGE_BUILD"/rq7-*-win64.zip)
((${#zips[@]} == 1)) || fail "no rq7-*-win64.zip in $PACKAGE_BUILD (bash scripts/windows-package.sh makes it)"
BENCH="$PACKAGE_BUILD/bench/bench_windows_wine.exe"
[ -f "$BENCH" ] || fail "no $BENCH (bash scripts/windows-package.sh builds it)"
timeout 600 cmake -S . -B "$SIM_BUILD" -DRQ7_BUILD_UI=OFF -DRQ7_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
timeout 1200 cmake --build "$SIM_BUILD" --target rq7sim >/dev/null
gcc -shared -fPIC -O2 -Wall -Wextra -Werror -o "$SIM_BUILD/pty-modem-lines.so" tests/win/wine/pty-modem-lines.c -ldl

WORK="$(mktemp -d /tmp/rq7-windows-bench.XXXXXX)"
SIM_PID=""
cleanup() {
    if [ -n "$SIM_PID" ]; then
        kill "$SIM_PID" 2>/dev/null || true
        wait "$SIM_PID" 2>/dev/null || true
    fi
    wine_stop_prefix
    rm -rf "$WORK"
}
trap cleanup EXIT
abort() { fail "$*"; }
# shellcheck source=tests/win/wine/wine-prefix.sh
source tests/win/wine/wine-prefix.sh
unset DISPLAY WAYLAND_DISPLAY

unzip -q "${zips[0]}" -d "$WORK/app"
APP="$(dirname "$(find "$WORK/app" -name rq7.exe | head -n 1)")"
cp "$BENCH" "$APP/"
cp "$RQ7_QT_MINGW/plugins/platforms/qoffscreen.dll" "$APP/platforms/"

nice -n -10 "$SIM_BUILD/sim/rq7sim" --link "$WORK/ttyRQ7" --verbose >"$WORK/sim.log" 2>&1 &
SIM_PID=$!
for _ in $(seq 100); do grep -q serving "$WORK/sim.log" && break; sleep 0.1; done
grep -q serving "$WORK/sim.log" || fail "rq7sim did not start: $(cat "$WORK/sim.log")"
wine_make_prefix "$PORT=$WORK/ttyRQ7"
echo "Wine $(wine --version 2>/dev/null); $(nproc) processors, load average $(cut -d' ' -f1-3 /proc/loadavg)"
mkdir -p "$WORK/run"
(cd "$WORK/run" && LD_PRELOAD="$SIM_BUILD/pty-modem-lines.so" QT_QPA_PLATFORM=offscreen \
    timeout -k 10 1200 wine "$APP/bench_windows_wine.exe" "$PORT" "$(wine_path "$WORK/sim.log")" "$RUNS") </dev/null |
    tr -d '\r'
