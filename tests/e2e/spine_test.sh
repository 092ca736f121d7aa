# The recorder serves both queues: party states and answered requests.
. "$(dirname "$0")/lib.sh"

start_cdrd --ignored argument
$CDRCTL cm connect
expect_log "OnCDRPartyStateChanged: CM is connected."
$CDRCTL cm disconnect
expect_log "OnCDRPartyStateChanged: CM is disconnected."
$CDRCTL cgi connect
expect_log "OnCgiPartyStateChanged: CGI messenger is connected."
$CDRCTL cgi disconnect
expect_log "OnCgiPartyStateChanged: CGI messenger is disconnected."

expect_eq 0 "$($CDRCTL clear 1 >/dev/null; echo $?)" "clear exit status"
expect_log "OnClear"

# (Garbage on either queue is MessagingTest's.)
$CDRCTL add 2 called=555
expect_log "OnAddCDR"
$CDRCTL download-now
expect_log "OnDownloadNow"

stop_cdrd

# A sender whose recorder's queue is gone is told so, with exit status 1.
rm "$E2E_MQ/ping-15"
expect_exit 1 $CDRCTL --timeout 1 cm connect
echo "spine: ok"
