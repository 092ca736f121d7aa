# The operation guide's recipe for records from many devices, run as it stands: three recorders deliver
# their download logs, the files are gathered in one folder per device, and the recipe's sqlite3
# query counts the calls per device per day. Run again over the same files, and after a file came
# twice, the import adds nothing.
. "$(dirname "$0")/lib.sh"

PATH=$(dirname "$CDRCTL"):$PATH  # the recipe calls cdrctl by name
export TZ=UTC  # the recorders' local time, which start_iso and so the days are in
recipe=$(awk '/^## Records from many devices/ { found = 1; next }
              found && /^    / { print substr($0, 5); taken = 1; next }
              taken { exit }' "$E2E_BASE/tests/operation.md")
[ -n "$recipe" ] || fail "the operation guide holds no recipe under 'Records from many devices'"

# deliver DEVICE TYPE:START...: a recorder of its own records calls of the record TYPE started at
# START (seconds), then delivers them into fleet/DEVICE/ on request.
deliver() {
  local device=$1 call
  shift
  rm -rf "${VELK_PATH}telephony" /mnt/bbram/calldata
  mkdir -p "fleet/$device"
  auto_download 'download_cnt=1000\ndownload_dir=%s/\ndownload_device=%s\n' "$PWD/fleet/$device" "$device"
  : >"$TRACE_LOG"
  start_cdrd
  for call in "$@"; do
    $CDRCTL add "${call%%:*}" "startTime=${call#*:}" duration=30 caller=1001 called=2002
  done
  expect_log_count "OnAddCDR" $#
  $CDRCTL download-now
  expect_log "Download: done!"
  stop_cdrd
}

day1=1796342400  # 2026-12-04 00:00:00 UTC
day2=$((day1 + 86400))
deliver desk-17 1:$((day1 + 100)) 2:$((day1 + 86399))
deliver desk-17 1:$((day2 + 5))  # a second file: its record has ID 0 again, its number is 2
deliver lobby 4:$((day2 + 3600)) 1:$((day2 + 7200))
deliver warehouse 1:$((day1 + 1)) 1:$((day1 + 2)) 2:$((day1 + 3)) 1:$((day1 + 4))
eval "$recipe" >result.txt 2>&1 || fail "the recipe failed: $(cat result.txt)"

expected="device     day         calls
---------  ----------  -----
desk-17    2026-12-04  2
desk-17    2026-12-05  1
lobby      2026-12-05  2
warehouse  2026-12-04  4"
answer=$(sed 's/ *$//' result.txt)  # sqlite3 pads the last column
[ "$answer" == "$expected" ] || fail "the recipe's answer: $(printf '\n%s' "$answer")"
echo "$answer"
expect_eq "stat-desk-17-0000000001 stat-desk-17-0000000002" "$(ls fleet/desk-17 | cut -c1-23 | xargs)" \
  "files of desk-17, numbered on after its sequence file was lost"
expect_eq 9 "$(sqlite3 fleet.db "SELECT count(*) FROM calls")" "rows after the first import"

# The same folders imported again: the second import adds nothing.
eval "$recipe" >result.txt 2>&1 || fail "the recipe failed again: $(cat result.txt)"
expect_eq 9 "$(sqlite3 fleet.db "SELECT count(*) FROM calls")" "rows after the second import"
expect_eq "1 2 3 4" "$(sqlite3 fleet.db "SELECT seq FROM calls WHERE device = 'warehouse' ORDER BY seq" | xargs)" \
  "places of the warehouse's records"
expect_eq 2 "$(sqlite3 fleet.db "SELECT count(*) FROM calls WHERE device = 'desk-17' AND type = 1 AND id = 0")" \
  "desk-17's answered calls numbered 0, one in each file"
echo "fleet: ok"
