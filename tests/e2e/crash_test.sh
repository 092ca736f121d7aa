# SIGKILL at random moments while every record is saved at once: each database file on storage
# stays whole, its numbering consecutive, and the next start takes the files as they are.
. "$(dirname "$0")/lib.sh"

kills=${CRASH_KILLS:-50}
names="CDR_db missed_calls_db unsuccess_calls_db"
printf 'cdr_max_stated=30\ncdr_max_missed=30\ncdr_max_failed=30\n' >"$VELK_PATH/general-settings.conf"
printf 'cdr_save_stated=1\ncdr_save_missed=1\ncdr_save_failed=1\n' >>"$VELK_PATH/general-settings.conf"
auto_download 'download_cnt=20\ndownload_cmd=false\n'  # the log is saved with every record too

# Prints the IDs of FILE, newest first, after checking that every section is closed and, unless
# the file mixes record types ("mixed"), that the IDs fall by one from each section to the next.
check_whole() {
  awk -v file="$1" -v mixed="${2:-}" '
    /^(section )?\{$/ { if (open) bad = "a section opens inside another"; open = 1; next }
    /^\}$/ { if (!open || id == "") bad = "a section without ID or opening"; open = 0; id = ""; next }
    /^ID=/ { id = substr($0, 4); if (!mixed && prev != "" && id != prev - 1) bad = "ID " id " after " prev
             prev = id; print id; next }
    END { if (open) bad = "the last section is cut"; if (bad) { print file ": " bad > "/dev/stderr"; exit 1 } }
  ' "$1" || fail "$1 is not whole"
}

declare -A newest
for name in $names; do newest[$name]=-1; done
for ((kill_no = 1; kill_no <= kills; kill_no++)); do
  start_cdrd
  for type in 1 2 4; do $CDRCTL add $type called=$kill_no --repeat 400 2>/dev/null & done
  sleep "0.$((RANDOM % 25))"
  kill_cdrd
  kill $(jobs -p) 2>/dev/null || true
  wait 2>/dev/null || true
  for name in $names; do
    [ -f "$db/$name" ] || continue
    top=$(check_whole "$db/$name" | head -1)
    # A record once saved is never lost: the newest number on storage never goes back.
    [ "${top:--1}" -ge "${newest[$name]}" ] || fail "$name went back from ${newest[$name]} to $top"
    newest[$name]=${top:--1}
  done
done
check_whole /mnt/bbram/calldata/down_stat.log mixed >/dev/null

# One more start: the files are used as they are.
start_cdrd
$CDRCTL add 1 called=last
flushed
expect_eq $((newest[CDR_db] + 1)) "$(check_whole "$db/CDR_db" | head -1)" "number after the last kill"
stop_cdrd
expect_eq 0 "$(count_log "cannot be opened")" "databases that could not be opened"
expect_eq 0 "$(count_log "was not been created")" "databases not created"
[ -z "$(ls "$db" | grep '\.bad$' || true)" ] || fail "files were set aside: $(ls "$db")"
echo "crash: ok, $kills kills survived; newest records: ${newest[*]}"
