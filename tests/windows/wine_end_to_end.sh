#!/usr/bin/env bash
# Whole updates by the Windows programs under Wine against the Linux simulated device, whose
# pseudo-terminal Wine publishes as a COM port: the command line (success with every page and a
# UTF-16 log.txt, a page reply that never comes, technology mode) and the window (-all -t, Start
# clicked with the mouse, the success box, a screenshot). Run by scripts/lanes/wine.sh, which
# sets up WINEPREFIX and a running wineserver.
# Usage: wine_end_to_end.sh WIN64_BIN_DIR LINUX_BIN_DIR SCREENSHOT_DIR
set -uo pipefail
win_bin=$1
linux_bin=$2
shots=$3
: "${WINEPREFIX:?}"

work=$(mktemp -d "${TMPDIR:-/tmp}/kvr-wine-e2e.XXXXXX")
devsim_pid=""
xvfb_pid=""
passed=0
failed=0
cleanup() {
    stop_devsim
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
    if [ "$failed" -gt 0 ] && [ -n "${KVR_KEEP_E2E:-}" ]; then
        echo "kept: $work"
    else
        rm -rf "$work"
    fi
}
trap cleanup EXIT

check() {  # check NAME CONDITION-STATUS [DETAIL]
    if [ "$2" -eq 0 ]; then
        passed=$((passed + 1))
        echo "  ok   $1"
    else
        failed=$((failed + 1))
        echo "  FAIL $1${3:+: $3}"
    fi
}

stop_devsim() {
    if [ -n "$devsim_pid" ]; then
        kill -TERM "$devsim_pid" 2>/dev/null
        wait "$devsim_pid" 2>/dev/null
        devsim_pid=""
    fi
}

# start_devsim PACKAGE REPORT [OPTIONS…]: serves the package on COM10.
start_devsim() {
    local package=$1 report=$2
    shift 2
    stop_devsim
    "$linux_bin/kvr-devsim" --package "$package" --report "$report" --restart-delay 200 "$@" \
        >"$work/devsim.out" 2>"$work/devsim.err" &
    devsim_pid=$!
    local pty=""
    for _ in $(seq 100); do
        pty=$(head -n 1 "$work/devsim.out" 2>/dev/null)
        [ -n "$pty" ] && break
        sleep 0.05
    done
    # COM10 leads here through Wine's port registry (scripts/lanes/wine.sh).
    ln -sfn "$pty" "$WINEPREFIX/devsim-port"
}

report_value() {  # report_value FILE KEY
    sed -n "s/^$2=//p" "$1" | head -n 1
}

# A folder of its own for each program, so that its log.txt and settings start empty.
install_exe() {  # install_exe NAME FOLDER
    mkdir -p "$2"
    cp "$win_bin/$1.exe" "$2/"
}

log_text() {  # the UTF-16LE log as UTF-8
    iconv -f UTF-16LE -t UTF-8 "$1" 2>/dev/null
}

# Wine's desktop process keeps the display its server started with: a display of our own
# means a server of our own.
if [ -z "${DISPLAY:-}" ]; then
    wineserver -k 2>/dev/null
    wineserver -w 2>/dev/null
    Xvfb :97 -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb_pid=$!
    export DISPLAY=:97
    sleep 1
fi

package=$work/kvr17.bsk
"$linux_bin/kvr-mkpackage" --out "$package" --pages 16 --hw 1,2 --programs 1.2.0.3 --seed 5 \
    >/dev/null
package_win=$(winepath -w "$package" 2>/dev/null)

echo "-- kvr-uplinker-cli.exe flash"
cli=$work/cli
install_exe kvr-uplinker-cli "$cli"

# Wine's first start of a program after the lane's test programs has been seen to end at once
# with status 1, no output and no log, before the program ran: a version query that answers
# first, so that the update below is the program's own outcome.
for _ in 1 2 3; do
    wine "$cli/kvr-uplinker-cli.exe" --version </dev/null 2>/dev/null | grep -q '^kvr-uplinker-cli ' &&
        break
    sleep 2
done
start_devsim "$package" "$work/ok.report"
wine "$cli/kvr-uplinker-cli.exe" flash --port COM10 --package "$package_win" \
    </dev/null >"$work/ok.out" 2>"$work/ok.err"
