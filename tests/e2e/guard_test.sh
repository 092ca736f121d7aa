# Stop and crash reports of a running recorder.
. "$(dirname "$0")/lib.sh"

leave_segv_to_guard
start_cdrd
$CDRCTL cm connect
expect_log "CM is connected."
crash_cdrd
expect_log "(Call Detail Recorder), got signal SIGSEGV(11) ======="
# Under user-mode emulation the unwinder cannot pass the emulated signal frame, so only the
# guard's own frames are named there; natively the frames reach the service loop and main.
frames='CDRCommonMessenger|CDRManager|main'
case "$CDRD" in qemu*) frames="CrashGuard|$frames" ;; esac
grep -qE "^ 0x[0-9a-f]+: .*($frames)" "$TRACE_LOG" || fail "no frame names a function of the recorder"

# A stalled system log (its queue full, never read): each signal still ends the recorder within
# two seconds, with its report in the log file.
fake_system_log stalled
for signal in TERM SEGV; do
  report="stopped by signal SIGTERM(15)"
  [ $signal == TERM ] || report="got signal SIGSEGV(11)"
  reports=$(count_log "$report")
  start_cdrd
  kill -$signal "$CDRD_PID"
  WAIT_SECONDS=2 wait_until "SIG$signal: still running 2 s later with a stalled system log" \
    ended "$CDRD_PID"
  wait "$CDRD_PID" || true
  CDRD_PID=
  expect_eq $((reports + 1)) "$(count_log "$report")" "SIG$signal reports in the log file"
done
end_system_log
echo "guard: ok"
