# Full storage under the databases, and a full log folder: every report is still served, saves
# fail without losing a record held in memory, and once storage takes writes again the next save
# writes them all. (A save failing at any other step is SaveFailureTest's.)
. "$(dirname "$0")/lib.sh"

# Waits until the stated calls database on storage begins with record number $1.
first_id_is() { [ "$(first_id "$stated" 2>/dev/null)" == "$1" ]; }
wait_first_id() { wait_until "record $1 did not reach storage" first_id_is "$1"; }

# Full: a record takes about 100 bytes and a save needs room for the old file and the new one.
fill_stated_storage
$CDRCTL flush 1 >/dev/null || fail "flush was not answered on a full storage"
expect_eq "$saved" "$(sections "$stated")" "records on the full storage after a flush"
mount -o remount,size=1m "$db"
# A failed save already counted its records as saved, so the next save comes with the next
# record (the save period is 1) and writes every record held.
$CDRCTL add 1 called=space-back
wait_first_id 600
expect_eq 601 "$(sections "$stated")" "records saved once space is back"
stop_cdrd
umount "$db"

# A full log folder: the trace log drops text, the recorder goes on serving, and a crash report
# neither blocks nor stops the process from ending by its signal.
leave_segv_to_guard
mount -t tmpfs -o size=8k e2e-logs /tmp/logs
dd if=/dev/zero of=/tmp/logs/filler bs=1k count=8 2>/dev/null || true
start_cdrd
$CDRCTL add 1 called=logs-full --repeat 200
wait_first_id 199
$CDRCTL reload-settings >/dev/null || fail "reload was not answered with a full log folder"
crash_cdrd
umount /tmp/logs
echo "storage: ok; $saved of 600 records fitted on the full storage, all held and saved with the next record once space was back"
