#!/usr/bin/env bash
# Builds static SQLite and libpq (the PostgreSQL client library, with TLS through OpenSSL) for
# 64-bit Windows with mingw-w64, from Debian's own sqlite3, postgresql-15 and openssl sources,
# into a cache folder outside the checkout; later runs and CI on the same machine reuse it.
# Prints the install prefix on its last line: include/ and lib/, and lib/kvr-db-link.txt with
# what a static link needs after libpq's own archives, one a line: OpenSSL's two archives by
# their full path (libssl before libcrypto), then the Windows system libraries by name:
#   -lpq -lpgcommon -lpgport -lsqlite3 <each archive> -l<each library>
# Usage: scripts/db-windows.sh [--key]   (--key: print the cache key and what it is made of)
# KVR_CACHE_DIR overrides ~/.cache/kvr-uplinker.
#
# The cache is keyed like qt-windows.sh's (scripts/lib/cache.sh): the folder's name carries a
# hash of the source packages, this script (which holds every flag) and the cache's own code,
# the compilers and the host tools that generate code; its stamp holds the text that was
# hashed. The build runs in a temporary folder that is renamed into place only when complete.
#
# Traps, each handled below:
# - Debian's sqlite3 orig tarball has no amalgamation: the source's own `make sqlite3.c`
#   makes it (host cc and tclsh), then only sqlite3.c is cross-compiled.
# - libpq brings its own partial pthread for Windows (pthread_mutex_lock & co. on its own
#   types). In a -static program built with the -posix compilers, libstdc++ uses winpthreads
#   under the same names, so the two would clash or, worse, bind to each other. libpq's copies
#   are renamed at compile time.
# - On Windows libpq's own libpq.a is the DLL's import library: the static archive is made
#   here from libpq's object list, without its version resource.
# - libpq links the *_shlib variants of pgport/pgcommon; on Windows they differ from the plain
#   ones only by CFLAGS_SL, which is empty there, so the plain ones are built (PG's make builds
#   both objects for each _shlib one, twice the time).
# - pgport carries getopt/getopt_long under their own names (PG's, not mingw's): a program
#   linking -lpgport before the runtime and calling getopt gets PG's.
# - With OpenSSL, pgcommon (hashes, HMAC) and pgport (strong random) call libcrypto too, so
#   OpenSSL's archives go after all three of PG's. They are named by full path: the build that
#   links them knows this prefix's include/lib only through the libpq archive's own path.
# - OpenSSL is built from Debian's source with Debian's patches applied, as sqlite3 and
#   postgresql-15 are: none is needed for the mingw build, but many of them are security fixes
#   that Debian ships on top of the upstream release. Only libcrypto and libssl are built (no
#   programs, tests or manuals); no engines or DSO loading, which libpq does not use.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
self=$root/scripts/db-windows.sh
# shellcheck source=scripts/lib/cache.sh
source "$root/scripts/lib/cache.sh"
print_key=0
[ "${1:-}" = "--key" ] && print_key=1

sqlite_version=3.40.1
pg_major=15
openssl_version=3.0.20
host=x86_64-w64-mingw32
cc=$host-gcc-posix
cxx=$host-g++-posix
cflags=(-O2)

# An application database: thread-safe, WAL with NORMAL sync (durable across app crashes,
# fast), strict quoting, no memory statistics (a global lock per allocation), SQL's math
# functions, no run-time extension loading, no shared cache, no deprecated API.
sqlite_flags=(-DSQLITE_THREADSAFE=1 -DSQLITE_DEFAULT_WAL_SYNCHRONOUS=1 -DSQLITE_DQS=0
    -DSQLITE_DEFAULT_MEMSTATUS=0 -DSQLITE_LIKE_DOESNT_MATCH_BLOBS -DSQLITE_OMIT_LOAD_EXTENSION
    -DSQLITE_OMIT_SHARED_CACHE -DSQLITE_OMIT_DEPRECATED -DSQLITE_ENABLE_MATH_FUNCTIONS)

# OpenSSL's own mingw64 target with its assembler (GNU as syntax, no nasm); the -posix
# compilers as for everything else. The default OPENSSLDIR ("C:/Program Files/Common
# Files/SSL") is kept: only an administrator can put a configuration file there.
openssl_configure_args=(mingw64 no-shared no-tests no-engine no-dso
    --cross-compile-prefix=$host- CC=gcc-posix CXX=g++-posix)
# Static OpenSSL's Windows libraries, for configure's link tests (the list that goes into
# kvr-db-link.txt is worked out from a real link below).
openssl_libs="-lws2_32 -lcrypt32 -lbcrypt -luser32 -ladvapi32 -lgdi32"
# The plain protocol and TLS: no Kerberos, no LDAP lookups, no compression, no translations.
pg_configure_args=(--host=$host CC=$cc "CFLAGS=${cflags[*]}" PKG_CONFIG=/bin/false
    --without-readline --without-zlib --without-icu --with-ssl=openssl --without-gssapi
    --without-ldap --without-llvm --disable-nls "LIBS=$openssl_libs")
