#!/usr/bin/env bash
# The Windows program, whole, under Wine in a private X server, driven from outside as a person would
# (xdotool, as tests/e2e/run-e2e.sh drives the Linux one).
#
#   run-win-e2e.sh ZIP RQ7SIM MODEM_LINES_SO UI_DIR [TEST_WIN_WINDOWS_EXE]
#
# Unpacks the program's zip, makes a throwaway Wine prefix whose COM5 is the pseudo-terminal of the
# adapter simulator (rq7sim, native) and whose COM1 is missing, and starts rq7.exe in a folder named
# with Cyrillic letters. Then: the start-up failure box for COM1; "Доп.режим" with the port closed
# (the general error report); "Настройка порта" listing COM5 and opening it; "Технолог.режим" behind
# the first password and its read; the initial values, saved through the real file dialog into the
# Cyrillic folder, and written behind the second password; "Изм.границ пар-ров" and its tmp.dat;
# "Доп.режим"; "Выход". Then it checks the saved file, tmp.dat, the port settings read back from the
# prefix's registry (HKEY_CURRENT_USER\Software\Fendral\QUORB\Comport Settings\ComPort) and the
# block and requests the simulator ended with. Last, TEST_WIN_WINDOWS_EXE (tests/win/ui) runs from a
# copy of the program's folder, with its style, plugins and Russian texts, in the same X server.
#
# Ends with "N passed, N failed"; exits 77 (skipped) when Xvfb, xdotool or Wine is missing.
# RQ7_WIN_E2E_KEEP=1 keeps the scratch folder; RQ7_WIN_E2E_SHOTS=DIR copies the pictures of the
# Windows build into DIR (scripts/windows-e2e.sh --screenshots puts them in docs/img).
set -uo pipefail

