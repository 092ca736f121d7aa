# The init script starts, reports and stops a real recorder, with start-stop-daemon and without.
. "$(dirname "$0")/lib.sh"

init="sh $E2E_BASE/tests/cdrd.init.in"
export PIDFILE=$E2E_BASE/work/cdrd.pid STOP_TIMEOUT=20
# CDRD may be an emulator followed by its arguments and the recorder.
set -- $CDRD
DAEMON=$(command -v "$1")
shift
export DAEMON DAEMON_ARGS="$*"
trap '$init stop >/dev/null 2>&1 || true' EXIT

# Runs the init script with ACTION; fails unless it exits with STATUS and prints TEXT.
expect_init() {
  local action=$1 status=$2 text=$3 out rc=0
  out=$($init "$action" 2>&1) || rc=$?
  [ "$rc" -eq "$status" ] || fail "$action: exit $rc, not $status: $out"
  grep -qF -- "$text" <<<"$out" || fail "$action: '$out' lacks '$text'"
}

for helper in "$(command -v start-stop-daemon || true)" ""; do
  export START_STOP_DAEMON=$helper
  rm -f "$E2E_MQ/ping-15" "$E2E_MQ/ping-111" "$TRACE_LOG"
  expect_init status 3 "cdrd is not running"
  expect_init start 0 "Starting cdrd"
  pid=$(cat "$PIDFILE")
  expect_init status 0 "cdrd is running (pid $pid)"
  expect_init start 0 "already running (pid $pid)"
  until $CDRCTL status >/dev/null; do sleep 0.1; done
  $CDRCTL add 2 caller=1001
  $CDRCTL flush 2 >/dev/null
  expect_eq 1001 "$($CDRCTL show missed --json | python3 -c 'import json,sys; print(json.load(sys.stdin)["caller"])')" \
    "caller of the missed call"

  expect_init stop 0 "Stopping cdrd"
  ! kill -0 "$pid" 2>/dev/null || fail "cdrd still runs after stop"
  [ ! -e "$PIDFILE" ] || fail "stop left the pid file"
  expect_log "has been stopped by signal SIGTERM(15)"
  expect_init status 3 "cdrd is not running"
  expect_init stop 0 "cdrd is not running"

  # A pid file left by a recorder that died.
  echo "$pid" >"$PIDFILE"
  expect_init status 1 "$PIDFILE exists"
  rm -f "$PIDFILE" "$VELK_PATH/telephony/missed_calls_db"
  echo "init script with '${helper:-no start-stop-daemon}': ok"
done
expect_init frobnicate 2 "usage:"
echo "init_script: ok"
