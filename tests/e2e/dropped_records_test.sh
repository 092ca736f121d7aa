# Downloads that fail because the outbox is full: the download log keeps within twice
# download_cnt by dropping its oldest records, and says so: a warning when the dropping starts, a
# problem in cdrctl status until a download succeeds, and then the count of the records dropped.
. "$(dirname "$0")/lib.sh"

outbox=$E2E_BASE/outbox

mkdir -p "$outbox"
mount -t tmpfs -o size=16k e2e-outbox "$outbox"
dd if=/dev/zero of="$outbox/filler" bs=1k count=64 2>/dev/null || true
auto_download 'download_cnt=10\ndownload_dir=%s/\n' "$outbox"
start_cdrd
wait_status 0 "healthy"

# Attempts at 10 to 19 records fail; from 20 on each report drops the oldest record (step 1).
$CDRCTL add 1 called=full --repeat 40
expect_log_count "OnAddCDR" 40
$CDRCTL flush 7 >/dev/null
expect_eq 20 "$(sections "$log")" "records in the download log, bounded at twice download_cnt"
expect_log "<WARNING> download log: downloads fail (write $outbox/.stage-stat-"
grep -F "download log: downloads fail" "$TRACE_LOG" | grep -qF "No space left on device" ||
  fail "the warning lacks the outbox's reason"
wait_status 2 "attention: download log: 20 records dropped since "
grep -qF "downloads failing: write $outbox/.stage-stat-" <<<"$out" || fail "no reason in status: $out"

# Space returns: the next attempt succeeds, the log empties and the count is told.
rm "$outbox/filler"
$CDRCTL add 1 called=space-back
expect_log "20 records dropped from the download log: write $outbox/.stage-stat-"
expect_eq 1 "$(ls "$outbox"/stat-*.log | wc -l)" "files in the outbox"
expect_eq 20 "$(sections "$outbox"/stat-*.log)" "records downloaded once space was back"
wait_status 0 "healthy"
$CDRCTL flush 7 >/dev/null
expect_eq 1 "$(sections "$log")" "records in the download log after the download"
stop_cdrd
umount "$outbox"
echo "dropped records: ok; 20 of 40 dropped while the outbox was full, counted and cleared"
