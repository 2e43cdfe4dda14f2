#!/usr/bin/env bash
# kvr-station as an operator meets it, under Xvfb: a recipe of 4 ports on 4 simulated devices,
# one of which refuses its serial number; Start pressed, all four updated, every run in the
# recipe's record; a screenshot of the window to look at.
# Usage: xvfb_station.sh BIN_DIR SCREENSHOT_DIR   (exit 77: no X tools here)
set -uo pipefail
bin=$1
shots=$2
for tool in Xvfb xdotool import; do
    command -v "$tool" >/dev/null || { echo "skip: $tool is not installed"; exit 77; }
done
work=$(mktemp -d "${TMPDIR:-/tmp}/kvr-station-xvfb.XXXXXX")
pids=()
cleanup() {
    [ ${#pids[@]} -gt 0 ] && kill "${pids[@]}" 2>/dev/null
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

# A display of our own.
display=""
for n in $(seq 140 160); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] || { display=:$n; break; }
done
[ -n "$display" ] || fail "no free X display"
Xvfb "$display" -screen 0 1366x768x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
export DISPLAY=$display
# A real window on that display, whatever the suite around it chose for its own tests.
export QT_QPA_PLATFORM=xcb
# Under AddressSanitizer: Qt's xcb start-up has libxkbcommon-x11 strndup a keymap name past the
# reply libxcb gave it, which ASan's strndup check reports before any of our code runs.
if [ -n "${ASAN_OPTIONS:-}" ]; then
    export ASAN_OPTIONS="$ASAN_OPTIONS:intercept_strndup=0"
fi
for _ in $(seq 50); do xdotool getmouselocation >/dev/null 2>&1 && break; sleep 0.1; done

cp "$bin/kvr-station" "$bin/kvr-uplinker-cli" "$work/"
"$bin/kvr-mkpackage" --out "$work/kvr17-1.2.0.3.bsk" --pages 16 --hw 1,2 --programs 1.2.0.3 \
    >/dev/null
ports=()
for i in 1 2 3 4; do
    extra=()
    [ "$i" -eq 3 ] && extra=(--refuse-serial)
    "$bin/kvr-devsim" --package "$work/kvr17-1.2.0.3.bsk" --start-in-bootloader \
        --final-status 10 --restart-delay 200 "${extra[@]}" >"$work/dev$i.out" 2>/dev/null &
    pids+=($!)
done
for i in 1 2 3 4; do
    for _ in $(seq 100); do [ -s "$work/dev$i.out" ] && break; sleep 0.05; done
    ports+=("$(head -n 1 "$work/dev$i.out")")
done
sha=$(sha256sum "$work/kvr17-1.2.0.3.bsk" | cut -d' ' -f1)
joined=$(IFS=';'; echo "${ports[*]}")
sed -e "s/^PackageSHA256=.*/PackageSHA256=$sha/" -e "s#^Ports=.*#Ports=$joined#" \
    "$(dirname "$0")/../../stationwin/sample-recipe.ini" >"$work/line2.ini"
"$work/kvr-uplinker-cli" pool create line2 --first 000101 --record "sqlite:$work/records.sqlite" \
    >/dev/null || fail "pool create"

"$work/kvr-station" "$work/line2.ini" >"$work/station.out" 2>&1 &
station=$!
pids+=($station)
window=$(timeout 90 xdotool search --sync --onlyvisible --name "^KVRUplinker Station" | head -n 1)
[ -n "$window" ] || fail "no window: $(cat "$work/station.out")"
xdotool windowsize "$window" 1366 740 windowmove "$window" 0 0
sleep 0.5
history() { "$work/kvr-uplinker-cli" history --json --record "sqlite:$work/records.sqlite"; }
# Start has the focus: the first button of the window. A press that came before the window
# took input is pressed again; once running, Start is disabled and further presses do nothing.
for _ in $(seq 240); do
    [ "$(history | grep -o '"outcome":"[a-z_]*"' | grep -vc open)" -ge 4 ] && break
    if [ $((SECONDS % 5)) -eq 0 ] && [ "$(history | grep -c '"run"')" -eq 0 ]; then
        xdotool windowactivate --sync "$window" key space 2>/dev/null ||
            xdotool windowfocus "$window" key space 2>/dev/null
    fi
    sleep 0.5
done
sleep 0.5
mkdir -p "$shots"
import -window root "$shots/kvr-station.png" 2>/dev/null
runs=$(history)
[ "$(grep -o '"outcome":"success"' <<<"$runs" | wc -l)" -eq 3 ] ||
    fail "three successes expected: $runs"
[ "$(grep -o '"sn_state":"failed"' <<<"$runs" | wc -l)" -eq 1 ] ||
    fail "one refused number expected: $runs"
# Stop, the button beside Start (Tab moves the focus there): every lane ends its loop and
# Start comes back. (Closing is the offscreen test's: without a window manager nothing here
# can ask a window to close.)
xdotool windowactivate --sync "$window" key Tab key space 2>/dev/null
sleep 2
import -window root "$work/stopped.png" 2>/dev/null
kill -0 "$station" 2>/dev/null || fail "the window went away on Stop: $(cat "$work/station.out")"
echo "kvr-station under Xvfb: 4 lanes updated, 3 confirmed, 1 refused; screenshot $shots/kvr-station.png"
