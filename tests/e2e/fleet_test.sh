# The README's recipe for records from many devices, run as it stands: three recorders deliver
# their download logs, the files are gathered in one folder per device, and the recipe's sqlite3
# query counts the calls per device per day.
. "$(dirname "$0")/lib.sh"

PATH=$(dirname "$CDRCTL"):$PATH  # the recipe calls cdrctl by name
export TZ=UTC  # the recorders' local time, which start_iso and so the days are in
recipe=$(awk '/^### Records from many devices/ { found = 1; next }
              found && /^    / { print substr($0, 5); taken = 1; next }
              taken { exit }' "$E2E_BASE/tests/README.md")
[ -n "$recipe" ] || fail "the README holds no recipe under 'Records from many devices'"

mkdir -p "${VELK_PATH}sysconfig"
echo "START_AUTO_DOWNLOAD_STAT=true" >"${VELK_PATH}sysconfig/rc.conf"

# deliver DEVICE TYPE:START...: a recorder of its own records calls of the record TYPE started at
# START (seconds), then delivers them into fleet/DEVICE/ on request.
deliver() {
  local device=$1 call
  shift
  rm -rf "${VELK_PATH}telephony" /mnt/bbram/calldata
  mkdir -p "fleet/$device"
  printf 'download_cnt=1000\ndownload_dir=%s/\n' "$PWD/fleet/$device" >"${VELK_PATH}auto-down-stat.conf"
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
deliver desk-17 1:$((day1 + 100)) 2:$((day1 + 86399)) 1:$((day2 + 5))
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
echo "fleet: ok"
