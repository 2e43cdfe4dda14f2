#!/usr/bin/env bash
# Sets everything up and runs every test. Ends with ctest's summary of the main build.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

"$root/scripts/deps.sh" --wine --fuzz
export QT_QPA_PLATFORM=offscreen

# Extra lanes (Windows half under Wine, sanitizers, fuzzing) come first so that the
# closing lines are the main build's summary.
for lane in "$root"/scripts/lanes/*.sh; do
    [ -e "$lane" ] || continue
    echo "== lane $(basename "$lane" .sh)"
    bash "$lane"
done

echo "== main build"
"$root/scripts/build.sh"
cd "$root/build"
ctest --output-on-failure -j "$(nproc)" --timeout 300
