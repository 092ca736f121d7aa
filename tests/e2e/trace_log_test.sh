# The trace log on its RAM folder: never written into a folder another user controls or through a
# link, and started anew when someone takes it away.
. "$(dirname "$0")/lib.sh"

printf 'cdr_save_stated=1\ncdr_max_stated=50\ncdr_save_missed=1000\ncdr_save_failed=1000\n' \
  >"$VELK_PATH/general-settings.conf"
leave_segv_to_guard

# A log folder that is missing is created owner-only.
rmdir /tmp/logs
start_cdrd
$CDRCTL add 1 called=first --repeat 5
expect_log_count "OnAddCDR" 5
expect_eq "700 root" "$(stat -c '%a %U' /tmp/logs)" "mode and owner of the created log folder"
stop_cdrd
expect_eq 5 "$(sections "$db/CDR_db")" "records before the attack"

# A log folder that belongs to nobody, with cdr.log a link to the stated calls database: neither
# the trace nor the crash report reaches the database; the trace goes to standard error and the
# system log gets one warning.
fake_system_log collect "$E2E_BASE/syslog"
rm -rf /tmp/logs
mkdir -m 755 /tmp/logs
ln -s "$db/CDR_db" /tmp/logs/cdr.log
chown -h nobody /tmp/logs /tmp/logs/cdr.log
start_cdrd 2>"$E2E_BASE/stderr"
$CDRCTL add 1 called=second --repeat 3
flushed
crash_cdrd
end_system_log
expect_eq 8 "$(sections "$db/CDR_db")" "records in the database behind the link"
! grep -qE 'OnAddCDR|Backtrace|<---- Date' "$db/CDR_db" || fail "trace text in the database"
expect_eq 3 "$(grep -c 'OnAddCDR' "$E2E_BASE/stderr")" "trace lines on standard error"
expect_eq 1 "$(grep -c '/tmp/logs belongs to another user' "$E2E_BASE/syslog")" \
  "warnings in the system log"
rm -rf /tmp/logs
mkdir /tmp/logs
start_cdrd

# Taken away while the recorder runs, renamed as a log rotation does: the recorder looks for its
# file once a second.
$CDRCTL cm connect
expect_log "CM is connected."
mv "$TRACE_LOG" "$TRACE_LOG.rotated"
sleep 1.1
$CDRCTL cm disconnect
expect_log "CM is disconnected."
grep -qF "CM is connected." "$TRACE_LOG.rotated" || fail "the rotated log lost its lines"
! grep -qF "CM is connected." "$TRACE_LOG" || fail "the new log holds the old lines"
stop_cdrd
expect_log "has been stopped by signal SIGTERM(15)"
echo "trace log: ok"
