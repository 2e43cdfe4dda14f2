#!/usr/bin/env bash
# Configures and builds into build/ (or $KVR_BUILD_DIR). Extra arguments go to cmake.
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
cmake -S "$root" -B "$build" -G Ninja "${launcher[@]}" "$@" >/dev/null
cmake --build "$build" -j "$(nproc)" ${KVR_BUILD_TARGETS:-}
