# cdrctl as people other than root meet it. As nobody, who may open neither the instance lock
# nor the queues nor the outbox's files: status gives root's verdict for a healthy recorder,
# taking liveness and the queues from the health record and saying what it cannot see, and tells
# a killed recorder from a live one; outbox says it cannot read the outbox rather than "0 records".
# And show --csv on a terminal keeps the terminal controls of stored numbers off it; what the other
# forms and CSV through a pipe make of them is CdrctlShowTest's.
. "$(dirname "$0")/lib.sh"

# Runs cdrctl status as nobody; fails unless it exits with $1. Leaves the output in $out.
nobody_status() { expect_exit "$1" as_nobody $CDRCTL status; }

auto_download 'download_cnt=1000\n'
start_cdrd
$CDRCTL add 1 called=2001
wait_status 0 "stated:   1 record held"
expect_eq 644 "$(stat -c %a /run/cdrd/health)" "mode of the health record"
grep -q "^start_ticks=[1-9]" /run/cdrd/health || fail "no start time: $(cat /run/cdrd/health)"

# --- status as nobody, the lock being owner-only (0600, as the recorder makes it)
echo "$(date +%T) status as nobody on a healthy recorder"
nobody_status 0
grep -q "^recorder: running (pid $CDRD_PID), version .*; /ping-15 served, 0 of [0-9]* waiting (from the health record); /ping-111 served, 0 of [0-9]* waiting (from the health record); healthy$" \
  <<<"$out" || fail "status as nobody: $out"
grep -q "^stated: *1 record held" <<<"$out" || fail "status as nobody: $out"
! grep -q "attention" <<<"$out" || fail "status as nobody invents a problem: $out"

# --- outbox as nobody
echo "$(date +%T) outbox as nobody"
expect_exit 0 as_nobody $CDRCTL outbox
$CDRCTL download-now >/dev/null
expect_log "Download: done!"
[ -n "$(ls "$outbox")" ] || fail "no file in the outbox"
expect_exit 1 as_nobody $CDRCTL outbox
grep -q "^1 files, ? records, " <<<"$out" || fail "outbox as nobody: $out"
grep -qF "cannot read the outbox $outbox/: 1 of its files unreadable" <<<"$out" || fail "$out"
nobody_status 0
grep -q "; outbox 1 file, records cannot tell: permission" <<<"$out" || fail "status: $out"

# --- show --csv on a terminal (a pseudo-terminal, whose rows end in CRLF by design): a raw CSI
# byte, CSI in UTF-8 and a right-to-left override reach it as escapes
echo "$(date +%T) show with terminal controls in the numbers"
$CDRCTL add 1 caller=$'12\x9b31m34' called=$'56\xc2\x9b2J78' authUserName=$'\xe2\x80\xae0911'
flushed
script -qec "$CDRCTL show stated --csv" /dev/null | tr -d '\r' >tty.csv
python3 -c '
import re, sys
text = open(sys.argv[1], "rb").read().decode("utf-8")  # bytes not UTF-8 are escaped: never fails
assert not re.findall("[\x00-\x09\x0b-\x1f\x7f-\x9f\u061c\u200e\u200f\u202a-\u202e\u2066-\u2069]", text)
assert all(shown in text for shown in sys.argv[2:]), text
' tty.csv '12\x9b31m34' '56\u009B2J78' '\u202E0911' || fail "CSV on a terminal: $(cat -v tty.csv)"

# --- a killed recorder: its record stays, nobody is told it is not running
echo "$(date +%T) status as nobody after SIGKILL"
killed=$CDRD_PID
kill_cdrd
nobody_status 1
grep -q "^recorder: not running (pid $killed ended); health record stale since " <<<"$out" ||
  fail "status as nobody after SIGKILL: $out"

echo "PASS"
