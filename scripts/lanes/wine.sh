#!/usr/bin/env bash
# The Win32 half of the serial component: built with mingw-w64, its tests run under Wine.
# Two null-modem pairs of pseudo-terminals (tests/serial/wine/NullModemRelay.cpp) stand in for
# COM5<->COM6 and COM7<->COM8; COM9 is published through Wine's port registry so that the
# registry port list has a known entry. Ends with ctest's summary of this lane.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${KVR_WIN32_BUILD_DIR:-$root/build-win32}
jobs=$(nproc)

"$root/scripts/deps.sh" --wine

echo "-- cross build (mingw-w64)"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
    -DKVR_WITH_QT=OFF -DKVR_BENCH=OFF >/dev/null
cmake --build "$build" -j "$jobs" --target kvr_serial_tests

relay_src=$root/tests/serial/wine/NullModemRelay.cpp
relay=$build/nullmodem-relay
if [ ! -x "$relay" ] || [ "$relay_src" -nt "$relay" ]; then
    g++ -std=c++20 -O1 -pthread -Wall -Wextra -Werror -o "$relay" "$relay_src"
fi

export WINEPREFIX=$build/wineprefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

relay_pid=""
relay_out=$(mktemp)
cleanup() {
    wineserver -k 2>/dev/null || true
    if [ -n "$relay_pid" ]; then
        kill "$relay_pid" 2>/dev/null || true
        wait "$relay_pid" 2>/dev/null || true
    fi
    rm -f "$relay_out"
}
trap cleanup EXIT

if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "-- creating the Wine prefix"
    wine wineboot --init </dev/null >/dev/null 2>&1
fi

"$relay" 2 >"$relay_out" &
relay_pid=$!
for _ in $(seq 100); do
    [ "$(wc -l <"$relay_out")" -ge 2 ] && break
    sleep 0.05
done
read -r port_a peer_a < <(sed -n 1p "$relay_out")
read -r port_b peer_b < <(sed -n 2p "$relay_out")
if [ -z "${peer_b:-}" ]; then
    echo "wine lane: the null-modem relay did not start" >&2
    exit 1
fi

# Wine resolves \\.\COMn through these links at every open.
ln -sfn "$port_a" "$WINEPREFIX/dosdevices/com5"
ln -sfn "$peer_a" "$WINEPREFIX/dosdevices/com6"
ln -sfn "$port_b" "$WINEPREFIX/dosdevices/com7"
ln -sfn "$peer_b" "$WINEPREFIX/dosdevices/com8"

# Wine lists in hardware\devicemap\serialcomm only the ports of HKLM\Software\Wine\Ports (and
# the host's serial devices); it reads them when the server starts.
wine reg add 'HKLM\Software\Wine\Ports' /v COM9 /d "$port_a" /f </dev/null >/dev/null 2>&1
wineserver -k 2>/dev/null || true
wineserver -w 2>/dev/null || true
wineserver -p </dev/null >/dev/null 2>&1  # stays up between test programs: each start is quick
# Start Wine's services now, detached from ctest's pipes (a service holding a pipe open would
# make ctest wait for it), and let them publish COM9.
wine reg query 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' </dev/null >/dev/null 2>&1

export KVR_TEST_PORT_A=COM5 KVR_TEST_PEER_A=COM6
export KVR_TEST_PORT_B=COM7 KVR_TEST_PEER_B=COM8
export KVR_TEST_REGISTRY_PORT=COM9

echo "-- serial tests under Wine"
cd "$build"
ctest --output-on-failure --timeout 120