[ $# -ge 4 ] || { echo "usage: run-win-e2e.sh ZIP RQ7SIM MODEM_LINES_SO UI_DIR [TEST_WIN_WINDOWS_EXE]"; exit 2; }
ZIP="$(realpath "$1")"
RQ7SIM="$(realpath "$2")"
MODEM_LINES="$(realpath "$3")"
UI_DIR="$(realpath "$4")"
TEST_WINDOWS="${5:+$(realpath "$5")}"
HERE="$(cd "$(dirname "$0")" && pwd)"
ROOT="$(cd "$HERE/../../.." && pwd)"

skip() {
    echo "SKIPPED: Windows end-to-end test: $*"
    exit 77
}
for tool in Xvfb:xvfb xdotool:xdotool xwininfo:x11-utils wine:wine unzip:unzip import:imagemagick python3:python3; do
    command -v "${tool%%:*}" >/dev/null || skip "${tool%%:*} is not installed (scripts/install-windows-deps.sh installs ${tool#*:})"
done
# shellcheck source=tests/e2e/lib.sh
source "$ROOT/tests/e2e/lib.sh"
# shellcheck source=tests/win/wine/wine-prefix.sh
source "$HERE/../wine/wine-prefix.sh"

WORK="$(mktemp -d /tmp/rq7-win-e2e.XXXXXX)"
START_DIR="$WORK/Иван/Документы" # the program starts here: a folder the ANSI code page cannot spell
PORT=COM5
PASSED=0
FAILED=0
STEP="start"
T0=$SECONDS

log() { echo "win-e2e [$((SECONDS - T0))s] $*"; }
pass() { PASSED=$((PASSED + 1)); }
fail() {
    FAILED=$((FAILED + 1))
    echo "win-e2e: FAILED ($STEP): $*"
}
check() { # check "what" command...
    local what="$1"
    shift
    if "$@"; then pass; else fail "$what"; fi
}
abort() {
    fail "$*"
    screenshot "failure"
    echo "win-e2e: stopped; $PASSED checks passed, $FAILED failed"
    echo "---- rq7.exe output"; cat "$WORK/rq7.log" 2>/dev/null
    echo "---- simulator output (last 20 lines)"; tail -n 20 "$WORK/sim.log" 2>/dev/null
    echo "$PASSED passed, $FAILED failed"
    exit 1
}
cleanup() {
    rq7_stop_session
    wine_stop_prefix
    if [ "$FAILED" -eq 0 ] && [ -z "${RQ7_WIN_E2E_KEEP:-}" ] && [ "$STEP" = "done" ]; then
        rm -rf "$WORK"
    else
        echo "win-e2e: logs, files and screenshots kept in $WORK"
    fi
}
trap cleanup EXIT

# A picture of one window for the README (with RQ7_WIN_E2E_SHOTS), taken with it in front.
shoot() { # name window
    [ -n "${RQ7_WIN_E2E_SHOTS:-}" ] || return 0
    xdotool windowraise "$2"
    sleep 0.3
    import -display "$DISPLAY" -window "$2" -strip "$WORK/shot-$1.png" 2>/dev/null || true
}
# Wine gives the keyboard to a window that has been clicked; a click on a window's own empty spot
# (its top-left corner, inside the frame) gives it the keyboard without pressing anything.
activate() { xdotool mousemove --window "$1" 3 3 click 1; }

# ---- set-up
log "scratch folder $WORK"
mkdir -p "$START_DIR" "$WORK/app"
unzip -q "$ZIP" -d "$WORK/app" || abort "cannot unpack $ZIP"
APP="$(dirname "$(find "$WORK/app" -name rq7.exe | head -n 1)")"
[ -f "$APP/rq7.exe" ] || abort "no rq7.exe in $ZIP"

: >"$WORK/display"
Xvfb -displayfd 5 -screen 0 1280x1024x24 -nolisten tcp 5>"$WORK/display" >"$WORK/xvfb.log" 2>&1 &
XVFB_PID=$!
wait_until 20 test -s "$WORK/display" || abort "Xvfb did not start: $(cat "$WORK/xvfb.log")"
DISPLAY=":$(head -n 1 "$WORK/display")"
export DISPLAY
log "X server on $DISPLAY"

# A real adapter answers within milliseconds whatever the computer is doing; the simulator gets a
# higher priority so that a busy machine does not starve it past the program's reply waits.
nice -n -10 "$RQ7SIM" --link "$WORK/ttyRQ7" --verbose --dump "$WORK/dump.txt" >"$WORK/sim.log" 2>&1 &
SIM_PID=$!
wait_until 10 grep -q "serving" "$WORK/sim.log" || abort "rq7sim did not start: $(cat "$WORK/sim.log")"
wine_make_prefix "COM1=" "$PORT=$WORK/ttyRQ7"
log "Wine prefix $WINEPREFIX, $PORT -> $(readlink "$WORK/ttyRQ7")"

# ---- start-up: COM1 is missing
STEP="start-up"
(cd "$START_DIR" && exec env LD_PRELOAD="$MODEM_LINES" wine "$APP/rq7.exe" >"$WORK/rq7.log" 2>&1 </dev/null) &
RQ7_PID=$!
BOX="$(wait_window "Неудача при открытии порта" 120)" || abort "no port failure box at the start"
pass
screenshot "01-port-failure"
shoot port-failure "$BOX"
activate "$BOX"
press Return
wait_gone "$BOX" 10 || abort "the port failure box did not close on Return"
MAIN="$(wait_window "Работа с RQ7" 20)" || abort "the main window did not appear"
log "main window $MAIN"

# ---- "Доп.режим" with the port closed: the port's failure in the general error report
STEP="additional mode, port closed"
menu Right Down Return
BOX="$(wait_rq7_window box 10)" || abort "no error report for \"Доп.режим\" with the port closed"
pass
screenshot "02-error-report"
press Return
wait_gone "$BOX" 10 || abort "the error report did not close on Return"
check "nothing reached the adapter with the port closed" test "$(count_requests '')" -eq 0

# ---- port setup: COM5 is listed and opened
STEP="port setup"
log "$STEP"
menu Down Return
DLG="$(wait_window "Настройка порта" 10)" || abort "no port setup dialog"
type_text "$PORT" # a closed list selects the item that starts with the typed letters
sleep 0.3
screenshot "03-port-setup"
shoot port-setup "$DLG"
click_widget "$DLG" TavixCPortSetup Button1 # OK
wait_gone "$DLG" 10 || abort "the port setup dialog did not close on OK"
check "no message after OK" test -z "$(find_rq7_window box)"

# ---- technological mode: password, read
STEP="technological mode: opening"
log "$STEP"
menu Right Down Down Return
wait_rq7_window password 10 >/dev/null || abort "no password dialog for the technological mode"
type_text "Vosek"
press Return
TECH="$(wait_window "Технолог.режим работы с коэффициентами RQ7" 10)" || abort "the technological mode window did not open"
check "the opening read reaches slot 16" wait_until 30 replies_at_least "00 03 01 1F" 1
check "the opening read asks for every slot once" test "$(count_requests '00 03 01 0[13579BDF]')" -eq 8 -a \
    "$(count_requests '00 03 01 1[13579BDF]')" -eq 8
check "no message after a good read" test -z "$(find_rq7_window box)"

# ---- initial values, save into the Cyrillic folder, write with both passwords
STEP="technological mode: write"
log "$STEP"
sleep 0.3 # the window is enabled once the read has finished; a click before that is lost
QUESTION=""
for _ in 1 2 3 4 5; do
    click_widget "$TECH" TechKoefUnit NachButton
    click_widget "$TECH" TechKoefUnit WriteButton
    if QUESTION="$(wait_rq7_window box 3)"; then break; fi
done
[ -n "$QUESTION" ] || abort "no save question after the write button"
press Return # "Да": save
SAVE="$(wait_window "(Сохранить как|Save As)" 10)" || abort "no save dialog"
press ctrl+a
type_text "coef-e2e" # in the folder the program started in; the dialog appends ".dat"
press Return
wait_gone "$SAVE" 10 || abort "the save dialog did not close"
wait_rq7_window password 10 >/dev/null || abort "no password dialog for the write (a message instead: $(find_rq7_window box))"
type_text "Trimel"
press Return
wait_rq7_window box 10 >/dev/null || abort "no confirmation after the second password"
press Return # "Да": program
check "all 16 slots are written" wait_until 30 replies_at_least "00 10 01 1F" 1
check "each slot is written once" test "$(count_requests '00 10 01 [01][13579BDF] 00 02 04')" -eq 16
sleep 0.5
check "no message after the write" test -z "$(find_rq7_window box)"
screenshot "04-after-write"
shoot tech-window "$TECH"

SAVED="$START_DIR/coef-e2e.dat"
check "the coefficient file is saved in the Cyrillic folder as $SAVED (the folder holds: $(ls "$START_DIR"))" test -f "$SAVED"
if [ -f "$SAVED" ]; then
    mapfile -t lines < <(tr -d '\r' <"$SAVED")
    expected=(1 DATE 0101001 1010 630 16 4 85 -40 16 4 200 1.5 16 4)
    check "the coefficient file has 15 lines" test "${#lines[@]}" -eq 15
    check "every line of the coefficient file ends with CR LF" test "$(grep -c $'\r$' "$SAVED")" -eq 15
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

# ---- channel limits window: the opening read writes tmp.dat where the program started
STEP="channel limits"
log "$STEP"
identifies_before="$(count_requests '00 03 00 00 00 07')"
menu Right Return
LIMITS="$(wait_window "Коэффициенты адаптера RQ7" 10)" || abort "the channel limits window did not open"
check "the opening read identifies the adapter again" wait_until 10 requests_at_least '00 03 00 00 00 07' $((identifies_before + 1))
check "the opening read reaches slot 16" wait_until 30 replies_at_least "00 03 01 1F" 2
backup_complete() { [ -f "$START_DIR/tmp.dat" ] && [ "$(grep -c $'\r$' "$START_DIR/tmp.dat")" -eq 8 ]; }
check "tmp.dat gets 8 lines" wait_until 10 backup_complete
if [ -f "$START_DIR/tmp.dat" ]; then
    expected_backup=$'1010.00\r\n630.00\r\n85.00\r\n-40.00\r\n200.00\r\n1.50\r\n4.00\r\n4.00\r\n'
    check "tmp.dat holds the limits just written (got: $(tr '\r\n' ' |' <"$START_DIR/tmp.dat"))" \
        test "$(cat "$START_DIR/tmp.dat"; echo x)" = "${expected_backup}x"
fi
sleep 0.5
check "no message after a good read" test -z "$(find_rq7_window box)"
screenshot "05-limits"
shoot limits-window "$LIMITS"

# ---- "Доп.режим": the adapter is switched into byte-by-byte translation and the program says so
STEP="additional mode"
log "$STEP"
menu Right Down Return
check "the switch request reaches the adapter" wait_until 10 requests_at_least "00 06 01 75 00 01 59 FD" 1
BOX="$(wait_rq7_window box 10)" || abort "no message after \"Доп.режим\""
screenshot "06-additional-mode"
press Return
wait_gone "$BOX" 10 || abort "the message of \"Доп.режим\" did not close on Return"
pass

# ---- "Выход" ends the program
STEP="exit"
log "$STEP"
shoot main-window "$MAIN"
# "Выход" is a command of the menu bar itself: moving onto it closes the open menu, and a Return that
# Wine delivers while that menu's window is still going is lost. So Return comes once the menu has
# gone, and again (as a person would press it again) while the program still runs.
menu_gone() { ! find_rq7_window menu >/dev/null; }
program_ended() { ! kill -0 "$RQ7_PID" 2>/dev/null; }
menu Right Right
for _ in 1 2 3; do
    wait_until 5 menu_gone || true
    sleep 0.3
    press Return
    wait_until 5 program_ended && break
done
if wait_until 20 program_ended; then
    pass
    wait "$RQ7_PID"
    status=$?
    check "the program ends with status 0 (got $status)" test "$status" -eq 0
    RQ7_PID=""
else
    screenshot "failure-exit"
    fail "the program is still running 20 s after \"Выход\""
fi

# ---- the port settings, read back from the prefix's registry (written to its file when the Wine
# server stops)
STEP="registry"
log "$STEP"
timeout 60 wineserver -w >/dev/null 2>&1 || true
timeout 60 wineserver -k >/dev/null 2>&1 || true
expected_registry="$(printf '%s\n' '"Port"="COM5"' '"BaudRate"="9600"' '"StopBits"="1"' '"DataBits"="8"' \
    '"Parity"="None"' '"FlowControl"="Custom"' '"EventChar"="#0"' '"DiscardNull"="No"' '"Parity.Check"="No"' \
    '"Parity.Replace"="No"' '"Parity.ReplaceChar"="#0"' '"Buffer.OutputSize"=dword:00000400' \
    '"Buffer.InputSize"=dword:00000400' '"Timeouts.ReadInterval"=dword:ffffffff' \
    '"Timeouts.ReadTotalConstant"=dword:00000000' '"Timeouts.ReadTotalMultiplier"=dword:00000000' \
    '"Timeouts.WriteTotalConstant"=dword:000003e8' '"Timeouts.WriteTotalMultiplier"=dword:00000064' \
    '"FlowControl.ControlRTS"="Enable"' '"FlowControl.ControlDTR"="Enable"' '"FlowControl.DSRSensitivity"="No"' \
    '"FlowControl.OutCTSFlow"="No"' '"FlowControl.OutDSRFlow"="No"' '"FlowControl.TxContinueOnXoff"="No"' \
    '"FlowControl.XonXoffIn"="No"' '"FlowControl.XonXoffOut"="No"' '"FlowControl.XoffChar"="#19"' \
    '"FlowControl.XonChar"="#17"' | sort)"
