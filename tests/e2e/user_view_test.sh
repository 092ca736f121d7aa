# cdrctl as people other than root meet it. As nobody, who may open neither the instance lock
# nor the queues nor the outbox's files: status gives root's verdict for a healthy recorder,
# taking liveness and the queues from the health record and saying what it cannot see, and tells
# a killed recorder from a live one; outbox says it cannot read the outbox rather than "0 records".
# And show, on numbers the recorder stored with terminal controls in them (raw C1, C1 in UTF-8, a
# bidirectional override), keeps them off a terminal; what JSON and CSV through a pipe keep is
# CdrctlShowTest's.
. "$(dirname "$0")/lib.sh"

# Runs cdrctl status as nobody; fails unless it exits with $1. Leaves the output in $out.
nobody_status() {
  local status=0
  out=$(as_nobody $CDRCTL status "${@:2}") || status=$?
  expect_eq "$1" "$status" "status as nobody: $out"
}

auto_download 'download_cnt=1000\n'
start_cdrd
$CDRCTL add 1 called=2001
wait_status 0 "stated:   1 record held"
expect_eq 644 "$(stat -c %a /run/cdrd/health)" "mode of the health record"
grep -q "^start_ticks=[1-9]" /run/cdrd/health || fail "no start time: $(cat /run/cdrd/health)"

# --- status as nobody, with the lock as it is and with the lock owner-only
echo "$(date +%T) status as nobody on a healthy recorder"
for lock_mode in 644 600; do
  chmod "$lock_mode" /run/cdrd.lock
  nobody_status 0
  grep -q "^recorder: running (pid $CDRD_PID), version .*; /ping-15 served, 0 of [0-9]* waiting (from the health record); /ping-111 served, 0 of [0-9]* waiting (from the health record); healthy$" \
    <<<"$out" || fail "status as nobody, lock $lock_mode: $out"
  grep -q "^stated: *1 record held" <<<"$out" || fail "status as nobody: $out"
  ! grep -q "attention" <<<"$out" || fail "status as nobody invents a problem: $out"
done
nobody_status 0 --json
python3 -c '
import json, sys
status = json.loads(sys.argv[1])
assert status["state"] == "healthy" and status["problems"] == [], status
assert all(q["exists"] and q["from_record"] for q in status["recorder"]["queues"]), status
' "$out" || fail "status --json as nobody: $out"

# --- outbox as nobody
echo "$(date +%T) outbox as nobody"
status=0; listing=$(as_nobody $CDRCTL outbox 2>&1) || status=$?
expect_eq 0 "$status" "outbox as nobody on an empty outbox: $listing"
$CDRCTL download-now >/dev/null
expect_log "Download: done!"
[ -n "$(ls "$outbox")" ] || fail "no file in the outbox"
status=0; listing=$(as_nobody $CDRCTL outbox 2>&1) || status=$?
expect_eq 1 "$status" "outbox as nobody, files unreadable: $listing"
grep -q "^1 files, ? records, " <<<"$listing" || fail "outbox as nobody: $listing"
grep -qF "cannot read the outbox $outbox/: 1 of its files unreadable" <<<"$listing" || fail "$listing"
nobody_status 0
grep -q "; outbox 1 file, records cannot tell: permission" <<<"$out" || fail "status: $out"
chmod 700 "$outbox"
status=0; listing=$(as_nobody $CDRCTL outbox 2>&1) || status=$?
expect_eq 1 "$status" "outbox as nobody, outbox unreadable"
expect_eq "cdrctl: cannot read the outbox $outbox/: Permission denied" "$listing" "outbox as nobody"
chmod 755 "$outbox"

# --- a killed recorder: its record stays, nobody is told it is not running
echo "$(date +%T) status as nobody after SIGKILL"
killed=$CDRD_PID
kill_cdrd
for lock_mode in 644 600; do
  chmod "$lock_mode" /run/cdrd.lock
  nobody_status 1
  grep -q "^recorder: not running (pid $killed ended); health record stale since " <<<"$out" ||
    fail "status as nobody after SIGKILL, lock $lock_mode: $out"
done

# --- show: terminal controls in the numbers
echo "$(date +%T) show with terminal controls in the numbers"
start_cdrd
caller=$'12\x9b31m34'      # a raw CSI byte, not valid UTF-8
called=$'56\xc2\x9b2J78'   # CSI as UTF-8 (U+009B)
name=$'\xe2\x80\xae0911'   # a right-to-left override (U+202E)
$CDRCTL add 1 "caller=$caller" "called=$called" "authUserName=$name"
$CDRCTL flush 1 >/dev/null
# The summary and the table escape whatever the output is; CSV does on a terminal (a
# pseudo-terminal here, whose rows end in CRLF by design): no raw control reaches it, the escapes
# stand in for them.
script -qec "$CDRCTL show stated --csv" /dev/null | tr -d '\r' >tty.csv
python3 -c '
import re, sys
text = open(sys.argv[1], "rb").read().decode("utf-8")  # bytes not UTF-8 are escaped: never fails
bad = re.findall("[\x00-\x09\x0b-\x1f\x7f-\x9f\u061c\u200e\u200f\u202a-\u202e\u2066-\u2069]", text)
assert not bad, bad
for shown in sys.argv[2:]:
    assert shown in text, (shown, text)
' tty.csv '12\x9b31m34' '56\u009B2J78' '\u202E0911' || fail "CSV on a terminal: $(cat -v tty.csv)"
stop_cdrd
echo "PASS"