pg_renames=()
for f in pthread_self pthread_setspecific pthread_getspecific pthread_mutex_init \
         pthread_mutex_lock pthread_mutex_unlock; do
    pg_renames+=("-D$f=pq_win32_$f")
done

packages=(dpkg-dev patch bzip2 xz-utils make gcc libc6-dev tcl perl
          gcc-mingw-w64-x86-64-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
          mingw-w64-x86-64-dev)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}" >&2
    $kvr_sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $kvr_sudo apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
fi

kvr_cache_init
sqlite_dsc=$(kvr_fetch_source sqlite3 "sqlite3_${sqlite_version}-*.dsc")
pg_dsc=$(kvr_fetch_source postgresql-$pg_major "postgresql-${pg_major}_${pg_major}.*.dsc")
openssl_dsc=$(kvr_fetch_source openssl "openssl_${openssl_version}-*.dsc")

key_text=$(
    kvr_source_text sqlite3 "$sqlite_dsc"
    kvr_source_text postgresql "$pg_dsc"
    kvr_source_text openssl "$openssl_dsc"
    echo "sqlite flags ${sqlite_flags[*]} ${cflags[*]}"
    echo "openssl configure ${openssl_configure_args[*]}"
    echo "pg configure ${pg_configure_args[*]}"
    echo "pg libpq renames ${pg_renames[*]}"
    kvr_recipe_text "$self"
    echo "gcc $($cc -dumpfullversion) $(kvr_pkg_version gcc-mingw-w64-x86-64-posix)"
    echo "g++ $($cxx -dumpfullversion) $(kvr_pkg_version g++-mingw-w64-x86-64-posix)"
    echo "mingw-w64 headers $(kvr_pkg_version mingw-w64-x86-64-dev)"
    echo "binutils $(kvr_pkg_version binutils-mingw-w64-x86-64)"
    echo "host gcc $(gcc -dumpfullversion) tcl $(kvr_pkg_version tcl8.6) perl $(kvr_pkg_version perl)"
)
key=$(kvr_key "$key_text")
if [ $print_key -eq 1 ]; then
    echo "$key_text"
    echo "key $key"
    exit 0
fi

prefix=$cache/db-win64-$key
if kvr_cache_complete "$prefix" "$key_text"; then
    echo "$prefix"
    exit 0
