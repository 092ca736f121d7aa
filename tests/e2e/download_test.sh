# Automatic download with a collector that keeps failing: the records wait in the outbox and the
# log stays small; a download asked for empties the log into the outbox, and switching automatic
# download off removes the log.
. "$(dirname "$0")/lib.sh"

auto_download 'download_cnt=10\ndownload_dir=%s/\ndownload_cmd=false\n' "$outbox"
start_cdrd
$CDRCTL add 1 called=300 --repeat 100
expect_log_count "OnAddCDR" 100
$CDRCTL flush 7 >/dev/null
expect_eq 10 "$(sections "$log")" "records left in the download log"
expect_log "[delivery] <WARNING> stat-"
grep -qF "false exited with status 1; next attempt in 5 s" "$TRACE_LOG" || fail "no failure line"
expect_eq 644 "$(stat -c %a /run/cdrd/delivery)" "mode of the agent's record (no call data in it)"
$CDRCTL outbox | tail -1 | grep -q "^9 files, 90 records" || fail "outbox: $($CDRCTL outbox)"

$CDRCTL download-now
expect_log "Download: done!"
expect_eq 0 "$(sections "$log")" "records left in the download log"
$CDRCTL outbox | tail -1 | grep -q "^10 files, 100 records" || fail "outbox: $($CDRCTL outbox)"

echo "START_AUTO_DOWNLOAD_STAT=false" >"${VELK_PATH}sysconfig/rc.conf"
$CDRCTL reload-download
$CDRCTL add 1
expect_log "OnUpdateCDRDownloadSettings"
WAIT_SECONDS=10 wait_until "the log outlived the switch" test ! -e "$log"
echo "download: ok"
