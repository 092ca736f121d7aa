# Exactly once from the recorder to a collector that stores files by name (nginx with WebDAV PUT
# on a loopback port): reports go on while the recorder and its agent are killed (SIGKILL) and
# started again, the collector now and then fails after it stored a file, and the wall clock is
# set back a day midway. At the end every record the recorder took is at the collector exactly
# once, and no file name ever came with two different contents.
#
# What counts as taken: every record that `cdrctl show` finds in the stated calls database and its
# journal at the end. A report still waiting in the queue when the recorder is killed may be lost
# (a message queue cannot be read without taking the message off it), so the reports cdrctl posted
# are only an upper bound, and the "OnAddCDR" lines of the trace log a lower one less the kills
# (a kill may fall between that line and the journal entry).
. "$(dirname "$0")/lib.sh"

if ! nginx -V 2>&1 | grep -q -- --with-http_dav_module; then
  echo "SKIP: nginx lacks the WebDAV module"
  exit 77
fi

server=$E2E_BASE/server
history=$E2E_BASE/history
shift_file=$E2E_BASE/clock-shift
reports=${EXACTLY_ONCE_REPORTS:-200}
kills=4
webdav_prepare "$server"
mkdir -p "$server/www/in" "$history"
webdav_start "$server"
webdav_end_at_exit "$server"

# The delivery command: notes each file's name and checksum, stores it, and every third attempt
# reports a failure after the collector stored it.
cat >"$E2E_BASE/deliver.sh" <<SCRIPT
#!/bin/sh
echo "\$(basename "\$1") \$(sha1sum <"\$1" | cut -c1-40)" >>"$history/sent"
curl -fsS -T "\$1" "http://127.0.0.1:$port/in/\$(basename "\$1")" || exit 1
echo x >>"$history/attempts"
[ \$((\$(wc -l <"$history/attempts") % 3)) -ne 0 ] || exit 1
SCRIPT
chmod +x "$E2E_BASE/deliver.sh"

printf 'cdr_max_stated=5000\n' >"${VELK_PATH}general-settings.conf"
auto_download '%s\n' download_cnt=5 "download_dir=$outbox/" "download_cmd=$E2E_BASE/deliver.sh" \
  download_retry_max=1
use_clock_shift "$shift_file"

start_cdrd
( for n in $(seq 1 "$reports"); do
    if $CDRCTL add 1 "called=$n" 2>/dev/null; then echo "$n"; fi
    sleep 0.02
  done >"$E2E_BASE/posted" ) &
sender=$!
for kill in $(seq 1 $kills); do
  sleep 1
  kill_and_restart "^/bin/sh $E2E_BASE/deliver.sh"
  if [ "$kill" -eq $((kills / 2)) ]; then
    printf '%s %s\n' -86400 0 >"$shift_file.new" && mv "$shift_file.new" "$shift_file"
  fi
done
wait "$sender"
$CDRCTL download-now >/dev/null
expect_log "Download: done!"
outbox_empty() { ! ls "$outbox" | grep -q '^stat-.*\.log$'; }
wait_until "files stay in the outbox" outbox_empty
stop_cdrd

# The records at the collector as "type ID called" lines, one per record.
collected=$(awk '/^\{/ { t = ""; i = ""; c = "" } /^type=/ { t = substr($0, 6) }
  /^ID=/ { i = substr($0, 4) } /^called=/ { c = substr($0, 8) } /^\}/ { print t, i, c }' \
  "$server"/www/in/*)
taken=$(shown_values stated called | sort -n)
received=$(count_log "OnAddCDR")
posted=$(wc -l <"$E2E_BASE/posted")
echo "posted $posted, received $received, taken $(wc -l <<<"$taken"), at the collector" \
  "$(wc -l <<<"$collected") in $(ls "$server/www/in" | wc -l) files; $(wc -l <"$history/sent") deliveries"

[ -n "$taken" ] || fail "cdrctl show found no record"
expect_eq "" "$(cut -d' ' -f3 <<<"$collected" | sort -n | uniq -d)" "records at the collector twice"
expect_eq "" "$(cut -d' ' -f1,2 <<<"$collected" | sort | uniq -d)" "(type, ID) at the collector twice"
expect_eq "$taken" "$(cut -d' ' -f3 <<<"$collected" | sort -n)" "records taken vs at the collector"
[ "$(wc -l <<<"$taken")" -ge $((received - kills)) ] || fail "records received but not taken"
expect_eq "" "$(comm -23 <(echo "$taken" | sort) <(sort "$E2E_BASE/posted"))" "records never posted"
expect_eq "" "$(sort -u "$history/sent" | cut -d' ' -f1 | uniq -d)" "names sent with two contents"
days=$(ls "$server/www/in" | sed -n 's/.*-\([0-9]\{8\}\)T[0-9]\{6\}Z\.log$/\1/p' | sort -u | wc -l)
[ "$days" -ge 2 ] || fail "the wall clock set back a day midway shows in no stored name"
[ "$(wc -l <"$history/sent")" -gt "$(ls "$server/www/in" | wc -l)" ] ||
  fail "no file was sent twice: the failing collector was never tried"
echo "delivery exactly once: ok"
