# A throwaway CUPS scheduler for the tests (source it).
#
# cups_start runs cupsd as a non-root user in a new folder under /tmp, with
# its own configuration there, no file: devices, listening only on the unix
# socket CUPS_DIR/cups.sock, and exports CUPS_SERVER naming that socket, so
# libcups, lpadmin and lp all talk to it. The tests add the raw queues they
# need with lpadmin. Besides the system's backends it has failing:, a
# device that takes a job and fails it (CUPS_BACKEND_FAILED), for queues
# whose printer fails. cups_stop stops it and removes the folder; pass it to
# the script's exit trap.

cups_os_user=travcard-cups
CUPS_DIR=""
CUPS_PID=""

cups_start() {
  local cupsd=/usr/sbin/cupsd group attempt
  if [[ ! -x "$cupsd" ]]; then
    echo "cupsd is not installed (scripts/install-deps installs it)." >&2
    return 1
  fi
  if ((EUID == 0)) && ! id -u "$cups_os_user" >/dev/null 2>&1; then
    useradd --system --user-group --no-create-home --home-dir /nonexistent \
      --shell /usr/sbin/nologin "$cups_os_user"
  fi
  CUPS_DIR="$(mktemp -d /tmp/travcard-cups.XXXXXX)"
  mkdir -p "$CUPS_DIR"/{spool,tmp,cache,state,log}
  cups_server_bin "$CUPS_DIR/bin"
  if ((EUID == 0)); then
    group="$(id -gn "$cups_os_user")"
  else
    group="$(id -gn)"
  fi

  cat >"$CUPS_DIR/cups-files.conf" <<CONF
ServerRoot $CUPS_DIR
RequestRoot $CUPS_DIR/spool
TempDir $CUPS_DIR/tmp
CacheDir $CUPS_DIR/cache
StateDir $CUPS_DIR/state
ErrorLog $CUPS_DIR/log/error_log
AccessLog $CUPS_DIR/log/access_log
PageLog $CUPS_DIR/log/page_log
ServerBin $CUPS_DIR/bin
FileDevice No
Sandboxing Relaxed
SystemGroup $group
CONF
  # Anyone who can reach the socket may add queues and print: the socket
  # lies in the scheduler's own folder.
  cat >"$CUPS_DIR/cupsd.conf" <<CONF
Listen $CUPS_DIR/cups.sock
LogLevel warn
Browsing No
BrowseLocalProtocols none
WebInterface No
DefaultAuthType None
<Location />
  Order allow,deny
  Allow all
</Location>
<Policy default>
  JobPrivateAccess all
  JobPrivateValues none
  SubscriptionPrivateAccess all
  SubscriptionPrivateValues none
  <Limit All>
    Order deny,allow
  </Limit>
</Policy>
CONF
  if ((EUID == 0)); then
    chown -R "$cups_os_user:" "$CUPS_DIR"
    setpriv --reuid="$cups_os_user" --regid="$group" --clear-groups -- "$cupsd" -f -c "$CUPS_DIR/cupsd.conf" -s "$CUPS_DIR/cups-files.conf" &
  else
    "$cupsd" -f -c "$CUPS_DIR/cupsd.conf" -s "$CUPS_DIR/cups-files.conf" &
  fi
  CUPS_PID=$!
  export CUPS_SERVER="$CUPS_DIR/cups.sock"
  for attempt in $(seq 100); do
    if [[ -S "$CUPS_SERVER" ]] && lpstat -r >/dev/null 2>&1; then
      echo "CUPS is running on $CUPS_SERVER."
      return 0
    fi
    if ! kill -0 "$CUPS_PID" 2>/dev/null; then
      break
    fi
    sleep 0.1
  done
  echo "cupsd did not start:" >&2
  cat "$CUPS_DIR/log/error_log" >&2 2>/dev/null || true
  return 1
}

# The system's filters, backends and helpers, linked into folder, and the
# failing: backend.
cups_server_bin() {
  local folder="$1" system entry
  system="$(cups-config --serverbin 2>/dev/null || echo /usr/lib/cups)"
  mkdir -p "$folder/backend"
  for entry in "$system"/*; do
    [[ "$(basename "$entry")" == backend ]] || ln -s "$entry" "$folder/"
  done
  for entry in "$system"/backend/*; do
    ln -s "$entry" "$folder/backend/"
  done
  cat >"$folder/backend/failing" <<'BACKEND'
#!/bin/sh
if [ $# -eq 0 ]; then
  echo 'direct failing "Unknown" "A printer that fails every job"'
  exit 0
fi
cat >/dev/null
echo "ERROR: The printer failed." >&2
exit 1
BACKEND
  chmod 755 "$folder/backend/failing"
}

cups_stop() {
  [[ -n "$CUPS_DIR" ]] || return 0
  if [[ -n "$CUPS_PID" ]] && kill -0 "$CUPS_PID" 2>/dev/null; then
    kill "$CUPS_PID" 2>/dev/null || true
    wait "$CUPS_PID" 2>/dev/null || true
  fi
  rm -rf "$CUPS_DIR"
  CUPS_DIR=""
  CUPS_PID=""
}
