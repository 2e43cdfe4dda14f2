#!/usr/bin/env bash
# Builds the benchmarks in release mode and starts kvr-bench-report (bench/report/), which runs
# them, holds their figures against bench/goals.json, prints the table and writes it into
# bench/README.md (between the "bench.sh" markers).
#
#   scripts/bench.sh [--no-readme]
#
# Environment: KVR_BENCH_BUILD_DIR (default build-bench), KVR_BENCH_JOBS (build jobs, default
# 2), KVR_BENCH_REPEAT (runs of each whole-update figure, default 3; the median is shown with
# the range), KVR_BENCH_ONLY=scale (only the several-devices and station rows, printed and not
# written into the README). Takes about eight minutes; not part of scripts/test.sh.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KVR_BENCH_BUILD_DIR:-$root/build-bench}
args=(--repeat "${KVR_BENCH_REPEAT:-3}")
for arg in "$@"; do
    case "$arg" in
        --no-readme) args+=(--no-readme) ;;
        *) echo "usage: scripts/bench.sh [--no-readme]" >&2; exit 2 ;;
    esac
done
case "${KVR_BENCH_ONLY:-}" in
    "") ;;
    scale) args+=(--only scale) ;;
    *) echo "bench.sh: KVR_BENCH_ONLY takes \"scale\" or nothing" >&2; exit 2 ;;
esac

echo "== build (release, $build)"
"$root/scripts/deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKVR_BENCH=ON >/dev/null
cmake --build "$build" -j "${KVR_BENCH_JOBS:-2}" --target kvr-devsim kvr-uplinker-cli \
    kvr-mkpackage kvr-bench-package kvr-bench-log kvr-bench-turnaround kvr-bench-wait \
    kvr-bench-rusage kvr-bench-record kvr-bench-station kvr-bench-line kvr-bench-report
exec "$build/bin/kvr-bench-report" --goals "$root/bench/goals.json" \
    --readme "$root/bench/README.md" --pg-script "$root/scripts/pg-test-server.sh" "${args[@]}"
