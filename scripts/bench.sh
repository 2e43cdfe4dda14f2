#!/usr/bin/env bash
# Builds in release mode and measures the tool against the serial line's own limit. Prints a
# table of every figure beside its goal and writes it into bench/README.md (between the
# "bench.sh" markers), with the date and a description of the machine.
#
#   scripts/bench.sh [--no-readme]
#
# Environment: KVR_BENCH_BUILD_DIR (default build-bench), KVR_BENCH_JOBS (build jobs, default
# 2), KVR_BENCH_REPEAT (runs of each whole-update figure, default 3; the median is shown with
# the range), KVR_BENCH_ONLY=scale (only the several-devices rows, printed and not written into
# the README, for trying changes quickly). Takes about six minutes; not part of scripts/test.sh.
# Timings are only as quiet as the machine: the table records the load average, and the
# bare-loop floor is measured in the same run so that the machine's own share can be told from
# the tool's.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
write_readme=1
for arg in "$@"; do
    case "$arg" in
        --no-readme) write_readme=0 ;;
        *) echo "usage: scripts/bench.sh [--no-readme]" >&2; exit 2 ;;
    esac
done
build=${KVR_BENCH_BUILD_DIR:-$root/build-bench}
jobs=${KVR_BENCH_JOBS:-2}
repeat=${KVR_BENCH_REPEAT:-3}
only=${KVR_BENCH_ONLY:-}
if ! [[ "$jobs" =~ ^[1-9][0-9]*$ && "$repeat" =~ ^[1-9][0-9]*$ ]]; then
    echo "bench.sh: KVR_BENCH_JOBS and KVR_BENCH_REPEAT take a whole number above 0" >&2
    exit 2
fi
case "$only" in
    "" | scale) ;;
    *) echo "bench.sh: KVR_BENCH_ONLY takes \"scale\" or nothing" >&2; exit 2 ;;
esac

# --- the line and the update sequence ------------------------------------------------------
pages=256
length=256                      # data bytes the device asks for with each page
page_size=$((length + 8))
device_boot=(--start-in-bootloader --boot-address 6 --requested-length "$length")
device_app=(--requested-length "$length")
# Several devices at once, all in one flash command; the first count is the one-device run
# the others are held against, the goal count is held to the goal.
scale_counts=(1 8 16 32)
scale_goal_count=8
scale_goal=1.10

echo "== build (release, $build)"
"$root/scripts/deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKVR_BENCH=ON >/dev/null
cmake --build "$build" -j "$jobs" --target kvr-devsim kvr-uplinker-cli kvr-mkpackage \
    kvr-bench-package kvr-bench-log kvr-bench-turnaround kvr-bench-wait kvr-bench-rusage \
    kvr-bench-record kvr-bench-station
bin=$build/bin

# The line's speed and the sequence's fixed waits, in milliseconds, from the engine itself.
constants=$("$bin/kvr-bench-turnaround" --print-constants) ||
    { echo "bench.sh: kvr-bench-turnaround --print-constants failed" >&2; exit 1; }
constant() {
    local v
    v=$(sed -n "s/^$1=//p" <<<"$constants")
    [[ "$v" =~ ^[0-9]+$ ]] || { echo "bench.sh: no engine constant $1" >&2; exit 1; }
    echo "$v"
}
baud=$(constant baud)
bytes_per_second=$((baud / 10))  # 10 bits per byte
wait_after_done_ms=$(constant wait_after_done_ms)
wait_enter_reply_ms=$(constant wait_enter_reply_ms)
wait_restart_ms=$(constant wait_restart_ms)
silent_probe_ms=$(constant silent_probe_ms)  # one probe attempt in the other framing
# Scenario "boot": the device is already in its bootloader and speaks the 6-byte framing, so
# the only fixed wait is the one after completion. Scenario "app": it starts in its
# application, is sent into the bootloader, which speaks the other framing (one silent probe).
fixed_boot_ms=$wait_after_done_ms
fixed_app_ms=$((wait_enter_reply_ms + wait_restart_ms + silent_probe_ms + wait_after_done_ms))

