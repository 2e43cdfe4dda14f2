#!/usr/bin/env bash
# AddressSanitizer + UndefinedBehaviorSanitizer over every test, then ThreadSanitizer over
# the tests that cross threads (ctest label "threads"). Any sanitizer report fails the run.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
jobs=$(nproc)

# A little optimisation keeps the instrumented tests quick; line tables are enough for stacks.
common_flags=(-DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-O1 -g1" -DKVR_BENCH=OFF)

echo "-- AddressSanitizer + UndefinedBehaviorSanitizer"
KVR_BUILD_DIR="$root/build-asan" "$root/scripts/build.sh" "${common_flags[@]}" -DKVR_ASAN=ON
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1"
export LSAN_OPTIONS="suppressions=$root/tests/sanitizers/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
(cd "$root/build-asan" && ctest --output-on-failure -j "$jobs" --timeout 600)

echo "-- ThreadSanitizer"
# Only the programs whose tests cross threads (label "threads"), and the tools they drive.
tsan_targets=(test_i18n_threads test_engine_handover test_engine_thread_faults test_devsim_pty
              test_cli_flash test_cli_flash_faults test_station test_station_ledger test_record
              test_cli_output app_run_test app_faults_test app_save_fault_test stationwin_test
              test_production_run test_line_server
              tsan_canary kvr-devsim kvr-uplinker-cli kvr-mkpackage)
KVR_BUILD_DIR="$root/build-tsan" KVR_BUILD_TARGETS="--target ${tsan_targets[*]}" \
    "$root/scripts/build.sh" "${common_flags[@]}" -DKVR_TSAN=ON
export TSAN_OPTIONS="suppressions=$root/tests/sanitizers/tsan.supp:halt_on_error=1:second_deadlock_stack=1"
(cd "$root/build-tsan" && ctest --output-on-failure -j "$jobs" --timeout 600 -L threads)
