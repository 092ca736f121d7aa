# The instance lock against a hostile user and a broken runtime folder: nobody else can hold it,
# where /run cannot hold it the lock beside the databases keeps a second recorder out, and only
# where neither can be taken does the recorder run unlocked, saying so.
. "$(dirname "$0")/lib.sh"

lock=/run/cdrd.lock
fallback=${VELK_PATH}telephony/cdrd.lock
stored() { $CDRCTL show stated --json | grep -c '"caller"' || true; }

millis() { echo $(($(date +%s%N) / 1000000)); }
# An emulated recorder (CDRD holds the emulator's words too) needs longer only to start.
limit=1000
[ "$CDRD" == "${CDRD%% *}" ] || limit=3000

# A second cdrd beside the running one leaves at once with status 1 naming it, without touching
# its queues or files; status names it too.
expect_one_recorder() {
  local status=0 message started took
  started=$(millis)
  message=$($CDRD 2>&1 >/dev/null) || status=$?
  took=$(($(millis) - started))
  expect_eq 1 "$status" "exit status of a second cdrd ($1)"
  [ "$took" -lt "$limit" ] || fail "the second cdrd took $took ms to leave ($1)"
  expect_eq "cdrd: another recorder is running (pid $CDRD_PID); not starting" "$message" \
    "the second cdrd's message ($1)"
  message=$($CDRCTL status) || true
  grep -qF "recorder: running (pid $CDRD_PID)" <<<"$message" || fail "status ($1): $message"
}

# Twenty reports, each saved as it arrives: all of them reach storage.
expect_reports_kept() {
  local before
  before=$(stored)
  $CDRCTL add 1 caller="$1" --repeat 20 >/dev/null || fail "reports refused ($1)"
  $CDRCTL flush 0 >/dev/null || fail "flush not answered ($1)"
  expect_eq $((before + 20)) "$(stored)" "records on storage ($1)"
}

printf 'cdr_save_stated=1\n' >"${VELK_PATH}general-settings.conf"

echo "$(date +%T) the usual lock, which nobody else may open"
start_cdrd
expect_eq "600 root" "$(stat -c '%a %U' $lock)" "the lock file's mode and owner"
expect_one_recorder "usual lock"
expect_reports_kept "beside a second cdrd"
stop_cdrd

for kind in folder link fifo; do
  echo "$(date +%T) the lock path is a $kind"
  rm -rf $lock
  case $kind in
    folder) mkdir $lock ;;
    link) echo precious >/run/elsewhere && ln -s /run/elsewhere $lock ;;
    fifo) mkfifo $lock ;;
  esac
  start_cdrd
  expect_log "holding the instance lock $fallback since cannot"
  expect_one_recorder "$kind"
  expect_reports_kept "$kind"
  rm -rf $lock  # the usual lock is usable again, but this recorder holds the other one
  expect_one_recorder "$kind removed"
  stop_cdrd
done
expect_eq precious "$(cat /run/elsewhere)" "the link's target"
rm -rf $lock /run/elsewhere

echo "$(date +%T) neither lock can be taken"
rm -rf $lock $fallback
mkdir $lock $fallback
start_cdrd
expect_log "running without an instance lock: cannot open the instance lock $lock"
expect_reports_kept unlocked
wait_status 2 "attention: running without an instance lock"
stop_cdrd
echo "lock: ok"
