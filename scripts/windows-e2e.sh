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
# shellcheck source=scripts/windows-native.sh
source scripts/windows-native.sh
if [ "${1:-}" = "--screenshots" ]; then
    export RQ7_WIN_E2E_SHOTS="$ROOT/docs/img"
fi

bash scripts/install-windows-deps.sh
windows_package_zip windows-e2e
TESTS="$PACKAGE_BUILD/tests/win/ui/test_win_windows.exe"
[ -f "$TESTS" ] || { echo "windows-e2e: no $TESTS (bash scripts/windows-package.sh builds it)" >&2; exit 1; }
windows_build_native

echo "== Windows end-to-end test: $ZIP"
timeout -k 10 900 bash tests/win/e2e/run-win-e2e.sh "$ZIP" "$RQ7SIM" "$MODEM_LINES" "$ROOT/ui" "$TESTS"
