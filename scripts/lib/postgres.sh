# A throwaway PostgreSQL server holding the demo tables (source it).
#
# pg_start initialises a server in a new folder under /tmp, starts it on
# 127.0.0.1 at a free port, creates the role tkr (password opr_relay, checked
# on every TCP login) and the database travcard, and loads the demo tables.
# It sets PG_PORT and PG_DIR and stops the server and removes the folder when
# the script ends, on success, failure or Ctrl-C alike.

source "$(dirname "${BASH_SOURCE[0]}")/paths.sh"

pg_os_user=travcard-pg   # the server refuses to run as root
PG_DIR=""
PG_PORT=""

pg_bin() {
  local dir
  for dir in /usr/lib/postgresql/15/bin /usr/lib/postgresql/*/bin; do
    if [[ -x "$dir/pg_ctl" ]]; then
      echo "$dir/$1"
      return
    fi
  done
  echo "PostgreSQL is not installed (scripts/install-deps installs it)." >&2
  return 1
}

# Runs a command as the server's owner, from inside the server's folder.
pg_as_owner() {
  if ((EUID == 0)); then
    (cd "$PG_DIR" && runuser -u "$pg_os_user" -- "$@")
  else
    (cd "$PG_DIR" && "$@")
  fi
}

pg_port_in_use() {
  (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

# pg_free_port FIRST: the first port from FIRST on where nothing listens.
pg_free_port() {
  local port
  for ((port = $1; port < $1 + 100; port++)); do
    if ! pg_port_in_use "$port"; then
      echo "$port"
      return
    fi
  done
  echo "No free port in $1..$(($1 + 99))." >&2
  return 1
}

pg_psql() {
  psql -X -q -v ON_ERROR_STOP=1 -h "$PG_DIR" -p "$PG_PORT" "$@"
}

pg_start() {
  local initdb pg_ctl attempt output
  initdb="$(pg_bin initdb)"
  pg_ctl="$(pg_bin pg_ctl)"
  if ((EUID == 0)) && ! id -u "$pg_os_user" >/dev/null 2>&1; then
    useradd --system --user-group --no-create-home --home-dir /nonexistent \
      --shell /usr/sbin/nologin "$pg_os_user"
  fi

  PG_DIR="$(mktemp -d /tmp/travcard-pg.XXXXXX)"
  trap pg_stop EXIT
  trap 'pg_stop; exit 130' INT
  trap 'pg_stop; exit 143' TERM
  if ((EUID == 0)); then
    chown "$pg_os_user:" "$PG_DIR"
  fi

  if ! output="$(pg_as_owner "$initdb" -D "$PG_DIR" -U postgres -E UTF8 --locale=C \
    --auth-local=trust --auth-host=scram-sha-256 2>&1)"; then
    echo "$output" >&2
    return 1
  fi

  # Another server may take a free port between the check and the start: try the next one.
  PG_PORT=55432
  for attempt in 1 2 3 4 5; do
    PG_PORT="$(pg_free_port "$PG_PORT")"
    if pg_as_owner "$pg_ctl" start -w -t 60 -D "$PG_DIR" -l "$PG_DIR/server.log" \
      -o "-c listen_addresses=127.0.0.1 -c port=$PG_PORT -c unix_socket_directories=$PG_DIR -c fsync=off" \
      >/dev/null; then
      break
    fi
    if ((attempt == 5)); then
      cat "$PG_DIR/server.log" >&2
      return 1
    fi
    PG_PORT=$((PG_PORT + 1))
  done

  # Local (socket) logins are trusted: the socket lies in the server's own folder.
  pg_psql -U postgres -d postgres \
    -c "CREATE ROLE tkr LOGIN PASSWORD 'opr_relay'" \
    -c "CREATE DATABASE travcard OWNER tkr ENCODING 'UTF8'"
  pg_psql -U tkr -d travcard -1 \
    -f "$travcard_root/demo/schema-postgresql.sql" -f "$travcard_root/demo/data.sql"
  echo "PostgreSQL is running on 127.0.0.1:$PG_PORT (data in $PG_DIR)."
}

pg_stop() {
  [[ -n "$PG_DIR" ]] || return 0
  if [[ -f "$PG_DIR/postmaster.pid" ]]; then
    pg_as_owner "$(pg_bin pg_ctl)" stop -w -m fast -D "$PG_DIR" >/dev/null 2>&1 || true
  fi
  rm -rf "$PG_DIR"
  PG_DIR=""
}