status=$?
stop_devsim
check "a whole update exits 0" "$status" "exit $status: $(tail -n 3 "$work/ok.err")"
if [ "$status" -ne 0 ]; then
    # What a failure here leaves behind, to tell the program's outcome from Wine's.
    echo "    standard output: $(tr -d '\r' <"$work/ok.out" | head -n 5)"
    echo "    standard error: $(tr -d '\r' <"$work/ok.err" | head -n 5)"
    echo "    device: $(tr '\n' ' ' <"$work/ok.report" 2>/dev/null) $(head -n 3 "$work/devsim.err")"
    echo "    logs: $(ls "$cli" "$WINEPREFIX/drive_c/users/"*/AppData/Local/kvr-uplinker 2>/dev/null | tr '\n' ' ')"
fi
tr -d '\r' <"$work/ok.out" | grep -qx 'Обновление успешно завершено!'
check "the success text is printed" $? "$(cat "$work/ok.out")"
[ "$(report_value "$work/ok.report" pages_received)" = 16 ] &&
    [ "$(report_value "$work/ok.report" mismatches)" = 0 ]
check "the device received all 16 pages whole" $? "$(head -n 2 "$work/ok.report")"
[ "$(head -c 2 "$cli/log.txt" 2>/dev/null | od -An -tx1 | tr -d ' ')" = fffe ]
check "log.txt beside the program starts with the UTF-16LE mark" $?
log_text "$cli/log.txt" | grep -q 'Отправка страницы 15'
check "log.txt tells every page" $?

start_devsim "$package" "$work/lost.report" --fault no-reply:write-page:3
wine "$cli/kvr-uplinker-cli.exe" flash --port COM10 --package "$package_win" \
    </dev/null >"$work/lost.out" 2>"$work/lost.err"
