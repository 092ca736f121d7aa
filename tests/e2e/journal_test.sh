# The record journal: whatever ends the recorder (SIGKILL, a crash, a bare SIGTERM), at rest or
# under load, the records it took come back at the next start, once each, and numbering goes on
# without giving an ID twice.
. "$(dirname "$0")/lib.sh"

journal=$db/cdr.journal
auto_download 'download_cnt=100000\n'

# Prints the IDs of FILE, newest first, after checking that they fall by one from each record to
# the next and end at 0.
consecutive_ids() {
  awk -v file="$1" '
    /^ID=/ { id = substr($0, 4); if (prev != "" && id != prev - 1) bad = "ID " id " after " prev
             prev = id; print id }
    END { if (prev != "" && prev != 0) bad = "the oldest ID is " prev
          if (bad) { print file ": " bad > "/dev/stderr"; exit 1 } }
  ' "$1" || fail "$1 is not numbered 0, 1, 2, ..."
}
# "type:ID" of each download log record that appears more than once.
log_duplicates() {
  awk '/^type=/ { type = substr($0, 6) } /^ID=/ { print type ":" substr($0, 4) }' "$log" |
    sort | uniq -d
}
# Succeeds once the health record says that no record is off storage (each saved or in a synced
# journal entry).
all_on_storage() {
  local status; status=$($CDRCTL status 2>/dev/null || true)
  grep -q 'not on storage' <<<"$status" && ! grep -qE '[1-9][0-9]* not on storage' <<<"$status"
}
# Ends the recorder with signal $1 and waits for it.
end_with() { kill -"$1" "$CDRD_PID"; wait "$CDRD_PID" 2>/dev/null || true; CDRD_PID=; }

# At rest: 23 answered and 7 missed calls taken (20 answered on storage after two saves), then
# the signal; after the restart every record is back, once, and the next report of each type
# takes the next number.
for signal in KILL SEGV TERM; do
  rm -rf "$db" "$log" /tmp/logs/cdr.log
  start_cdrd
  $CDRCTL add 1 called=answered --repeat 23
  $CDRCTL add 2 called=missed --repeat 7
  expect_log_count "OnAddCDR" 30
  # The last report's journal entry follows its trace line: the health record tells its sync.
  wait_until "records stay off storage" all_on_storage
  end_with "$signal"
  expect_eq 20 "$(sections "$db/CDR_db")" "answered records saved before SIG$signal"
  start_cdrd
  expect_log "Journal: recovered 3 stated, 7 missed, 0 failed records and 10 download log records."
  $CDRCTL add 1 called=next
  $CDRCTL add 2 called=next
  flushed
  # Numbered down to 0 by one: the newest ID tells how many records there are.
  expect_eq 23 "$(consecutive_ids "$db/CDR_db" | head -1)" "answered ID after SIG$signal"
  expect_eq 7 "$(consecutive_ids "$db/missed_calls_db" | head -1)" "missed ID after SIG$signal"
  expect_eq 32 "$(sections "$log")" "download log records after SIG$signal"
  expect_eq "" "$(log_duplicates)" "download log records held twice after SIG$signal"
  # A clean stop leaves nothing to recover.
  stop_cdrd
  recovered=$(count_log "Journal: recovered")
  start_cdrd
  expect_eq "$recovered" "$(count_log "Journal: recovered")" "records recovered after a flush"
  stop_cdrd
done

# Under load: three senders post while the recorder is killed and started again. Reports still
# queued at the kill survive in the queues and are served after the restart; only the one report
# being handled at the moment of a kill, taken off its queue but not yet in the journal, can be
# lost. Numbering stays consecutive, and the download log holds every record once.
rm -rf "$db" "$log" /tmp/logs/cdr.log
per_sender=3000
kills=4
printf 'cdr_max_stated=%d\ncdr_max_missed=%d\ncdr_max_failed=%d\n' $per_sender $per_sender \
  $per_sender >"${VELK_PATH}general-settings.conf"
start_cdrd
senders=()
for type in 1 2 4; do
  $CDRCTL --timeout 30 add $type called=load --repeat $per_sender >"$E2E_BASE/sender-$type" 2>&1 &
  senders+=($!)
done
under_load=0
for ((kill_no = 1; kill_no <= kills; kill_no++)); do
  sleep "0.$((RANDOM % 3 + 1))"
  ! kill -0 "${senders[@]}" 2>/dev/null || under_load=$((under_load + 1))
  end_with KILL
  # Started on the queues as the kill left them, reports waiting in them (start_cdrd would
  # remove them).
  starts=$(count_log "GetCDRData:")
  $CDRD &
  CDRD_PID=$!
  expect_log_count "GetCDRData:" $((starts + 1))
done
[ $under_load -gt 0 ] || fail "every kill came after the senders were done"
for sender in "${senders[@]}"; do wait "$sender" || fail "a sender failed: $(cat "$E2E_BASE"/sender-*)"; done
# The senders are done; the recorder serves what is queued, then the flush.
$CDRCTL --timeout 30 flush 7 >/dev/null || fail "flush was not answered"
total=0
for name in CDR_db missed_calls_db unsuccess_calls_db; do
  consecutive_ids "$db/$name" >/dev/null
  n=$(sections "$db/$name")
  [ "$n" -le $per_sender ] || fail "$name holds $n records of $per_sender sent"
  total=$((total + n))
done
[ $total -ge $((3 * per_sender - kills)) ] || fail "$total records of $((3 * per_sender)) sent, $kills kills"
expect_eq $total "$(sections "$log")" "download log records under load"
expect_eq "" "$(log_duplicates)" "download log records held twice under load"
stop_cdrd
[ -f "$journal" ] || fail "no journal at $journal"
echo "journal: ok; $total of $((3 * per_sender)) records after $kills kills, $under_load under load"
