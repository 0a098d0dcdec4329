# shellcheck shell=bash
# rq7cli.exe under Wine, against the native simulator on the COM port the prefix maps to it. Sourced
# by run-win-e2e.sh, whose checks these add to (check, pass, fail, abort, log, rq7_start_simulator,
# wine_path); run win_cli_checks APP_DIR PORT once the program's own run has ended and the simulator
# of that run has been stopped.
#
# Each part gets a fresh simulator (its dump, in $WORK/dump.txt, is what the adapter held):
#   - `read --json --output` into the Cyrillic start folder: exit 0, the slots printed are the
#     adapter's, the file is the 15-line coefficient file; the plain read prints "Зав.№" in UTF-8;
#     `ports` lists the port;
#   - that file, changed, written back behind both passwords (given on standard input): exit 0, the
#     read-back agrees, and the adapter holds the new values; a wrong password: exit 6, nothing sent;
#   - that write in the service record (a store in the Cyrillic folder): begun with the block found, done
#     with the block the adapter holds; its protocol a PDF with the Russian title;
#   - an adapter that never answers (rq7sim --lose 100, a simulator of its own): exit 3 with "Нет ответа" in UTF-8, nothing
#     printed on standard output; a missing port: exit 2 naming it with the windows' message;
#   - the session end asked again and again (QUERY_END_SESSION, tests/win/wine/query-end-session.c)
#     while a write runs: refused during the block, allowed after it (during the read-back);
#   - the console's code page: cmd.exe in a terminal (script) set to 866 keeps 866 after rq7cli, which
#     shows its Russian message there all the same.

# Runs rq7cli.exe from the start folder: standard output into $1, standard error into $2, standard
# input from $3 (a file, or /dev/null); sets CLI_STATUS.
cli_run() {
    local out="$1" err="$2" in="$3"
    shift 3
    # A UTF-8 locale, so that Wine hands the Cyrillic file names to the program as they are.
    (cd "$START_DIR" && exec env LC_ALL=C.UTF-8 LD_PRELOAD="$MODEM_LINES" timeout -k 10 120 wine "$CLI_APP/rq7cli.exe" "$@") \
        >"$out" 2>"$err" <"$in"
    CLI_STATUS=$?
}

# Stops the simulator of a part; its dump is then in $WORK/dump.txt.
cli_stop_simulator() {
    kill -TERM "$SIM_PID"
    wait "$SIM_PID"
    SIM_PID=""
}

# The bytes of a UTF-8 text are in a file (a file in another encoding does not have them).
has_utf8() { LC_ALL=C grep -qF -- "$2" "$1"; }

