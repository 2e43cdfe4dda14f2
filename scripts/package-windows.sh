#!/usr/bin/env bash
# Makes dist/kvr-uplinker-VERSION-windows-x64.zip: the windows, the command line and the line
# view for 64-bit Windows, static (no DLLs beside them), stripped. The operator unpacks it
# anywhere and runs kvr-uplinker.exe; settings and log.txt go beside it, or to
# %LOCALAPPDATA%\kvr-uplinker when that folder takes no files (Program Files).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KVR_WIN64_BUILD_DIR:-$root/build-win64}

"$root/scripts/windows-build.sh" kvr-uplinker kvr-uplinker-cli kvr-station kvr-line >&2
version=$(sed -n 's/^project(kvr_uplinker VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
name=kvr-uplinker-$version-windows-x64
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage/$name"
for exe in kvr-uplinker kvr-uplinker-cli kvr-station kvr-line; do
    x86_64-w64-mingw32-strip -o "$stage/$name/$exe.exe" "$build/bin/$exe.exe"
done
mkdir -p "$root/dist"
rm -f "$root/dist/$name.zip"
(cd "$stage" && cmake -E tar cf "$root/dist/$name.zip" --format=zip "$name")
echo "$root/dist/$name.zip"
