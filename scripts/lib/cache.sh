# shellcheck shell=bash
# The build cache that qt-windows.sh, db-windows.sh and windows-build.sh share; sourced, not run.
#
# A cached build lives in a folder whose name carries a hash (the key) of a text that names
# everything deciding the build: the source packages (each .dsc and every file it lists), the
# flags, the compilers, the recipe script and this file. The folder's .complete stamp holds
# that text. A build runs in a temporary folder inside the cache and is renamed into place only
# when complete, so an interrupted one leaves nothing that looks finished.
#
# KVR_CACHE_DIR overrides ~/.cache/kvr-uplinker.

kvr_cache_lib=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/cache.sh
kvr_sudo=""
[ "$(id -u)" -ne 0 ] && kvr_sudo="sudo"

# Sets $cache to the cache folder (absolute, created with its src/).
kvr_cache_init() {
    cache=${KVR_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/kvr-uplinker}
    mkdir -p "$cache/src"
    cache=$(cd "$cache" && pwd)
}

# Debian's source packages, once per machine.
kvr_deb_src() {
    local list=/etc/apt/sources.list.d/kvr-deb-src.sources
    apt-get indextargets 2>/dev/null | grep -q 'Created-By: Sources' && return 0
    echo "-- adding deb-src for bookworm" >&2
    printf '%s\n' 'Types: deb-src' 'URIs: http://deb.debian.org/debian' 'Suites: bookworm' \
        'Components: main' 'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg' |
        $kvr_sudo tee "$list" >/dev/null
    $kvr_sudo apt-get update -qq
}

# kvr_fetch_source PACKAGE DSC_GLOB: prints the .dsc's full path in $cache/src, fetching the
# source package first when no .dsc matches (the newest matching one is taken).
kvr_fetch_source() {
    local dsc
    # shellcheck disable=SC2086  # the glob is expanded here
    dsc=$(cd "$cache/src" && ls $2 2>/dev/null | sort -V | tail -n 1 || true)
    if [ -z "$dsc" ]; then
        kvr_deb_src
        echo "-- fetching the $1 source package" >&2
        (cd "$cache/src" && apt-get source --download-only "$1" >&2)
        # shellcheck disable=SC2086
        dsc=$(cd "$cache/src" && ls $2 | sort -V | tail -n 1)
    fi
    echo "$cache/src/$dsc"
}

# kvr_source_text NAME DSC: the key's lines for a source package, the .dsc and every file it
# lists (orig tarballs, Debian's patches), each with its hash.
kvr_source_text() {
    local f
    echo "$1 $(basename "$2") sha256 $(sha256sum "$2" | cut -d' ' -f1)"
    for f in $(awk '/^Checksums-Sha256:/ {on = 1; next} /^[^ ]/ {on = 0} on {print $3}' "$2"); do
        echo "$1 $f sha256 $(sha256sum "$(dirname "$2")/$f" | cut -d' ' -f1)"
    done
}

kvr_pkg_version() { dpkg-query -W -f='${Version}' "$1" 2>/dev/null || echo none; }

# kvr_recipe_text SCRIPT: the key's lines for the script that builds and for this file.
kvr_recipe_text() {
    echo "recipe $(basename "$1") sha256 $(sha256sum "$1" | cut -d' ' -f1)"
    echo "cache lib sha256 $(sha256sum "$kvr_cache_lib" | cut -d' ' -f1)"
}

# kvr_key TEXT: the key, 16 hex digits of the text's hash.
kvr_key() { printf '%s\n' "$1" | sha256sum | cut -c1-16; }

# kvr_cache_complete PREFIX KEY_TEXT: true when PREFIX was built from exactly that text.
kvr_cache_complete() { [ -f "$1/.complete" ] && [ "$(cat "$1/.complete")" = "$2" ]; }

# kvr_cache_temp NAME: a fresh temporary folder in the cache (on the prefix's file system, so
# that the rename into place is one step).
kvr_cache_temp() { mktemp -d "$cache/.$1.XXXXXX"; }

# kvr_cache_install STAGE PREFIX KEY_TEXT: stamps STAGE and renames it to PREFIX, unless
# another run completed PREFIX with the same text meanwhile.
kvr_cache_install() {
    printf '%s\n' "$3" >"$1/.complete"
    if kvr_cache_complete "$2" "$3"; then
        echo "-- another run built $(basename "$2") meanwhile: keeping that one" >&2
        return 0
    fi
    rm -rf "$2"
    mv -T "$1" "$2"
}
