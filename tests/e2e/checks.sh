# shellcheck shell=bash
# Shared by the end-to-end tests of the Linux program (tests/e2e/run-e2e.sh) and of the Windows one
# under Wine (tests/win/e2e/run-win-e2e.sh): the counting of checks, and the checks both make of the
# same steps: the technological mode's read and write, the saved coefficient file, the channel limits
# window's read and tmp.dat, the program's end and what the simulator received and holds.
# Source it after lib.sh; set E2E_NAME (the test's name in its lines), E2E_PROGRAM (the program's
# name in the output shown on a stop), WORK and STEP.

PASSED=0
FAILED=0
T0=$SECONDS

log() { echo "$E2E_NAME [$((SECONDS - T0))s] $*"; }
pass() { PASSED=$((PASSED + 1)); }
fail() {
    FAILED=$((FAILED + 1))
    echo "$E2E_NAME: FAILED ($STEP): $*"
}
check() { # check "what" command...
    local what="$1"
    shift
    if "$@"; then pass; else fail "$what"; fi
}
# A step that cannot go on: record it, save the screen, show the outputs and stop.
abort() {
    fail "$*"
    screenshot "failure"
    echo "$E2E_NAME: stopped; $PASSED checks passed, $FAILED failed"
    echo "---- $E2E_PROGRAM output"; cat "$WORK/rq7.log" 2>/dev/null
    echo "---- simulator output (last 20 lines)"; tail -n 20 "$WORK/sim.log" 2>/dev/null
    echo "$PASSED passed, $FAILED failed"
    exit 1
}

# The scratch folder goes after a whole pass, unless the variable named $1 is set; else it is kept.
e2e_leave_work() {
    if [ "$FAILED" -eq 0 ] && [ -z "${!1:-}" ] && [ "$STEP" = "done" ]; then
        rm -rf "$WORK"
    else
        echo "$E2E_NAME: logs, files and screenshots kept in $WORK"
    fi
}

# The last lines; the status of the test.
e2e_finish() {
    STEP="done"
    log "$PASSED checks passed, $FAILED failed"
    echo "$PASSED passed, $FAILED failed"
    [ "$FAILED" -eq 0 ]
}

# ---- the technological mode

# Its opening read, once the window is open: every slot asked for once, no message.
e2e_check_tech_read() {
    check "the opening read reaches slot 16" wait_until 30 replies_at_least "00 03 01 1F" 1
    check "the opening read asks for every slot once" test "$(count_requests '00 03 01 0[13579BDF]')" -eq 8 -a \
        "$(count_requests '00 03 01 1[13579BDF]')" -eq 8
    check "no message after a good read" test -z "$(find_rq7_window box)"
}

# "Нач.знач." then the write button, in the window $1, until the question of saving comes; sets
# QUESTION to its id. The window is enabled once the read has finished (after the last slot's 50 ms
# wait and the checksum check); a click before that is lost, so the clicks are repeated a few times.
# shellcheck disable=SC2034 # QUESTION is for the caller
e2e_ask_write() {
    sleep 0.3
    QUESTION=""
    for _ in 1 2 3 4 5; do
        click_widget "$1" TechKoefUnit NachButton
        click_widget "$1" TechKoefUnit WriteButton
        if QUESTION="$(wait_rq7_window box 3)"; then return 0; fi
    done
    abort "no save question after the write button"
}

e2e_check_written() {
    check "all 16 slots are written" wait_until 30 replies_at_least "00 10 01 1F" 1
    check "each slot is written once" test "$(count_requests '00 10 01 [01][13579BDF] 00 02 04')" -eq 16
}

# The coefficient file saved with the initial values: $1 its path, $2 what the check of its being
# there says.
e2e_check_coef_file() {
    local saved="$1" lines expected i
    check "$2" test -f "$saved"
    [ -f "$saved" ] || return 0
    mapfile -t lines < <(tr -d '\r' <"$saved")
    expected=(1 DATE 0101001 1010 630 16 4 85 -40 16 4 200 1.5 16 4)
    check "the coefficient file has 15 lines" test "${#lines[@]}" -eq 15
    check "every line of the coefficient file ends with CR LF" test "$(grep -c $'\r$' "$saved")" -eq 15
    for i in "${!expected[@]}"; do
        if [ "${expected[$i]}" = DATE ]; then
            check "line 2 is the saving time" \
                grep -qE '^[0-3][0-9]/[01][0-9]/20[0-9]{2}\([0-2][0-9]:[0-5][0-9]:[0-5][0-9]\)$' <<<"${lines[$i]:-}"
        else
            check "line $((i + 1)) of the coefficient file is ${expected[$i]} (got '${lines[$i]:-}')" \
                test "${lines[$i]:-}" = "${expected[$i]}"
        fi
    done
}

