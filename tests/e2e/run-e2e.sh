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
if reason="$(rq7_missing)"; then skip "$reason"; fi
[ -x "$RQ7" ] || { echo "e2e: no program at $RQ7"; exit 1; }
[ -x "$RQ7SIM" ] || { echo "e2e: no simulator at $RQ7SIM"; exit 1; }

WORK="$(mktemp -d /tmp/rq7-e2e.XXXXXX)"
PASSED=0
FAILED=0
STEP="start"
T0=$SECONDS

log() { echo "e2e [$((SECONDS - T0))s] $*"; }

cleanup() {
    rq7_stop_session
    if [ "$FAILED" -eq 0 ] && [ -z "${RQ7_E2E_KEEP:-}" ] && [ "$STEP" = "done" ]; then
        rm -rf "$WORK"
    else
        echo "e2e: logs, files and screenshots kept in $WORK"
    fi
}
trap cleanup EXIT

pass() { PASSED=$((PASSED + 1)); }
fail() {
    FAILED=$((FAILED + 1))
    echo "e2e: FAILED ($STEP): $*"
}
check() { # check "what" command...
    local what="$1"
    shift
    if "$@"; then pass; else fail "$what"; fi
}
# A step that cannot go on: record it, save the screen and stop.
abort() {
    fail "$*"
    screenshot "failure"
    echo "e2e: stopped; $PASSED checks passed, $FAILED failed"
    echo "---- rq7 output"; cat "$WORK/rq7.log" 2>/dev/null
    echo "---- simulator output (last 20 lines)"; tail -n 20 "$WORK/sim.log" 2>/dev/null
    exit 1
}

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
check "the opening read reaches slot 16" wait_until 30 replies_at_least "00 03 01 1F" 1
check "the opening read asks for every slot once" test "$(count_requests '00 03 01 0[13579BDF]')" -eq 8 -a \
    "$(count_requests '00 03 01 1[13579BDF]')" -eq 8
check "no message after a good read" test -z "$(find_rq7_window box)"

# ---- initial values, save, write with both passwords
STEP="technological mode: write"
log "$STEP"
# The window is enabled once the read has finished (after the last slot's 50 ms wait and the
# checksum check); a click before that is lost, so the question of the write is awaited and the
# clicks repeated a few times.
sleep 0.3
QUESTION=""
for _ in 1 2 3 4 5; do
    click_widget "$TECH" TechKoefUnit NachButton
    click_widget "$TECH" TechKoefUnit WriteButton
    if QUESTION="$(wait_rq7_window box 3)"; then break; fi
done
[ -n "$QUESTION" ] || abort "no save question after the write button"
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
check "all 16 slots are written" wait_until 30 replies_at_least "00 10 01 1F" 1
check "each slot is written once" test "$(count_requests '00 10 01 [01][13579BDF] 00 02 04')" -eq 16
screenshot "05-after-write"

SAVED="$WORK/saved/coef-e2e.dat"
check "the coefficient file is saved as $SAVED" test -f "$SAVED"
if [ -f "$SAVED" ]; then
    mapfile -t lines < <(tr -d '\r' <"$SAVED")
    expected=(1 DATE 0101001 1010 630 16 4 85 -40 16 4 200 1.5 16 4)
    check "the coefficient file has 15 lines" test "${#lines[@]}" -eq 15
    check "every line of the coefficient file ends with CR LF" \
        test "$(grep -c $'\r$' "$SAVED")" -eq 15
    for i in "${!expected[@]}"; do
        if [ "${expected[$i]}" = DATE ]; then
            check "line 2 is the saving time" \
                grep -qE '^[0-3][0-9]/[01][0-9]/20[0-9]{2}\([0-2][0-9]:[0-5][0-9]:[0-5][0-9]\)$' <<<"${lines[$i]:-}"
        else
            check "line $((i + 1)) of the coefficient file is ${expected[$i]} (got '${lines[$i]:-}')" \
                test "${lines[$i]:-}" = "${expected[$i]}"
        fi
    done
fi

# ---- channel limits window: the opening read writes tmp.dat
STEP="channel limits"
log "$STEP"
identifies_before="$(count_requests '00 03 00 00 00 07')"
menu Right Return
wait_window "Коэффициенты адаптера RQ7" 10 >/dev/null || abort "the channel limits window did not open"
check "the opening read identifies the adapter again" wait_until 10 requests_at_least '00 03 00 00 00 07' $((identifies_before + 1))
check "the opening read reaches slot 16" wait_until 30 replies_at_least "00 03 01 1F" 2
backup_complete() { [ -f "$WORK/tmp.dat" ] && [ "$(grep -c $'\r$' "$WORK/tmp.dat")" -eq 8 ]; }
check "tmp.dat gets 8 lines" wait_until 10 backup_complete
if [ -f "$WORK/tmp.dat" ]; then
    expected_backup=$'1010.00\r\n630.00\r\n85.00\r\n-40.00\r\n200.00\r\n1.50\r\n4.00\r\n4.00\r\n'
    check "tmp.dat holds the limits just written (got: $(tr '\r\n' ' |' <"$WORK/tmp.dat"))" \
        test "$(cat "$WORK/tmp.dat"; echo x)" = "${expected_backup}x"
