# cdrctl show on the download log of a running recorder, read back with Python's JSON reader;
# the operation guide's example of the default view, reproduced.
. "$(dirname "$0")/lib.sh"

auto_download 'download_cnt=1000\n'
start_cdrd
$CDRCTL add 1 called=2001 'caller=Smith, "J"' guid=caf$'\xc3\xa9'-1 s1.rxPackets=3 s1.srtp=1 s2.rxPackets=5 s2.srtp=1
$CDRCTL add 1 called=2002 caller=1002
$CDRCTL add 2 called=2003
expect_log_count "OnAddCDR" 3
$CDRCTL flush 7 >/dev/null

# Every JSON line parses; the repeated key is an array; the download log's records carry "type".
# (The exact CSV and JSON of awkward values are CdrctlShowTest's.)
$CDRCTL show download --json >download.json
python3 - download.json <<'PY' || fail "JSON: $(cat download.json)"
import json, sys
log = [json.loads(line) for line in open(sys.argv[1], encoding="utf-8")]
assert [r["type"] for r in log] == ["2", "1", "1"], log
assert log[2]["srtp"] == ["1", "1"] and log[2]["caller"] == 'Smith, "J"', log[2]
PY

# The operation guide's example of the default view, from these calls (start times in UTC).
$CDRCTL clear 7 >/dev/null
$CDRCTL add 1 startTime=1796404500 duration=9 caller=2003 called=2001 s1.rxPackets=437 \
  s1.rxLost=14 s1.rxCodec=10
$CDRCTL add 1 startTime=1796468565 duration=4350 caller=sip:alice.example@pbx.example.org \
  called=2001 s1.rxPackets=217500 s1.rxCodec=1
$CDRCTL add 1 startTime=1796481128 duration=291 caller=+4930901820 \
  "called=+49 89 2190 7781 (reception, building C)" s1.rxPackets=14550 s1.rxLost=29 s1.rxCodec=8
$CDRCTL flush 1 >/dev/null
shown=$(TZ=UTC $CDRCTL show stated)
example=$(sed -n '/^      \$ cdrctl show stated$/,/^$/{s/^      //;p}' "$E2E_BASE/tests/operation.md" | sed '1d;$d')
[ "$shown" == "$example" ] || fail "the operation guide's example differs from: $(printf '\n%s' "$shown")"
while IFS= read -r line; do
  [ "$(LC_ALL=C.UTF-8 wc -m <<<"$line")" -le 101 ] || fail "wider than 100 columns: $line"
done <<<"$shown"
stop_cdrd
echo "show: ok"
