#!/usr/bin/env bash
# Cross-builds the whole tool for 64-bit Windows (static, mingw-w64) into build-win64/ (or
# $KVR_WIN64_BUILD_DIR) against the Qt that scripts/qt-windows.sh builds once. Extra arguments
# are build targets (default: everything, the Windows test programs included).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KVR_WIN64_BUILD_DIR:-$root/build-win64}

qt=$("$root/scripts/qt-windows.sh" | tail -n 1)
# SQLite and libpq for the record.
db=$("$root/scripts/db-windows.sh" | tail -n 1)
# cpp-httplib for kvr-line, in its header-only form, from Debian's source package (with
# Debian's patches applied); unpacked into the build folder, in a folder keyed by the source
# package and the unpacking code, and nothing of it is built ahead.
# shellcheck source=scripts/lib/cache.sh
source "$root/scripts/lib/cache.sh"
kvr_cache_init
mkdir -p "$build"
httplib_dsc=$(kvr_fetch_source cpp-httplib "cpp-httplib_*.dsc")
httplib_key=$(kvr_key "$(kvr_source_text cpp-httplib "$httplib_dsc"
    kvr_recipe_text "$root/scripts/windows-build.sh"
    echo "dpkg-source $(kvr_pkg_version dpkg-dev)")")
httplib=$build/cpp-httplib-$httplib_key
if [ ! -f "$httplib/httplib.h" ]; then
    rm -rf "$httplib" "$httplib.tmp"
    dpkg-source --no-check -x "$httplib_dsc" "$httplib.tmp" >/dev/null
    mv -T "$httplib.tmp" "$httplib"
fi
# A build folder configured against another Qt or other libraries (another cache key) is
# configured afresh: its CMake cache still points into the old prefix.
configured() {
    grep -qxF "$1:UNINITIALIZED=$2" "$build/CMakeCache.txt" || grep -qxF "$1:PATH=$2" "$build/CMakeCache.txt"
}
if [ -f "$build/CMakeCache.txt" ] && { ! configured KVR_QT_PREFIX "$qt" || ! configured KVR_DB_PREFIX "$db"; }; then
    echo "-- $build was configured against another Qt or database libraries: configuring it afresh" >&2
    rm -rf "$build/CMakeCache.txt" "$build/CMakeFiles"
fi
launcher=()
if command -v ccache >/dev/null 2>&1; then
    export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$root" -B "$build" -G Ninja "${launcher[@]}" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DKVR_QT_PREFIX="$qt" -DKVR_DB_PREFIX="$db" -DKVR_HTTPLIB_DIR="$httplib" -DQT_HOST_PATH=/usr \
    -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake -DKVR_BENCH=OFF >/dev/null
targets=()
for t in "$@"; do targets+=(--target "$t"); done
cmake --build "$build" -j "$(nproc)" "${targets[@]}"