fi
check "no message after a good read" test -z "$(find_rq7_window box)"
screenshot "06-limits"

# ---- "Доп.режим": the adapter is switched into byte-by-byte translation and the program says so
STEP="additional mode"
log "$STEP"
menu Right Down Return
check "the switch request reaches the adapter" wait_until 10 requests_at_least "00 06 01 75 00 01 59 FD" 1
# The answer is collected until the line has been quiet for 800 ms; then comes the message.
BOX="$(wait_rq7_window box 10)" || abort "no message after \"Доп.режим\""
screenshot "07-additional-mode"
focus "$BOX"
press Return
wait_gone "$BOX" 10 || abort "the message of \"Доп.режим\" did not close on Return"
pass

# ---- "Выход" ends the program and closes the port
STEP="exit"
log "$STEP"
menu Right Right Return
program_ended() { ! kill -0 "$RQ7_PID" 2>/dev/null; }
if wait_until 15 program_ended; then
    pass
    wait "$RQ7_PID"
    status=$?
    check "the program ends with status 0 (got $status)" test "$status" -eq 0
    RQ7_PID=""
else
    screenshot "failure-exit"
    fail "the program is still running 15 s after \"Выход\" (visible windows: $(for w in $(visible_windows ''); do printf '[%s] ' "$(xdotool getwindowname "$w")"; done))"
fi

# ---- what the adapter holds and received
STEP="adapter"
log "$STEP"
kill -TERM "$SIM_PID"
wait "$SIM_PID"
SIM_PID=""
DUMP="$WORK/dump.txt"
if [ -f "$DUMP" ]; then
    expected_values=(1010 630 16 4 185 60 16 4 200 1.5 16 4)
    for k in $(seq 1 12); do
        got="$(sed -n "s/^slot $k .* value \(.*\)$/\1/p" "$DUMP")"
        check "slot $k holds ${expected_values[$((k - 1))]} (got '$got')" test "$got" = "${expected_values[$((k - 1))]}"
    done
    check "slot 13 holds the factory number 101001" grep -qx 'slot 13 .* number 101001' "$DUMP"
    today="$(date +%-d.%-m.%Y)"
    check "slot 14 holds today's date ($today)" grep -qE "^slot 14 .* date .* $today\$" "$DUMP"
    check "slot 15 holds the address 1" grep -qx 'slot 15 .* address 1' "$DUMP"
    check "the block's checksum is good" grep -qx 'slot 16 .* checksum good' "$DUMP"
    check "the only register written is the translation switch, with 1" \
        test "$(grep '^register' "$DUMP" | tr '\n' ' ')" = "register 373 1 "
    check "the adapter is in translation mode" grep -qx 'translation on' "$DUMP"
    check "no noise reached the adapter" test "$(grep -c '^noise' "$DUMP")" -eq 0
    # The order on the line: identify, 16 reads, 16 writes, identify, 16 reads.
    order="$(awk '$1 == "request" {
            f = $3 " " $4 " " $5 " " $6
            if (f == "00 03 00 00") printf "I"
            else if ($4 == "03") printf "r"
            else if ($4 == "10") printf "w"
            else if ($4 == "06") printf "t"
            else printf "?"
        }' "$DUMP")"
    check "requests in order: identify, 16 reads, 16 writes, identify, 16 reads, the switch (got $order)" \
        test "$order" = "I$(printf 'r%.0s' {1..16})$(printf 'w%.0s' {1..16})I$(printf 'r%.0s' {1..16})t"
    slots_written="$(awk '$1 == "request" && $4 == "10" { printf "%s%s,", $5, $6 }' "$DUMP")"
    check "slots written in order 1..16" test "$slots_written" = \
        "0101,0103,0105,0107,0109,010B,010D,010F,0111,0113,0115,0117,0119,011B,011D,011F,"
else
    fail "the simulator left no dump"
fi

STEP="done"
log "$PASSED checks passed, $FAILED failed"
echo "$PASSED passed, $FAILED failed"
[ "$FAILED" -eq 0 ]
