# Statistics delivery through the outbox, against a real upload server (nginx with WebDAV PUT on
# a loopback port) with curl as the delivery command: a collector that is down, one that hangs,
# and the outbox's size cap.
. "$(dirname "$0")/lib.sh"

server=$E2E_BASE/server
marker="hang-$$-$RANDOM"
waiting_files() { ls "$outbox" | grep '^stat-.*\.log$' || true; }

webdav_prepare "$server"
mkdir -p "$server/www/up"
webdav_end_at_exit "$server"

outbox_empty() { [ -z "$(waiting_files)" ]; }
# Waits until no process carries the marker in its command line.
no_transfer() { ! pgrep -f "$marker" >/dev/null; }
expect_no_transfer() { WAIT_SECONDS=10 wait_until "transfer processes outlived it" no_transfer; }

printf 'cdr_max_stated=1000\n' >"${VELK_PATH}general-settings.conf"
settings() { auto_download 'download_cnt=10\n%s\n' "$@"; }

echo "$(date +%T) the collector is down: 20 reports a second are all taken, their records wait in the outbox"
settings "download_cmd=curl -sf http://127.0.0.1:$port/up/ -T"
start_cdrd
for burst in $(seq 1 20); do  # 10 reports every half second
  sleep 0.5 &
  $CDRCTL add 1 "called=$burst" --repeat 10 || fail "a report of burst $burst was refused"
  wait $!
done
expect_log_count "OnAddCDR" 200
$CDRCTL download-now
expect_log "Download: done!"
expect_log "[delivery] <WARNING> stat-"
grep -qF "curl exited with status 7" "$TRACE_LOG" || fail "the failure's reason is not traced"
$CDRCTL flush 7 >/dev/null
expect_eq 200 "$(sections "${VELK_PATH}telephony/CDR_db")" "reports on storage"
sent=$(waiting_files)
expect_eq 20 "$(echo "$sent" | wc -l)" "files in the outbox"
expect_eq 200 "$(cd "$outbox" && sections $sent)" "records in the outbox"
# Failing for less than download_alarm_after: shown, but not yet a reason for attention.
wait_status 0 "outbox 20 files, 200 records"
grep -q "^delivery: .*; agent [0-9]*, last delivery .* failed: curl exited with status 7, failing since " \
  <<<"$out" || fail "status: $out"

echo "$(date +%T) the collector comes back: every file arrives once, in order, with its records"
webdav_start "$server"
$CDRCTL outbox retry >/dev/null
wait_until "files stay in the outbox" outbox_empty
expect_eq "$sent" "$(ls "$server/www/up")" "files on the server"
expect_eq "$(echo "$sent" | sed 's|^|PUT /up/|; s|$| 201|')" "$(cat "$server/access.log")" \
  "uploads, in order, each once"
expect_eq "$(seq 1 20 | sed 's/$/:10/')" \
  "$(cat "$server"/www/up/* | sed -n 's/^called=//p' | sort -n | uniq -c | awk '{ print $2 ":" $1 }')" \
  "each report's record on the server once"
expect_eq 20 "$(count_log "[delivery] delivered stat-")" "deliveries traced"
wait_status 0 "outbox 0 files, 0 records"
grep -q "^delivery: .*; agent [0-9]*, last delivery .* ok$" <<<"$out" || fail "status: $out"

echo "$(date +%T) a collector that hangs: its whole transfer goes at the timeout, and with the recorder"
printf '#!/bin/sh\nsh -c "sleep 300; :" "$1" &\nsleep 300\n' >"$E2E_BASE/hang.sh"
chmod +x "$E2E_BASE/hang.sh"
settings "download_cmd=$E2E_BASE/hang.sh $marker" "download_timeout=2"
$CDRCTL add 1 called=hang --repeat 11
expect_log "took longer than 2 s and was killed"
sleep 0.5
expect_no_transfer
settings "download_cmd=$E2E_BASE/hang.sh $marker" "download_timeout=120"
$CDRCTL outbox retry >/dev/null
wait_until "the hanging transfer never ran" pkill -0 -f "$marker"
agent=$(sed -n 's/.*\[delivery\] agent \([0-9]*\) serves.*/\1/p' "$TRACE_LOG" | tail -1)
stop_cdrd
expect_no_transfer
WAIT_SECONDS=10 wait_until "agent $agent outlived cdrd" ended "$agent"
rm -f "$outbox"/stat-*

echo "$(date +%T) the size cap, with no delivery command: never more than 16 KiB and one file"
small=/mnt/bbram/calldata/small
settings "download_dir=$small" "download_keep_kb=16"
# A fresh download log: the journal, which would bring back its unsaved records, goes too.
rm -f /mnt/bbram/calldata/down_stat.log "${VELK_PATH}telephony/cdr.journal"
start_cdrd
before=$(count_log "OnAddCDR")
$CDRCTL add 1 called=capped s1.txPackets=7 --repeat 400 &
sender=$!
largest=0
sample() {
  local size; size=$( (cat "$small"/stat-*.log 2>/dev/null || true) | wc -c)
  [ "$size" -le "$largest" ] || largest=$size
}
waited=0
while [ "$(count_log "OnAddCDR")" -lt $((before + 400)) ]; do
  sample
  sleep 0.02; waited=$((waited + 1)); [ $waited -lt 3000 ] || fail "the reports were not all served"
done
wait "$sender" || fail "a report was refused"
sample
file_size=$(wc -c <"$(ls -S "$small"/stat-*.log | head -1)")
[ "$largest" -le $((16384 + file_size)) ] || fail "the outbox took $largest bytes"
dropped=$(sed -n 's/.*would exceed its 16 KiB: removed its [0-9]* oldest files, \([0-9]*\) records never.*/\1/p' \
  "$TRACE_LOG" | awk '{ sum += $1 } END { print sum }')
[ -n "$dropped" ] || fail "no warning about dropped records"
$CDRCTL flush 7 >/dev/null
kept=$(sections "$small"/stat-*.log)
in_log=$(sections /mnt/bbram/calldata/down_stat.log)
expect_eq 400 $((dropped + kept + in_log)) "records dropped, kept and in the log"
echo "outbox at most $largest bytes (cap 16384, largest file $file_size); $dropped records dropped"
stop_cdrd
echo "outbox: ok"
