# Helpers for the end-to-end test scripts, which sandbox.sh runs with:
#   CDRD (command that starts the recorder), CDRCTL, VELK_PATH (an empty configuration root),
#   TRACE_LOG (the recorder's trace log), E2E_MQ (the namespace's message-queue folder).
set -euo pipefail

CDRD_PID=
WAIT_SECONDS=${WAIT_SECONDS:-30}

fail() {
  echo "FAIL: $*" >&2
  if [ -f "$TRACE_LOG" ]; then echo "--- trace log" >&2; tail -40 "$TRACE_LOG" >&2; fi
  stop_cdrd || true
  exit 1
}

# Starts the recorder in the background and waits until both of its queues exist. Queues left by
# a recorder that was killed are removed first, so that their presence means this one serves.
start_cdrd() {
  rm -f "$E2E_MQ/ping-15" "$E2E_MQ/ping-111"
  $CDRD "$@" &
  CDRD_PID=$!
  wait_until "cdrd did not create its queues" queues_made
}
queues_made() {
  [ -e "$E2E_MQ/ping-15" ] && [ -e "$E2E_MQ/ping-111" ] && return
  kill -0 "$CDRD_PID" 2>/dev/null || fail "cdrd ended during start-up"
  false
}

# Stops the recorder with SIGTERM and waits for it; prints nothing.
stop_cdrd() {
  [ -n "$CDRD_PID" ] || return 0
  kill -TERM "$CDRD_PID" 2>/dev/null || true
  wait "$CDRD_PID" 2>/dev/null || true
  CDRD_PID=
}

# Runs COMMAND every tenth of a second until it succeeds; fails saying WHAT after WAIT_SECONDS,
# and what COMMAND last saw if it left that in $WAIT_LAST.
wait_until() {
  local what=$1 waited=0
  shift
  WAIT_LAST=
  until "$@"; do
    sleep 0.1; waited=$((waited + 1))
    [ $waited -lt $((WAIT_SECONDS * 10)) ] || fail "$what${WAIT_LAST:+ (last: $WAIT_LAST)}"
  done
}

# Waits until the trace log holds a line containing TEXT (fixed string).
expect_log() { wait_until "trace log lacks: $1" grep -qsF -- "$1" "$TRACE_LOG"; }

# Waits until the trace log holds at least N lines containing TEXT (fixed string).
expect_log_count() { wait_until "trace log has fewer than $2 lines with: $1" log_holds "$@"; }
log_holds() {
  local count; count=$(count_log "$1")
  WAIT_LAST="$count such lines"
  [ "$count" -ge "$2" ]
}

# Succeeds once process PID has ended.
ended() { ! kill -0 "$1" 2>/dev/null; }

# Counts the trace-log lines containing TEXT.
count_log() { grep -cF -- "$1" "$TRACE_LOG" 2>/dev/null || true; }

# Fails unless "$1" equals "$2"; $3 says what was compared.
expect_eq() { [ "$1" == "$2" ] || fail "${3:-value}: expected '$1', got '$2'"; }

trap 'stop_cdrd' EXIT

# Where the recorder keeps its files by default: the databases' folder, the stated calls
# database, the download log and the outbox.
db=${VELK_PATH}telephony
stated=$db/CDR_db
log=/mnt/bbram/calldata/down_stat.log
outbox=/mnt/bbram/calldata/outbox

# Reading the saved files: the number of records in FILES, the newest value of KEY, the newest ID.
sections() { cat "$@" 2>/dev/null | grep -c '^{' || true; }
first_value() { grep -m1 "^$2=" "$1" | cut -d= -f2-; }
first_id() { first_value "$1" ID; }

# Puts the stated calls database ($stated, in folder $db) on a 64 KiB tmpfs, saved at every
# record, starts the recorder and sends it 600 reports, more than fit; leaves in $saved how many of
# them were saved before the storage filled up.
fill_stated_storage() {
  printf 'cdr_save_stated=1\n' >"$VELK_PATH/general-settings.conf"
  mkdir -p "$db"
  mount -t tmpfs -o size=64k e2e-db "$db"
  start_cdrd
  $CDRCTL add 1 called=0123456789 --repeat 600
  expect_log_count "OnAddCDR" 600
  saved=$(sections "$stated")
  [ "$saved" -gt 0 ] && [ "$saved" -lt 600 ] || fail "a 64 KiB storage took $saved of 600 records"
}

# The values of KEY in the records `cdrctl show TYPE` finds (saved or journaled), one per line.
shown_values() {
  $CDRCTL show "$1" --csv |
    awk -F, -v key="$2" 'NR == 1 { for (f = 1; f <= NF; f++) if ($f == key) c = f; next } { print $c }'
}

as_nobody() { setpriv --reuid=nobody --regid=nogroup --clear-groups "$@"; }

# Asks for a flush of the databases in mask $1 (default all) and fails unless it is answered.
flushed() { $CDRCTL flush "${1:-7}" >/dev/null || fail "flush ${1:-7} was not answered"; }

# Turns automatic download on, with auto-down-stat.conf printed from the printf FORMAT and ARGS.
auto_download() {
  mkdir -p "${VELK_PATH}sysconfig"
  echo "START_AUTO_DOWNLOAD_STAT=true" >"${VELK_PATH}sysconfig/rc.conf"
  # shellcheck disable=SC2059
  printf "$@" >"${VELK_PATH}auto-down-stat.conf"
}

