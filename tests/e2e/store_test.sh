# The databases at start-up (trimming, corrupt files) and the web side's requests.
. "$(dirname "$0")/lib.sh"

db=${VELK_PATH}telephony
stated=$db/CDR_db
sections() { grep -c '^{' "$1" || true; }
first_id() { grep -m1 '^ID=' "$1" | cut -d= -f2; }

mkdir -p "$db"
for id in 7 6 5 4 3 2 1 0; do printf '{\nID=%d\ncalled=%d\n}\n' $id $id; done >"$stated"
echo "cdr_max_stated=5" >"$VELK_PATH/general-settings.conf"
start_cdrd
expect_eq 5 "$(sections "$stated")" "stated records after start-up"
expect_eq 7 "$(first_id "$stated")" "newest record"
grep -q '^ID=3$' "$stated" || fail "the oldest kept record is not 3"

$CDRCTL clear 1 >/dev/null || fail "clear was not answered"
expect_eq 0 "$(sections "$stated")" "stated records after clear"
$CDRCTL flush 7 >/dev/null || fail "flush was not answered"

$CDRCTL add 1 called=200 --repeat 4
$CDRCTL flush 1 >/dev/null
expect_eq 4 "$(sections "$stated")" "stated records after flush"
expect_eq 11 "$(first_id "$stated")" "numbering goes on after a clear"
echo "cdr_max_stated=2" >"$VELK_PATH/general-settings.conf"
$CDRCTL reload-settings >/dev/null || fail "reload was not answered"
expect_eq 2 "$(sections "$stated")" "stated records after reloading a lower limit"
stop_cdrd

# A corrupt database: all three files are set aside (the bytes kept as <path>.bad) and the
# recorder starts with three working databases at the same paths.
printf 'not a database\n' >"$stated"
start_cdrd
expect_log "kept as $stated.bad"
expect_eq "not a database" "$(cat "$stated.bad")" "the set-aside bytes"
$CDRCTL add 1
$CDRCTL add 2
$CDRCTL add 4
$CDRCTL flush 7 >/dev/null
for name in CDR_db missed_calls_db unsuccess_calls_db; do
  expect_eq 1 "$(sections "$db/$name")" "records in $name"
done
expect_eq 0 "$(count_log "was not been created")" "databases not created"
echo "store: ok"
