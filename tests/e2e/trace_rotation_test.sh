# The recorder and its delivery agent write one trace log: the agent's lines obey the recorder's
# cdr_trace_max_kb and its rotation to cdr.log.1, whichever process finds the file full rotates
# it, and no rotation ever removes or empties the log. (A rotation that cannot rename is
# LogStreamTest's.)
. "$(dirname "$0")/lib.sh"

# download_cmd=false fails every delivery; each failure is one agent line, and with
# download_retry_max=1 the agent tries again every second.
auto_download 'download_cnt=10\ndownload_dir=%s/\ndownload_cmd=false\ndownload_retry_max=1\n' "$outbox"
both_logs() { cat "$TRACE_LOG" "$TRACE_LOG.1" 2>/dev/null || true; }
in_logs() { both_logs | grep -qF -- "$1"; }
size() { stat -c %s "$1"; }

# A 2 KiB cap. The agent finds the file full first: the recorder's lines go to cdr.log.1, and the
# new cdr.log starts with the agent's line.
echo "cdr_trace_max_kb=2" >"$VELK_PATH/general-settings.conf"
limit=2048
start_cdrd
$CDRCTL add 1 called=small --repeat 20
flushed
expect_log "[delivery] <WARNING> stat-"
$CDRCTL cm connect
expect_log "CM is connected."
# Which process finds the file full is a race: each check that fails adds a line of its side (a
# retry, a report), until the wanted process has rotated, however long a slow machine takes.
first_line_is_agents() { head -1 "$1" 2>/dev/null | grep -qF "[delivery]"; }
tries=0
agent_rotated() {
  { grep -qsF "CM is connected." "$TRACE_LOG.1" && first_line_is_agents "$TRACE_LOG"; } ||
    { tries=$((tries + 1)); $CDRCTL outbox retry >/dev/null 2>&1 || true; false; }
}
WAIT_SECONDS=120 wait_until "the agent never rotated the log" agent_rotated

# Then the recorder finds the agent's file full: it becomes cdr.log.1.
calls=0
recorder_rotated() {
  { first_line_is_agents "$TRACE_LOG.1" && ! first_line_is_agents "$TRACE_LOG"; } ||
    { calls=$((calls + 1)); $CDRCTL add 1 "called=after$calls"; false; }
}
WAIT_SECONDS=120 wait_until "the recorder never rotated the agent's log" recorder_rotated
grep -qF "OnAddCDR" "$TRACE_LOG" || fail "the recorder's new cdr.log lacks its lines"
for log in "$TRACE_LOG" "$TRACE_LOG.1"; do
  # Past the cap only by lines the other process wrote within the second before it looked.
  [ "$(size "$log")" -le $((limit + 1024)) ] || fail "$log grew to $(size "$log") bytes"
done
stop_cdrd
in_logs "has been stopped by signal SIGTERM(15)" || fail "no stop report after the rotations"
echo "trace rotation: ok; agent rotated after $tries retries, recorder after $calls reports"