# For scripts that crash the recorder on purpose: under AddressSanitizer, leaves fault signals to
# the recorder's own guard, as the sanitizer would otherwise catch the signal the guard raises
# again and end the process with status 1.
leave_segv_to_guard() { export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}handle_segv=0"; }

# Sends SIGSEGV to the recorder and expects it to end by that signal: its crash report must
# neither block it nor swallow the signal.
crash_cdrd() {
  local status=0
  kill -SEGV "$CDRD_PID"
  wait_until "the crash report blocked the recorder" ended "$CDRD_PID"
  wait "$CDRD_PID" || status=$?
  CDRD_PID=
  expect_eq $((128 + 11)) "$status" "exit status after SIGSEGV"
}

# Puts a system log at /dev/log for the rest of the test: the namespace's /dev gets a writable
# layer on top, and a datagram socket is bound there. "stalled" fills the socket's queue and never
# reads; "collect FILE" appends every record to FILE, one per line.
fake_system_log() {
  local layer=$E2E_BASE/dev-layer
  if [ ! -d "$layer" ]; then
    mkdir -p "$layer/upper" "$layer/work"
    mount -t overlay e2e-dev -o "lowerdir=/dev,upperdir=$layer/upper,workdir=$layer/work" /dev
  fi
  rm -f /dev/log "$layer/ready"
  python3 - "$layer/ready" "$@" <<'PY' &
import socket, sys, time
ready, mode = sys.argv[1], sys.argv[2]
log = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
log.bind("/dev/log")
if mode == "stalled":
    sender = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    sender.connect("/dev/log")
    sender.setblocking(False)
    try:
        while True:
            sender.send(b"<14>filler")
    except BlockingIOError:
        pass
open(ready, "w").close()
if mode == "stalled":
    time.sleep(3600)
with open(sys.argv[3], "ab", buffering=0) as out:
    while True:
        out.write(log.recv(8192).replace(b"\n", b" ") + b"\n")
PY
  SYSTEM_LOG_PID=$!
  until [ -e "$layer/ready" ]; do sleep 0.05; done
}

# Ends the system log that fake_system_log put in place.
end_system_log() { kill "$SYSTEM_LOG_PID" 2>/dev/null || true; wait "$SYSTEM_LOG_PID" 2>/dev/null || true; }

# Runs cdrctl status until it exits with $1 and its output holds the text $2 (the record is
# written at most a second after a change); leaves the output in $out.
out=
wait_status() { wait_until "cdrctl status never exited $1 with '$2'" status_shows "$@"; }
status_shows() {
  local status=0
  out=$($CDRCTL status) || status=$?
  WAIT_LAST="status exits $status: $out"
  [ "$status" -eq "$1" ] && grep -qF -- "$2" <<<"$out"
}

# A collector that stores files by name: nginx with WebDAV PUT on a free loopback port ($port, set
# here), serving the folder $1/www and noting each request in $1/access.log as "PUT /path 201".
# webdav_start starts it; webdav_end_at_exit stops cdrd and it at exit.
webdav_prepare() {
  local server=$1
  port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  mkdir -p "$server/www" "$server/body"
  cat >"$server/nginx.conf" <<CONF
daemon on;
user root root;
worker_processes 1;
pid $server/nginx.pid;
error_log $server/error.log;
events { worker_connections 64; }
http {
  log_format uploads '\$request_method \$uri \$status';
  access_log $server/access.log uploads;
  client_body_temp_path $server/body;
  server {
    listen 127.0.0.1:$port;
    root $server/www;
    location / { dav_methods PUT; create_full_put_path on; dav_access user:rw; }
  }
}
CONF
}
webdav_start() { nginx -p "$1" -c "$1/nginx.conf" -e "$1/error.log"; }
webdav_end_at_exit() {
  trap "stop_cdrd; [ -f '$1/nginx.pid' ] && kill -QUIT \"\$(cat '$1/nginx.pid')\" 2>/dev/null || true" EXIT
}

# Kills the recorder with SIGKILL and waits for it.
kill_cdrd() {
  kill -KILL "$CDRD_PID"
  wait "$CDRD_PID" 2>/dev/null || true
  CDRD_PID=
}

# Kills the recorder and its delivery agent with SIGKILL, as a crash of the device's software
# would, and with them the transfers whose command line matches the pattern $1 (if given); once
# all are gone (they may hold the recorder's lock), starts the recorder again.
kill_and_restart() {
  local agent; agent=$(sed -n 's/^pid=//p' /run/cdrd/delivery 2>/dev/null || true)
  kill -KILL "$CDRD_PID" ${agent:+"$agent"} 2>/dev/null || true
  [ -z "${1:-}" ] || pkill -KILL -f "$1" || true
  wait "$CDRD_PID" 2>/dev/null || true
  WAIT_SECONDS=10 wait_until "the agent or its transfer outlived the kill" \
    all_ended "${agent:-}" "${1:-}"
  start_cdrd
}
all_ended() { { [ -z "$1" ] || ended "$1"; } && { [ -z "$2" ] || ! pgrep -f "$2" >/dev/null; }; }

# Makes FILE the clock shift file of every process started from now on, with no shift yet.
use_clock_shift() { printf '0 0\n' >"$1" && chmod 600 "$1" && export CDR_CLOCK_SHIFT=$1; }

# Runs COMMAND... and fails unless it exits with STATUS; leaves both its streams in $out.
expect_exit() {
  local want=$1 status=0
  shift
  out=$("$@" 2>&1) || status=$?
  expect_eq "$want" "$status" "exit status of $*: $out"
}
