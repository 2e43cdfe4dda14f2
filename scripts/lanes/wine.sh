#!/usr/bin/env bash
# The tool as a Windows program: Qt for Windows built once (scripts/qt-windows.sh), the whole
# tree cross-built with mingw-w64 (scripts/windows-build.sh), and under Wine:
# - every test program that needs no Linux pseudo-terminal; two null-modem pairs of
#   pseudo-terminals (tests/serial/wine/NullModemRelay.cpp) stand in for COM5<->COM6 and
#   COM7<->COM8, and COM9 is published through Wine's port registry so that the registry port
#   list has a known entry;
# - whole updates by kvr-uplinker-cli.exe and by the window (Xvfb) against the Linux
#   kvr-devsim (tests/windows/wine_end_to_end.sh), screenshots in build-win64/screenshots, the
#   record on SQLite and on a local PostgreSQL server;
# then the operator's zip (scripts/package-windows.sh). The first run on a machine builds Qt
# (about 25 minutes on two cores); later runs reuse it while its key holds.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${KVR_WIN64_BUILD_DIR:-$root/build-win64}
export KVR_WIN64_BUILD_DIR=$build

"$root/scripts/deps.sh" --wine

echo "-- Qt for Windows"
start=$SECONDS
"$root/scripts/qt-windows.sh" >/dev/null
echo "-- Qt for Windows ready after $((SECONDS - start)) s"

echo "-- cross build (mingw-w64, static Qt)"
"$root/scripts/windows-build.sh"
# The simulated device and the package maker run on Linux.
KVR_BUILD_TARGETS="--target kvr-devsim kvr-mkpackage" "$root/scripts/build.sh"
linux_bin=${KVR_BUILD_DIR:-$root/build}/bin

relay_src=$root/tests/serial/wine/NullModemRelay.cpp
relay=$build/nullmodem-relay
# One compile of a second: built every time rather than kept and keyed.
g++ -std=c++20 -O1 -pthread -Wall -Wextra -Werror -o "$relay" "$relay_src"

export WINEPREFIX=$build/wineprefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset WAYLAND_DISPLAY QT_QPA_PLATFORM

# One X display for the whole lane: Wine's desktop process, started with the server, keeps the
# display it was started with. The window tests run on Qt's Windows platform on it.
display=:96
Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
export DISPLAY=$display

relay_pid=""
relay_out=$(mktemp)
pg_dir=$build/pgtest
cleanup() {
    "$root/scripts/pg-test-server.sh" stop "$pg_dir" 2>/dev/null || true
    wineserver -k 2>/dev/null || true
    kill "$xvfb_pid" 2>/dev/null || true
    if [ -n "$relay_pid" ]; then
        kill "$relay_pid" 2>/dev/null || true
        wait "$relay_pid" 2>/dev/null || true
    fi
    rm -f "$relay_out"
}
trap cleanup EXIT

wineserver -k 2>/dev/null || true
# The prefix is kept between runs, for the Wine that made it.
wine_key="$(wine --version) $(dpkg-query -W -f='${Version}' wine64 2>/dev/null)"
if [ ! -f "$WINEPREFIX/system.reg" ] || [ "$(cat "$WINEPREFIX/.kvr-key" 2>/dev/null)" != "$wine_key" ]; then
    echo "-- creating the Wine prefix"
    rm -rf "$WINEPREFIX"
    wine wineboot --init </dev/null >/dev/null 2>&1
    echo "$wine_key" >"$WINEPREFIX/.kvr-key"
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
# COM10 is the simulated device's: the end-to-end runs point this link at its terminal.
ln -sfn "$port_b" "$WINEPREFIX/devsim-port"
wine reg add 'HKLM\Software\Wine\Ports' /v COM10 /d "$WINEPREFIX/devsim-port" /f \
    </dev/null >/dev/null 2>&1
# COM11, a second simulated device for the station window's two lanes.
ln -sfn "$port_a" "$WINEPREFIX/devsim-port2"
wine reg add 'HKLM\Software\Wine\Ports' /v COM11 /d "$WINEPREFIX/devsim-port2" /f \
    </dev/null >/dev/null 2>&1
wineserver -k 2>/dev/null || true
wineserver -w 2>/dev/null || true
wineserver -p </dev/null >/dev/null 2>&1  # stays up between test programs: each start is quick
# Start Wine's services now, detached from ctest's pipes (a service holding a pipe open would
# make ctest wait for it), and let them publish COM9.
wine reg query 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' </dev/null >/dev/null 2>&1

export KVR_TEST_PORT_A=COM5 KVR_TEST_PEER_A=COM6
export KVR_TEST_PORT_B=COM7 KVR_TEST_PEER_B=COM8
export KVR_TEST_REGISTRY_PORT=COM9

failed=()
echo "-- test programs under Wine"
# A test that fails is run once more: Wine now and then fails to start a program at all (no
# output, 0.00 s), which says nothing of the program.
(cd "$build" && ctest --output-on-failure --timeout 300 --repeat until-pass:2) ||
    failed+=("test programs")

# The whole updates run the programs out of the operator's zip, stripped as it ships them.
echo "-- the operator's zip"
unpacked=$build/zip-unpacked
rm -rf "$unpacked"
mkdir -p "$unpacked"
if zip=$("$root/scripts/package-windows.sh" | tail -n 1) &&
    (cd "$unpacked" && cmake -E tar xf "$zip"); then
    echo "-- whole updates under Wine, from $(basename "$zip")"
    mkdir -p "$build/screenshots"
    # The record's PostgreSQL half runs against a local server, as on Linux.
    if "$root/scripts/pg-test-server.sh" start "$pg_dir"; then
        export KVR_TEST_PG_URL KVR_TEST_PG_PASSWORD
        KVR_TEST_PG_URL=$(cat "$pg_dir/url")
        KVR_TEST_PG_PASSWORD=$(cat "$pg_dir/password")
    else
        failed+=("PostgreSQL test server")
    fi
    bash "$root/tests/windows/wine_end_to_end.sh" "$(echo "$unpacked"/*/)" "$linux_bin" \
        "$build/screenshots" || failed+=("whole updates")
else
    failed+=("zip")
fi

if [ ${#failed[@]} -gt 0 ]; then
    echo "wine lane failed: ${failed[*]}" >&2
    exit 1
fi
