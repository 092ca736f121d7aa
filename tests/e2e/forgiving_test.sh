# Imperfect settings files, damaged or odd files on storage, and reports with odd texts: in every
# case the recorder keeps recording (the new report reaches storage next to the records that were
# there) and the trace log says what was wrong.
. "$(dirname "$0")/lib.sh"

# Starts from three stored records (IDs 2, 1, 0) and default settings, with the trace log emptied.
fresh_start() {
  stop_cdrd
  rm -rf "$db" "$VELK_PATH"/*.conf "$VELK_PATH/sysconfig" /mnt/bbram "$TRACE_LOG"
  mkdir -p "$db"
  for id in 2 1 0; do printf '{\nID=%d\ncalled=old-%d\n}\n' $id $id; done >"$stated"
}

# Posts one report called $1, flushes, and checks that it is the newest stated record, numbered 3.
expect_recorded() {
  $CDRCTL add 1 "called=$1"
  flushed
  expect_eq "$1" "$(first_value "$stated" called)" "newest stated record"
  expect_eq 3 "$(first_value "$stated" ID)" "number of the new stated record"
}

# general-settings.conf shared with other subsystems, edited by hand.
fresh_start
printf 'backup_share=\\\\server\\data\r\ncdr_max_stated=2   # records kept\r\ncdr_save_missed=\n' \
  >"$VELK_PATH/general-settings.conf"
start_cdrd
expect_recorded settings
expect_eq 2 "$(sections "$stated")" "records kept under the commented limit"
expect_log "general-settings.conf:3: cdr_save_missed is \"\", not a number from 0 to 4294967295; it stays 10."

# A damaged download log is set aside, with automatic download switched on by a quoted value, as
# the shell writes it. (Which copy a second damage keeps is FileUtilTest's.)
fresh_start
auto_download 'download_cnt=50\n'
printf 'START_AUTO_DOWNLOAD_STAT="true"\n' >"$VELK_PATH/sysconfig/rc.conf"
mkdir -p "$(dirname "$log")"
printf 'section\0{\ndamage=1\n' >"$log"
start_cdrd
expect_log "InitAutoDownloadSettings: $log kept as $log.bad."
$CDRCTL add 1 called=after-damage
flushed
expect_eq after-damage "$(first_value "$log" called)" "newest record in the new log"
expect_eq after-damage "$(first_value "$stated" called)" "newest stated record"
grep -qa 'damage=1' "$log.bad" || fail "the damaged log was not kept as $log.bad"

# A FIFO in place of general-settings.conf on a reload: answered at once, settings in force kept.
fresh_start
printf 'cdr_max_stated=4\n' >"$VELK_PATH/general-settings.conf"
start_cdrd
rm "$VELK_PATH/general-settings.conf"
mkfifo "$VELK_PATH/general-settings.conf"
timeout 1 $CDRCTL --timeout 1 reload-settings >/dev/null || fail "reload was not answered within a second"
expect_log "open ${VELK_PATH}general-settings.conf: a FIFO, not a regular file; the general settings in force are kept."
expect_recorded fifo-settings
expect_eq 4 "$(sections "$stated")" "records under the limit in force"

# A report sent raw, as by a sender without the client library: a tab in the caller, a guid of
# 300 bytes. The record is kept with a blank for the tab and the guid cut to 255 bytes.
fresh_start
start_cdrd
python3 - <<'PY' || fail "the raw report was not posted"
import ctypes, struct
def text(s):
    return struct.pack(">H", len(s)) + s
payload = struct.pack(">iB", 1, 0)                       # record type 1, no statistics
payload += struct.pack(">iI", 1700000000, 42)            # start time, duration
payload += text(b"raw-report") + struct.pack(">i", 0)    # called, its type
payload += text(b"Ann\tLee") + struct.pack(">i", 0)      # caller, its type
payload += text(b"g" * 300) + text(b"") + text(b"")      # guid, ocd, cr
payload += text(b"") + struct.pack(">i", 0)              # auth user, auth type
payload += text(b"") + text(b"")                         # forwarder, transferer
payload += struct.pack(">Ii", 0, 0)                      # hop, clir
message = bytes([0xCD, 0x52, 1, 1]) + struct.pack(">I", len(payload)) + payload
rt = ctypes.CDLL("librt.so.1")
rt.mq_open.argtypes = [ctypes.c_char_p, ctypes.c_int]
rt.mq_send.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_size_t, ctypes.c_uint]
assert rt.mq_send(rt.mq_open(b"/ping-15", 1), message, len(message), 0) == 0  # O_WRONLY
PY
expect_log "texts of a message fitted to be kept: caller: control characters replaced by blanks; guid: cut to 255 bytes"
flushed
expect_eq raw-report "$(first_value "$stated" called)" "newest record"
expect_eq "Ann Lee" "$(first_value "$stated" caller)" "caller with its tab replaced"
expect_eq "$(printf 'g%.0s' $(seq 255))" "$(first_value "$stated" GUID)" "guid cut to 255 bytes"
stop_cdrd
echo "forgiving: ok"
