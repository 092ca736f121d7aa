# Automatic download with a collector that keeps failing, then a download request that delivers.
. "$(dirname "$0")/lib.sh"

log=/mnt/bbram/calldata/down_stat.log
outbox=/mnt/bbram/calldata/outbox
collector=$E2E_BASE/collector
sections() { grep -c '^{' "$1" || true; }

mkdir -p "${VELK_PATH}sysconfig" "$collector"
echo "START_AUTO_DOWNLOAD_STAT=true" >"${VELK_PATH}sysconfig/rc.conf"
printf 'download_cnt=10\ndownload_dir=%s/\ndownload_cmd=false\n' "$outbox" \
  >"${VELK_PATH}auto-down-stat.conf"
start_cdrd
$CDRCTL add 1 called=300 --repeat 100
expect_log_count "OnAddCDR" 100
$CDRCTL flush 7 >/dev/null
kept=$(sections "$log")
[ "$kept" -le 20 ] && [ "$kept" -ge 10 ] || fail "the download log holds $kept records"
[ -z "$(ls -A "$outbox")" ] || fail "failed deliveries left files behind"

printf 'download_cnt=10\ndownload_dir=%s/\ndownload_cmd=cp -t %s\n' "$outbox" "$collector" \
  >"${VELK_PATH}auto-down-stat.conf"
$CDRCTL reload-download
$CDRCTL download-now
expect_log "Download: done!"
expect_eq 0 "$(sections "$log")" "records left in the download log"
delivered=$(ls "$collector")
expect_eq "$kept" "$(grep -c '^{' "$collector/$delivered")" "records delivered"
expect_eq "$kept" "$(grep -c '^type=1$' "$collector/$delivered")" "records of type 1 delivered"

echo "START_AUTO_DOWNLOAD_STAT=false" >"${VELK_PATH}sysconfig/rc.conf"
$CDRCTL reload-download
$CDRCTL add 1
expect_log "OnUpdateCDRDownloadSettings"
waited=0
while [ -e "$log" ]; do
  sleep 0.1; waited=$((waited + 1)); [ $waited -lt 100 ] || fail "the log outlived the switch"
done
echo "download: ok"
