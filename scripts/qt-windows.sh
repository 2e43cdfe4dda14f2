#!/usr/bin/env bash
# Builds Qt for 64-bit Windows (static, mingw-w64) from Debian's own qt6-base source, once,
# into a cache folder outside the checkout; later runs and CI on the same machine reuse it.
# Prints the install prefix on its last line.
# Usage: scripts/qt-windows.sh            (KVR_CACHE_DIR overrides ~/.cache/kvr-uplinker)
#
# Only what the tool uses is built: Core, Gui, Widgets, Test and the Windows platform plugin.
# Two traps of Qt 6.4.2: Debian's source has no wintab.h (tablet events off), and the Windows
# platform plugin does not compile without OpenGL (left on: dynamic OpenGL, nothing to link).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cache=${KVR_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/kvr-uplinker}
version=6.4.2
prefix=$cache/qt-$version-win64-static
stamp=$prefix/.complete

if [ -f "$stamp" ]; then
    echo "$prefix"
    exit 0
fi

"$root/scripts/deps.sh" --wine >&2

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
src_list=/etc/apt/sources.list.d/kvr-deb-src.sources
if ! apt-get indextargets 2>/dev/null | grep -q 'Created-By: Sources'; then
    echo "-- adding deb-src for bookworm" >&2
    printf '%s\n' 'Types: deb-src' 'URIs: http://deb.debian.org/debian' 'Suites: bookworm' \
        'Components: main' 'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg' |
        $sudo tee "$src_list" >/dev/null
    $sudo apt-get update -qq
fi

mkdir -p "$cache/src"
cd "$cache/src"
orig=$(ls qt6-base_${version}*.orig.tar.* 2>/dev/null | head -n 1 || true)
if [ -z "$orig" ]; then
    echo "-- fetching the qt6-base source package" >&2
    apt-get source --download-only qt6-base >&2
    orig=$(ls qt6-base_${version}*.orig.tar.* | head -n 1)
fi
srcdir=$cache/src/qtbase-$version
if [ ! -f "$srcdir/CMakeLists.txt" ]; then
    rm -rf "$srcdir" "$srcdir.tmp"
    mkdir -p "$srcdir.tmp"
    tar -xf "$orig" -C "$srcdir.tmp" --strip-components=1
    mv "$srcdir.tmp" "$srcdir"
fi

build=$cache/build-qt-$version-win64
start=$SECONDS
echo "-- configuring Qt $version for Windows (static)" >&2
features=(sql network dbus vulkan printsupport icu xml concurrent jpeg gif tabletevent
          sessionmanager textmarkdownreader textmarkdownwriter textodfwriter pdf direct2d
          system_zlib system_pcre2 system_freetype system_harfbuzz system_png system_jpeg
          system_doubleconversion)
feature_args=()
for f in "${features[@]}"; do feature_args+=("-DFEATURE_$f=OFF"); done
cmake -S "$srcdir" -B "$build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DBUILD_SHARED_LIBS=OFF -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF \
    -DQT_BUILD_BENCHMARKS=OFF -DQT_BUILD_MANUAL_TESTS=OFF -DQT_GENERATE_SBOM=OFF \
    -DFEATURE_opengl=ON -DFEATURE_sql_sqlite=OFF "${feature_args[@]}" >&2
echo "-- building Qt (about 40 minutes on two cores, once)" >&2
cmake --build "$build" -j "$(nproc)" >&2
cmake --install "$build" >&2
touch "$stamp"
rm -rf "$build"
echo "-- Qt for Windows built in $((SECONDS - start)) s, $(du -sh "$prefix" | cut -f1)" >&2
echo "$prefix"
