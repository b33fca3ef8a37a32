#!/usr/bin/env bash
# Runs a command beside a throwaway PostgreSQL 15 server: a fresh cluster in a temporary folder
# owned by `postgres` (the server refuses to run as root), listening on 127.0.0.1 only on a
# free port, stopped and removed when the command ends, fails or is interrupted.
#   scripts/with-postgres.sh COMMAND [ARG...]
# The command gets TARVOLO_PG_PORT, TARVOLO_PG_DIR (the cluster; its postmaster.pid names
# the server's process), TARVOLO_PG_BIN and TARVOLO_PG_CTL (a pg_ctl that runs as postgres).
# Database `tarvolo`, superuser `postgres`, trust authentication on the loopback.
set -euo pipefail
bin=/usr/lib/postgresql/15/bin
[ -x "$bin/pg_ctl" ] || { echo "with-postgres: PostgreSQL 15 is not installed ($bin)" >&2; exit 1; }
dir=$(mktemp -d /tmp/tarvolo-pg.XXXXXX)
as_pg=""  # the server runs as the caller, or as postgres when the caller is root
if [ "$(id -u)" -eq 0 ]; then
  chown postgres: "$dir"
  as_pg="runuser -u postgres --"
fi
stop() {
  $as_pg "$bin/pg_ctl" -D "$dir/data" -m immediate stop >/dev/null 2>&1 || true
  rm -rf "$dir"
}
trap stop EXIT
trap 'exit 130' INT TERM HUP
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
$as_pg "$bin/initdb" -D "$dir/data" --auth=trust -U postgres -E UTF8 --locale=C.UTF-8 >"$dir/initdb.log" 2>&1 \
  || { cat "$dir/initdb.log" >&2; exit 1; }
cat > "$dir/pg_ctl" <<CTL
#!/bin/sh
exec $as_pg "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -o "-p $port -h 127.0.0.1 -k $dir -c fsync=off" "\$@"
CTL
chmod 755 "$dir/pg_ctl"
"$dir/pg_ctl" start >/dev/null || { cat "$dir/server.log" >&2; exit 1; }
"$bin/psql" -h 127.0.0.1 -p "$port" -U postgres -qc "CREATE DATABASE tarvolo" postgres
export TARVOLO_PG_PORT=$port TARVOLO_PG_DIR=$dir/data TARVOLO_PG_BIN=$bin TARVOLO_PG_CTL=$dir/pg_ctl
"$@"
