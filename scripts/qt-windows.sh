#!/usr/bin/env bash
# Builds Qt for 64-bit Windows (static, mingw-w64) from Debian's own qt6-base source into a
# cache folder outside the checkout; later runs and CI on the same machine reuse it.
# Prints the install prefix on its last line.
# Usage: scripts/qt-windows.sh [--key]   (--key: print the cache key and what it is made of)
# KVR_CACHE_DIR overrides ~/.cache/kvr-uplinker.
#
# The cache is keyed (scripts/lib/cache.sh): the install folder's name carries a hash of
# everything that decides the build (the source package, the configure arguments, the
# toolchain file, this script and the cache's own code, the compilers, the host's Qt tools and
# CMake), and its stamp holds the text that was hashed. A change of any of them builds Qt anew
# into a folder of its own, so an older build never stands in for a newer configuration.
#
# Only what the tool uses is built: Core, Gui, Widgets, Test and the Windows platform plugin.
# Traps of Qt 6.4.2, each behind a setting below:
# - Debian's source has no wintab.h: tablet events off.
# - The Windows platform plugin does not compile without OpenGL: left on (dynamic OpenGL,
#   nothing to link).
# - The plugin creates the DirectWrite font database whenever DirectWrite 3 is there, but Gui
#   only compiles that database (and the DirectWrite font engine) with Direct2D on: with
#   direct2d off the window does not link. Direct2D stays on; direct2d1_1 goes off instead,
#   which leaves out only the Direct2D platform plugin, which the tool does not use.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
self=$root/scripts/qt-windows.sh
# shellcheck source=scripts/lib/cache.sh
source "$root/scripts/lib/cache.sh"
version=6.4.2
toolchain=$root/cmake/mingw-w64.cmake
print_key=0
[ "${1:-}" = "--key" ] && print_key=1

features=(sql network dbus vulkan printsupport icu xml concurrent jpeg gif tabletevent
          sessionmanager textmarkdownreader textmarkdownwriter textodfwriter pdf direct2d1_1
          system_zlib system_pcre2 system_freetype system_harfbuzz system_png system_jpeg
          system_doubleconversion)
configure_args=(-G Ninja -DCMAKE_BUILD_TYPE=Release
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake
    -DBUILD_SHARED_LIBS=OFF -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF
    -DQT_BUILD_BENCHMARKS=OFF -DQT_BUILD_MANUAL_TESTS=OFF -DQT_GENERATE_SBOM=OFF
    -DFEATURE_opengl=ON -DFEATURE_direct2d=ON -DFEATURE_sql_sqlite=OFF)
for f in "${features[@]}"; do configure_args+=("-DFEATURE_$f=OFF"); done

"$root/scripts/deps.sh" --wine >&2

kvr_cache_init
dsc=$(kvr_fetch_source qt6-base "qt6-base_${version}*.dsc")
# Only the upstream tarball is built, without Debian's patches.
orig=$(ls "$cache"/src/qt6-base_${version}*.orig.tar.* | head -n 1)
orig_sha=$(sha256sum "$orig" | cut -d' ' -f1)

key_text=$(
    kvr_source_text qt "$dsc"
    echo "qt $version built from $(basename "$orig")"
    echo "configure ${configure_args[*]}"
    echo "toolchain sha256 $(sha256sum "$toolchain" | cut -d' ' -f1)"
    kvr_recipe_text "$self"
    echo "gcc $(x86_64-w64-mingw32-gcc-posix -dumpfullversion) $(kvr_pkg_version gcc-mingw-w64-x86-64-posix)"
    echo "g++ $(x86_64-w64-mingw32-g++-posix -dumpfullversion) $(kvr_pkg_version g++-mingw-w64-x86-64-posix)"
    echo "mingw-w64 headers $(kvr_pkg_version mingw-w64-x86-64-dev)"
    echo "binutils $(kvr_pkg_version binutils-mingw-w64-x86-64)"
    echo "host qt tools $(kvr_pkg_version qt6-base-dev-tools)"
    echo "cmake $(cmake --version | head -n 1)"
)
key=$(kvr_key "$key_text")
if [ $print_key -eq 1 ]; then
    echo "$key_text"
    echo "key $key"
    exit 0
fi

prefix=$cache/qt-$version-win64-static-$key
if kvr_cache_complete "$prefix" "$key_text"; then
    echo "$prefix"
    exit 0
fi
echo "-- no Qt for Windows with key $key in $cache: building it" >&2

# The extracted source is keyed by the tarball it came from.
srcdir=$cache/src/qtbase-$version-${orig_sha:0:16}
if [ ! -f "$srcdir/CMakeLists.txt" ]; then
    rm -rf "$srcdir" "$srcdir.tmp"
    mkdir -p "$srcdir.tmp"
    tar -xf "$orig" -C "$srcdir.tmp" --strip-components=1
    mv "$srcdir.tmp" "$srcdir"
fi

# A build folder of the same key may be resumed. The install goes under a temporary root with
# the prefix's own path (the paths Qt writes into its files stay right) and is renamed into place.
build=$cache/build-qt-$version-win64-$key
stage_root=$(kvr_cache_temp "qt-$version-win64-$key")
trap 'rm -rf "$stage_root"' EXIT
start=$SECONDS
echo "-- configuring Qt $version for Windows (static)" >&2
cmake -S "$srcdir" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_INSTALL_PREFIX="$prefix" "${configure_args[@]}" >&2
echo "-- building Qt (about 25 minutes on two cores, once per key)" >&2
cmake --build "$build" -j "$(nproc)" >&2
DESTDIR=$stage_root cmake --install "$build" >&2
kvr_cache_install "$stage_root$prefix" "$prefix" "$key_text"
rm -rf "$build"
echo "-- Qt for Windows built in $((SECONDS - start)) s, $(du -sh "$prefix" | cut -f1)" >&2
echo "$prefix"
