# shellcheck shell=bash
# Shared by tests/e2e/run-e2e.sh and scripts/screenshots.sh: drives the real rq7 in a private X
# server from outside, with the mouse and the keyboard (xdotool), against rq7sim on a pseudo-terminal.
# Source it, set RQ7, RQ7SIM, UI_DIR and WORK, define abort() (a step that cannot go on) and log(),
# then call rq7_require (or check the tools yourself), rq7_start_session and rq7_start_program.
# rq7_stop_session ends everything that was started here, by process id.

XVFB_PID="" SIM_PID="" RQ7_PID="" HOLD_PID=""
LINK_NAME="ttyRQ7E2E$$"
LINK="/dev/$LINK_NAME"

# Prints the first missing prerequisite and fails, or succeeds when everything is there.
rq7_missing() {
    if [ "$(id -u)" -ne 0 ]; then echo "needs root to make the simulator's link in /dev"; return 0; fi
    local tool package
    for tool in Xvfb:xvfb xdotool:xdotool xwininfo:x11-utils perl:perl; do
        package="${tool#*:}"
        tool="${tool%%:*}"
        if ! command -v "$tool" >/dev/null; then
            echo "$tool is not installed (bash scripts/install-deps.sh installs $package)"
            return 0
        fi
    done
    return 1
}

# ---- waiting helpers: every wait has a time-out, nothing sleeps blindly for long

# Polls a command until it succeeds, for at most $1 seconds.
wait_until() {
    local timeout="$1"
    shift
    local deadline=$((SECONDS + timeout))
    until "$@"; do
        ((SECONDS < deadline)) || return 1
        sleep 0.05
    done
}

# The visible windows whose title matches the regular expression, one id a line.
visible_windows() { xdotool search --onlyvisible --name "$1" 2>/dev/null; }

program_alive() { [ -z "$RQ7_PID" ] || kill -0 "$RQ7_PID" 2>/dev/null; }

# Waits for a visible window whose whole title is $1 and prints its id. Gives up at the time-out or
# as soon as the program has ended.
wait_window() { # title timeout
    local deadline=$((SECONDS + $2)) id
    while ((SECONDS < deadline)) && program_alive; do
        id="$(timeout 1 xdotool search --sync --onlyvisible --name "^$1\$" 2>/dev/null | head -n 1)"
        if [ -n "$id" ]; then
            echo "$id"
            return 0
        fi
    done
    return 1
}

window_size() { xdotool getwindowgeometry "$1" 2>/dev/null | sed -n 's/.*Geometry: \([0-9]*x[0-9]*\).*/\1/p'; }

# The program's message boxes and its password dialog are all titled "rq7" (the application title;
# the password dialog has no caption of its own), and so are its open menus. xdotool's --name finds
# the first two only by a case-insensitive pattern that also fits "Работа с RQ7", and the menus not
# at all, so the visible windows are listed and their titles compared. Menus are override-redirect
# windows; the password dialog is the one of 280 x 186.
PASSWORD_SIZE="280x186"
override_redirect() { xwininfo -id "$1" 2>/dev/null | grep -q "Override Redirect State: yes"; }
find_rq7_window() { # wanted: password | box | menu
    local id size
    for id in $(visible_windows ''); do
        [ "$(xdotool getwindowname "$id" 2>/dev/null)" = "rq7" ] || continue
        size="$(window_size "$id")"
        if override_redirect "$id"; then
            [ "$1" = menu ] && { echo "$id"; return 0; }
            continue
        fi
        case "$1" in
        password) [ "$size" = "$PASSWORD_SIZE" ] && { echo "$id"; return 0; } ;;
        box) [ "$size" != "$PASSWORD_SIZE" ] && { echo "$id"; return 0; } ;;
        esac
    done
    return 1
}
wait_rq7_window() { # wanted timeout
    local deadline=$((SECONDS + $2)) id
    while ((SECONDS < deadline)) && program_alive; do
        if id="$(find_rq7_window "$1")"; then
            echo "$id"
            return 0
        fi
        sleep 0.05
    done
    return 1
}
window_gone() { ! visible_windows '' | grep -qx "$1"; }
wait_gone() { wait_until "$2" window_gone "$1"; }

focus() { xdotool windowfocus --sync "$1" 2>/dev/null || true; }
press() { xdotool key --delay 40 "$@"; }
type_text() { xdotool type --delay 25 "$1"; }

# The centre of a widget of a form, from the form's .ui file (its geometry relative to the window).
ui_centre() { # form widget
    awk -v name="$2" '
        index($0, "name=\"" name "\"") { found = 1 }
        found && /<x>/      { gsub(/[^0-9]/, ""); x = $0 }
        found && /<y>/      { gsub(/[^0-9]/, ""); y = $0 }
        found && /<width>/  { gsub(/[^0-9]/, ""); w = $0 }
        found && /<height>/ { gsub(/[^0-9]/, ""); h = $0 }
        found && /<\/rect>/ { printf "%d %d\n", x + w / 2, y + h / 2; exit }
    ' "$UI_DIR/$1.ui"
}
click_widget() { # window form widget
    local xy
    xy="$(ui_centre "$2" "$3")"
    [ -n "$xy" ] || abort "no geometry for $3 in $2.ui"
    # shellcheck disable=SC2086
    xdotool mousemove --window "$1" $xy click 1
}

# Main menu: click "Настройки" (the first title of the menu bar), then walk with the keyboard:
# each "Right" moves to the next title (its first item is then selected), each "Down" to the next item.
menu() { # keys...
    # Other windows may lie over the main window (the channel limits window is centred over it):
    # bring it to the front first, as a person would from the task bar.
    xdotool windowraise "$MAIN"
    xdotool mousemove --window "$MAIN" 30 10 click 1
    wait_until 5 find_rq7_window menu >/dev/null || abort "the menu did not open"
    press "$@"
}

