# The delivery alarm counts on the boot clock, moved here through CDR_CLOCK_SHIFT: with deliveries
# failing and download_alarm_after=1, the wall clock set forward and back by a day raises nothing
# and status never shows a negative duration; a minute of boot time raises the alarm once, and
# that minute is not lost when the recorder is killed and started again.
# A shift file that someone else could write is ignored with a warning.
. "$(dirname "$0")/lib.sh"

shift_file=$E2E_BASE/clock-shift
alarm="[delivery] <WARNING> deliveries failing for"

# Moves the clocks to WALL and BOOT seconds off the system's, and waits until every process has
# looked at the file again (at most once a second).
set_shift() {
  printf '%s %s\n' "$1" "$2" >"$shift_file.new"
  mv "$shift_file.new" "$shift_file"
  sleep 1.2
}

# Fails when cdrctl status or outbox shows a negative number.
expect_no_negative() {
  local shown
  shown=$($CDRCTL status || true; $CDRCTL outbox || true)
  ! grep -qE '(^|[ (])-[0-9]' <<<"$shown" || fail "a negative duration: $shown"
}

# Seconds the oldest outbox file is old, as `cdrctl outbox` tells.
outbox_age() { $CDRCTL outbox 2>/dev/null | sed -n '1s/.* \([0-9-]*\) s old$/\1/p'; }

auto_download '%s\n' download_cnt=1 "download_dir=$outbox/" download_cmd=false download_retry_max=1 \
  download_alarm_after=1
use_clock_shift "$shift_file"

start_cdrd
$CDRCTL add 1 called=300 --repeat 3 >/dev/null
expect_log "[delivery] <WARNING> stat-"

# Only a file of our own user (or root) that nobody else may write steers the clocks.
set_shift 86400 0
[ "$(outbox_age)" -ge 86400 ] || fail "the wall clock was not shifted: $($CDRCTL outbox)"
cp "$shift_file" "$shift_file.open"
chmod 620 "$shift_file.open"
warned=$(CDR_CLOCK_SHIFT=$shift_file.open $CDRCTL outbox 2>&1 >/dev/null)
grep -qF "clock shift file $shift_file.open ignored (writable by group or others)" <<<"$warned" ||
  fail "no warning for a group-writable shift file: $warned"
[ "$(CDR_CLOCK_SHIFT=$shift_file.open outbox_age)" -lt 86400 ] || fail "a writable file steered"

# Wall-clock jumps alone: a day forward, then a day back.
sleep 2
expect_no_negative
set_shift -86400 0
expect_eq 0 "$(outbox_age)" "age of a file written after the clock's time"
sleep 2
expect_no_negative
expect_eq 0 "$(count_log "$alarm")" "alarms after wall-clock jumps"
wait_status 0 "failing since"

# A restart carries on the failures; 20 s more of boot time is still short of the delay.
kill_and_restart
expect_log "carries on from the failures recorded in this boot"
set_shift -86400 20
sleep 2
expect_eq 0 "$(count_log "$alarm")" "alarms before a minute of boot time"

# Past the minute, counted from the first failure before the restart: one alarm.
set_shift -86400 61
expect_log "$alarm 1 minutes"
wait_status 2 "deliveries failing since"
expect_no_negative

# A boot clock read before the first failure shows no time, never a negative one.
set_shift 86400 -86400
wait_status 0 "(0 min; alarm after 1)"
expect_no_negative

# Deliveries work again: the alarm is cleared.
sed -i 's/^download_cmd=false$/download_cmd=true/' "${VELK_PATH}auto-down-stat.conf"
expect_log "[delivery] <WARNING> delivery recovered: statistics delivered again"
echo "delivery alarm clock: ok"
