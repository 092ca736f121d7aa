# Load and leak run (scripts/soak runs it in the sandbox, with CDR_FLOOD the report sender):
# SOAK_REPORTS reports through cdrd with 1000-record databases and automatic download on with a
# delivery that keeps failing. Resident memory after the run must stay within 10% of that after
# the first 10,000 reports, the open descriptors must not grow, and the download log must never
# hold more than twice download_cnt. Then LEAK_REPORTS reports through cdrd under valgrind,
# which must find no memory lost.
. "$(dirname "$0")/lib.sh"

total=${SOAK_REPORTS:-1000000}
leak_reports=${LEAK_REPORTS:-10000}
chunk=10000
download_cnt=100
sections() { grep -c '^section' "$1" 2>/dev/null || true; }
rss_kib() { awk '/^VmRSS/ { print $2 }' "/proc/$CDRD_PID/status"; }
fds() { ls "/proc/$CDRD_PID/fd" | wc -l; }
# Every report posted so far has been served once a flush is answered (the queues are served in
# turn, so at most the queue's depth of reports can still wait; they are served before the next
# chunk is).
served() { $CDRCTL --timeout 30 flush 7 >/dev/null || fail "flush was not answered"; }

printf 'cdr_max_stated=1000\ncdr_max_missed=1000\ncdr_max_failed=1000\n' \
  >"$VELK_PATH/general-settings.conf"
auto_download 'download_cnt=%d\ndownload_cmd=false\n' $download_cnt

start_cdrd
started=$SECONDS
$CDR_FLOOD $chunk 0 || fail "the sender stopped"
served
rss_first=$(rss_kib) fds_first=$(fds) log_most=$(sections "$log")
echo "after $chunk reports: resident ${rss_first} KiB, ${fds_first} descriptors"
for ((posted = chunk; posted < total; posted += chunk)); do
  $CDR_FLOOD $chunk $posted || fail "the sender stopped at $posted"
  served
  n=$(sections "$log"); [ "$n" -le "$log_most" ] || log_most=$n
  [ "$n" -le $((2 * download_cnt)) ] || fail "the download log holds $n records"
  if (((posted + chunk) % 100000 == 0)); then
    echo "after $((posted + chunk)) reports: resident $(rss_kib) KiB, $(fds) descriptors," \
         "download log $n records, $((SECONDS - started)) s"
  fi
done
rss_last=$(rss_kib) fds_last=$(fds)
for name in CDR_db missed_calls_db unsuccess_calls_db; do
  expect_eq 1000 "$(grep -c '^{' "${VELK_PATH}telephony/$name")" "records in $name"
done
stop_cdrd
echo "soak: $total reports in $((SECONDS - started)) s; resident ${rss_first} -> ${rss_last} KiB;" \
     "descriptors ${fds_first} -> ${fds_last}; download log at most ${log_most} records"
[ $((rss_last * 10)) -le $((rss_first * 11)) ] || fail "resident memory grew by more than 10%"
[ "$fds_last" -le "$fds_first" ] || fail "descriptors grew"

# Leaks: valgrind reports what is lost when the recorder ends by its stop signal.
rm -f "$log" "${VELK_PATH}"telephony/*
report=/tmp/valgrind.txt
CDRD="valgrind --leak-check=full --errors-for-leak-kinds=definite,indirect,possible \
  --log-file=$report $E2E_BASE/bin/cdrd" WAIT_SECONDS=120 start_cdrd
$CDR_FLOOD "$leak_reports" 0 || fail "the sender stopped"
served
stop_cdrd
grep -E "definitely lost|indirectly lost|possibly lost|ERROR SUMMARY" "$report" || true
grep -q "ERROR SUMMARY: 0 errors" "$report" || { cat "$report"; fail "valgrind found errors"; }
echo "leaks: $leak_reports reports under valgrind, no errors, nothing lost"