# ---- the simulator's line log (rq7sim --verbose): "<- request  00 03 01 01 ..."
count_requests() { grep -c -- "<- request  $1" "$WORK/sim.log"; }
count_replies_to() { grep -A1 -- "<- request  $1" "$WORK/sim.log" | grep -c -- "-> reply"; }
requests_at_least() { [ "$(count_requests "$1")" -ge "$2" ]; }
replies_at_least() { [ "$(count_replies_to "$1")" -ge "$2" ]; }

screenshot() { import -display "$DISPLAY" -window "${2:-root}" "$WORK/$1.png" 2>/dev/null || true; }

# ---- the session: an X server, COM1 held, the simulator behind $LINK

# A private X server; sets DISPLAY.
rq7_start_x() {
    : >"$WORK/display"
    Xvfb -displayfd 5 -screen 0 1280x1024x24 -nolisten tcp 5>"$WORK/display" >"$WORK/xvfb.log" 2>&1 &
    XVFB_PID=$!
    wait_until 20 test -s "$WORK/display" || abort "Xvfb did not start: $(cat "$WORK/xvfb.log")"
    DISPLAY=":$(head -n 1 "$WORK/display")"
    export DISPLAY
    log "X server on $DISPLAY"
}

# The simulator behind the link $1, its line in $WORK/sim.log and its block in $WORK/dump.txt when it
# ends; sets SIM_DEVICE to its pseudo-terminal. A real adapter answers within milliseconds whatever the
# computer is doing; the simulator gets a higher priority so that a busy machine does not starve it
# past the program's reply waits.
rq7_start_simulator() {
    nice -n -10 "$RQ7SIM" --link "$1" --verbose --dump "$WORK/dump.txt" >"$WORK/sim.log" 2>&1 &
    SIM_PID=$!
    wait_until 10 grep -q "serving" "$WORK/sim.log" || abort "rq7sim did not start: $(cat "$WORK/sim.log")"
    SIM_DEVICE="$(sed -n 's/^rq7sim: adapter at address [0-9]* on \(.*\)$/\1/p' "$WORK/sim.log")"
}

rq7_start_session() {
    mkdir -p "$WORK/config" "$WORK/runtime"
    chmod 700 "$WORK/runtime"
    rq7_start_x

    # COM1 (/dev/ttyS0) is held the way another program holds a port (an exclusive lock), so the
    # program's first opening fails the same way on every machine.
    if [ -e /dev/ttyS0 ]; then
        perl -MFcntl=:DEFAULT,:flock -e '
            sysopen(my $f, "/dev/ttyS0", O_RDWR | O_NONBLOCK | O_NOCTTY) or exit 0;
            flock($f, LOCK_EX | LOCK_NB); $| = 1; print "held\n"; sleep 3600' >"$WORK/hold.log" 2>&1 &
        HOLD_PID=$!
        wait_until 5 test -s "$WORK/hold.log" || true
    fi

    rq7_start_simulator "$LINK"
    log "simulator on $SIM_DEVICE behind $LINK"
}

# Starts rq7 in $WORK with its own settings folder; the port failure box of the start is left to the
# caller.
rq7_start_program() {
    # Under the sanitizers, leaks of the libraries behind the X platform are not the program's.
    local lsan
    lsan="suppressions=$(realpath "$(dirname "${BASH_SOURCE[0]}")")/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
    # Its service record goes into a store of the run's own, never the user's.
    (cd "$WORK" && exec env QT_QPA_PLATFORM=xcb XDG_CONFIG_HOME="$WORK/config" XDG_DATA_HOME="$WORK/data" \
        XDG_RUNTIME_DIR="$WORK/runtime" RQ7_HISTORY="$WORK/history.sqlite" LSAN_OPTIONS="$lsan" \
        "$RQ7" >"$WORK/rq7.log" 2>&1) &
    RQ7_PID=$!
}

# Dismisses the port failure box of the start, finds the main window ($MAIN) and puts it where its
# form says (without a window manager it would sit at 0,0, and the channel limits window, centred
# over it, partly off the screen).
rq7_pass_start() {
    local box
    box="$(wait_window "Неудача при открытии порта" 60)" || abort "no port failure box at the start"
    [ -z "${1:-}" ] || screenshot "$1"
    focus "$box"
    press Return
    wait_gone "$box" 10 || abort "the port failure box did not close on Return"
    MAIN="$(wait_window "Работа с RQ7" 20)" || abort "the main window did not appear"
    xdotool windowmove --sync "$MAIN" 461 294
}

# Chooses the simulator's link in "Настройка порта" and presses OK.
rq7_choose_simulator() {
    local dlg
    menu Down Return
    dlg="$(wait_window "Настройка порта" 10)" || abort "no port setup dialog"
    focus "$dlg"
    type_text "$LINK_NAME" # a closed list selects the item that starts with the typed letters
    [ -z "${1:-}" ] || "$1" "$dlg"
    press Return
    wait_gone "$dlg" 10 || abort "the port setup dialog did not close on Return"
}

rq7_stop_session() {
    local pid
    for pid in "$RQ7_PID" "$SIM_PID" "$HOLD_PID" "$XVFB_PID"; do
        if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
            kill "$pid" 2>/dev/null
            wait "$pid" 2>/dev/null
        fi
    done
    RQ7_PID="" SIM_PID="" HOLD_PID="" XVFB_PID=""
    if [ -L "$LINK" ]; then rm -f "$LINK"; fi
}

