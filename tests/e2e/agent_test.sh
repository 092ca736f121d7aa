# The delivery agent starts clean and leaves nothing behind: it holds none of the recorder's
# descriptors (a killed recorder's agent keeps no lock from the next one), a command that writes
# without end fills neither the trace log nor the recorder's own streams. (A child that leaves the
# command's session is TransferTest.AHelperInItsOwnSessionEndsAndOutputStaysBoundedAndEscaped's.)
. "$(dirname "$0")/lib.sh"

out=$E2E_BASE/cdrd.out err=$E2E_BASE/cdrd.err
settings() {
  auto_download 'download_cnt=10\ndownload_dir=%s/\ndownload_retry_max=1\n' "$outbox"
  printf '%s\n' "$@" >>"${VELK_PATH}auto-down-stat.conf"
}
size() { stat -c %s "$1"; }

echo "$(date +%T) the agent holds only its own descriptors"
settings "download_cmd=false"
start_cdrd >"$out" 2>"$err"
expect_log "[delivery] agent"
agent=$(sed -n 's/.*\[delivery\] agent \([0-9]*\) serves.*/\1/p' "$TRACE_LOG" | tail -1)
$CDRCTL add 1 --repeat 20 >/dev/null
$CDRCTL flush 7 >/dev/null
expect_log "false exited with status 1"
for fd in /proc/"$agent"/fd/*; do
  target=$(readlink "$fd") || continue
  case "$target" in
    /dev/null | socket:* | "$TRACE_LOG" | "$outbox/.wake") ;;
    *) [ "${fd##*/}" == 2 ] || [ "$target" != "${target#"$E2E_BASE"/bin/}" ] ||
      fail "agent $agent holds ${fd##*/} -> $target" ;;
  esac
done
kill -KILL "$CDRD_PID"
wait "$CDRD_PID" 2>/dev/null || true
start_cdrd >>"$out" 2>>"$err"  # at once, while the old agent may still run
WAIT_SECONDS=5 wait_until "agent $agent outlived cdrd" ended "$agent"

echo "$(date +%T) a command that writes without end"
printf '#!/bin/sh\nprintf "start\\033[31m\\302\\233\\n"\nexec cat /dev/zero\n' >"$E2E_BASE/chatty.sh"
chmod +x "$E2E_BASE/chatty.sh"
settings "download_cmd=$E2E_BASE/chatty.sh" "download_timeout=3"
$CDRCTL outbox retry >/dev/null || true
expect_log_count "chatty.sh took longer than 3 s and was killed" 2
expect_log "[delivery] | start\\x1B[31m\\xC2\\x9B"
expect_log "bytes left out ..."
expect_log "command output as on the previous attempt"
log_bytes=$(du -cb /tmp/logs | tail -1 | cut -f1)
[ "$log_bytes" -lt $((2 * 1024 * 1024)) ] || fail "the trace logs hold $log_bytes bytes"
[ "$(size "$out")" -lt 65536 ] || fail "cdrd's standard output holds $(size "$out") bytes"
[ "$(size "$err")" -lt 65536 ] || fail "cdrd's standard error holds $(size "$err") bytes"
grep -qaF "start" "$out" "$err" && fail "the command's output reached cdrd's own streams"
echo "trace logs $log_bytes bytes, cdrd's output $(size "$out") + $(size "$err") bytes"

stop_cdrd
echo "agent: ok"
