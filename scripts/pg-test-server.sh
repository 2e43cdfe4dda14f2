#!/usr/bin/env bash
# A throw-away PostgreSQL 15 server for the tests: a data folder of its own, a non-root user,
# a free port on 127.0.0.1, password authentication for the role the tests use, and TLS with a
# throw-away CA.
# Usage: scripts/pg-test-server.sh start|stop|halt|resume|tls-off|tls-on DIR
#   start leaves DIR/url (postgresql://kvr@127.0.0.1:PORT/kvr_test) and DIR/pgpass (for
#   PGPASSFILE); stop ends the server and removes DIR. start stops what an earlier run of the
#   same DIR left. halt stops the server and keeps its data, resume starts it again on its
#   port: a server that goes away in the middle of a run.
#   TLS: DIR/ca.crt is the CA that signed the server's certificate, made for the name
#   "localhost" alone (not 127.0.0.1, so that verify-full by address fails on the name);
#   DIR/wrong-ca.crt is a CA that signed nothing here; DIR/tls-url is
#   postgresql://kvr@localhost:PORT/kvr_test. tls-off turns the server's TLS off (as a server
#   set up without it), tls-on back on; each returns once new connections see the change.
set -euo pipefail
action=${1:-}
dir=${2:-}
if [ -z "$action" ] || [ -z "$dir" ]; then
    echo "usage: $0 start|stop|halt|resume|tls-off|tls-on DIR" >&2
    exit 2
fi
bin=/usr/lib/postgresql/15/bin
password=kvr-test-only

# The server refuses to run as root.
as_owner=()
if [ "$(id -u)" -eq 0 ]; then
    as_owner=(runuser -u postgres --)
fi

# The server's own files live in a folder of their own below /tmp, which the server's user can
# reach whatever the rights of the folders above DIR (mktemp -d makes them the caller's alone).
server_dir() { cat "$dir/server-dir" 2>/dev/null || true; }

stop() {
    local own
    own=$(server_dir)
    if [ -n "$own" ] && [ -f "$own/data/postmaster.pid" ]; then
        "${as_owner[@]}" "$bin/pg_ctl" -D "$own/data" -m immediate -w stop >/dev/null 2>&1 || true
    fi
    if [ -n "$own" ]; then rm -rf "$own"; fi
    rm -rf "$dir"
}

run_server() {
    local own
    own=$(server_dir)
    "${as_owner[@]}" "$bin/pg_ctl" -D "$own/data" -l "$own/server.log" -w -t 60 \
        -o "-p $1 -c listen_addresses=127.0.0.1 -k $own -c fsync=off" start >/dev/null
}

# As the server's superuser, over its own socket.
superuser_sql() {
    "${as_owner[@]}" "$bin/psql" -h "$(server_dir)" -p "$(cat "$dir/port")" -U postgres \
        -d postgres -q -t -A -v ON_ERROR_STOP=1 "$@"
}

# ssl is re-read on a reload, which the postmaster takes in its own time: a new connection
# tells when it has (each backend starts with the postmaster's settings).
set_tls() {
    superuser_sql -c "ALTER SYSTEM SET ssl = $1" -c "SELECT pg_reload_conf()" >/dev/null
    local _
    for _ in $(seq 200); do
        [ "$(superuser_sql -c 'SHOW ssl')" = "$1" ] && return 0
        sleep 0.05
    done
    echo "pg-test-server: the server did not take ssl = $1" >&2
    return 1
}

# A CA for DIR/NAME.crt, its key beside it.
make_ca() {
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 7 \
        -subj "/CN=kvr test $1" -addext "basicConstraints=critical,CA:TRUE" \
        -addext "keyUsage=critical,keyCertSign,cRLSign" \
        -keyout "$2/$1.key" -out "$2/$1.crt" 2>/dev/null
}

