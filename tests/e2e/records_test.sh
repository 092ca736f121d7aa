# Reports become records with every key of the layout; the files are compared byte for byte with
# the expected ones, so a recorder built for another byte order or word size must write the same.
. "$(dirname "$0")/lib.sh"

start_cdrd
$CDRCTL add 1 startTime=1700000000 duration=65 called=2001 calledType=1 caller=1001 \
  callerType=2 guid=abc-123 ocd=ocd1 cr=cr1 authUserName=alice authType=1 forwarder=3001 \
  transferer=4001 hop=2 clirCaller=1 \
  s1.localAddress=10.0.0.1 s1.remoteAddress=192.168.1.20 s1.localPort=4000 s1.remotePort=5004 \
  s1.txPackets=3000 s1.txCodec=0 s1.txPacketSize=160 s1.rxPackets=4000000000 s1.rxCodec=8 \
  s1.rxPacketSize=160 s1.rxLost=10 s1.rxJitter=12 s1.rxMaxDelay=40 s1.rxDelayIncrease=65535 \
  s1.rxDelayDecrease=3 s1.srtp=1 \
  s2.txPackets=20 s2.txCodec=10 s2.rxPackets=21 s2.rxCodec=99 s2.rxLost=1 s2.rxJitter=2 \
  s2.rxMaxDelay=3 s2.rxDelayIncrease=4 s2.rxDelayDecrease=65535 s2.remoteAddress=255.1.2.254 \
  s2.srtp=1 fax.txPackets=12 fax.rxPackets=11 fax.rxLost=1 fax.rxBadPackets=2 \
  fax.txDuplicatePackets=3 fax.rxDuplicatePackets=4 "fax.anamnesis=page 1 ok, page 2 ok"
$CDRCTL add 1 startTime=-1 duration=4294967295 called= caller=
$CDRCTL add 2 startTime=1700000100 duration=0 called=2002 caller=1002 hop=4294967295
$CDRCTL add 4 startTime=1700000200 called=2003 caller=1003 authType=2 \
  s1.rxPackets=5 s1.localAddress=10.0.0.2 s1.localPort=1 fax.txPackets=1
$CDRCTL add 3 startTime=1 called=refused
$CDRCTL flush 7 >/dev/null || fail "flush was not answered"

golden=$(dirname "$0")/golden
for name in CDR_db missed_calls_db unsuccess_calls_db; do
  diff -u "$golden/$name" "${VELK_PATH}telephony/$name" >&2 || fail "$name differs"
done
expect_eq 5 "$(count_log "OnAddCDR")" "reports traced"
echo "records: ok"
