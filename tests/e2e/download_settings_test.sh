# An unreadable sysconfig/rc.conf (a folder) never costs the download log its records: at start-up
# the recorder says the download settings cannot be read, keeps the log file and records into the
# databases.
. "$(dirname "$0")/lib.sh"

switch=${VELK_PATH}sysconfig/rc.conf

auto_download 'download_cnt=100\ndownload_dir=%s/\n' "$E2E_BASE/outbox"
start_cdrd
$CDRCTL add 1 called=before --repeat 5
expect_log_count "OnAddCDR" 5
flushed
expect_eq 5 "$(sections "$log")" "records in the download log"
stop_cdrd

# The switch is never read, so automatic download is off, but the log file stays.
rm "$switch"
mkdir "$switch"
start_cdrd
expect_log "Auto Download Settings can't be read!"
next=$(grep -A1 -F "Auto Download Settings can't be read!" "$TRACE_LOG" | tail -1)
grep -qF "<WARNING> InitAutoDownloadSettings stopped: open $switch: a folder, not a regular file" \
  <<<"$next" || fail "the reason does not follow the start-up line: $next"
$CDRCTL add 1 called=after-restart --repeat 2
expect_log_count "OnAddCDR" 7
flushed
expect_eq 7 "$(sections "$stated")" "records in the stated calls database"
expect_eq 5 "$(sections "$log")" "records kept in the download log"
wait_status 0 "healthy"
echo "download settings: ok"
