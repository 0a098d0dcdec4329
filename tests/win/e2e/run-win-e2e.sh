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
# block and requests the simulator ended with. During the write a helper asks the main window, as
# Windows does at shutdown, whether the session may end: refused during the block, allowed after it.
# Then rq7cli.exe reads and writes a fresh adapter's block on the same port, and its Russian messages
# are checked as UTF-8 (tests/win/e2e/cli-checks.sh).
# Last, TEST_WIN_WINDOWS_EXE (tests/win/ui) runs from a
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
# shellcheck source=tests/e2e/checks.sh
source "$ROOT/tests/e2e/checks.sh"
# shellcheck source=tests/win/wine/wine-prefix.sh
source "$HERE/../wine/wine-prefix.sh"
# shellcheck source=tests/win/e2e/cli-checks.sh
source "$HERE/cli-checks.sh"

WORK="$(mktemp -d /tmp/rq7-win-e2e.XXXXXX)"
START_DIR="$WORK/Иван/Документы" # the program starts here: a folder the ANSI code page cannot spell
PORT=COM5
E2E_NAME="win-e2e"
E2E_PROGRAM="rq7.exe"
STEP="start"

cleanup() {
    rq7_stop_session
    wine_stop_prefix
    e2e_leave_work RQ7_WIN_E2E_KEEP
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

# The helper that asks a window whether the session may end, as Windows does at shutdown.
QUERY_END_SESSION="$WORK/query-end-session.exe"
x86_64-w64-mingw32-gcc -O2 -Wall -Wextra -Werror -o "$QUERY_END_SESSION" "$ROOT/tests/win/wine/query-end-session.c" \
    -lshell32 || abort "cannot build tests/win/wine/query-end-session.c"

rq7_start_x
rq7_start_simulator "$WORK/ttyRQ7"
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
e2e_check_tech_read

# ---- initial values, save into the Cyrillic folder, write with both passwords
STEP="technological mode: write"
log "$STEP"
e2e_ask_write "$TECH"
press Return # "Да": save
SAVE="$(wait_window "(Сохранить как|Save As)" 10)" || abort "no save dialog"
press ctrl+a
type_text "coef-e2e" # in the folder the program started in; the dialog appends ".dat"
press Return
wait_gone "$SAVE" 10 || abort "the save dialog did not close"
wait_rq7_window password 10 >/dev/null || abort "no password dialog for the write (a message instead: $(find_rq7_window box))"
type_text "Trimel"
press Return
BOX="$(wait_rq7_window box 10)" || abort "no confirmation after the second password"
# The session end, asked of the main window again and again from before the write to after it. The
# helper has no display of its own (it only sends messages), so it cannot take the keyboard.
(exec env -u DISPLAY timeout -k 10 90 wine "$QUERY_END_SESSION" --title "Работа с RQ7" 60) \
    >"$WORK/session.out" 2>&1 </dev/null &
ASKER_PID=$!
sleep 2 # the helper is asking before the write begins
activate "$BOX"
press Return # "Да": program
e2e_check_written
wait "$ASKER_PID"
asked=$?
check "the main window refuses the session end during the write and allows it after (status $asked: $(tr '\n' ' ' <"$WORK/session.out"))" \
    test "$asked" -eq 0 -a "$(tr -d '\r' <"$WORK/session.out")" = "$(printf 'refused\nallowed')"
sleep 0.5
check "no message after the write" test -z "$(find_rq7_window box)"
screenshot "04-after-write"
shoot tech-window "$TECH"

SAVED="$START_DIR/coef-e2e.dat"
e2e_check_coef_file "$SAVED" "the coefficient file is saved in the Cyrillic folder as $SAVED (the folder holds: $(ls "$START_DIR"))"

# ---- channel limits window: the opening read writes tmp.dat where the program started
STEP="channel limits"
log "$STEP"
identifies_before="$(count_requests '00 03 00 00 00 07')"
menu Right Return
LIMITS="$(wait_window "Коэффициенты адаптера RQ7" 10)" || abort "the channel limits window did not open"
e2e_check_limits_read "$identifies_before" "$START_DIR"
sleep 0.5
check "no message after a good read" test -z "$(find_rq7_window box)"
screenshot "05-limits"
shoot limits-window "$LIMITS"

# ---- "Доп.режим": the adapter is switched into byte-by-byte translation and the program says so
STEP="additional mode"
log "$STEP"
e2e_additional_mode 06-additional-mode true

# ---- "Выход" ends the program
STEP="exit"
log "$STEP"
shoot main-window "$MAIN"
# "Выход" is a command of the menu bar itself: moving onto it closes the open menu, and a Return that
# Wine delivers while that menu's window is still going is lost. So Return comes once the menu has
# gone, and again (as a person would press it again) while the program still runs.
menu_gone() { ! find_rq7_window menu >/dev/null; }
menu Right Right
for _ in 1 2 3; do
    wait_until 5 menu_gone || true
    sleep 0.3
    press Return
    wait_until 5 program_ended && break
done
if wait_until 20 program_ended; then
    e2e_check_ended_well
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
e2e_check_adapter

# ---- rq7cli.exe, the command line, against fresh adapters on the same port
win_cli_checks "$APP" "$PORT"

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

e2e_finish
