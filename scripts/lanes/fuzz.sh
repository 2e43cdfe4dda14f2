#!/usr/bin/env bash
# CI: every fuzz harness for 30 seconds; any finding fails the run.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
exec "$root/scripts/fuzz.sh" 30
