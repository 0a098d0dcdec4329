#!/usr/bin/env bash
# The end-to-end test of the Windows program under Wine (tests/win/e2e/run-win-e2e.sh), on the zip
# that scripts/windows-package.sh made, against the native adapter simulator.
#
#   bash scripts/windows-e2e.sh                  after bash scripts/windows-package.sh
#   bash scripts/windows-e2e.sh --screenshots    also puts the pictures of the Windows build in docs/img
#
# Build folders: build-windows-package (the zip, the window tests for Windows) and build-windows-sim
# (rq7sim and the library that gives the pseudo-terminal modem lines), or RQ7_WINDOWS_PACKAGE_DIR and
# RQ7_WINDOWS_SIM_BUILD_DIR.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"
JOBS="${JOBS:-2}"
PACKAGE_BUILD="${RQ7_WINDOWS_PACKAGE_DIR:-$ROOT/build-windows-package}"
SIM_BUILD="${RQ7_WINDOWS_SIM_BUILD_DIR:-$ROOT/build-windows-sim}"
if [ "${1:-}" = "--screenshots" ]; then
    export RQ7_WIN_E2E_SHOTS="$ROOT/docs/img"
fi

bash scripts/install-windows-deps.sh
shopt -s nullglob
zips=("$PACKAGE_BUILD"/rq7-*-win64.zip)
((${#zips[@]} == 1)) || { echo "windows-e2e: expected one rq7-*-win64.zip in $PACKAGE_BUILD (bash scripts/windows-package.sh makes it)" >&2; exit 1; }
TESTS="$PACKAGE_BUILD/tests/win/ui/test_win_windows.exe"
[ -f "$TESTS" ] || { echo "windows-e2e: no $TESTS (bash scripts/windows-package.sh builds it)" >&2; exit 1; }

echo "== native simulator in $SIM_BUILD"
timeout 600 cmake -S . -B "$SIM_BUILD" -DRQ7_BUILD_UI=OFF -DRQ7_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
timeout 1200 cmake --build "$SIM_BUILD" -j "$JOBS" --target rq7sim
gcc -shared -fPIC -O2 -Wall -Wextra -Werror -o "$SIM_BUILD/pty-modem-lines.so" tests/win/wine/pty-modem-lines.c -ldl

echo "== Windows end-to-end test: ${zips[0]}"
timeout -k 10 900 bash tests/win/e2e/run-win-e2e.sh "${zips[0]}" "$SIM_BUILD/sim/rq7sim" "$SIM_BUILD/pty-modem-lines.so" \
    "$ROOT/ui" "$TESTS"
