# The recorder and its delivery agent write one trace log: the agent's lines obey the recorder's
# cdr_trace_max_kb and its rotation to cdr.log.1, whichever process finds the file full rotates
# it, and no rotation ever removes or empties the log, a failed one included.
. "$(dirname "$0")/lib.sh"

# download_cmd=false fails every delivery; each failure is one agent line, and with
# download_retry_max=1 the agent tries again every second.
auto_download 'download_cnt=10\ndownload_dir=%s/\ndownload_cmd=false\ndownload_retry_max=1\n' "$outbox"
both_logs() { cat "$TRACE_LOG" "$TRACE_LOG.1" 2>/dev/null || true; }
in_logs() { both_logs | grep -qF -- "$1"; }
size() { stat -c %s "$1"; }

# A trace log of 3 MiB from an earlier run under a 4 MiB cap: the agent's lines go on behind it.
echo "cdr_trace_max_kb=4096" >"$VELK_PATH/general-settings.conf"
{
  echo "EARLIER-FIRST line of an earlier run"
  awk 'BEGIN { for (i = 0; i < 50000; i++) print "an earlier run'"'"'s trace line, kept until the log reaches its cap" }'
  echo "EARLIER-LAST line of an earlier run"
} >"$TRACE_LOG"
[ "$(size "$TRACE_LOG")" -gt $((3 * 1024 * 1024)) ] || fail "the earlier log is not 3 MiB"
start_cdrd
$CDRCTL add 1 called=big --repeat 20
flushed
expect_log_count "[delivery] <WARNING> stat-" 2
for line in EARLIER-FIRST EARLIER-LAST "GetCDRData:" "[delivery] agent"; do
  in_logs "$line" || fail "after the agent's lines the trace log lacks: $line"
done
expect_eq 1 "$(head -1 "$TRACE_LOG" | grep -c EARLIER-FIRST)" "first line of cdr.log"
[ ! -e "$TRACE_LOG.1" ] || fail "cdr.log rotated under its 4 MiB cap"
stop_cdrd
in_logs "has been stopped by signal SIGTERM(15)" || fail "no stop report"
largest=$(size "$TRACE_LOG")

# A 2 KiB cap. The agent finds the file full first: the recorder's lines go to cdr.log.1, and the
# new cdr.log starts with the agent's line.
rm -rf "$outbox" "$TRACE_LOG"
echo "cdr_trace_max_kb=2" >"$VELK_PATH/general-settings.conf"
limit=2048
start_cdrd
$CDRCTL add 1 called=small --repeat 20
flushed
expect_log "[delivery] <WARNING> stat-"
$CDRCTL cm connect
expect_log "CM is connected."
tries=0
until [ -e "$TRACE_LOG.1" ] && grep -qF "CM is connected." "$TRACE_LOG.1" &&
  head -1 "$TRACE_LOG" | grep -qF "[delivery]"; do
  tries=$((tries + 1))
  [ $tries -le 200 ] || fail "the agent never rotated the log"
  $CDRCTL outbox retry >/dev/null 2>&1 || true
  sleep 0.1
done
echo "the agent rotated cdr.log after $tries retries"

# Then the recorder finds the agent's file full: it becomes cdr.log.1.
calls=0
until head -1 "$TRACE_LOG.1" | grep -qF "[delivery]" && ! head -1 "$TRACE_LOG" | grep -qF "[delivery]"; do
  calls=$((calls + 1))
  [ $calls -le 200 ] || fail "the recorder never rotated the agent's log"
  $CDRCTL add 1 "called=after$calls"
done
grep -qF "OnAddCDR" "$TRACE_LOG" || fail "the recorder's new cdr.log lacks its lines"
for log in "$TRACE_LOG" "$TRACE_LOG.1"; do
  # Past the cap only by lines the other process wrote within the second before it looked.
  [ "$(size "$log")" -le $((limit + 1024)) ] || fail "$log grew to $(size "$log") bytes"
done
stop_cdrd
in_logs "has been stopped by signal SIGTERM(15)" || fail "no stop report after the rotations"

# A rotation that cannot rename (cdr.log.1 is a folder) keeps every line, saying so once in each
# process that found the log full. (The file kept whole past its cap is LogStreamTest's.)
rm -rf "$outbox" "$TRACE_LOG" "$TRACE_LOG.1"
mkdir "$TRACE_LOG.1"
start_cdrd
$CDRCTL add 1 called=folder --repeat 40
expect_log "[delivery] <WARNING> stat-"
flushed
expect_log "OnFlush"
expect_log "is not rotated: cannot rename it to /tmp/logs/cdr.log.1 (Is a directory)"
expect_eq 40 "$(count_log "OnAddCDR")" "records traced in cdr.log"
warnings=$(count_log "is not rotated")
[ "$warnings" -ge 1 ] && [ "$warnings" -le 2 ] || fail "$warnings warnings of the failed rotation"
stop_cdrd
expect_log "has been stopped by signal SIGTERM(15)"
echo "trace rotation: ok; 3 MiB log kept ($largest bytes); agent rotated after $tries retries," \
  "recorder after $calls reports; a failed rotation kept $(size "$TRACE_LOG") bytes"
