# The databases at start-up: trimmed to their limits, and a corrupt one set aside.
. "$(dirname "$0")/lib.sh"

mkdir -p "$db"
for id in 7 6 5 4 3 2 1 0; do printf '{\nID=%d\ncalled=%d\n}\n' $id $id; done >"$stated"
echo "cdr_max_stated=5" >"$VELK_PATH/general-settings.conf"
start_cdrd
expect_eq 5 "$(sections "$stated")" "stated records after start-up"
expect_eq 7 "$(first_id "$stated")" "newest record"
grep -q '^ID=3$' "$stated" || fail "the oldest kept record is not 3"
stop_cdrd

# A corrupt database: all three files are set aside (the bytes kept as <path>.bad) and the
# recorder starts with three working databases at the same paths.
printf 'not a database\n' >"$stated"
start_cdrd
expect_log "kept as $stated.bad"
expect_eq "not a database" "$(cat "$stated.bad")" "the set-aside bytes"
for type in 1 2 4; do $CDRCTL add $type; done
flushed
for name in CDR_db missed_calls_db unsuccess_calls_db; do
  expect_eq 1 "$(sections "$db/$name")" "records in $name"
done
expect_eq 0 "$(count_log "was not been created")" "databases not created"
echo "store: ok"