case "$action" in
    stop)
        stop
        exit 0
        ;;
    halt)
        "${as_owner[@]}" "$bin/pg_ctl" -D "$(server_dir)/data" -m fast -w stop >/dev/null
        exit 0
        ;;
    resume)
        run_server "$(cat "$dir/port")"
        exit 0
        ;;
    tls-off)
        set_tls off
        exit 0
        ;;
    tls-on)
        set_tls on
        exit 0
        ;;
    start) ;;
    *)
        echo "usage: $0 start|stop|halt|resume|tls-off|tls-on DIR" >&2
        exit 2
        ;;
esac

if [ ! -x "$bin/postgres" ]; then
    echo "pg-test-server: PostgreSQL 15 is not installed (scripts/deps.sh)" >&2
    exit 1
fi
stop
mkdir -p "$dir"
own=$(mktemp -d "${TMPDIR:-/tmp}/kvr-pg.XXXXXX")
echo "$own" >"$dir/server-dir"
printf '%s\n' "$password" >"$own/password"
printf '%s\n' "$password" >"$dir/password"

# The server's certificate names localhost only, as a DNS name; the key stays the server's.
make_ca ca "$dir"
make_ca wrong-ca "$dir"
openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=localhost \
    -keyout "$own/server.key" -out "$own/server.csr" 2>/dev/null
printf '%s\n' subjectAltName=DNS:localhost basicConstraints=CA:FALSE \
    extendedKeyUsage=serverAuth >"$own/server.ext"
openssl x509 -req -in "$own/server.csr" -CA "$dir/ca.crt" -CAkey "$dir/ca.key" \
    -CAcreateserial -days 7 -extfile "$own/server.ext" -out "$own/server.crt" 2>/dev/null
rm -f "$dir/ca.key" "$dir/wrong-ca.key" "$dir/ca.srl" "$own/server.csr" "$own/server.ext"
chmod 600 "$own/server.key"

[ ${#as_owner[@]} -gt 0 ] && chown -R postgres "$own"
"${as_owner[@]}" "$bin/initdb" -D "$own/data" -U postgres --auth-local=trust \
    --auth-host=scram-sha-256 --pwfile="$own/password" -E UTF8 --locale=C.UTF-8 >/dev/null
printf '%s\n' "ssl = on" "ssl_cert_file = '$own/server.crt'" "ssl_key_file = '$own/server.key'" |
    "${as_owner[@]}" tee -a "$own/data/postgresql.conf" >/dev/null

# A free port: the first of a range that nothing listens on. Another checkout's test server may
# take it between the look and the start: then the next one.
port=""
candidate=55432
for _ in 1 2 3 4 5; do
    port=""
    while [ "$candidate" -le 55532 ]; do
        if ! (exec 3<>"/dev/tcp/127.0.0.1/$candidate") 2>/dev/null; then
            port=$candidate
            break
        fi
        candidate=$((candidate + 1))
    done
    [ -n "$port" ] || break
    run_server "$port" && break
    port=""
    candidate=$((candidate + 1))
done
if [ -z "$port" ]; then
    echo "pg-test-server: the server did not start on a free port in 55432-55532" >&2
    tail -n 20 "$own/server.log" >&2 2>/dev/null || true
    exit 1
fi
"${as_owner[@]}" "$bin/psql" -h "$own" -p "$port" -U postgres -q -v ON_ERROR_STOP=1 \
    -c "CREATE ROLE kvr LOGIN PASSWORD '$password'" \
    -c "CREATE DATABASE kvr_test OWNER kvr" >/dev/null

echo "postgresql://kvr@127.0.0.1:$port/kvr_test" >"$dir/url"
echo "postgresql://kvr@localhost:$port/kvr_test" >"$dir/tls-url"
printf '%s\n' "127.0.0.1:$port:*:kvr:$password" "localhost:$port:*:kvr:$password" >"$dir/pgpass"
chmod 600 "$dir/pgpass"
echo "$port" >"$dir/port"