fi
echo "-- no SQLite/libpq/OpenSSL for Windows with key $key in $cache: building them" >&2
start=$SECONDS
work=$(kvr_cache_temp "db-win64-$key")
# An interrupted build leaves nothing behind, not even its two halves still running.
cleanup() {
    local pids
    pids=$(jobs -p)
    [ -z "$pids" ] || kill $pids 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
jobs=$(nproc)

# Runs a step with its output in a log, shown only when it fails.
step() {
    local log=$1
    shift
    if ! "$@" >>"$log" 2>&1; then
        echo "-- failed: $*" >&2
        tail -n 40 "$log" >&2
        return 1
    fi
}

build_sqlite() {
    local log=$work/sqlite.log gen=$work/sqlite-gen
    step "$log" dpkg-source -x "$sqlite_dsc" "$work/sqlite-src"
    mkdir "$gen"
    cd "$gen"
    step "$log" "$work/sqlite-src/configure" --disable-tcl --disable-readline
    # The flags go in here too: some of them change the generated parser and keyword table.
    step "$log" make -j"$jobs" sqlite3.c OPT_FEATURE_FLAGS= OPTS="${sqlite_flags[*]}"
    step "$log" $cc "${cflags[@]}" "${sqlite_flags[@]}" -c sqlite3.c -o sqlite3.o
    step "$log" $host-ar crs libsqlite3.a sqlite3.o
}

build_openssl() {
    local log=$work/openssl.log src=$work/openssl-src
    step "$log" dpkg-source -x "$openssl_dsc" "$src"
    cd "$src"
    step "$log" ./Configure "${openssl_configure_args[@]}"
    step "$log" make -j"$jobs" build_libs
}

build_pg() {
    local log=$work/pg.log build=$work/pg-build objs ssl=$work/openssl-src
    step "$log" dpkg-source -x "$pg_dsc" "$work/pg-src"
    mkdir "$build"
    cd "$build"
    step "$log" "$work/pg-src/configure" "${pg_configure_args[@]}" "CPPFLAGS=-I$ssl/include" \
        "LDFLAGS=-L$ssl"
    step "$log" make -C src/backend generated-headers
    step "$log" make -j"$jobs" -C src/port libpgport.a
    step "$log" make -j"$jobs" -C src/common libpgcommon.a
    printf 'print-objs:\n\t@echo $(filter-out $(WIN32RES),$(OBJS))\n' >"$work/objs.mk"
    objs=$(make -s -C src/interfaces/libpq -f Makefile -f "$work/objs.mk" print-objs)
    step "$log" make -j"$jobs" -C src/interfaces/libpq COPT="${pg_renames[*]}" $objs
    (cd src/interfaces/libpq && $host-ar crs libpq.a $objs)
    # No pthread name may be left defined by libpq: see the renames above.
    if $host-nm -g --defined-only src/interfaces/libpq/libpq.a | grep -E ' T pthread_' >&2; then
        echo "-- libpq still defines pthread functions" >&2
        return 1
    fi
}

# SQLite's single big file compiles while OpenSSL builds; libpq needs OpenSSL first.
echo "-- building SQLite $sqlite_version, OpenSSL $openssl_version and libpq $pg_major for" \
    "Windows (static)" >&2
# Each runs in a subshell of its own, where set -e still stops it at the first failing step.
(build_sqlite) &
sqlite_pid=$!
(
    build_openssl
    build_pg
) &
pg_pid=$!
failed=0
wait $sqlite_pid || failed=1
wait $pg_pid || failed=1
[ $failed -eq 0 ] || exit 1

stage=$work/prefix
mkdir -p "$stage/include" "$stage/lib"
pgs=$work/pg-src pgb=$work/pg-build
cp "$work/sqlite-gen/sqlite3.h" "$pgs/src/interfaces/libpq/libpq-fe.h" \
    "$pgs/src/interfaces/libpq/libpq-events.h" "$pgs/src/include/postgres_ext.h" \
    "$pgb/src/include/pg_config_ext.h" "$stage/include/"
cp "$work/sqlite-gen/libsqlite3.a" "$pgb/src/interfaces/libpq/libpq.a" \
    "$pgb/src/common/libpgcommon.a" "$pgb/src/port/libpgport.a" "$work/openssl-src/libssl.a" \
    "$work/openssl-src/libcrypto.a" "$stage/lib/"

# The system libraries: those of the candidates (libpq's own list and the usual Win32 ones) a
# link pulls members from that an empty program does not. Every object of libpq and SQLite
# goes in, so the list holds for any use of their API.
candidates=(ws2_32 secur32 shell32 advapi32 crypt32 bcrypt wldap32 iphlpapi userenv ole32 user32)
cd "$work"
echo 'int main() { return 0; }' >probe.cpp
trace_libs() { sed -n 's/^(\([^)]*\)).*/\1/p' | grep "^/usr/.*/lib/lib" | xargs -r -n1 basename |
    sed 's/^lib\(.*\)\.a$/\1/' | awk '!seen[$0]++'; }
$cxx -static probe.cpp -o base.exe -Wl,-t,-t 2>&1 | trace_libs >base.libs
$cxx -static probe.cpp -o all.exe -L"$stage/lib" -Wl,--whole-archive -lpq -lsqlite3 \
    -Wl,--no-whole-archive -lpgcommon -lpgport -lssl -lcrypto "${candidates[@]/#/-l}" \
    -Wl,-t,-t >all.trace 2>&1 || true
trace_libs <all.trace | grep -vxF -f base.libs | grep -vxE 'ssl|crypto' >system.libs || true
link_libs=$(sed 's/^/-l/' system.libs | paste -sd' ')
# The list must be enough on its own: the same link, now with no undefined symbol.
if ! $cxx -static probe.cpp -o all.exe -L"$stage/lib" -Wl,--whole-archive -lpq -lsqlite3 \
        -Wl,--no-whole-archive -lpgcommon -lpgport "$stage/lib/libssl.a" \
        "$stage/lib/libcrypto.a" $link_libs >all.log 2>&1; then
    echo "-- a static link with $link_libs fails:" >&2
    tail -n 40 all.log >&2
    exit 1
fi
if grep -qxE 'pthread|winpthread' system.libs; then
    echo "-- libpq or SQLite pulls in winpthreads: the pthread renames missed something" >&2
    exit 1
fi

# Where the archives will be once this folder is the prefix.
printf '%s\n' "$prefix/lib/libssl.a" "$prefix/lib/libcrypto.a" >"$stage/lib/kvr-db-link.txt"
cat system.libs >>"$stage/lib/kvr-db-link.txt"

kvr_cache_install "$stage" "$prefix" "$key_text"
echo "-- SQLite, OpenSSL and libpq for Windows built in $((SECONDS - start)) s; link with:" \
    "-lpq -lpgcommon -lpgport -lsqlite3 $prefix/lib/libssl.a $prefix/lib/libcrypto.a" \
    "$link_libs" >&2
echo "$prefix"
