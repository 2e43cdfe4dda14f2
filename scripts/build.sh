#!/usr/bin/env bash
# Configures and builds into build/ (or $KVR_BUILD_DIR), Release unless a build type is given.
# Extra arguments go to cmake.
# ccache, when present, keeps rebuilds of the several lanes short; it is keyed relative to
# the checkout so that a fresh clone in another folder reuses it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KVR_BUILD_DIR:-$root/build}
launcher=()
if command -v ccache >/dev/null 2>&1; then
    export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
# Optimised unless the caller picks a build type: the operator's build, and the one the main
# test run uses, since optimisation finds what -O0 hides.
build_type=(-DCMAKE_BUILD_TYPE=Release)
for arg in "$@"; do
    case "$arg" in -DCMAKE_BUILD_TYPE=*) build_type=() ;; esac
done
cmake -S "$root" -B "$build" -G Ninja "${launcher[@]}" "${build_type[@]}" "$@" >/dev/null
cmake --build "$build" -j "$(nproc)" ${KVR_BUILD_TARGETS:-}
