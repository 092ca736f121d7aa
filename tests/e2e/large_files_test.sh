# Files far larger than any settings file, written in the recorder's own format: a stated calls
# database of over 100,000 records (over 40 MiB) and a download log of 20,000 records are read
# back whole at start-up, and numbering goes on from the newest record.
. "$(dirname "$0")/lib.sh"

WAIT_SECONDS=180  # an emulated start-up parses 50 MiB

# write_records FILE COUNT [WORD]: COUNT records of a call with both media streams, newest first,
# numbered COUNT-1 down to 0; WORD heads each section (the download log's "section", with the
# record type first).
write_records() {
  python3 - "$@" <<'PY'
import sys
path, count = sys.argv[1], int(sys.argv[2])
word = sys.argv[3] if len(sys.argv) > 3 else ""
body = ("ST=%d\ndur=65\ncalled=0049301234%05d\ncalled_type=sip\ncaller=1001\ncaller_type=sip\n"
        "GUID=4f1c2d3e-5a6b-7c8d-9e0f-%012d\nhop=0\ntx_pkt=3000\ntx_enc=G.711 u-law\n"
        "tx_pkt_sz=160\nrx_pkt=2999\nrx_enc=G.711 u-law\nrx_pkt_sz=160\nrx_lost=1\nrx_jtr=12\n"
        "rx_max_del=40\nrx_delay_incr=2\nrx_delay_decr=3\nloc_addr=10.0.0.1\nloc_port=4000\n"
        "rem_addr=192.168.1.20\nrem_port=5004\nsrtp=0\ntx_pkt_2=20\ntx_enc_2=G.722\n"
        "rx_pkt_2=21\nrx_enc_2=G.722\nrx_lost_2=0\nrx_jtr_2=2\nrx_max_del_2=3\n")
with open(path, "w") as out:
    for number in range(count - 1, -1, -1):
        head = (word + "\n" if word else "") + "{\n" + ("type=1\n" if word else "")
        out.write(head + "ID=%d\n" % number + body % (1700000000 + number, number % 100000, number)
                  + "}\n")
PY
}

mkdir -p "$db" "$(dirname "$log")"
write_records "$stated" 100001
write_records "$log" 20000 section
size=$(stat -c %s "$stated")
[ "$size" -gt $((40 << 20)) ] || fail "the database holds only $size bytes"
printf 'cdr_max_stated=200000\ncdr_save_stated=1\n' >"${VELK_PATH}general-settings.conf"
auto_download 'download_cnt=100000\ndownload_dir=%s/outbox/\n' "$E2E_BASE"

start_cdrd
wait_status 0 "100001 records held"
$CDRCTL add 1 called=after-start
flushed
expect_eq 100002 "$(sections "$stated")" "stated records after one report"
expect_eq 100001 "$(first_value "$stated" ID)" "number of the new record"
expect_eq 100000 "$(grep -m2 '^ID=' "$stated" | tail -1 | cut -d= -f2)" "the newest stored record"
expect_eq 20001 "$(sections "$log")" "records in the download log"
expect_eq after-start "$(first_value "$log" called)" "newest record in the download log"
stop_cdrd
# Nothing was found unreadable.
for warning in "kept as" "cannot be" "was not been created" "memory ran out"; do
  expect_eq 0 "$(count_log "$warning")" "trace lines with '$warning'"
done
[ ! -e "$E2E_BASE/outbox" ] || expect_eq "" "$(ls "$E2E_BASE/outbox")" "files in the outbox"
echo "large files: ok"
