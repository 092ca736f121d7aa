# An unreadable sysconfig/rc.conf (a folder) never costs the download log its records: on the
# reload request automatic download stays on with its log, and at start-up the recorder says the
# download settings cannot be read, keeps the log file and records into the databases.
. "$(dirname "$0")/lib.sh"

switch=${VELK_PATH}sysconfig/rc.conf

auto_download 'download_cnt=100\ndownload_dir=%s/\n' "$E2E_BASE/outbox"
start_cdrd
$CDRCTL add 1 called=before --repeat 5
expect_log_count "OnAddCDR" 5
$CDRCTL flush 7 >/dev/null
expect_eq 5 "$(sections "$log")" "records in the download log"

# The reload request: not answered, so the trace log and the files tell.
rm "$switch"
mkdir "$switch"
$CDRCTL reload-download
expect_log "InitAutoDownloadSettings stopped: open $switch: a folder, not a regular file"
$CDRCTL add 1 called=after-reload
expect_log_count "OnAddCDR" 6
$CDRCTL flush 7 >/dev/null
expect_eq 6 "$(sections "$log")" "records in the download log, automatic download still on"
expect_eq 0 "$(count_log "can't be read")" "start-up lines traced on a reload"
stop_cdrd

# Start-up: the switch was never read, so automatic download is off, but the log file stays.
start_cdrd
expect_log "Auto Download Settings can't be read!"
next=$(grep -A1 -F "Auto Download Settings can't be read!" "$TRACE_LOG" | tail -1)
grep -qF "<WARNING> InitAutoDownloadSettings stopped: open $switch: a folder" <<<"$next" ||
  fail "the reason does not follow the start-up line: $next"
$CDRCTL add 1 called=after-restart --repeat 2
expect_log_count "OnAddCDR" 8
$CDRCTL flush 7 >/dev/null
expect_eq 8 "$(sections "$stated")" "records in the stated calls database"
expect_eq 6 "$(sections "$log")" "records kept in the download log"
wait_status 0 "healthy"
echo "download settings: ok"
