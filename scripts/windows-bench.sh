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
PORT=COM5

fail() {
    echo "windows-bench: $*" >&2
    exit 1
}
# shellcheck source=scripts/windows-native.sh
source scripts/windows-native.sh
# shellcheck source=scripts/qt-mingw-kit.sh
source scripts/qt-mingw-kit.sh
rq7_find_qt_mingw || fail "no Qt kit for MinGW-w64 (looked for: $RQ7_QT_MINGW_MISSING)"
windows_package_zip windows-bench
BENCH="$PACKAGE_BUILD/bench/bench_windows_wine.exe"
[ -f "$BENCH" ] || fail "no $BENCH (bash scripts/windows-package.sh builds it)"
windows_build_native >/dev/null

WORK="$(mktemp -d /tmp/rq7-windows-bench.XXXXXX)"
cleanup() {
    windows_stop_simulator
    wine_stop_prefix
    rm -rf "$WORK"
}
trap cleanup EXIT
abort() { fail "$*"; }
# shellcheck source=tests/win/wine/wine-prefix.sh
source tests/win/wine/wine-prefix.sh
unset DISPLAY WAYLAND_DISPLAY

unzip -q "$ZIP" -d "$WORK/app"
APP="$(dirname "$(find "$WORK/app" -name rq7.exe | head -n 1)")"
cp "$BENCH" "$APP/"
cp "$RQ7_QT_MINGW/plugins/platforms/qoffscreen.dll" "$APP/platforms/"

windows_start_simulator "$WORK/sim.log" --verbose
wine_make_prefix "$PORT=$WORK/ttyRQ7"
echo "Wine $(wine --version 2>/dev/null); $(nproc) processors, load average $(cut -d' ' -f1-3 /proc/loadavg)"
mkdir -p "$WORK/run"
(cd "$WORK/run" && LD_PRELOAD="$MODEM_LINES" QT_QPA_PLATFORM=offscreen \
    timeout -k 10 1200 wine "$APP/bench_windows_wine.exe" "$PORT" "$(wine_path "$WORK/sim.log")" "$RUNS") </dev/null |
    tr -d '\r'
