# The init script starts, reports and stops a real recorder, with start-stop-daemon and without;
# its stop loses no record added since the last save.
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
  expect_init stop 0 "Stopping cdrd"
  ! kill -0 "$pid" 2>/dev/null || fail "cdrd still runs after stop"
  [ ! -e "$PIDFILE" ] || fail "stop left the pid file"
  expect_log "has been stopped by signal SIGTERM(15)"
  expect_init status 3 "cdrd is not running"
  expect_init stop 0 "cdrd is not running"

  # A pid file left by a recorder that died.
  echo "$pid" >"$PIDFILE"
  expect_init status 1 "$PIDFILE exists"
  rm -f "$PIDFILE"
  echo "init script with '${helper:-no start-stop-daemon}': ok"
done
expect_init frobnicate 2 "usage:"

# 15 answered and 3 missed calls, fewer than a save period: after the init script's stop every one
# of them is on storage.
printf 'cdr_save_stated=10\ncdr_save_missed=10\n' >"${VELK_PATH}general-settings.conf"
rm -f "$VELK_PATH"telephony/*
expect_init start 0 "Starting cdrd"
pid=$(cat "$PIDFILE")
until $CDRCTL status >/dev/null; do sleep 0.1; done
$CDRCTL add 1 caller=1001 --repeat 15
$CDRCTL add 2 caller=2002 --repeat 3
expect_init stop 0 "Stopping cdrd"
! kill -0 "$pid" 2>/dev/null || fail "the stop left cdrd running"
expect_eq 15 "$($CDRCTL show stated --json | wc -l)" "answered calls on storage after the stop"
expect_eq 3 "$($CDRCTL show missed --json | wc -l)" "missed calls on storage after the stop"
echo "init_script: ok"
