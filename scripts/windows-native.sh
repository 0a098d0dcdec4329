# shellcheck shell=bash
# Shared by scripts/windows-check.sh, windows-e2e.sh and windows-bench.sh: the native parts that the
# Windows programs meet under Wine. Source it from the checkout's top folder with ROOT set; it sets
# JOBS and SIM_BUILD (build-windows-sim, or RQ7_WINDOWS_SIM_BUILD_DIR) and PACKAGE_BUILD
# (build-windows-package, or RQ7_WINDOWS_PACKAGE_DIR).
#
#   windows_build_native         rq7sim and the library that gives the pseudo-terminal modem lines,
#                                in SIM_BUILD; sets RQ7SIM and MODEM_LINES
#   windows_package_zip WHO      the zip that scripts/windows-package.sh made; sets ZIP, or says why
#                                not (WHO names the script) and exits
#   windows_start_simulator LOG [ARG...]
#                                rq7sim on a pseudo-terminal behind $WORK/ttyRQ7, with the further
#                                arguments, its output in LOG; sets SIM_PID, or exits when it does not
#                                start. windows_stop_simulator ends it.

JOBS="${JOBS:-2}"
SIM_BUILD="${RQ7_WINDOWS_SIM_BUILD_DIR:-$ROOT/build-windows-sim}"
PACKAGE_BUILD="${RQ7_WINDOWS_PACKAGE_DIR:-$ROOT/build-windows-package}"

windows_build_native() {
    echo "== native simulator in $SIM_BUILD"
    timeout 600 cmake -S . -B "$SIM_BUILD" -DRQ7_BUILD_UI=OFF -DRQ7_BUILD_TESTS=OFF \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    timeout 1200 cmake --build "$SIM_BUILD" -j "$JOBS" --target rq7sim
    RQ7SIM="$SIM_BUILD/sim/rq7sim"
    MODEM_LINES="$SIM_BUILD/pty-modem-lines.so"
    gcc -shared -fPIC -O2 -Wall -Wextra -Werror -o "$MODEM_LINES" tests/win/wine/pty-modem-lines.c -ldl
}

# shellcheck disable=SC2034 # ZIP is for the sourcing script
windows_package_zip() {
    local zips
    shopt -s nullglob
    zips=("$PACKAGE_BUILD"/rq7-*-win64.zip)
    shopt -u nullglob
    if ((${#zips[@]} != 1)); then
        echo "$1: expected one rq7-*-win64.zip in $PACKAGE_BUILD (bash scripts/windows-package.sh makes it)" >&2
        exit 1
    fi
    ZIP="${zips[0]}"
}

windows_start_simulator() {
    local log="$1" _
    shift
    # A real adapter answers within milliseconds whatever the computer is doing; the simulator gets a
    # higher priority so that a busy machine does not starve it past the program's reply waits.
    nice -n -10 "$RQ7SIM" --link "$WORK/ttyRQ7" "$@" >"$log" 2>&1 </dev/null &
    SIM_PID=$!
    for _ in $(seq 100); do
        grep -q serving "$log" && return 0
        sleep 0.1
    done
    echo "rq7sim did not start: $(cat "$log")" >&2
    exit 1
}

windows_stop_simulator() {
    if [ -n "${SIM_PID:-}" ]; then
        kill "$SIM_PID" 2>/dev/null || true
        wait "$SIM_PID" 2>/dev/null || true
        SIM_PID=""
    fi
}
