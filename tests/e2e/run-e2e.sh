#!/usr/bin/env bash
# The whole program in a real window, driven from outside as a person would.
#
#   run-e2e.sh RQ7 RQ7SIM UI_DIR
#
# Starts a private X server (Xvfb), the adapter simulator on a pseudo-terminal behind the link
# /dev/ttyRQ7E2E<pid>, and the real rq7 in a scratch folder, then uses the mouse and the keyboard
# (xdotool) on the real windows: dismisses the port failure box of the start (COM1 is held by this
# script, so the box always comes), chooses the simulator in "Настройка порта", opens
# "Технолог.режим" behind the first password, lets it read, sets the initial values, saves them
# through the real file dialog and writes them behind the second password, opens
# "Изм.границ пар-ров", switches the adapter by "Доп.режим" and ends the program by "Выход". Then it
# checks the saved coefficient file, "tmp.dat", the stored port settings and what the simulator
# received and holds (its --dump file).
#
# Needs root (the link in /dev), Xvfb and xdotool; without them it prints why and exits 77, which
# CTest counts as skipped. UI_DIR is the folder of the .ui forms: button positions come from there.
# Set RQ7_E2E_KEEP=1 to keep the scratch folder (screenshots, logs, files) after a pass too.
set -uo pipefail

[ $# -eq 3 ] || { echo "usage: run-e2e.sh RQ7 RQ7SIM UI_DIR"; exit 2; }
RQ7="$(realpath "$1")"
RQ7SIM="$(realpath "$2")"
UI_DIR="$(realpath "$3")"

skip() {
    echo "SKIPPED: end-to-end test: $*"
    exit 77
}
# shellcheck source=tests/e2e/lib.sh
source "$(dirname "$0")/lib.sh"
# shellcheck source=tests/e2e/checks.sh
source "$(dirname "$0")/checks.sh"
if reason="$(rq7_missing)"; then skip "$reason"; fi
[ -x "$RQ7" ] || { echo "e2e: no program at $RQ7"; exit 1; }
[ -x "$RQ7SIM" ] || { echo "e2e: no simulator at $RQ7SIM"; exit 1; }

WORK="$(mktemp -d /tmp/rq7-e2e.XXXXXX)"
E2E_NAME="e2e"
E2E_PROGRAM="rq7"
STEP="start"

cleanup() {
    rq7_stop_session
    e2e_leave_work RQ7_E2E_KEEP
}
trap cleanup EXIT

# ---- set-up
log "scratch folder $WORK"
mkdir -p "$WORK/saved"
rq7_start_session

STEP="start-up"
rq7_start_program
rq7_pass_start "01-port-failure"
pass
log "main window $MAIN"

# ---- port setup: choose the simulator's link
STEP="port setup"
log "$STEP"
shot_port_setup() { screenshot "02-port-setup"; }
rq7_choose_simulator shot_port_setup
port_open() { for fd in /proc/"$RQ7_PID"/fd/*; do [ "$(readlink "$fd")" = "$SIM_DEVICE" ] && return 0; done; return 1; }
check "the program holds the simulator's device open after OK" wait_until 10 port_open
REG="$WORK/config/rq7/HKEY_CURRENT_USER.reg"
check "the chosen port is stored in $REG" grep -q "^\"Port\"=\"$LINK_NAME\"" "$REG"
check "nothing was sent before the port was chosen" test "$(count_requests '')" -eq 0

# ---- technological mode: password, read
STEP="technological mode: opening"
log "$STEP"
menu Right Down Down Return
PW="$(wait_rq7_window password 10)" || abort "no password dialog for the technological mode"
focus "$PW"
type_text "Vosek"
press Return
TECH="$(wait_window "Технолог.режим работы с коэффициентами RQ7" 10)" || abort "the technological mode window did not open"
log "technological mode window $TECH"
e2e_check_tech_read

# ---- initial values, save, write with both passwords
STEP="technological mode: write"
log "$STEP"
e2e_ask_write "$TECH"
screenshot "03-save-question"
focus "$QUESTION"
press Return # "Да": save
SAVE="$(wait_window "(Сохранить как|Save As)" 10)" || abort "no save dialog"
focus "$SAVE"
press ctrl+a
type_text "$WORK/saved/coef-e2e" # no extension: the dialog appends ".dat"
screenshot "04-save-dialog"
press Return
wait_gone "$SAVE" 10 || abort "the save dialog did not close"
PW="$(wait_rq7_window password 10)" || abort "no password dialog for the write"
focus "$PW"
type_text "Trimel"
press Return
CONFIRM="$(wait_rq7_window box 10)" || abort "no confirmation after the second password"
focus "$CONFIRM"
press Return # "Да": program
e2e_check_written
screenshot "05-after-write"

SAVED="$WORK/saved/coef-e2e.dat"
e2e_check_coef_file "$SAVED" "the coefficient file is saved as $SAVED"

# ---- channel limits window: the opening read writes tmp.dat
STEP="channel limits"
log "$STEP"
identifies_before="$(count_requests '00 03 00 00 00 07')"
menu Right Return
wait_window "Коэффициенты адаптера RQ7" 10 >/dev/null || abort "the channel limits window did not open"
e2e_check_limits_read "$identifies_before" "$WORK"
check "no message after a good read" test -z "$(find_rq7_window box)"
screenshot "06-limits"

# ---- "Доп.режим": the adapter is switched into byte-by-byte translation and the program says so
STEP="additional mode"
log "$STEP"
e2e_additional_mode 07-additional-mode focus

# ---- "Выход" ends the program and closes the port
STEP="exit"
log "$STEP"
menu Right Right Return
if wait_until 15 program_ended; then
    e2e_check_ended_well
else
    screenshot "failure-exit"
    fail "the program is still running 15 s after \"Выход\" (visible windows: $(for w in $(visible_windows ''); do printf '[%s] ' "$(xdotool getwindowname "$w")"; done))"
fi

# ---- what the adapter holds and received
STEP="adapter"
log "$STEP"
if e2e_check_adapter; then
    slots_written="$(awk '$1 == "request" && $4 == "10" { printf "%s%s,", $5, $6 }' "$WORK/dump.txt")"
    check "slots written in order 1..16" test "$slots_written" = \
        "0101,0103,0105,0107,0109,010B,010D,010F,0111,0113,0115,0117,0119,011B,011D,011F,"
fi

e2e_finish
