# cdrctl show on a running recorder's records: the operation guide's example of the default view,
# reproduced. (The exact CSV and JSON, the download log's among them, are CdrctlShowTest's.)
. "$(dirname "$0")/lib.sh"

start_cdrd
# Two calls, cleared: the example's numbering goes on from them. Then its calls (times in UTC).
$CDRCTL add 1 --repeat 2
$CDRCTL clear 1 >/dev/null
$CDRCTL add 1 startTime=1796404500 duration=9 caller=2003 called=2001 s1.rxPackets=437 \
  s1.rxLost=14 s1.rxCodec=10
$CDRCTL add 1 startTime=1796468565 duration=4350 caller=sip:alice.example@pbx.example.org \
  called=2001 s1.rxPackets=217500 s1.rxCodec=1
$CDRCTL add 1 startTime=1796481128 duration=291 caller=+4930901820 \
  "called=+49 89 2190 7781 (reception, building C)" s1.rxPackets=14550 s1.rxLost=29 s1.rxCodec=8
flushed 1
shown=$(TZ=UTC $CDRCTL show stated)
example=$(sed -n '/^      \$ cdrctl show stated$/,/^$/{s/^      //;p}' "$E2E_BASE/tests/operation.md" | sed '1d;$d')
[ "$shown" == "$example" ] || fail "the operation guide's example differs from: $(printf '\n%s' "$shown")"
stop_cdrd
echo "show: ok"