got_registry="$(python3 "$ROOT/scripts/windows-files.py" reg-key "$WINEPREFIX/user.reg" \
    'Software\Fendral\QUORB\Comport Settings\ComPort' | sort)"
check "the 28 port settings are under HKEY_CURRENT_USER\\Software\\Fendral\\QUORB\\Comport Settings\\ComPort
$(diff <(echo "$expected_registry") <(echo "$got_registry"))" test "$got_registry" = "$expected_registry"

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
else
    fail "the simulator left no dump"
fi

# ---- the window tests that need Windows, from a copy of the program's folder
if [ -n "$TEST_WINDOWS" ]; then
    STEP="window tests on Windows"
    log "$STEP"
    TESTS_DIR="$WORK/app-tests"
    cp -r "$APP" "$TESTS_DIR"
    cp "$TEST_WINDOWS" "$TESTS_DIR/"
    (cd "$TESTS_DIR" && timeout -k 10 300 wine "$TESTS_DIR/$(basename "$TEST_WINDOWS")") >"$WORK/test_win_windows.log" 2>&1 </dev/null
    status=$?
    cat "$WORK/test_win_windows.log"
    check "the window tests on Windows pass (status $status)" grep -qE '^\[  PASSED  \] [0-9]+ tests?\.' "$WORK/test_win_windows.log"
    check "the window tests on Windows had no failure" test "$status" -eq 0
fi

if [ -n "${RQ7_WIN_E2E_SHOTS:-}" ]; then
    mkdir -p "$RQ7_WIN_E2E_SHOTS"
    for shot in "$WORK"/shot-*.png; do
        [ -f "$shot" ] && cp "$shot" "$RQ7_WIN_E2E_SHOTS/windows-$(basename "$shot" | sed 's/^shot-//')"
    done
    log "pictures of the Windows build in $RQ7_WIN_E2E_SHOTS"
fi

STEP="done"
log "$PASSED checks passed, $FAILED failed"
echo "$PASSED passed, $FAILED failed"
[ "$FAILED" -eq 0 ]
