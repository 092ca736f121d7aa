# A device node named as a database stays what it was through start-up, reports and a flush;
# only its database stays closed, with a warning naming it, and cdrctl status names the problem.
# (A FIFO or a folder named as a database, through a clear too, is CDRDatabasesTest's, one at the
# download log's place AutoDownloadTest's.)
. "$(dirname "$0")/lib.sh"

dev=${VELK_PATH}dev
device=$dev/cdr-null         # a character device with the numbers of /dev/null
failed=$db/unsuccess_calls_db
# What is at $1, without following links: "character special file 1:3", ...
kind() { stat -c '%F %t:%T' "$1" | sed 's/ 0:0$//'; }

mkdir -p "$db" "$dev"
mknod "$device" c 1 3
printf 'cdr_db_stated=%s\n' "$device" >"${VELK_PATH}general-paths.conf"
printf 'cdr_save_failed=1\n' >"${VELK_PATH}general-settings.conf"
device_kind=$(kind "$device")

start_cdrd
expect_log "InitFiles: $device is a device, not a regular file; the stated calls database stays closed (its reports are refused), and the path is left as it is."
expect_log "Call details log file(s) was not been created!"
$CDRCTL add 1 called=to-device
$CDRCTL add 4 called=failed --repeat 3
expect_log_count "OnAddCDR" 4
flushed
expect_eq 3 "$(sections "$failed")" "records of the failed calls database"
expect_eq "$device_kind" "$(kind "$device")" "the device after reports and a flush"
ls "$dev" "$db" | grep -q '\.bad\|\.tmp' && fail "a file was set aside or left: $(ls "$dev" "$db")"

wait_status 2 "failed:   3 records held"
grep -qF "attention: stated: not open: $device is a device, not a regular file" <<<"$out" ||
  fail "status of the stated calls database: $out"
stop_cdrd
echo "odd paths: ok"
