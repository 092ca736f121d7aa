# The recorder's queues belong to its user alone: another user can neither post on them nor get a
# message through a queue planted under their names; a recorder that cannot make its queues waits
# idle and serves them once it can.
. "$(dirname "$0")/lib.sh"

start_cdrd
expect_eq "600 600" "$(stat -c %a "$E2E_MQ/ping-15" "$E2E_MQ/ping-111" | xargs)" "modes of the queues"
for party in cm cgi; do expect_exit 1 as_nobody $CDRCTL --timeout 1 $party connect; done
$CDRCTL cm disconnect
expect_log "CM is disconnected"
expect_eq 0 "$(count_log "is connected")" "posts of another user that got through"
stop_cdrd

# Queues planted by another user, open to everyone, before the recorder starts. The planter keeps
# them open and, once told to, prints how many messages reached each of them.
rm -f "$E2E_MQ"/ping-*
mkfifo "$E2E_BASE/work/planter"
chmod 666 "$E2E_BASE/work/planter"
as_nobody /usr/bin/python3 -c '
import ctypes, os, sys
os.umask(0)
rt = ctypes.CDLL("librt.so.1", use_errno=True)
rt.mq_open.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_int, ctypes.c_void_p]
O_RDWR, O_CREAT = 2, 0o100
queues = []
for name in (b"/ping-15", b"/ping-111", b"/ping-111-reply"):
    q = rt.mq_open(name, O_RDWR | O_CREAT, 0o666, None)
    if q < 0: sys.exit("cannot plant %s: errno %d" % (name, ctypes.get_errno()))
    queues.append(q)
print("planted", flush=True)
open(sys.argv[1]).read()
for q in queues:
    attr = (ctypes.c_long * 8)()  # struct mq_attr: flags, maxmsg, msgsize, curmsgs, reserved
    rt.mq_getattr(q, attr)
    print(attr[3])
' "$E2E_BASE/work/planter" >"$E2E_BASE/work/planted" &
planter=$!
trap 'stop_cdrd; kill "$planter" 2>/dev/null || true' EXIT
until grep -q planted "$E2E_BASE/work/planted" 2>/dev/null; do sleep 0.1; done

expect_exit 1 $CDRCTL add 1 caller=1001
grep -qF "refusing to send on /ping-15: it belongs to user" <<<"$out" || fail "add said: $out"

$CDRD &
CDRD_PID=$!
expect_log "removed /ping-15, a queue of user $(id -u nobody) with mode 0666"
expect_log "removed /ping-111, a queue of user"
# Root's posts either reach the recorder or fail with 1, never exit 0 into the planted queue.
posted=0
for call in $(seq 1 20); do
  status=0
  $CDRCTL add 1 caller="$call" 2>/dev/null || status=$?
  case $status in 0) posted=$((posted + 1)) ;; 1) ;; *) fail "add exited $status" ;; esac
done
echo "$posted of 20 posts reached the recorder, the others exited 1"
$CDRCTL flush 1 >/dev/null || fail "flush through a planted reply queue was not answered"
expect_eq "$posted" "$($CDRCTL show stated --json | wc -l)" "records of the posts that exited 0"
echo >"$E2E_BASE/work/planter"
wait "$planter"
expect_eq "planted 0 0 0" "$(tr '\n' ' ' <"$E2E_BASE/work/planted" | sed 's/ $//')" \
  "messages that reached the planted queues"
stop_cdrd

# Queues that cannot be made (the message-queue memory limit reached): the recorder waits with the
# CPU idle and serves them once the limit allows.
rm -f "$E2E_MQ"/ping-* "$TRACE_LOG"
prlimit --msgqueue=0: -- $CDRD &
CDRD_PID=$!
expect_log "cannot select queue 111: "
ticks() { awk '{ print $14 + $15 }' "/proc/$CDRD_PID/stat"; }
before=$(ticks)
sleep 3
used=$(($(ticks) - before))
hz=$(getconf CLK_TCK)
echo "CPU used while unable to serve, over 3 s: $used ticks of 1/$hz s"
[ $((used * 10)) -lt "$((hz * 3))" ] || fail "the recorder used $used/$hz s of CPU in 3 s"
expect_eq 1 "$(count_log "cannot select queue 15: ")" "warnings about queue 15"
prlimit --pid "$CDRD_PID" --msgqueue="$(ulimit -Hq):"
expect_log "selected queue 15 (/ping-15) after all"
expect_log "selected queue 111 (/ping-111) after all"
$CDRCTL add 2 caller=2001
$CDRCTL flush 2 >/dev/null || fail "flush after the queues were made was not answered"
expect_eq 1 "$($CDRCTL show missed --json | wc -l)" "missed calls recorded after the wait"
echo "queue_owner: ok"
