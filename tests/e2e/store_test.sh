# A corrupt database at start-up is set aside (the bytes kept as <path>.bad) and the recorder
# starts with three working databases at the same paths. (Trimming to the limits is
# CDRDatabasesTest's.)
. "$(dirname "$0")/lib.sh"

mkdir -p "$db"
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