status=$?
stop_devsim
[ "$status" -eq 1 ]
check "a page reply that never comes fails the run" $? "exit $status"
log_text "$cli/log.txt" | grep -q 'Нет ответа!'
check "the log says \"Нет ответа!\"" $?
# One unanswered page costs the read's total time-out (4 x 50 + 5000 ms) once, from the page
# frame written to "Нет ответа!"; a read that waited its time twice would take about 10.4 s.
waited_ms=$(log_text "$cli/log.txt" | tr -d '\r' | awk '
    function ms(line,   t) {
        if (!match(line, /[0-9][0-9][^0-9][0-9][0-9][^0-9][0-9][0-9][^0-9][0-9][0-9][0-9]: /))
            return -1
        t = substr(line, RSTART, 12)
        return ((substr(t, 1, 2) * 60 + substr(t, 4, 2)) * 60 + substr(t, 7, 2)) * 1000 + substr(t, 10, 3)
    }
    /Запись: / { written = ms($0) }
    /Нет ответа!/ { print ms($0) - written; exit }')
[ -n "$waited_ms" ] && [ "$waited_ms" -ge 4500 ] && [ "$waited_ms" -le 7000 ]
check "\"Нет ответа!\" comes one read time-out after the page, not two" $? \
    "waited ${waited_ms:-?} ms"

start_devsim "$package" "$work/sn.report" --final-status 10
wine "$cli/kvr-uplinker-cli.exe" flash --port COM10 --package "$package_win" --technology \
    --sn 4242 --hw 3 </dev/null >"$work/sn.out" 2>"$work/sn.err"
status=$?
stop_devsim
check "technology mode exits 0" "$status" "exit $status: $(cat "$work/sn.out")"
# Hardware version 3, then the digits in the ANSI code page, zero padded.
[ "$(report_value "$work/sn.report" serial_number)" = "3:343234320000000000000000" ]
check "the serial number and hardware version reached the device" $? \
    "$(report_value "$work/sn.report" serial_number)"

# The record: the station's own SQLite file beside the program, numbers from its pool.
wine "$cli/kvr-uplinker-cli.exe" pool create line --first 000101 --last 000199 \
    </dev/null >"$work/pool.out" 2>"$work/pool.err"
check "pool create on the default record" $? "$(cat "$work/pool.err")"
start_devsim "$package" "$work/pool.report" --final-status 10
wine "$cli/kvr-uplinker-cli.exe" flash --port COM10 --package "$package_win" --technology \
    --sn-pool line --hw 3 </dev/null >"$work/poolrun.out" 2>"$work/poolrun.err"
status=$?
stop_devsim
check "a number from the pool" "$status" "exit $status: $(tail -n 2 "$work/poolrun.err")"
[ "$(report_value "$work/pool.report" serial_number)" = "3:303030313031000000000000" ] &&
    [ -s "$cli/records.sqlite" ]
check "000101 reached the device and records.sqlite lies beside the program" $? \
    "$(report_value "$work/pool.report" serial_number)"
wine "$cli/kvr-uplinker-cli.exe" history --csv </dev/null >"$work/history.csv" 2>&1
[ "$(head -c 3 "$work/history.csv" | od -An -tx1 | tr -d ' ')" = efbbbf ] &&
    grep -q ';000101;yes;confirmed;line;' "$work/history.csv"
check "history --csv shows the confirmed number" $? "$(tail -n 1 "$work/history.csv")"

# The same through libpq to the lane's PostgreSQL server.
if [ -n "${KVR_TEST_PG_URL:-}" ]; then
    start_devsim "$package" "$work/pg.report"
    PGPASSWORD=$KVR_TEST_PG_PASSWORD wine "$cli/kvr-uplinker-cli.exe" flash --port COM10 \
        --package "$package_win" --record "$KVR_TEST_PG_URL" </dev/null \
        >"$work/pg.out" 2>"$work/pg.err"
    status=$?
    stop_devsim
    check "an update recorded on PostgreSQL" "$status" "exit $status: $(tail -n 2 "$work/pg.err")"
    PGPASSWORD=$KVR_TEST_PG_PASSWORD wine "$cli/kvr-uplinker-cli.exe" history --json \
        --port COM10 --record "$KVR_TEST_PG_URL" </dev/null >"$work/pg.json" 2>&1
    grep -q '"outcome":"success"' "$work/pg.json" && grep -q '"pages":16' "$work/pg.json"
    check "its row reads back through libpq" $? "$(head -c 300 "$work/pg.json")"
    wine "$cli/kvr-uplinker-cli.exe" history --record "$KVR_TEST_PG_URL" </dev/null \
        >"$work/pgnopw.out" 2>"$work/pgnopw.err"
    status=$?
    [ "$status" -eq 2 ] && grep -q 'cannot be reached' "$work/pgnopw.err"
    check "without the password the record is refused with exit 2" $? \
        "exit $status: $(head -c 300 "$work/pgnopw.err")"

    pg_dir=${KVR_TEST_PG_DIR:-${KVR_WIN64_BUILD_DIR:-}/pgtest}
    pg_script=$(cd "$(dirname "$0")/../.." && pwd)/scripts/pg-test-server.sh

    # The server stopped under a hands-free station: it goes on numbering from its lease, and
    # sends its rows once the server is back.
    outcomes() { grep -c '"type":"outcome"' "$work/away.out" 2>/dev/null || true; }
    PGPASSWORD=$KVR_TEST_PG_PASSWORD wine "$cli/kvr-uplinker-cli.exe" pool create wineaway \
        --first 000501 --last 000599 --record "$KVR_TEST_PG_URL" </dev/null >/dev/null 2>&1
    # The unit stays well past the host's own wait for the device's restart, as an operator's
    # hands are slower than that.
    start_devsim "$package" "$work/away.report" --final-status 10 --swap-after 20000 \
        --swap-gap 1500
    PGPASSWORD=$KVR_TEST_PG_PASSWORD wine "$cli/kvr-uplinker-cli.exe" flash --port COM10 \
        --package "$package_win" --technology --hw 3 --sn-pool wineaway \
        --record "$KVR_TEST_PG_URL" --repeat --removal-seconds 1 --program-mismatch continue \
        --json </dev/null >"$work/away.out" 2>"$work/away.err" &
    away_pid=$!
    for _ in $(seq 600); do [ "$(outcomes)" -ge 1 ] && break; sleep 0.1; done
    "$pg_script" halt "$pg_dir" >/dev/null 2>&1
    for _ in $(seq 1200); do [ "$(outcomes)" -ge 2 ] && break; sleep 0.1; done
    away_units=$(outcomes)
    "$pg_script" resume "$pg_dir" >/dev/null 2>&1
    for _ in $(seq 1200); do grep -q '"back_after_s"' "$work/away.out" && break; sleep 0.1; done
    kill -INT "$away_pid" 2>/dev/null
    wait "$away_pid"
    stop_devsim
    [ "$away_units" -ge 2 ] && grep -q '"connected":false' "$work/away.out" &&
        grep -q '"back_after_s"' "$work/away.out"
    check "the station went on while the server was stopped, and said so" $? \
        "$away_units units; $(grep '"type":"record"' "$work/away.out" | tail -n 2)"
    PGPASSWORD=$KVR_TEST_PG_PASSWORD wine "$cli/kvr-uplinker-cli.exe" history --json \
        --record "$KVR_TEST_PG_URL" </dev/null >"$work/away.json" 2>&1
    given=$(grep '"type":"outcome"' "$work/away.out" | grep '"success":true' |
        grep -o '"serial_number":"0005[0-9][0-9]"' | sort)
    rows=$(tr '{' '\n' <"$work/away.json" | grep '"pool":"wineaway"' |
        grep '"outcome":"success"' | grep -o '"serial_number":"0005[0-9][0-9]"' | sort)
    [ -n "$given" ] && [ "$given" = "$rows" ] && [ "$(echo "$given" | uniq -d)" = "" ]
    check "every unit of the outage has its row, each number once" $? \
        "given: $(echo $given) rows: $(echo $rows)"

    # TLS with the lane server's throw-away CA, its certificate made for "localhost" alone.
    if [ -f "$pg_dir/tls-url" ]; then
        tls_url=$(cat "$pg_dir/tls-url")
        # history --record URL, from $work: prints the exit status, output in $work/tls.out.
        tls_history() {
            (cd "$work" && PGPASSWORD=$KVR_TEST_PG_PASSWORD wine "$cli/kvr-uplinker-cli.exe" \
                history --record "$1" </dev/null >"$work/tls.out" 2>&1)
            echo $?
        }
        # The CA as a Windows path, as an operator types it (backslashes, drive letter).
        ca_win=$(winepath -w "$pg_dir/ca.crt" 2>/dev/null)
        status=$(tls_history "$tls_url?sslmode=verify-full&sslrootcert=$ca_win")
        check "verify-full with the line's CA ($ca_win) reaches the record" "$status" \
            "exit $status: $(head -c 300 "$work/tls.out")"
        # A path relative to the current folder.
        cp "$pg_dir/wrong-ca.crt" "$work/"
        status=$(tls_history "$tls_url?sslmode=verify-full&sslrootcert=wrong-ca.crt")
        [ "$status" -ne 0 ] && grep -q 'certificate verify failed' "$work/tls.out"
        check "a CA that did not sign the server's certificate is refused" $? \
            "exit $status: $(head -c 300 "$work/tls.out")"
        by_address=${tls_url/@localhost:/@127.0.0.1:}
        status=$(tls_history "$by_address?sslmode=verify-full&sslrootcert=$ca_win")
        [ "$status" -ne 0 ] && grep -q 'does not match host name' "$work/tls.out"
        check "verify-full by address, not by the certificate's name, is refused" $? \
            "exit $status: $(head -c 300 "$work/tls.out")"
        if "$(dirname "$0")/../../scripts/pg-test-server.sh" tls-off "$pg_dir"; then
            status=$(tls_history "$tls_url?sslmode=require")
            [ "$status" -ne 0 ] && grep -q 'does not support SSL' "$work/tls.out"
            check "sslmode=require against a server without TLS is refused" $? \
                "exit $status: $(head -c 300 "$work/tls.out")"
            "$(dirname "$0")/../../scripts/pg-test-server.sh" tls-on "$pg_dir"
            check "the server's TLS is back on" $?
        else
            check "the server's TLS turned off" 1
        fi
        status=$(tls_history "postgresql://line:pa#ss@db/p")
        [ "$status" -ne 0 ] && ! grep -q 'pa#ss' "$work/tls.out" &&
            grep -q 'line:\*\*\*@' "$work/tls.out"
        check "a password typed into the URL is shown blanked" $? \
            "exit $status: $(head -c 300 "$work/tls.out")"
    else
        check "the PostgreSQL server's TLS files" 1 "no $pg_dir/tls-url"
    fi
else
    check "a PostgreSQL server for the record" 1 "the lane started none"
fi

# Ctrl+C: Wine hands SIGINT to a console program as CTRL_C_EVENT, through the console control
# handler. The run stops after the exchange under way; a slow line leaves pages to go.
start_devsim "$package" "$work/stop.report" --baud 9600
wine "$cli/kvr-uplinker-cli.exe" flash --port COM10 --package "$package_win" \
    </dev/null >"$work/stop.out" 2>"$work/stop.err" &
flash_pid=$!
for _ in $(seq 200); do
    grep -q '%' "$work/stop.err" 2>/dev/null && break
    sleep 0.1
done
kill -INT "$flash_pid" 2>/dev/null
wait "$flash_pid"
status=$?
stop_devsim
[ "$status" -eq 1 ] && grep -q 'Stopping after the exchange under way' "$work/stop.err"
check "Ctrl+C stops the run through the console's handler" $? \
    "exit $status: $(tr '\r' '\n' <"$work/stop.err" | tail -n 2)"
pages=$(report_value "$work/stop.report" pages_received)
[ -n "$pages" ] && [ "$pages" -lt 16 ] && [ ! -s "$work/stop.out" ]
check "a stopped run shows no message and leaves pages unsent" $? "pages $pages"

# Unpacked where it may not write (Program Files): the log goes to the per-user folder. A
# read-only bind mount in a mount namespace of its own stands in, since root writes anywhere.
readonly_dir=$work/readonly
install_exe kvr-uplinker-cli "$readonly_dir"
find "$WINEPREFIX/drive_c/users" -path '*/AppData/Local/kvr-uplinker/log.txt' -delete 2>/dev/null
start_devsim "$package" "$work/ro.report"
if unshare -m --propagation private true 2>/dev/null; then
    # Wine's server opens the files for its programs: it has to see the read-only mount too,
    # so a server of its own runs inside the namespace.
    wineserver -k 2>/dev/null
    wineserver -w 2>/dev/null
    unshare -m --propagation private bash -c '
        mount --bind "$1" "$1" && mount -o remount,bind,ro "$1" "$1" || exit 99
        wine "$1/kvr-uplinker-cli.exe" flash --port COM10 --package "$2" </dev/null
        status=$?
        wineserver -k
        exit $status' _ "$readonly_dir" "$package_win" >"$work/ro.out" 2>"$work/ro.err"
    status=$?
    wineserver -w 2>/dev/null
    stop_devsim
    check "from a read-only folder the update still succeeds" "$status" \
        "exit $status: $(tail -n 3 "$work/ro.err")"
    [ ! -e "$readonly_dir/log.txt" ] &&
        [ -n "$(find "$WINEPREFIX/drive_c/users" -path '*/AppData/Local/kvr-uplinker/log.txt')" ]
    check "its log went to %LOCALAPPDATA%\\kvr-uplinker" $?
else
    stop_devsim
    echo "  skip read-only folder: no private mount namespace here"
fi

echo "-- kvr-uplinker.exe -all -t"
display=$DISPLAY
app=$work/app
install_exe kvr-uplinker "$app"
# The window lists the ports in the registry's order; pick COM10's place for the settings.
port_index=$(wine "$cli/kvr-uplinker-cli.exe" ports </dev/null 2>/dev/null | tr -d '\r' |
    awk '$1 == "COM10" {print NR - 1; exit}')
printf '[Common]\r\nPortIndex=%s\r\nSN=777\r\nHW=2\r\nFileName=%s\r\n[Record]\r\nURL=sqlite:records.sqlite\r\n' \
    "${port_index:-0}" "$package_win" >"$app/kvr-uplinker.ini"
start_devsim "$package" "$work/window.report" --final-status 10
DISPLAY=$display WINEDEBUG=err+all wine "$app/kvr-uplinker.exe" -all -t </dev/null \
    >"$work/app.out" 2>&1 &
app_pid=$!
title="KVRUplinker v1.0.14 BootAll Technology mode"
window=$(DISPLAY=$display timeout 120 xdotool search --sync --onlyvisible --name "^$title\$" |
    head -n 1)
[ -n "$window" ]
check "the window comes up with its caption" $? "$(grep -v fixme "$work/app.out" | tail -n 5)"
if [ -n "$window" ]; then
    sleep 1
    DISPLAY=$display import -window root "$shots/window-before.png" 2>/dev/null
    # In technology mode the run starts from the S/N panel's check-mark button (SpeedButton2),
    # at about x 330..371, y 40..65 of the client area (Start itself waits for the first run).
    DISPLAY=$display xdotool mousemove --window "$window" 350 52 click 1
    boxes=0
    for _ in $(seq 120); do
        # The box carries the application's title; the window's own caption has gained the
        # package's name by now.
        boxes=$(DISPLAY=$display xdotool search --onlyvisible --name "^KVRUplinker" 2>/dev/null |
            grep -vx "$window" | wc -l)
        [ "$boxes" -ge 1 ] && break
        sleep 0.5
    done
    [ "$boxes" -ge 1 ]
    check "a message box follows the click" $?
    sleep 1
    DISPLAY=$display import -window root "$shots/window-after.png" 2>/dev/null
    # The box holds the run until it is closed: Return goes to the box itself, whichever
    # window has the focus.
    box=$(DISPLAY=$display xdotool search --onlyvisible --name "^KVRUplinker" 2>/dev/null |
        grep -vx "$window" | head -n 1)
    if [ -n "$box" ]; then
        DISPLAY=$display xdotool windowactivate --sync "$box" key Return 2>/dev/null ||
            DISPLAY=$display xdotool key --window "$box" Return
    else
        DISPLAY=$display xdotool key Return
    fi
    for _ in $(seq 20); do
        DISPLAY=$display xdotool search --onlyvisible --name "^KVRUplinker" 2>/dev/null |
            grep -vqx "$window" || break
        sleep 0.5
    done
fi
stop_devsim
[ "$(report_value "$work/window.report" pages_received)" = 16 ] &&
    [ "$(report_value "$work/window.report" bootall_page_frames)" = 16 ]
check "the click updated all 16 pages in BootAll frames" $? \
    "$(head -n 8 "$work/window.report" | tr '\n' ' ')"
[ "$(report_value "$work/window.report" serial_number)" = "2:373737000000000000000000" ]
check "the window's S/N and HW were written" $? "$(report_value "$work/window.report" serial_number)"
log_text "$app/log.txt" | grep -q 'Обновление успешно завершено!'
check "the window's log ends in success" $?
DISPLAY=$display xdotool search --name "^$title\$" windowclose 2>/dev/null
# The window closes once its run has ended and its row is complete; killed only if it hangs.
for _ in $(seq 60); do
    kill -0 "$app_pid" 2>/dev/null || break
    sleep 0.5
done
kill "$app_pid" 2>/dev/null
wait "$app_pid" 2>/dev/null
wine "$cli/kvr-uplinker-cli.exe" history --json \
    --record "sqlite:$(winepath -w "$app/records.sqlite" 2>/dev/null)" </dev/null \
    >"$work/app-history.json" 2>&1
grep -q '"outcome":"success"' "$work/app-history.json" &&
    grep -q '"serial_number":"777"' "$work/app-history.json" &&
    grep -q '^\[Record\]' "$app/kvr-uplinker.ini"
check "the window's run is in its [Record] beside it, and the section outlived the settings' rewrite" \
    $? "$(head -c 300 "$work/app-history.json")"

echo "-- kvr-station.exe, two lanes"
station_dir=$work/station
install_exe kvr-station "$station_dir"
cp "$win_bin/kvr-uplinker-cli.exe" "$station_dir/"
cp "$package" "$station_dir/kvr17.bsk"
printf '[Station]\r\nPackage=kvr17.bsk\r\nPackageSHA256=%s\r\nPorts=COM10;COM11\r\nTechnology=1\r\nHW=3\r\nRecord=sqlite:records.sqlite\r\nPool=line\r\nRemovalSeconds=2\r\n' \
    "$(sha256sum "$package" | cut -d' ' -f1)" >"$station_dir/line.ini"
station_record="sqlite:$(winepath -w "$station_dir/records.sqlite" 2>/dev/null)"
wine "$station_dir/kvr-uplinker-cli.exe" pool create line --first 000201 --record "$station_record" \
    </dev/null >/dev/null 2>&1
lane_pids=()
for n in 1 2; do
    "$linux_bin/kvr-devsim" --package "$package" --final-status 10 --restart-delay 200 \
        --start-in-bootloader >"$work/lane$n.out" 2>/dev/null &
    lane_pids+=($!)
done
for n in 1 2; do
    for _ in $(seq 100); do [ -s "$work/lane$n.out" ] && break; sleep 0.05; done
done
ln -sfn "$(head -n 1 "$work/lane1.out")" "$WINEPREFIX/devsim-port"
ln -sfn "$(head -n 1 "$work/lane2.out")" "$WINEPREFIX/devsim-port2"
DISPLAY=$display wine "$station_dir/kvr-station.exe" "$(winepath -w "$station_dir/line.ini")" \
    </dev/null >"$work/station.out" 2>&1 &
station_pid=$!
swindow=$(DISPLAY=$display timeout 120 xdotool search --sync --onlyvisible \
    --name "^KVRUplinker Station" | head -n 1)
[ -n "$swindow" ]
check "the station window comes up" $? "$(tail -n 3 "$work/station.out")"
confirmed=0
if [ -n "$swindow" ]; then
    sleep 1
    # Start has the focus: the window's first button.
    DISPLAY=$display xdotool windowactivate "$swindow" 2>/dev/null
    DISPLAY=$display xdotool key --window "$swindow" space
    for _ in $(seq 60); do
        confirmed=$(wine "$station_dir/kvr-uplinker-cli.exe" history --json \
            --record "$station_record" </dev/null 2>/dev/null | grep -o '"sn_state":"confirmed"' |
            wc -l)
        [ "$confirmed" -ge 2 ] && break
        sleep 1
    done
    DISPLAY=$display import -window root "$shots/kvr-station.png" 2>/dev/null
    # Its size fits a 1366x768 laptop screen, and it opens on this screen, not past its edge.
    geometry=$(DISPLAY=$display xdotool getwindowgeometry --shell "$swindow" 2>/dev/null)
    read -r sx sy sw sh < <(awk -F= '{v[$1] = $2} END {print v["X"], v["Y"], v["WIDTH"], v["HEIGHT"]}' \
        <<<"$geometry")
    screen_w=$(DISPLAY=$display xdotool getdisplaygeometry 2>/dev/null | cut -d' ' -f1)
    [ -n "$sw" ] && [ "$sw" -le 1366 ] && [ "$sh" -le 768 ] && [ "$sx" -ge 0 ] && [ "$sy" -ge 0 ] &&
        [ $((sx + sw)) -le "${screen_w:-0}" ]
    check "the station window fits 1366x768 and opens on the screen" $? \
        "${sw}x${sh} at ${sx},${sy} on a screen ${screen_w} wide"
fi
[ "$confirmed" -eq 2 ]
check "both lanes updated, each with its own number from the pool" $? "confirmed $confirmed"

echo "-- kvr-line.exe over the station's record"
cp "$win_bin/kvr-line.exe" "$station_dir/"
wine "$station_dir/kvr-line.exe" --record "$station_record" --listen 127.0.0.1:0 </dev/null \
    >"$work/line.out" 2>&1 &
line_pid=$!
line_url=""
for _ in $(seq 300); do
    line_url=$(tr -d '\r' <"$work/line.out" | sed -n 's/^kvr-line: \(http:[^ ]*\)$/\1/p' |
        head -n 1)
    [ -n "$line_url" ] && break
    sleep 0.1
done
# The document's keys come sorted and compact: the line's own figures are the "line" object.
line_doc=$(curl -s --max-time 30 "${line_url}api/v1/line?hours=2")
line_figures=$(grep -o '"line":{[^}]*}' <<<"$line_doc")
grep -q '"units":2' <<<"$line_figures" && grep -q '"passed":2' <<<"$line_figures" &&
    grep -q '"state":"ok"' <<<"$line_doc" && grep -q '"online":true' <<<"$line_doc"
check "kvr-line.exe shows the station's two units and its heartbeat" $? \
    "$line_url: $(head -c 600 <<<"$line_doc") $(tail -n 2 "$work/line.out")"
curl -s --max-time 30 "$line_url" | grep -q '<html'
check "kvr-line.exe serves its page" $?
[ "$(curl -s -o /dev/null -w '%{http_code}' --max-time 30 -X DELETE "${line_url}api/v1/line")" = 405 ]
check "kvr-line.exe refuses a write" $?
kill "$line_pid" 2>/dev/null
wait "$line_pid" 2>/dev/null
kill "$station_pid" 2>/dev/null
wait "$station_pid" 2>/dev/null
kill "${lane_pids[@]}" 2>/dev/null
wait "${lane_pids[@]}" 2>/dev/null

echo "wine end-to-end: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
