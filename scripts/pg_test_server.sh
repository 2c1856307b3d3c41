#!/usr/bin/env bash
# A private PostgreSQL server for the tests: a cluster made by initdb in a fresh folder under /tmp,
# listening only on a Unix socket in that folder, run as an unprivileged user when started as root.
#   pg_test_server.sh start STATEFILE   starts it and writes PGHOST, PGPORT, PGUSER to STATEFILE
#   pg_test_server.sh stop STATEFILE    stops it and removes the folder and STATEFILE
set -euo pipefail

action="${1:-}"
state="${2:-}"
if [ -z "$action" ] || [ -z "$state" ]; then
  echo "usage: $0 start|stop STATEFILE" >&2
  exit 2
fi

bindir="$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)"
if [ -z "$bindir" ] || [ ! -x "$bindir/initdb" ]; then
  echo "PostgreSQL server programs not found (Debian package postgresql)" >&2
  exit 1
fi

# The server refuses to run as root: it runs as postgres, the user the Debian package makes.
as_server=()
if [ "$(id -u)" -eq 0 ]; then
  as_server=(runuser -u postgres --)
fi

stop() {
  [ -f "$state" ] || return 0
  # shellcheck disable=SC1090
  folder="$(. "$state"; echo "$PGHOST")"
  if [ -n "$folder" ] && [ -d "$folder/data" ]; then
    "${as_server[@]}" "$bindir/pg_ctl" -D "$folder/data" -m fast -w stop >/dev/null 2>&1 || true
  fi
  case "$folder" in /tmp/idcard-pg.*) rm -rf "$folder" ;; esac
  rm -f "$state"
}

case "$action" in
  stop)
    stop
    ;;
  start)
    stop # a server left by an interrupted run
    # Private to the server's user (root passes anyway): its socket trusts every login, the
    # superuser's too, so no other local user may reach it.
    folder="$(mktemp -d /tmp/idcard-pg.XXXXXX)"
    chmod 700 "$folder"
    if [ "$(id -u)" -eq 0 ]; then
      chown postgres "$folder"
    fi
    "${as_server[@]}" "$bindir/initdb" -D "$folder/data" -U idcard_admin -A trust -E UTF8 --locale=C.UTF-8 >"$folder/initdb.log" 2>&1 \
      || { cat "$folder/initdb.log" >&2; rm -rf "$folder"; exit 1; }
    # Roles in pwlogin sign in with a password (tests of the password file); everyone else is trusted.
    hba="$folder/data/pg_hba.conf"
    "${as_server[@]}" sh -c "printf 'local all +pwlogin scram-sha-256\nlocal all all trust\n' > '$hba'"
    port=5432
    "${as_server[@]}" "$bindir/pg_ctl" -D "$folder/data" -l "$folder/server.log" -w \
      -o "-c listen_addresses='' -c unix_socket_directories='$folder' -p $port -c max_connections=40" start >/dev/null \
      || { cat "$folder/server.log" >&2; rm -rf "$folder"; exit 1; }
    printf 'PGHOST=%s\nPGPORT=%s\nPGUSER=idcard_admin\n' "$folder" "$port" >"$state"
    # The pwlogin group exists from the start, so tests running at once need not make it.
    "$bindir/psql" -q -h "$folder" -p "$port" -U idcard_admin -d postgres -c "create role pwlogin" >/dev/null
    echo "PostgreSQL test server on socket $folder"
    ;;
  *)
    echo "usage: $0 start|stop STATEFILE" >&2
    exit 2
    ;;
esac
