#!/usr/bin/env bash
# Sets up, builds and runs a whole firmware update against the simulated КВР-17.
#
# Makes a sample package, serves the simulated device on a pseudo-terminal, and starts the
# window with that terminal offered (KVR_UPLINKER_PORTS) and selected and the package
# remembered, so that pressing "Запуск" updates the device. Arguments go to the window:
# "-t" shows the S/N panel (its buttons run the update and write the serial number),
# "-all" marks page frames as BootAll. Without a display the same update runs through
# kvr-uplinker-cli, which shows its progress. The simulated device is stopped at the end and
# the settings file beside the executable is put back as it was.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

technology=0
bootall=0
for arg in "$@"; do
    case "$arg" in
        -t) technology=1 ;;
        -all) bootall=1 ;;
    esac
done

has_display=0
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
    has_display=1
fi

if [ "$has_display" -eq 1 ]; then
    "$root/scripts/deps.sh" --gui
else
    "$root/scripts/deps.sh"
fi
echo "== building" >&2
"$root/scripts/build.sh"
bin="${KVR_BUILD_DIR:-$root/build}/bin"
for tool in kvr-uplinker kvr-uplinker-cli kvr-devsim kvr-mkpackage; do
    if [ ! -x "$bin/$tool" ]; then
        echo "demo.sh: $bin/$tool was not built" >&2
        exit 1
    fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/kvr-demo.XXXXXX")
settings="$bin/kvr-uplinker.ini"
settings_backup="$work/settings.backup"
devsim_pid=""

cleanup() {
    if [ -n "$devsim_pid" ] && kill -0 "$devsim_pid" 2>/dev/null; then
        kill -TERM "$devsim_pid" 2>/dev/null || true
        wait "$devsim_pid" 2>/dev/null || true
    fi
    if [ -f "$settings_backup" ]; then
        cp -p "$settings_backup" "$settings"
    elif [ "$has_display" -eq 1 ]; then
        rm -f "$settings"
    fi
    if [ -s "$work/device-report.txt" ]; then
        echo "== simulated device" >&2
        cat "$work/device-report.txt" >&2
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

package="$work/kvr17-demo.bsk"
"$bin/kvr-mkpackage" --out "$package" --pages 64 --hw 1,2,10 --programs 1.2.0.3,1.3.0.0 \
    --seed 17 >/dev/null

devsim_args=(--package "$package" --baud 115200 --report "$work/device-report.txt")
# In technology mode the device has to accept the serial number after the update.
[ "$technology" -eq 1 ] && devsim_args+=(--final-status 10)
"$bin/kvr-devsim" "${devsim_args[@]}" >"$work/devsim.out" 2>"$work/devsim.err" &
devsim_pid=$!

# The first line of its output names the pseudo-terminal.
pty=""
for _ in $(seq 1 100); do
    if [ -s "$work/devsim.out" ]; then
        pty=$(head -n 1 "$work/devsim.out")
        [ -n "$pty" ] && break
    fi
    if ! kill -0 "$devsim_pid" 2>/dev/null; then
        break
    fi
    sleep 0.1
done
if [ -z "$pty" ]; then
    echo "demo.sh: the simulated device did not start:" >&2
    cat "$work/devsim.err" >&2
    exit 1
fi
echo "== simulated device on $pty" >&2

if [ "$has_display" -eq 0 ]; then
    echo "== no display: running the update with kvr-uplinker-cli" >&2
    flash_args=(flash --port "$pty" --package "$package")
    [ "$bootall" -eq 1 ] && flash_args+=(--bootall)
    [ "$technology" -eq 1 ] && flash_args+=(--technology --sn 12345678 --hw 1)
    status=0
    "$bin/kvr-uplinker-cli" "${flash_args[@]}" </dev/null || status=$?
    exit "$status"
fi

# The window restores only the port indices 0 to 3; the terminal comes after the system's
# own serial ports.
export KVR_UPLINKER_PORTS="$pty"
index=$("$bin/kvr-uplinker-cli" ports | grep -n -x -F -- "$pty" | head -n 1 | cut -d: -f1)
port_index=$((index - 1))
if [ "$port_index" -gt 3 ]; then
    echo "demo.sh: pick $pty in the port list by hand (this machine offers many ports)" >&2
fi

[ -f "$settings" ] && cp -p "$settings" "$settings_backup"
printf '[Common]\r\nPortIndex=%s\r\nFileName=%s\r\nSN=12345678\r\nHW=1\r\n\r\n' \
    "$port_index" "$package" >"$settings"

if [ "$technology" -eq 1 ]; then
    echo "== press \"+1\" or the button below it to update the device" >&2
else
    echo "== press \"Запуск\" to update the device; close the window to end the demo" >&2
fi
"$bin/kvr-uplinker" "$@"