win_cli_checks() {
    CLI_APP="$1"
    local port="$2" json="$WORK/cli-read.json" err="$WORK/cli-read.err" file="$START_DIR/блок.dat"
    [ -f "$CLI_APP/rq7cli.exe" ] || { fail "no rq7cli.exe beside rq7.exe"; return; }

    # ---- read
    STEP="rq7cli: read"
    log "$STEP"
    rq7_start_simulator "$WORK/ttyRQ7"
    cli_run "$WORK/cli-ports.out" "$WORK/cli-ports.err" /dev/null ports
    check "rq7cli ports ends with exit 0 (got $CLI_STATUS)" test "$CLI_STATUS" -eq 0
    check "rq7cli ports lists $port ($(tr '\r\n' '  ' <"$WORK/cli-ports.out"))" \
        grep -qx "$port" <(tr -d '\r' <"$WORK/cli-ports.out")
    cli_run "$json" "$err" /dev/null read --port "$port" --json --output "$(wine_path "$file")"
    check "rq7cli read --json ends with exit 0 (got $CLI_STATUS: $(cat "$err"))" test "$CLI_STATUS" -eq 0
    cli_run "$WORK/cli-read.out" "$err" /dev/null read --port "$port"
    check "rq7cli read ends with exit 0 (got $CLI_STATUS: $(cat "$err"))" test "$CLI_STATUS" -eq 0
    check "rq7cli read prints \"Зав.№ 0101001\" in UTF-8 ($(head -c 300 "$WORK/cli-read.out"))" \
        has_utf8 "$WORK/cli-read.out" "Зав.№ 0101001"
    cli_stop_simulator
    check "the slots rq7cli read are those the adapter holds" python3 - "$json" "$WORK/dump.txt" <<'EOF'
import json, sys
shown = json.load(open(sys.argv[1], encoding="utf-8"))
image = next(l.split()[1:] for l in open(sys.argv[2]) if l.startswith("image "))
held = ["".join(image[4 * k:4 * k + 4]) for k in range(1, 17)]
sys.exit(0 if [s.upper() for s in shown["slots"]] == held and shown["checksum_ok"] is True else 1)
EOF
    check "the coefficient file is in the Cyrillic folder: 15 lines with CR LF, the factory number on line 3" \
        python3 - "$file" <<'EOF'
import sys
data = open(sys.argv[1], "rb").read()
lines = data.split(b"\r\n")
sys.exit(0 if data.endswith(b"\r\n") and len(lines) == 16 and lines[2] == b"0101001" else 1)
EOF

    # ---- write the file back, changed; a wrong password first
    STEP="rq7cli: write"
    log "$STEP"
    rq7_start_simulator "$WORK/ttyRQ7"
    local changed="$START_DIR/новый.dat"
    python3 - "$file" "$changed" <<'EOF'
import sys
lines = open(sys.argv[1], "rb").read().split(b"\r\n")
lines[2] = b"0202002"   # the factory number
lines[3] = b"1234.5"    # channel 1 at 20 mA
open(sys.argv[2], "wb").write(b"\r\n".join(lines))
EOF
    printf 'Vosek\nwrong\n' >"$WORK/cli-wrong-passwords"
    local history
    history="$(wine_path "$START_DIR/журнал.sqlite")"
    cli_run "$WORK/cli-wrong.out" "$WORK/cli-wrong.err" "$WORK/cli-wrong-passwords" write "$(wine_path "$changed")" --port "$port" --history "$history"
    check "a wrong second password ends with exit 6 (got $CLI_STATUS)" test "$CLI_STATUS" -eq 6
    check "a wrong password says so in UTF-8 ($(cat "$WORK/cli-wrong.err"))" has_utf8 "$WORK/cli-wrong.err" "Пароль введен неверно!"
    check "a wrong password sends nothing" test "$(count_requests '')" -eq 0
    printf 'Vosek\nTrimel\n' >"$WORK/cli-passwords"
    cli_run "$WORK/cli-write.out" "$WORK/cli-write.err" "$WORK/cli-passwords" write "$(wine_path "$changed")" --port "$port" --history "$history"
    check "rq7cli write ends with exit 0 (got $CLI_STATUS: $(cat "$WORK/cli-write.err"))" test "$CLI_STATUS" -eq 0
    check "rq7cli write says the read-back agrees, in UTF-8" \
        has_utf8 "$WORK/cli-write.out" "Проверка записи: все 16 слотов совпадают с записанным"
    cli_stop_simulator
    check "the adapter holds the new value of channel 1 at 20 mA" grep -qx 'slot 1 .* value 1234.5' "$WORK/dump.txt"
    check "the adapter holds the new factory number" grep -qx 'slot 13 .* number 202002' "$WORK/dump.txt"
    check "the adapter holds today's date" grep -qE "^slot 14 .* date .* $(date +%-d.%-m.%Y)\$" "$WORK/dump.txt"
    check "the block the adapter holds has a good checksum" grep -qx 'slot 16 .* checksum good' "$WORK/dump.txt"

    # ---- the service record of that write, and its protocol
    STEP="rq7cli: history and report"
    log "$STEP"
    local protocol="$START_DIR/протокол.pdf"
    cli_run "$WORK/cli-history.json" "$WORK/cli-history.err" /dev/null history --json --history "$history"
    check "rq7cli history ends with exit 0 (got $CLI_STATUS: $(cat "$WORK/cli-history.err"))" test "$CLI_STATUS" -eq 0
    check "the write is recorded twice: begun with the block found, then done with the block left" \
        python3 - "$WORK/cli-history.json" "$WORK/dump.txt" <<'EOF'
import json, sys
records = json.load(open(sys.argv[1], encoding="utf-8"))
writes = [r for r in records if r["operation"] == "write"]
image = next(l.split()[1:] for l in open(sys.argv[2]) if l.startswith("image "))
held = ["".join(image[4 * k:4 * k + 4]) for k in range(1, 17)]
ok = (len(writes) == 2 and writes[1]["outcome"]["message"] == "begun" and writes[0]["outcome"]["code"] == 0
      and writes[0]["factory_number"] == 202002 and writes[1]["as_found"]["checksum_ok"] is True
      and [s.upper() for s in writes[0]["as_left"]["sent"]] == held)
sys.exit(0 if ok else 1)
EOF
    cli_run "$WORK/cli-report.out" "$WORK/cli-report.err" /dev/null report --factory-number 0202002 \
        --pdf "$(wine_path "$protocol")" --history "$history"
    check "rq7cli report ends with exit 0 (got $CLI_STATUS: $(cat "$WORK/cli-report.err"))" test "$CLI_STATUS" -eq 0
    check "the protocol is a PDF whose text has its Russian title" \
        sh -c 'head -c 5 "$1" | grep -q "%PDF-" && pdftotext "$1" - | grep -q "Протокол настройки адаптера RQ7"' _ "$protocol"

    # ---- an adapter that never answers, and a port that is missing
    STEP="rq7cli: no answer"
    log "$STEP"
    nice -n -10 "$RQ7SIM" --link "$WORK/ttyRQ7" --verbose --lose 100 >"$WORK/sim.log" 2>&1 &
    SIM_PID=$!
    wait_until 10 grep -q "serving" "$WORK/sim.log" || abort "rq7sim did not start: $(cat "$WORK/sim.log")"
    cli_run "$WORK/cli-silent.out" "$WORK/cli-silent.err" /dev/null read --port "$port"
    check "a silent adapter: exit 3 (got $CLI_STATUS)" test "$CLI_STATUS" -eq 3
    check "a silent adapter: \"Нет ответа\" in UTF-8 ($(cat "$WORK/cli-silent.err"))" has_utf8 "$WORK/cli-silent.err" "Нет ответа"
    check "a silent adapter: nothing on standard output" test ! -s "$WORK/cli-silent.out"
    cli_stop_simulator
    cli_run "$WORK/cli-missing.out" "$WORK/cli-missing.err" /dev/null read --port COM1
    check "a missing port: exit 2 (got $CLI_STATUS)" test "$CLI_STATUS" -eq 2
    check "a missing port: the windows' message naming COM1, in UTF-8 ($(cat "$WORK/cli-missing.err"))" \
        has_utf8 "$WORK/cli-missing.err" "Неудача при открытии порта: Вероятно, выполняется другая программа, открывшая порт COM1."

    # ---- the session end during a write
    STEP="rq7cli: the session end during a write"
    log "$STEP"
    rq7_start_simulator "$WORK/ttyRQ7"
    (exec env -u DISPLAY timeout -k 10 150 wine "$QUERY_END_SESSION" --class "rq7cli session end" 120) \
        >"$WORK/cli-session.out" 2>&1 </dev/null &
    local asker=$!
    cli_run "$WORK/cli-session-write.out" "$WORK/cli-session-write.err" "$WORK/cli-passwords" write "$(wine_path "$changed")" --port "$port"
    wait "$asker"
    local asked=$?
    cli_stop_simulator
    check "rq7cli write with the session end asked ends with exit 0 (got $CLI_STATUS: $(cat "$WORK/cli-session-write.err"))" \
        test "$CLI_STATUS" -eq 0
    check "rq7cli refuses the session end during the block and allows it after (status $asked: $(tr '\n' ' ' <"$WORK/cli-session.out"))" \
        test "$asked" -eq 0 -a "$(tr -d '\r' <"$WORK/cli-session.out")" = "$(printf 'refused\nallowed')"

    # ---- the console's code page, in cmd.exe on a terminal (Wine gives cmd a console only there)
    STEP="rq7cli: the console's code page"
    log "$STEP"
    if ! command -v script >/dev/null; then
        log "SKIPPED: the code page check needs script (util-linux) for a terminal"
        return
    fi
    (cd "$START_DIR" && timeout -k 10 120 script -qec \
        "wine cmd /c \"chcp 866 & $(wine_path "$CLI_APP/rq7cli.exe" | sed 's/\\/\\\\/g') read --port COM1 & chcp\"" /dev/null) \
        </dev/null >"$WORK/cli-chcp.raw" 2>&1
    # The console's drawing: its control sequences away, its lines as shown.
    sed -E 's/\x1b\[[0-9;?]*[A-Za-z]//g' "$WORK/cli-chcp.raw" | tr '\r' '\n' >"$WORK/cli-chcp.out"
    local pages
    pages="$(tr -d ' ' <"$WORK/cli-chcp.out" | grep -io 'codepage:[0-9]*' | tr '\n' ' ')"
    if [ "${pages%% *}" != "codepage:866" ]; then
        log "SKIPPED: chcp 866 did not take effect in Wine's cmd (it says: ${pages:-nothing})"
        return
    fi
    check "the console's code page is 866 after rq7cli as before it ($pages)" \
        test "$pages" = "codepage:866 codepage:866 "
    check "rq7cli's Russian message shows in the console set to 866" grep -q "Неудача при открытии порта" "$WORK/cli-chcp.out"
}
