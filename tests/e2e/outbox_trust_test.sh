# The outbox is the recorder's or refused. A pickup group may write into it, so its member
# `nobody` plants links, odd names and a link at the wake-up FIFO; the folder itself is given
# away. Nothing planted is delivered or changed, each refusal is warned about once, the agent
# never spins, and our own files go out in order. (Files of other users, and another user's FIFO
# at the wake-up FIFO, are OutboxTrustTest's.)
. "$(dirname "$0")/lib.sh"

delivered=$E2E_BASE/delivered
secret=$E2E_BASE/secret
ours() { ls "$outbox" | grep -v '^stat-planted-' | grep -E '^stat-[A-Za-z0-9._-]+-[0-9]{10}-[0-9]{8}T[0-9]{6}Z\.log$' || true; }
# Adds two reports: one download, one file in the outbox. A download takes the log's records
# when the next one comes, so the log is primed with one record first.
one_file() { $CDRCTL add 1 "called=$1" --repeat 2; }
# Waits until N files were delivered in all and none of ours waits.
delivered_all() { [ "$(ls "$delivered" | wc -l)" -ge "$1" ] && [ -z "$(ours)" ]; }
expect_delivered() { wait_until "delivered fewer than $1, or ours still wait" delivered_all "$1"; }
# Fails when the agent `$1` takes 0.3 s of CPU or more within 3 s.
expect_idle() {
  local before ms
  before=$(awk '{ print $14 + $15 }' "/proc/$1/stat")
  sleep 3
  ms=$((($(awk '{ print $14 + $15 }' "/proc/$1/stat") - before) * 1000 / $(getconf CLK_TCK)))
  [ "$ms" -lt 300 ] || fail "agent $1 took $ms ms of CPU in 3 s ($2)"
  echo "agent idle with $2: $ms ms of CPU in 3 s"
}
expect_fifo() {
  [ -p "$outbox/.wake" ] && [ ! -L "$outbox/.wake" ] && [ "$(stat -c %u "$outbox/.wake")" = 0 ] ||
    fail ".wake is not the agent's FIFO: $(ls -l "$outbox/.wake")"
}

mkdir -p "$delivered" "$outbox"
echo "secret of root" >"$secret"
chmod 0600 "$secret"
printf '#!/bin/sh\ncp "$1" %s/\n' "$delivered" >"$E2E_BASE/deliver.sh"
chmod +x "$E2E_BASE/deliver.sh"
auto_download 'download_cnt=2\ndownload_cmd=%s\n' "$E2E_BASE/deliver.sh"
# The pickup group may write: a folder still ours.
chgrp nogroup "$outbox"
chmod 0775 "$outbox"

echo "$(date +%T) .wake planted as a link to /dev/zero: replaced, the agent idle"
as_nobody ln -s /dev/zero "$outbox/.wake"
start_cdrd
expect_log "$outbox/.wake was a symbolic link, not a FIFO: replaced by a new FIFO of the agent"
$CDRCTL add 1 called=primer
agent=$(sed -n 's/.*\[delivery\] agent \([0-9]*\) serves.*/\1/p' "$TRACE_LOG" | tail -1)
expect_fifo
expect_idle "$agent" "a link at .wake when it started"
one_file first
expect_delivered 1
$CDRCTL outbox retry >/dev/null || fail "retry through the replaced FIFO"

echo "$(date +%T) cdrctl outbox retry with a link at .wake: nothing written through it"
stop_cdrd
cp -p "$secret" "$E2E_BASE/secret.before"
as_nobody rm -f "$outbox/.wake"
as_nobody ln -s "$secret" "$outbox/.wake"
if out=$($CDRCTL outbox retry 2>&1); then fail "retry wrote through a link: $out"; fi
grep -qF "$outbox/.wake: a symbolic link, not a FIFO; nothing written" <<<"$out" || fail "retry: $out"
cmp -s "$secret" "$E2E_BASE/secret.before" || fail "the link's target was changed"
as_nobody rm -f "$outbox/.wake"

echo "$(date +%T) a planted link and odd names: not delivered, one warning, left alone"
link_name=stat-planted-0000000900-20270101T000000Z.log
as_nobody ln -s "$secret" "$outbox/$link_name"
odd_names="stat-odd.log stat-x-9999999999-20270101T000000.log stat-a=b-9999999998-20270101T000000Z.log"
for name in $odd_names; do as_nobody sh -c "echo odd >'$outbox/$name'"; done
start_cdrd
for n in 1 2 3; do one_file "planted-$n"; done
expect_delivered 4
expect_log "$outbox/$link_name is not delivered: a symbolic link, not a regular file; it is left as it is"
expect_eq 1 "$(count_log "$link_name is not delivered")" "warnings about the link after 3 turns"
expect_eq 0 $(($(count_log stat-odd) + $(count_log stat-x-) + $(count_log stat-a=b))) "lines on odd names"
grep -rq "secret of root" "$delivered" && fail "a planted file was delivered"
[ -L "$outbox/$link_name" ] || fail "the planted link was touched"
for name in $odd_names; do expect_eq odd "$(cat "$outbox/$name")" "odd file $name"; done
cmp -s "$secret" "$E2E_BASE/secret.before" || fail "the secret was changed"
$CDRCTL outbox | grep -qF "$link_name  not delivered: a symbolic link" || fail "outbox: $($CDRCTL outbox)"
$CDRCTL outbox | tail -1 | grep -q "^0 files, 0 records" || fail "outbox total: $($CDRCTL outbox)"

# --- the folder given away: nothing delivered, one warning; given back: delivered
check_refused_folder() {  # $1: what the warning says; the folder is already changed
  local before; before=$(ls "$delivered" | wc -l)
  one_file "refused-a"
  expect_log "the outbox $outbox/ is $1: nothing is delivered from it"
  one_file "refused-b"
  flushed 0  # answered once the reports before it were served: their files are written
  expect_eq 2 "$(ours | wc -l)" "files waiting in the refused outbox"
  sleep 6  # past the agent's pause: it looked again
  expect_eq "$before" "$(ls "$delivered" | wc -l)" "files delivered from the refused outbox"
  expect_eq 1 "$(count_log "the outbox $outbox/ is $1")" "warnings about the folder"
}
echo "$(date +%T) the outbox owned by nobody: nothing delivered; given back: delivered"
chown nobody "$outbox"
check_refused_folder "owned by uid $(id -u nobody)"
chown root "$outbox"
expect_log_count "the outbox $outbox/ is the recorder's again: deliveries resume" 1
expect_delivered 6
expect_eq "" "$(ours)" "our files left in the outbox"
stop_cdrd
echo "outbox trust: ok"