# ---- the channel limits window

# Its opening read, once the window is open: $1 how many identifying requests came before it was
# opened, $2 the folder the program started in, where tmp.dat is written.
e2e_check_limits_read() {
    local backup="$2/tmp.dat" expected_backup
    check "the opening read identifies the adapter again" \
        wait_until 10 requests_at_least '00 03 00 00 00 07' $(($1 + 1))
    check "the opening read reaches slot 16" wait_until 30 replies_at_least "00 03 01 1F" 2
    check "tmp.dat gets 8 lines" wait_until 10 e2e_backup_complete "$backup"
    if [ -f "$backup" ]; then
        expected_backup=$'1010.00\r\n630.00\r\n85.00\r\n-40.00\r\n200.00\r\n1.50\r\n4.00\r\n4.00\r\n'
        check "tmp.dat holds the limits just written (got: $(tr '\r\n' ' |' <"$backup"))" \
            test "$(cat "$backup"; echo x)" = "${expected_backup}x"
    fi
}
e2e_backup_complete() { [ -f "$1" ] && [ "$(grep -c $'\r$' "$1")" -eq 8 ]; }

# ---- "Доп.режим"

# The adapter is switched into byte-by-byte translation and the program says so; the message is
# dismissed by Return, after `$2 window` gives it the keyboard where the window system does not
# ($1 names the screenshot of it). The answer is collected until the line has been quiet for 800 ms;
# then comes the message.
e2e_additional_mode() {
    local box
    menu Right Down Return
    check "the switch request reaches the adapter" wait_until 10 requests_at_least "00 06 01 75 00 01 59 FD" 1
    box="$(wait_rq7_window box 10)" || abort "no message after \"Доп.режим\""
    screenshot "$1"
    "$2" "$box"
    press Return
    wait_gone "$box" 10 || abort "the message of \"Доп.режим\" did not close on Return"
    pass
}

# ---- the end

program_ended() { ! kill -0 "$RQ7_PID" 2>/dev/null; }

# Once the program has ended: it ended with status 0.
e2e_check_ended_well() {
    local status
    pass
    wait "$RQ7_PID"
    status=$?
    check "the program ends with status 0 (got $status)" test "$status" -eq 0
    RQ7_PID=""
}

# Stops the simulator and checks the block it holds, the registers written and the order of the
# requests it received: identify, 16 reads, 16 writes, identify, 16 reads, the switch.
e2e_check_adapter() {
    local dump="$WORK/dump.txt" expected_values k got today order
    kill -TERM "$SIM_PID"
    wait "$SIM_PID"
    SIM_PID=""
    [ -f "$dump" ] || { fail "the simulator left no dump"; return 1; }
    expected_values=(1010 630 16 4 185 60 16 4 200 1.5 16 4)
    for k in $(seq 1 12); do
        got="$(sed -n "s/^slot $k .* value \(.*\)$/\1/p" "$dump")"
        check "slot $k holds ${expected_values[$((k - 1))]} (got '$got')" test "$got" = "${expected_values[$((k - 1))]}"
    done
    check "slot 13 holds the factory number 101001" grep -qx 'slot 13 .* number 101001' "$dump"
    today="$(date +%-d.%-m.%Y)"
    check "slot 14 holds today's date ($today)" grep -qE "^slot 14 .* date .* $today\$" "$dump"
    check "slot 15 holds the address 1" grep -qx 'slot 15 .* address 1' "$dump"
    check "the block's checksum is good" grep -qx 'slot 16 .* checksum good' "$dump"
    check "the only register written is the translation switch, with 1" \
        test "$(grep '^register' "$dump" | tr '\n' ' ')" = "register 373 1 "
    check "the adapter is in translation mode" grep -qx 'translation on' "$dump"
    check "no noise reached the adapter" test "$(grep -c '^noise' "$dump")" -eq 0
    order="$(awk '$1 == "request" {
            f = $3 " " $4 " " $5 " " $6
            if (f == "00 03 00 00") printf "I"
            else if ($4 == "03") printf "r"
            else if ($4 == "10") printf "w"
            else if ($4 == "06") printf "t"
            else printf "?"
        }' "$dump")"
    check "requests in order: identify, 16 reads, 16 writes, identify, 16 reads, the switch (got $order)" \
        test "$order" = "I$(printf 'r%.0s' {1..16})$(printf 'w%.0s' {1..16})I$(printf 'r%.0s' {1..16})t"
}
