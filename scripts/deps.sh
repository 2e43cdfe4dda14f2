#!/usr/bin/env bash
# Installs what building, testing and the demo need, from Debian's packages.
# Usage: scripts/deps.sh [--wine] [--fuzz] [--gui]   (no flag: the core build and tests)
set -euo pipefail

# chromium: the headless browser that loads kvr-line's page in its test.
packages=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev
          qt6-base-dev qt6-base-dev-tools qt6-translations-l10n libgl-dev fonts-liberation2
          xvfb xauth ccache libsqlite3-dev libpq-dev postgresql-15 libcpp-httplib-dev chromium)
for arg in "$@"; do
    case "$arg" in
        --wine) packages+=(mingw-w64 g++-mingw-w64-x86-64 wine wine64 fonts-wine xvfb xdotool imagemagick curl) ;;
        --fuzz) packages+=(clang libclang-rt-14-dev) ;;
        --gui) packages+=(xdotool x11-apps imagemagick) ;;
        *) echo "deps.sh: unknown option $arg" >&2; exit 2 ;;
    esac
done

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "Installing: ${missing[*]}" >&2
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
