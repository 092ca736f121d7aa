# The recorder's queues belong to its user alone: another user can neither post on them nor plant
# a queue of its own under their names before the recorder starts.
. "$(dirname "$0")/lib.sh"

as_nobody() { setpriv --reuid=nobody --regid=nogroup --clear-groups "$@"; }

start_cdrd
for queue in ping-15 ping-111; do
  expect_eq 600 "$(stat -c %a "$E2E_MQ/$queue")" "mode of $queue"
done
set +e
as_nobody $CDRCTL --timeout 1 cm connect 2>/dev/null; report_status=$?
as_nobody $CDRCTL --timeout 1 cgi connect 2>/dev/null; request_status=$?
set -e
expect_eq 1 "$report_status" "exit status of another user's post on queue 15"
expect_eq 1 "$request_status" "exit status of another user's post on queue 111"
$CDRCTL cm disconnect
expect_log "CM is disconnected"
expect_eq 0 "$(count_log "is connected")" "posts of another user that got through"
stop_cdrd

# A queue planted under the recorder's name by another user, open to everyone, is not used.
rm -f "$E2E_MQ/ping-15" "$E2E_MQ/ping-111"
as_nobody /usr/bin/python3 -c '
import ctypes, sys
rt = ctypes.CDLL("librt.so.1", use_errno=True)
rt.mq_open.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_int, ctypes.c_void_p]
O_RDWR, O_CREAT = 2, 0o100
if rt.mq_open(b"/ping-15", O_RDWR | O_CREAT, 0o666, None) < 0:
    sys.exit("cannot plant the queue: errno %d" % ctypes.get_errno())
'
$CDRD &
CDRD_PID=$!
expect_log "cannot take private /ping-15"
as_nobody $CDRCTL --timeout 1 cm connect 2>/dev/null || true
$CDRCTL cgi disconnect
expect_log "CGI messenger is disconnected"
sleep 0.5
expect_eq 0 "$(count_log "is connected")" "messages served from another user's queue"
echo "queue_owner: ok"
