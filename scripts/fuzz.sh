#!/usr/bin/env bash
# Builds the libFuzzer harnesses (clang, in build-fuzz/) and runs each for the given number of
# seconds (default 60), one after the other.
#
#   scripts/fuzz.sh [seconds] [harness...]      harnesses: package ini translate link setup_string
#
# Before fuzzing, each harness replays its seeds and the stored inputs of former findings under
# the sanitizers. Working corpora grow in tests/fuzz/corpus-work/<harness>/corpus (not
# committed) from tests/fuzz/seeds/<harness>/; whatever fails lands in
# tests/fuzz/corpus-work/<harness>/findings/ with the log beside it. Prints per harness the
# executions, the corpus size and the result; exits 1 when any harness found something.
#
# KVR_FUZZ_KEEP_GOING=1 runs each harness in libFuzzer's fork mode, which goes on after a
# finding (for long runs while a known fault is still open); every finding is kept and counted.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
if ! [[ "$seconds" =~ ^[1-9][0-9]*$ ]]; then
    echo "usage: scripts/fuzz.sh [seconds] [harness...]   (seconds: a whole number above 0)" >&2
    exit 2
fi
shift || true
all=(package ini translate link setup_string)
harnesses=("$@")
[ ${#harnesses[@]} -eq 0 ] && harnesses=("${all[@]}")
for h in "${harnesses[@]}"; do
    if [[ ! " ${all[*]} " =~ " $h " ]]; then
        echo "fuzz.sh: unknown harness '$h' (known: ${all[*]})" >&2
        exit 2
    fi
done

build=${KVR_FUZZ_BUILD_DIR:-$root/build-fuzz}
fuzz_dir=$root/tests/fuzz
work_root=$fuzz_dir/corpus-work

# Optimised a little so that the fuzzer runs fast; frame pointers and -g keep stacks readable.
# scripts/build.sh brings ccache when it is there.
targets=()
for h in "${harnesses[@]}"; do targets+=("fuzz_$h"); done
mkdir -p "$work_root"
if ! CXX=${CXX:-clang++} KVR_BUILD_DIR="$build" KVR_BUILD_TARGETS="--target ${targets[*]}" \
    "$root/scripts/build.sh" -DKVR_FUZZ=ON -DKVR_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug \
    "-DCMAKE_CXX_FLAGS_DEBUG=-O1 -g" >"$work_root/build.log" 2>&1; then
    tail -40 "$work_root/build.log" >&2
    echo "fuzz.sh: the harnesses did not build (whole log: $work_root/build.log)" >&2
    exit 1
fi

export ASAN_OPTIONS="abort_on_error=1:detect_leaks=1:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

failed=0
summary=()
for h in "${harnesses[@]}"; do
    bin=$build/bin/fuzz_$h
    work=$work_root/$h
    mkdir -p "$work/corpus" "$work/findings" "$work/tmp"
    export TMPDIR=$work/tmp  # the harnesses' private folders, kept out of /tmp
    inputs=("$work/corpus" "$fuzz_dir/seeds/$h")
    [ -d "$fuzz_dir/regressions/data/$h" ] && inputs+=("$fuzz_dir/regressions/data/$h")
    dict=()
    [ -f "$fuzz_dir/dicts/$h.dict" ] && dict=("-dict=$fuzz_dir/dicts/$h.dict")
    log=$work/last-run.log

    echo "== fuzz $h: ${seconds}s"
    mode=()
    [ "${KVR_FUZZ_KEEP_GOING:-0}" = 1 ] && mode=(-fork=1 -ignore_crashes=1 -ignore_timeouts=1 -ignore_ooms=1)
    status=0
    # -timeout: one input taking this long is a hang, and a finding.
    "$bin" "${mode[@]}" "${dict[@]}" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 \
        -max_len=4096 -print_final_stats=1 -artifact_prefix="$work/findings/" \
        "${inputs[@]}" >"$log" 2>&1 || status=$?
    corpus=$(find "$work/corpus" -type f | wc -l)
    if [ ${#mode[@]} -gt 0 ]; then
        # Fork mode: "#<executions>: cov: ... oom/timeout/crash: a/b/c time: ..."
        last=$(grep -E '^#[0-9]+: ' "$log" | tail -1)
        execs=$(sed -n 's/^#\([0-9]*\): .*/\1/p' <<<"$last")
        found=$(sed -n 's|.*oom/timeout/crash: \([0-9]*\)/\([0-9]*\)/\([0-9]*\).*|\1 \2 \3|p' <<<"$last")
        found_total=0
        for n in $found; do found_total=$((found_total + n)); done
        [ "$status" -ne 0 ] && found_total=$((found_total + 1))
    else
        execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
        found_total=$([ "$status" -eq 0 ] && echo 0 || echo 1)
    fi
    if [ "$found_total" -eq 0 ]; then
        result="no findings"
    else
        failed=1
        result="FINDINGS: $found_total (inputs in $work/findings/)"
        grep -E '==fuzz finding==|ERROR: (Address|Undefined|Leak)Sanitizer|runtime error' \
            "$log" | sort | uniq -c | head -5 || true
        cp "$log" "$work/findings/" 2>/dev/null || true
    fi
    summary+=("$(printf '%-13s %12s executions  %6s corpus inputs  %s' "$h" "${execs:-?}" \
        "$corpus" "$result")")
done

echo "== fuzz summary (${seconds}s each)"
printf '%s\n' "${summary[@]}"
exit "$failed"