work=$(mktemp -d)
dev_pid=""
dev_pids=() dev_fds=() dev_ptys=() dev_reports=()
cleanup() {
    if [ -n "$dev_pid" ]; then kill -TERM "$dev_pid" 2>/dev/null || true; fi
    if [ "${#dev_pids[@]}" -gt 0 ]; then kill -TERM "${dev_pids[@]}" 2>/dev/null || true; fi
    "$root/scripts/pg-test-server.sh" stop "$work/pg" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

kv() { sed -n "s/^$2=//p" "$1" | tail -1; }
median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
lowest() { printf '%s\n' "$@" | sort -n | head -1; }
highest() { printf '%s\n' "$@" | sort -n | tail -1; }
# calc FORMAT EXPRESSION [name=value...]: awk arithmetic.
calc() {
    local format=$1 expression=$2
    shift 2
    local vars=()
    for v in "$@"; do vars+=(-v "$v"); done
    awk "${vars[@]}" "BEGIN { printf \"$format\", $expression }"
}
fail() { echo "bench.sh: $*" >&2; exit 1; }
# For the table.
sec() { calc '%.2f s' 'v / 1000000' v="$1"; }
cpu() { calc '%.1f ms' 'v / 1000' v="$1"; }
verdict() { # verdict VALUE OPERATOR LIMIT
    if awk -v v="$1" -v l="$3" "BEGIN { exit !(v $2 l) }"; then echo "met"; else echo "**missed**"; fi
}
spread() { # spread VALUES...: "median (lowest–highest)" of plain numbers
    local m lo hi
    m=$(median "$@") lo=$(lowest "$@") hi=$(highest "$@")
    if [ "$#" -gt 1 ]; then echo "$m ($lo–$hi)"; else echo "$m"; fi
}
spread_scaled() { # spread_scaled DIGITS DIVISOR UNIT VALUES...: the same, each value / DIVISOR
    local digits=$1 divisor=$2 unit=$3 m lo hi
    shift 3
    m=$(calc "%.${digits}f" "v / $divisor" v="$(median "$@")")
    lo=$(calc "%.${digits}f" "v / $divisor" v="$(lowest "$@")")
    hi=$(calc "%.${digits}f" "v / $divisor" v="$(highest "$@")")
    if [ "$#" -gt 1 ]; then echo "$m $unit ($lo–$hi)"; else echo "$m $unit"; fi
}
spread_us_ms() { spread_scaled 3 1000 ms "$@"; }    # microseconds shown as milliseconds
spread_us_s() { spread_scaled 2 1000000 s "$@"; }   # microseconds shown as seconds

# Starts kvr-devsim with the given options and sets $pty; its report goes to $1 at the stop.
start_device() {
    local report=$1
    shift
    exec {dev_fd}< <(exec "$bin/kvr-devsim" --report "$report" "$@" 2>>"$work/devsim.log")
    dev_pid=$!
    IFS= read -r -u "$dev_fd" pty || fail "kvr-devsim did not start: $(cat "$work/devsim.log")"
}
stop_device() {
    kill -TERM "$dev_pid"
    cat <&"$dev_fd" >/dev/null   # returns when kvr-devsim has written its report and ended
    exec {dev_fd}<&-
    dev_pid=""
}
# start_devices COUNT REPORT_PREFIX OPTIONS...: COUNT kvr-devsim at once, with the same
# options; sets dev_ptys and dev_reports (REPORT_PREFIX-N.rep, written at the stop).
start_devices() {
    local count=$1 prefix=$2 i fd pty
    shift 2
    dev_pids=() dev_fds=() dev_ptys=() dev_reports=()
    for ((i = 0; i < count; ++i)); do
        dev_reports+=("$prefix-$i.rep")
        exec {fd}< <(exec "$bin/kvr-devsim" --report "$prefix-$i.rep" "$@" 2>>"$work/devsim.log")
        # Kept before the read, so that the exit trap stops it if it never answers.
        dev_pids+=("$!") dev_fds+=("$fd")
        IFS= read -r -u "$fd" pty ||
            fail "kvr-devsim $((i + 1)) of $count did not start: $(cat "$work/devsim.log")"
        dev_ptys+=("$pty")
    done
}
# Stops them all; dev_ptys and dev_reports stay for reading the reports. A device that ended
# before its stop fails the run, once all are drained.
stop_devices() {
    local fd pid gone=()
    for pid in "${dev_pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null || gone+=("$pid")
    done
    for fd in "${dev_fds[@]}"; do
        cat <&"$fd" >/dev/null
        exec {fd}<&-
    done
    dev_pids=() dev_fds=()
    [ "${#gone[@]}" -eq 0 ] || fail "${#gone[@]} of ${#dev_ptys[@]} kvr-devsim ended before" \
        "their stop; devices: $(cat "$work/devsim.log"); command: $(tail -3 "$work/cli.out")" \
        "$(cat "$work/cli.err")"
}
# run_cli USAGE_FILE ARGUMENT...: the command line tool under kvr-bench-rusage; sets $cli_exit.
run_cli() {
    local usage=$1
    shift
    cli_exit=0
    "$bin/kvr-bench-rusage" "$usage" "$bin/kvr-uplinker-cli" "$@" >"$work/cli.out" \
        2>"$work/cli.err" || cli_exit=$?
}

machine="$(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'),"
machine+=" $(uname -sr), $(c++ --version | head -1)"
load_start=$(cut -d' ' -f1-3 /proc/loadavg)
started=$(date -u '+%Y-%m-%d %H:%M UTC')

package=$work/update.bsk
"$bin/kvr-mkpackage" -o "$package" --pages "$pages" --page-size "$page_size"
success=$(printf 'Обновление успешно завершено!')
exchange_error=$(printf 'Ошибка обмена!')
# The update log lives beside the executable; every measurement starts it afresh.
rm -f "$bin/log.txt"

# --- several devices at once --------------------------------------------------------------
# One flash command with a --port for each of COUNT fresh devices, each wire-timed as in the
# boot scenario; --json gives each device's own outcome. The one-device run is the same command
# with one --port, in the same round, so start-up and output weigh on both alike. Figures by
# device count, as space-separated lists; the ratio is the command's wall time against the
# one-device command of the same round.
declare -A scale_wall=() scale_ratio=() scale_cpu=() scale_slowest=() scale_line=() \
    scale_start=() scale_vs_plain=()
# The record's cost, on the goal's device count: every run writes its row on SQLite (a file of
# its own) and on the PostgreSQL server the script starts; goal: under 1 %.
record_goal=1.01
pg_dir=$work/pg
if "$root/scripts/pg-test-server.sh" start "$pg_dir" >&2; then
    pg_url=$(cat "$pg_dir/url")
    export PGPASSFILE=$pg_dir/pgpass
else
    pg_url=""
fi
scale_records=("sqlite sqlite:$work/bench.sqlite")
[ -n "$pg_url" ] && scale_records+=("postgresql $pg_url")
json_field() { sed -n "s/.*\"$2\":\([^,}]*\).*/\1/p" <<<"$1"; }  # for keys found once a line
scale_run() {  # scale_run COUNT [KEY RECORD_URL]: with a record, figures go under KEY
    local n=$1 key=${2:-$1} record=() i ports=() outcome started slowest=0 line=0 start=0 wall_us \
        cpu_us what
    [ -n "${3:-}" ] && record=(--record "$3")
    what="$n device(s) in one flash command${3:+ with the record $3}"
    # One port writes log.txt, several write log-<port>.txt: all start afresh, as log.txt does.
    rm -f "$bin/log.txt" "$bin"/log-*.txt
    start_devices "$n" "$work/scale" "${device_boot[@]}" --package "$package" --baud "$baud"
    for ((i = 0; i < n; ++i)); do ports+=(--port "${dev_ptys[i]}"); done
    run_cli "$work/scale.use" flash "${ports[@]}" --package "$package" --json "${record[@]}"
    stop_devices
    [ "$cli_exit" -eq 0 ] && [ "$(json_field "$(tail -1 "$work/cli.out")" exit_status)" = 0 ] ||
        fail "$what: exit status $cli_exit, summary: $(tail -1 "$work/cli.out") $(cat "$work/cli.err")"
    for ((i = 0; i < n; ++i)); do
        outcome=$(grep -F "{\"type\":\"outcome\",\"port\":\"${dev_ptys[i]}\"," "$work/cli.out") ||
            fail "$what: no outcome for ${dev_ptys[i]}"
        [ "$(wc -l <<<"$outcome")" -eq 1 ] && [ "$(json_field "$outcome" success)" = true ] ||
            fail "$what: ${dev_ptys[i]} did not succeed: $outcome"
        [ "$(kv "${dev_reports[i]}" pages_received)" -eq "$pages" ] &&
            [ "$(kv "${dev_reports[i]}" mismatches)" -eq 0 ] ||
            fail "$what: the device on ${dev_ptys[i]} did not get every page right"
        started=$(grep -F "{\"type\":\"run_start\",\"port\":\"${dev_ptys[i]}\"," "$work/cli.out") ||
            fail "$what: no run start for ${dev_ptys[i]}"
        slowest=$(highest "$slowest" "$(json_field "$outcome" duration_ms)")
        line=$(highest "$line" "$(kv "${dev_reports[i]}" line_time_us)")
        start=$(highest "$start" "$(json_field "$started" time_ms)")
    done
    wall_us=$(kv "$work/scale.use" wall_us)
    cpu_us=$(kv "$work/scale.use" cpu_us)
    if [ "$key" = "${scale_counts[0]}" ]; then scale_base_us=$wall_us; fi
    if [ "$key" = "$scale_goal_count" ]; then scale_plain_us=$wall_us; fi
    scale_wall[$key]+=" $wall_us"
    scale_ratio[$key]+=" $(calc '%.4f' 'w / b' w="$wall_us" b="$scale_base_us")"
    # With a record: against the same count without one, run just before it.
    [ -n "${3:-}" ] && scale_vs_plain[$key]+=" $(calc '%.4f' 'w / b' w="$wall_us" b="$scale_plain_us")"
    scale_cpu[$key]+=" $(calc '%.0f' 'c / n' c="$cpu_us" n="$n")"
    scale_slowest[$key]+=" $((slowest * 1000))"
    scale_line[$key]+=" $line"
    scale_start[$key]+=" $start"
}
# shellcheck disable=SC2086  # the lists split into their numbers
scale_rows() {
    local n base=${scale_counts[0]} r goal mark
    echo "| one device alone at $baud baud (boot scenario), \`flash --json\` with one \`--port\`:" \
        "whole command (its run $(sec "$(median ${scale_slowest[$base]})"), on the line" \
        "$(sec "$(median ${scale_line[$base]})")); the tool's CPU" \
        "| $(spread_us_s ${scale_wall[$base]}); $(spread_us_ms ${scale_cpu[$base]}) | | |"
    for n in "${scale_counts[@]:1}"; do
        r=$(median ${scale_ratio[$n]})
        goal="" mark=""
        if [ "$n" -eq "$scale_goal_count" ]; then
            goal="≤ $scale_goal" mark=$(verdict "$r" '<=' "$scale_goal")
        fi
        echo "| $n devices at once, one \`flash --json\` with $n \`--port\`s: whole command / one" \
            "device alone (command $(sec "$(median ${scale_wall[$n]})"); longest device run" \
            "$(sec "$(median ${scale_slowest[$n]})"), longest on the line" \
            "$(sec "$(median ${scale_line[$n]})"); last run started at" \
            "$(median ${scale_start[$n]}) ms) | $(spread ${scale_ratio[$n]})" \
            "| $goal | $mark |"
        echo "| the same, the tool's CPU per device (the command's CPU / $n)" \
            "| $(spread_us_ms ${scale_cpu[$n]}) | | |"
        [ "$n" -eq "$scale_goal_count" ] || continue
        local entry engine
        for entry in "${scale_records[@]}"; do
            engine=${entry%% *}
            r=$(median ${scale_vs_plain[$engine]})
            echo "| the same $n devices, every run written to a $engine record (\`--record\`):" \
                "whole command / without a record (command $(sec "$(median ${scale_wall[$engine]})"))" \
                "| $(spread ${scale_vs_plain[$engine]}) | ≤ $record_goal | $(verdict "$r" '<=' "$record_goal") |"
        done
    done
}
for ((i = 1; i <= repeat; ++i)); do
    for n in "${scale_counts[@]}"; do
        echo "== $n wire-timed device(s) in one flash command, run $i of $repeat"
        scale_run "$n"
        [ "$n" -eq "$scale_goal_count" ] || continue
        for entry in "${scale_records[@]}"; do
            echo "== the same with the ${entry%% *} record"
            scale_run "$n" "${entry%% *}" "${entry#* }"
        done
    done
done
# --- the station window ------------------------------------------------------------------
# kvr-station with 8 lanes against the main window on one device, the same wire-timed device
# and package; the event loop's lateness while the lanes run.
station_lanes=8
station_ratio=() station_late=() station_window=()
for ((i = 1; i <= repeat; ++i)); do
    echo "== kvr-station, $station_lanes lanes, against the main window, run $i of $repeat"
    start_devices $((station_lanes + 1)) "$work/station" "${device_boot[@]}" --package "$package" \
        --baud "$baud"
    QT_QPA_PLATFORM=offscreen "$bin/kvr-bench-station" "$package" "${dev_ptys[@]}" \
        >"$work/station.kv" 2>"$work/station.err" ||
        fail "kvr-bench-station: $(cat "$work/station.kv" "$work/station.err")"
    stop_devices
    station_window+=("$(( $(kv "$work/station.kv" window_ms) * 1000 ))")
    station_ratio+=("$(calc '%.4f' 's / w' s="$(kv "$work/station.kv" station_ms)" \
        w="$(kv "$work/station.kv" window_ms)")")
    station_late+=("$(kv "$work/station.kv" lateness_max_ms)")
done
station_rows() {
    local r late
    r=$(median "${station_ratio[@]}")
    late=$(median "${station_late[@]}")
    echo "| \`kvr-station\` with $station_lanes lanes: all $station_lanes devices updated / one device" \
        "through the main window (window $(sec "$(median "${station_window[@]}")"))" \
        "| $(spread "${station_ratio[@]}") | ≤ 1.02 | $(verdict "$r" '<=' 1.02) |"
    echo "| the same, the station window's event loop: a 20 ms timer's largest lateness" \
        "| $late ms | < 50 ms | $(verdict "$late" '<' 50) |"
}
rm -f "$bin"/log-*.txt   # the rest of the script writes log.txt only
if [ "$only" = scale ]; then
    echo
    echo "Several devices at once: median of $repeat runs, range in brackets (KVR_BENCH_ONLY=scale:"
    echo "bench/README.md is left as it is)."
    echo
    echo "| figure | measured | goal | |"
    echo "|---|---|---|---|"
    scale_rows
    station_rows
    exit 0
fi

# --- full update, wire-timed --------------------------------------------------------------
# wire_run SCENARIO FIXED_MS DEVICE_OPTIONS...: one update at 115200 baud; appends to the
# arrays named after the scenario.
wire_run() {
    local scenario=$1 fixed=$2
    shift 2
    start_device "$work/wire.rep" "$@" --package "$package" --baud "$baud"
    run_cli "$work/wire.use" flash --port "$pty" --package "$package"
    stop_device
    [ "$cli_exit" -eq 0 ] && grep -qx "$success" "$work/cli.out" ||
        fail "wire-timed update ($scenario) failed: $(cat "$work/cli.out" "$work/cli.err")"
    [ "$(kv "$work/wire.rep" pages_received)" -eq "$pages" ] &&
        [ "$(kv "$work/wire.rep" mismatches)" -eq 0 ] ||
        fail "wire-timed update ($scenario): the device did not get every page right"
    local bytes=$(( $(kv "$work/wire.rep" bytes_received) + $(kv "$work/wire.rep" bytes_sent) ))
    local ideal_us
    ideal_us=$(calc '%.0f' 'b * 1000000 / r + f * 1000' b="$bytes" r="$bytes_per_second" \
        f="$fixed")
    local wall_us line_us
    wall_us=$(kv "$work/wire.use" wall_us)
    line_us=$(kv "$work/wire.rep" line_time_us)
    eval "${scenario}_total+=($(calc '%.4f' 'w / i' w="$wall_us" i="$ideal_us"))"
    eval "${scenario}_line+=($(calc '%.4f' 'l / i' l="$line_us" i="$ideal_us"))"
    eval "${scenario}_wall+=($wall_us)"
    eval "${scenario}_ideal+=($ideal_us)"
    eval "${scenario}_slept+=($(kv "$work/wire.rep" wire_slept_us))"
    eval "${scenario}_due+=($(kv "$work/wire.rep" wire_due_us))"
    # Time off the wire per exchange: the line's time less the emulated wire and fixed waits.
    eval "${scenario}_off+=($(calc '%.0f' '(l - s - f * 1000) / (t + 1)' l="$line_us" \
        s="$(kv "$work/wire.rep" wire_slept_us)" f="$fixed" t="$(kv "$work/wire.rep" turnarounds)"))"
}
# The floor: no tool, a bare loop of write and read over the same terminal and device, with
# the same frames (and the purge the protocol makes before each request).
floor_run() {
    "$bin/kvr-bench-turnaround" --pages "$pages" --length "$length" --baud "$baud" \
        --variant floorpurge >"$work/floor.out"
    local line_us due_us slept_us count
    line_us=$(kv "$work/floor.out" floorpurge.line_time_us)
    due_us=$(kv "$work/floor.out" floorpurge.wire_due_us)
    slept_us=$(kv "$work/floor.out" floorpurge.wire_slept_us)
    count=$(kv "$work/floor.out" floorpurge.device_count)
    floor_wire+=("$(calc '%.4f' 'l / d' l="$line_us" d="$due_us")")
    floor_off+=("$(calc '%.0f' '(l - s) / (c + 1)' l="$line_us" s="$slept_us" c="$count")")
    floor_wire_median+=("$(kv "$work/floor.out" floorpurge.device_median_us)")
    floor_wire_p99+=("$(kv "$work/floor.out" floorpurge.device_p99_us)")
}
boot_total=() boot_line=() boot_wall=() boot_ideal=() boot_slept=() boot_due=() boot_off=()
app_total=() app_line=() app_wall=() app_ideal=() app_slept=() app_due=() app_off=()
floor_wire=() floor_off=() floor_wire_median=() floor_wire_p99=()
for ((i = 1; i <= repeat; ++i)); do
    # The floor runs between the tool's runs, so that all see the machine in the same state.
    echo "== full update at $baud baud and its floor, run $i of $repeat"
    wire_run boot "$fixed_boot_ms" "${device_boot[@]}"
    floor_run
    wire_run app "$fixed_app_ms" "${device_app[@]}"
done

# --- host turnaround, instant device -----------------------------------------------------
turn_median=() turn_p99=() turn_count=() floor_fast_median=() floor_fast_p99=()
for ((i = 1; i <= repeat; ++i)); do
    echo "== host turnaround without wire time and its floor, run $i of $repeat"
    "$bin/kvr-bench-turnaround" --pages "$pages" --length "$length" --variant floorpurge \
        >"$work/floor.out"
    floor_fast_median+=("$(kv "$work/floor.out" floorpurge.device_median_us)")
    floor_fast_p99+=("$(kv "$work/floor.out" floorpurge.device_p99_us)")
    start_device "$work/turn.rep" "${device_boot[@]}" --package "$package"
    run_cli "$work/turn.use" flash --port "$pty" --package "$package"
    stop_device
    [ "$cli_exit" -eq 0 ] || fail "update without wire time failed: $(cat "$work/cli.out")"
    turn_median+=("$(kv "$work/turn.rep" turnaround_median_us)")
    turn_p99+=("$(kv "$work/turn.rep" turnaround_p99_us)")
    turn_count+=("$(kv "$work/turn.rep" turnarounds)")
done
echo "== where a turnaround goes (in-process)"
"$bin/kvr-bench-turnaround" --pages "$pages" --length "$length" \
    --variant handover --variant direct --variant nolog >"$work/parts.out"

# --- waiting for a silent device ----------------------------------------------------------
echo "== waiting cost"
"$bin/kvr-bench-wait" >"$work/wait.out" || fail "kvr-bench-wait failed: $(cat "$work/wait.out")"
# The command line against a device that answers the probe and then stays silent, so that the
# first polled status waits its whole time-out; and the same command against a device whose
# second status reply is spoilt, which ends the run at once. The difference is the waiting.
silent_cpu=() silent_wall=() quick_cpu=()
for ((i = 1; i <= repeat; ++i)); do
    start_device "$work/silent.rep" "${device_boot[@]}" --package "$package" \
        --fault no-reply:status:2:0
    run_cli "$work/silent.use" flash --port "$pty" --package "$package"
    stop_device
    [ "$cli_exit" -eq 1 ] && grep -qx "$exchange_error" "$work/cli.out" ||
        fail "the run against a silent device did not end with the exchange error"
    silent_cpu+=("$(kv "$work/silent.use" cpu_us)")
    silent_wall+=("$(kv "$work/silent.use" wall_us)")
    start_device "$work/quick.rep" "${device_boot[@]}" --package "$package" \
        --fault wrong-echo:status:2:0
    run_cli "$work/quick.use" flash --port "$pty" --package "$package"
    stop_device
    [ "$cli_exit" -eq 1 ] || fail "the run against a spoilt reply did not fail"
    quick_cpu+=("$(kv "$work/quick.use" cpu_us)")
done

# --- package load and the update log (Google Benchmark) -----------------------------------
echo "== package load"
"$bin/kvr-bench-package" --benchmark_format=csv --benchmark_repetitions=3 \
    --benchmark_report_aggregates_only=true 2>/dev/null >"$work/package.csv"
# The whole command on a 64 MiB package: a fresh process, as the operator meets it.
"$bin/kvr-mkpackage" -o "$work/big.bsk" --pages 65536 --page-size 1024 >/dev/null
big_bytes=$(stat -c %s "$work/big.bsk")
info_wall=() info_rss=() touch_wall=()
for ((i = 1; i <= repeat; ++i)); do
    run_cli "$work/info.use" info "$work/big.bsk"
    [ "$cli_exit" -eq 0 ] || fail "info on the 64 MiB package failed: $(cat "$work/cli.err")"
    info_wall+=("$(kv "$work/info.use" wall_us)")
    info_rss+=("$(kv "$work/info.use" maxrss_kb)")
    # Its floor: a process that only fills 64 MiB of fresh memory (dd's buffer) once.
    "$bin/kvr-bench-rusage" "$work/touch.use" dd if=/dev/zero of=/dev/null bs=64M count=1 \
        status=none
    touch_wall+=("$(kv "$work/touch.use" wall_us)")
done
echo "== update log"
"$bin/kvr-bench-log" --benchmark_format=csv --benchmark_repetitions=3 \
    --benchmark_report_aggregates_only=true 2>/dev/null >"$work/log.csv"
echo "== record"
KVR_BENCH_PG_URL=$pg_url "$bin/kvr-bench-record" --benchmark_format=csv \
    --benchmark_repetitions=3 --benchmark_report_aggregates_only=true 2>/dev/null \
    >"$work/record.csv"
"$root/scripts/pg-test-server.sh" stop "$pg_dir"

# csv_field FILE NAME COLUMN: a column of the row whose name is NAME (quotes stripped).
csv_field() {
    awk -F, -v name="\"$2\"" -v column="$3" '
        NR == 1 { for (i = 1; i <= NF; ++i) { h = $i; gsub(/"/, "", h); col[h] = i } next }
        $1 == name { print $(col[column]) }' "$1"
}
load_end=$(cut -d' ' -f1-3 /proc/loadavg)

# --- the table ----------------------------------------------------------------------------
load_ms() { csv_field "$work/package.csv" "BM_LoadFile/$1/real_time_median" real_time; }
peak() { csv_field "$work/package.csv" "BM_LoadFile/$1/real_time_median" peak_per_file_byte; }
log_rate() { csv_field "$work/log.csv" "$1/real_time_median" items_per_second; }
record_ms() { csv_field "$work/record.csv" "$1_median" real_time; }

table=$work/table.md
{
    echo "Measured $started by \`scripts/bench.sh\` on $machine; load average $load_start at"
    echo "the start, $load_end at the end. Whole-update figures: median of $repeat runs, range"
    echo "in brackets. 256 pages, $length data bytes asked for with each, $baud baud."
    echo
    echo "| figure | measured | goal | |"
    echo "|---|---|---|---|"
    r=$(median "${boot_total[@]}")
    echo "| full update at $baud baud, device in its bootloader: whole command / ideal" \
        "(ideal $(sec "$(median "${boot_ideal[@]}")"), command $(sec "$(median "${boot_wall[@]}")"))" \
        "| $(spread "${boot_total[@]}") | ≤ 1.02 | $(verdict "$r" '<=' 1.02) |"
    echo "| the same, on the line (first request byte to last reply byte) / ideal" \
        "| $(spread "${boot_line[@]}") | | |"
    r=$(median "${app_total[@]}")
    echo "| full update from the application (bootloader entry, framing switch): whole" \
        "command / ideal (ideal $(sec "$(median "${app_ideal[@]}")"))" \
        "| $(spread "${app_total[@]}") | ≤ 1.02 | $(verdict "$r" '<=' 1.02) |"
    echo "| the same, on the line / ideal | $(spread "${app_line[@]}") | | |"
    echo "| floor: bare write/read loop, same frames and device, on the line / wire time" \
        "| $(spread "${floor_wire[@]}") | | |"
    echo "| time off the wire per exchange, mean: tool (bootloader scenario) / floor" \
        "| $(spread_us_ms "${boot_off[@]}") / $(spread_us_ms "${floor_off[@]}") | | |"
    echo "| wire-time emulation: sleeps / wire time due (boot scenario)" \
        "| $(calc '%.4f' 's / d' s="$(median "${boot_slept[@]}")" d="$(median "${boot_due[@]}")") | | |"
    scale_rows
    station_rows
    r=$(median "${turn_median[@]}")
    echo "| host turnaround without wire time, median (last reply byte to next request byte," \
        "device side; $(median "${turn_count[@]}") per run) | $(spread_us_ms "${turn_median[@]}")" \
        "| ≤ 0.2 ms | $(verdict "$r" '<=' 200) |"
    echo "| the same, 99th percentile | $(spread_us_ms "${turn_p99[@]}") | | |"
    echo "| floor without wire time: median / 99th percentile" \
        "| $(spread_us_ms "${floor_fast_median[@]}") / $(spread_us_ms "${floor_fast_p99[@]}") | | |"
    echo "| floor at $baud baud: median / 99th percentile" \
        "| $(spread_us_ms "${floor_wire_median[@]}") / $(spread_us_ms "${floor_wire_p99[@]}") | | |"
    for v in handover direct nolog; do
        echo "| in-process, $v: the host's own work per turnaround, median / 99th percentile;" \
            "device side median" \
            "| $(kv "$work/parts.out" "$v.host_median_us") µs /" \
            "$(kv "$work/parts.out" "$v.host_p99_us") µs;" \
            "$(kv "$work/parts.out" "$v.device_median_us") µs | | |"
    done
    v=$(kv "$work/wait.out" serial.cpu_us)
    echo "| waiting cost: one TSerialComm Read waiting $(sec "$(kv "$work/wait.out" serial.wall_us)")" \
        "on a silent terminal, CPU | $(cpu "$v") | ≤ 50 ms | $(verdict "$v" '<=' 50000) |"
    v=$(kv "$work/wait.out" engine.cpu_us)
    echo "| waiting cost: an update run waiting $(sec "$(kv "$work/wait.out" engine.wall_us)")" \
        "for an unanswered status, CPU of its thread | $(cpu "$v") | ≤ 50 ms |" \
        "$(verdict "$v" '<=' 50000) |"
    # The goal is held against the whole command, start-up included; the difference from the
    # run that ends at once is the waiting's own share (within the noise of two processes).
    v=$(median "${silent_cpu[@]}")
    echo "| waiting cost: \`kvr-uplinker-cli flash\` waiting $(sec "$(median "${silent_wall[@]}")")" \
        "for a silent device, CPU of the whole command (the same run ending at once:" \
        "$(cpu "$(median "${quick_cpu[@]}")")) | $(cpu "$v") | ≤ 50 ms | $(verdict "$v" '<=' 50000) |"
    for m in 1 16 64; do
        goal="" mark=""
        if [ "$m" = 64 ]; then
            goal="< 500 ms, peak < 2.5 × file"
            mark=$(verdict "$(load_ms 64)" '<' 500)
            [ "$(verdict "$(peak 64)" '<' 2.5)" = met ] || mark="**missed**"
        fi
        echo "| package load $m MiB (LoadFile, median of 3): time, peak heap / file size" \
            "| $(calc '%.1f ms' v "v=$(load_ms "$m")"), $(calc '%.2f' v "v=$(peak "$m")") | $goal | $mark |"
    done
    v=$(median "${info_wall[@]}")
    echo "| \`kvr-uplinker-cli info\` on the 64 MiB package, whole process: time, largest" \
        "resident set / file size | $(sec "$v"), $(calc '%.2f' 'r * 1024 / b' \
        r="$(median "${info_rss[@]}")" b="$big_bytes") | | |"
    echo "| floor: a process filling 64 MiB of fresh memory once (dd), time" \
        "| $(sec "$(median "${touch_wall[@]}")") | | |"
    echo "| update log: entries per second, dump of a 268-byte frame" \
        "| $(calc '%.0f' v "v=$(log_rate BM_Entry/frame268)") | | |"
    echo "| update log: entries per second, text only" \
        "| $(calc '%.0f' v "v=$(log_rate BM_Entry/text)") | | |"
    for engine in sqlite postgresql; do
        take=$(record_ms "BM_TakeNumber/$engine")
        row=$(record_ms "BM_RunRow/$engine")
        [ -n "$take" ] && [ -n "$row" ] || continue
        echo "| record on $engine: a serial number taken (committed) / a run's row written and" \
            "completed; both against one update alone | $(calc '%.2f ms' v "v=$take") /" \
            "$(calc '%.2f ms' v "v=$row"); $(calc '%.4f %%' '(t + r) * 100000 / u' t="$take" \
            r="$row" u="$(median ${scale_wall[${scale_counts[0]}]})") | < 1 % | |"
    done
    # A pool's status reads counts kept with the pool: the same cost whatever the numbers used
    # (these two figures are in microseconds).
    for engine in sqlite postgresql; do
        small=$(record_ms "BM_PoolStatus/$engine/100")
        big=$(record_ms "BM_PoolStatus/$engine/1000000")
        [ -n "$small" ] && [ -n "$big" ] || continue
        r=$(calc '%.2f' 'b / s' b="$big" s="$small")
        echo "| record on $engine: \`pool status\` of a pool with 1,000,000 numbers used / with" \
            "100 ($(calc '%.3f ms' 'v / 1000' v="$big") / $(calc '%.3f ms' 'v / 1000' v="$small"))" \
            "| $r | ≤ 1.5 | $(verdict "$r" '<=' 1.5) |"
    done
    echo "| update log at its size limit (every entry overwrites, wrapping after the" \
        "byte-order mark): entries per second, 268-byte dump" \
        "| $(calc '%.0f' v "v=$(log_rate BM_AtLimit/frame268)") | | |"
} >"$table"

echo
cat "$table"

if [ "$write_readme" -eq 1 ]; then
    readme=$root/bench/README.md
    begin='<!-- bench.sh: begin -->'
    end='<!-- bench.sh: end -->'
    if grep -qxF "$begin" "$readme" && grep -qxF "$end" "$readme"; then
        awk -v begin="$begin" -v end="$end" -v table="$table" '
            $0 == begin { print; while ((getline line < table) > 0) print line; skip = 1; next }
            $0 == end { skip = 0 }
            !skip { print }' "$readme" >"$work/README.md"
    else
        { cat "$readme"; echo; echo "$begin"; cat "$table"; echo "$end"; } >"$work/README.md"
    fi
    # Replaced in one step, so that an interrupted run leaves the old file whole.
    cp "$work/README.md" "$readme.tmp" && mv "$readme.tmp" "$readme"
    echo
    echo "Written to bench/README.md."
fi
