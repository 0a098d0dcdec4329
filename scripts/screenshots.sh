#!/usr/bin/env bash
# Takes the pictures in docs/img/ that the README shows: the real rq7 in a private X server (Xvfb)
# against rq7sim, driven with the mouse and the keyboard (xdotool) as in the end-to-end test.
#
#   bash scripts/screenshots.sh            builds rq7 and rq7sim in build/ first
#   bash scripts/screenshots.sh RQ7 RQ7SIM uses the given programs
#
# Needs root (the simulator's link in /dev), Xvfb, xdotool and ImageMagick's import
# (bash scripts/install-deps.sh installs them).
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
ROOT="$(pwd)"
OUT="$ROOT/docs/img"

if [ $# -eq 2 ]; then
    RQ7="$(realpath "$1")"
    RQ7SIM="$(realpath "$2")"
else
    bash scripts/install-deps.sh || exit 1
    cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || exit 1
    cmake --build build --target rq7 rq7sim || exit 1
    RQ7="$ROOT/build/ui/rq7"
    RQ7SIM="$ROOT/build/sim/rq7sim"
fi
UI_DIR="$ROOT/ui"

# shellcheck source=tests/e2e/lib.sh
source "$ROOT/tests/e2e/lib.sh"
if reason="$(rq7_missing)"; then
    echo "screenshots: $reason" >&2
    exit 1
fi
command -v import >/dev/null || { echo "screenshots: ImageMagick's import is not installed" >&2; exit 1; }

WORK="$(mktemp -d /tmp/rq7-shots.XXXXXX)"
T0=$SECONDS
log() { echo "screenshots [$((SECONDS - T0))s] $*"; }
abort() {
    echo "screenshots: FAILED: $*" >&2
    import -display "$DISPLAY" -window root "$WORK/failure.png" 2>/dev/null
    echo "screenshots: the screen at the failure and the logs are in $WORK" >&2
    exit 1
}
DONE=""
cleanup() {
    rq7_stop_session
    if [ -n "$DONE" ]; then rm -rf "$WORK"; fi
}
trap cleanup EXIT

# A window's picture, taken with the window in front so nothing lies over it; metadata stripped so
# the same picture gives the same file.
shoot_window() { # name window
    xdotool windowraise "$2"
    sleep 0.3 # one repaint after raising
    import -display "$DISPLAY" -window "$2" -strip "$OUT/$1.png" || abort "cannot take $1"
    log "docs/img/$1.png"
}
# A part of the screen (for a window with its open menu, which is a window of its own).
shoot_area() { # name x y width height
    import -display "$DISPLAY" -window root -crop "${4}x${5}+${2}+${3}" +repage -strip "$OUT/$1.png" ||
        abort "cannot take $1"
    log "docs/img/$1.png"
}
geometry_of() { # window -> x y width height
    xdotool getwindowgeometry --shell "$1" | awk -F= '
        $1 == "X" { x = $2 } $1 == "Y" { y = $2 } $1 == "WIDTH" { w = $2 } $1 == "HEIGHT" { h = $2 }
        END { print x, y, w, h }'
}
read_finished() { # replies to slot 16 seen
    [ "$(grep -A1 -- "<- request  00 03 01 1F" "$WORK/sim.log" | grep -c -- "-> reply")" -ge "$1" ]
}

mkdir -p "$OUT"
# The link the pictures show: a plain name unless something by that name exists already.
if [ ! -e /dev/ttyRQ7SIM ] && [ ! -L /dev/ttyRQ7SIM ]; then
    LINK_NAME="ttyRQ7SIM"
    LINK="/dev/$LINK_NAME"
fi
rq7_start_session
rq7_start_program
rq7_pass_start ""

shot_port_setup() { shoot_window port-setup "$1"; }
rq7_choose_simulator shot_port_setup

# The main window with its "Режим работы" menu open.
xdotool windowraise "$MAIN"
xdotool mousemove --window "$MAIN" 30 10 click 1
wait_until 5 find_rq7_window menu >/dev/null || abort "the menu did not open"
press Right
sleep 0.3
# shellcheck disable=SC2046
shoot_area main-window $(geometry_of "$MAIN")
press Escape Escape

# The password dialog with the first password typed, then the technological mode window after its
# opening read.
menu Right Down Down Return
PW="$(wait_rq7_window password 10)" || abort "no password dialog"
focus "$PW"
type_text "Vosek"
shoot_window password "$PW"
press Return
TECH="$(wait_window "Технолог.режим работы с коэффициентами RQ7" 10)" || abort "no technological mode window"
wait_until 30 read_finished 1 || abort "the technological mode read did not finish"
sleep 0.5 # the last slot's wait and the checksum check
shoot_window tech-window "$TECH"

# The channel limits window after its opening read.
menu Right Return
LIMITS="$(wait_window "Коэффициенты адаптера RQ7" 10)" || abort "no channel limits window"
wait_until 30 read_finished 2 || abort "the channel limits read did not finish"
sleep 0.5
shoot_window limits-window "$LIMITS"

# The journal window with the records of the two reads above (the run's own store), the newest
# selected: its block as found beside the block as left.
menu Right Down Down Down Return
JOURNAL="$(wait_window "Журнал" 10)" || abort "no journal window"
sleep 0.5
shoot_window journal-window "$JOURNAL"

DONE=1
log "done"
