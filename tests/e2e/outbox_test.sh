# Statistics delivery through the outbox, against a real upload server (nginx with WebDAV PUT on
# a loopback port) with curl as the delivery command: a collector that is down, then back. (A
# transfer past its timeout is TransferTest's, the outbox's size cap StatisticsOutboxTest's.)
. "$(dirname "$0")/lib.sh"

server=$E2E_BASE/server
waiting_files() { ls "$outbox" | grep '^stat-.*\.log$' || true; }

webdav_prepare "$server"
mkdir -p "$server/www/up"
webdav_end_at_exit "$server"

outbox_empty() { [ -z "$(waiting_files)" ]; }

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

stop_cdrd
echo "outbox: ok"
