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

# The newest ID of database TYPE that `cdrctl show` finds: on storage, or in the journal whose
# replay the next start adds before it takes a report (-1 if none).
newest_shown() { shown_values "$1" ID | sort -n | tail -1 | grep . || echo -1; }

declare -A newest
for type in stated missed failed; do newest[$type]=-1; done
for ((kill_no = 1; kill_no <= kills; kill_no++)); do
  start_cdrd
  for type in 1 2 4; do $CDRCTL add $type called=$kill_no --repeat 400 2>/dev/null & done
  sleep "0.$((RANDOM % 25))"
  kill_cdrd
  kill $(jobs -p) 2>/dev/null || true
  wait 2>/dev/null || true
  for name in $names; do
    if [ -f "$db/$name" ]; then check_whole "$db/$name" >/dev/null; fi
  done
  # A record once taken is never lost: the newest number, journal included, never goes back.
  for type in stated missed failed; do
    top=$(newest_shown $type)
    [ "$top" -ge "${newest[$type]}" ] || fail "$type went back from ${newest[$type]} to $top"
    newest[$type]=$top
  done
done
check_whole /mnt/bbram/calldata/down_stat.log mixed >/dev/null

# One more start: the files are used as they are.
start_cdrd
$CDRCTL add 1 called=last
flushed
expect_eq $((newest[stated] + 1)) "$(check_whole "$db/CDR_db" | head -1)" "number after the last kill"
stop_cdrd
expect_eq 0 "$(count_log "cannot be opened")" "databases that could not be opened"
expect_eq 0 "$(count_log "was not been created")" "databases not created"
[ -z "$(ls "$db" | grep '\.bad$' || true)" ] || fail "files were set aside: $(ls "$db")"
echo "crash: ok, $kills kills survived; newest records: ${newest[*]}"
