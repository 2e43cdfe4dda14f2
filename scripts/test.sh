#!/usr/bin/env bash
# Sets everything up and runs every test: the extra lanes (Windows half under Wine,
# sanitizers, fuzzing) first, then the main build, whose ctest summary closes the output.
# Usage: scripts/test.sh [--quick]   (--quick: the main build only)
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

quick=0
[ "${1:-}" = "--quick" ] && quick=1

"$root/scripts/deps.sh" --wine --fuzz || exit 1
export QT_QPA_PLATFORM=offscreen

failed=()
if [ $quick -eq 0 ]; then
    for lane in "$root"/scripts/lanes/*.sh; do
        [ -e "$lane" ] || continue
        name=$(basename "$lane" .sh)
        echo "== lane $name"
        start=$SECONDS
        if ! bash "$lane"; then
            failed+=("$name")
        fi
        echo "== lane $name took $((SECONDS - start)) s"
    done
fi

echo "== main build"
if ! "$root/scripts/build.sh"; then
    echo "main build failed"
    exit 1
fi
cd "$root/build"
ctest --output-on-failure -j "$(nproc)" --timeout 300
rc=$?
if [ ${#failed[@]} -gt 0 ]; then
    echo "failed lanes: ${failed[*]}" >&2
    exit 1
fi
exit $rc
