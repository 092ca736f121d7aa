# One recorder per device: a second cdrd started beside a running one leaves at once without
# touching its queues or files, and cdrctl status tells a running recorder from the queues a killed
# one left behind.
. "$(dirname "$0")/lib.sh"

millis() { echo $(($(date +%s%N) / 1000000)); }

printf 'cdr_save_stated=1\n' >"${VELK_PATH}general-settings.conf"
start_cdrd
first=$CDRD_PID
started=$(millis)
status=0
message=$($CDRD 2>&1 >/dev/null) || status=$?
took=$(($(millis) - started))
expect_eq 1 "$status" "exit status of a second cdrd"
expect_eq "cdrd: another recorder is running (pid $first); not starting" "$message" "its message"
# An emulated recorder (CDRD holds the emulator's words too) needs longer only to start.
limit=1000
[ "$CDRD" == "${CDRD%% *}" ] || limit=3000
[ "$took" -lt "$limit" ] || fail "the second cdrd took $took ms to leave"
echo "second cdrd left after $took ms"

# Four senders at once, each record saved as it arrives.
senders=()
for sender in 1 2 3 4; do
  (for call in $(seq 1 25); do $CDRCTL add 1 caller="$sender-$call" || exit 1; done) &
  senders+=($!)
done
for sender in "${senders[@]}"; do wait "$sender" || fail "a sender failed"; done
# Flushing nothing is answered only after every report queued before it was served.
$CDRCTL flush 0 >/dev/null || fail "flush 0 was not answered"
callers=$($CDRCTL show stated --json | python3 -c '
import json, sys
callers = [json.loads(line)["caller"] for line in sys.stdin]
print(len(callers), len(set(callers)))')
expect_eq "100 100" "$callers" "records and distinct callers on storage"

out=$($CDRCTL status) || fail "status of the running recorder failed: $out"
grep -qF "recorder running (pid $first)" <<<"$out" || fail "status: $out"

kill -KILL "$first"
wait "$first" 2>/dev/null || true
CDRD_PID=
status=0
out=$($CDRCTL status) || status=$?
[ "$status" -ne 0 ] || fail "status exits 0 after the recorder was killed: $out"
grep -qF "recorder not running" <<<"$out" || fail "status: $out"
grep -qF "/ping-15: left behind, not served" <<<"$out" || fail "status: $out"

# The lock died with the killed recorder: a new one starts.
start_cdrd
out=$($CDRCTL status) || fail "status of the restarted recorder failed: $out"
grep -qF "recorder running (pid $CDRD_PID)" <<<"$out" || fail "status: $out"
echo "instance: ok"
