# The recorder's health as an operator sees it: cdrctl status and its exit status on a storage
# that fills up and gets space back, one system-log alarm per condition however many reports
# follow, the health record of a killed recorder, and the JSON form read by a JSON reader.
. "$(dirname "$0")/lib.sh"

# A system log of this test's own, whose records land one per line in $syslog.
syslog=$E2E_BASE/syslog.txt
: >"$syslog"
fake_system_log collect "$syslog"
trap 'stop_cdrd; end_system_log' EXIT

# Counts the system-log records of the recorder at PRIORITY (user facility) containing TEXT.
count_alarms() {
  grep -F "Call Detail Recorder[" "$syslog" | grep -F -- "$2" | grep -c "^<$1>" || true
}
warning=12 notice=13   # LOG_USER | LOG_WARNING, LOG_USER | LOG_NOTICE

# The storage fills up: every save from then on fails, once per report.
fill_stated_storage
expect_eq 755 "$(stat -c %a /run/cdrd)" "mode of the runtime folder"
wait_status 2 "$((600 - saved)) not on storage"
expect_exit 2 $CDRCTL status --json
python3 -c '
import json, sys
status = json.loads(sys.argv[2])
stated = status["databases"][0]
assert status["state"] == "attention", status
assert status["recorder"]["running"] and status["recorder"]["stale_since"] is None, status
assert stated["name"] == "stated" and stated["unsaved"] == int(sys.argv[1]), stated
assert stated["save_result"] == "failed" and "No space left" in stated["save_error"], stated
assert status["problems"], status
' "$((600 - saved))" "$out" || fail "status --json: $out"
$CDRCTL add 1 called=more --repeat 100
wait_status 2 "$((700 - saved)) not on storage"
expect_eq 1 "$(count_alarms $warning "stated calls database: records not saved: ")" "alarms after 700 reports"
grep -F "records not saved" "$syslog" | grep -qF "No space left on device" || fail "alarm: $(cat "$syslog")"

# Space comes back and a flush saves every record held.
mount -o remount,size=1m "$db"
expect_eq "flush 1: answered" "$($CDRCTL flush 1)" "flush once space is back"
wait_status 0 "healthy"
grep -q "^stated: *700 records held, 0 not on storage; last save .* ok$" <<<"$out" || fail "$out"
expect_eq 700 "$(sections "$stated")" "records on storage after the flush"
expect_eq 1 "$(count_alarms $notice "stated calls database: records saved again")" "recovery records"
expect_eq 1 "$(count_alarms $warning "records not saved")" "alarms in all"

# Killed: nothing runs, and the record is stale since its last write.
written=$(sed -n 's/^written=//p' /run/cdrd/health)
kill_cdrd
expect_exit 1 $CDRCTL status --json
python3 -c 'import json, sys; s = json.loads(sys.argv[1])
assert s["state"] == "not running" and s["recorder"]["stale_since"] == int(sys.argv[2]), s
' "$out" "$written" || fail "status --json: $out"
umount "$db"
echo "health: ok; $saved of 600 records fitted; 1 alarm over 700 reports with failing saves, 1 record when saved again"
