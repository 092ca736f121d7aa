#include "platform/messaging/call_detail_report.h"

#include <tuple>

namespace {

auto Fields(const MediaStreamStatistics& s) {
    return std::tie(s.localAddress, s.remoteAddress, s.localPort, s.remotePort, s.txPackets,
                    s.txCodec, s.txPacketSize, s.rxPackets, s.rxCodec, s.rxPacketSize, s.rxLost,
                    s.rxJitter, s.rxMaxDelay, s.rxDelayIncrease, s.rxDelayDecrease, s.srtp);
}

auto Fields(const FaxStatistics& f) {
    return std::tie(f.txPackets, f.txDuplicatePackets, f.rxPackets, f.rxLost, f.rxBadPackets,
                    f.rxDuplicatePackets, f.anamnesis);
}

auto Fields(const CallDetailReport& r) {
    return std::tie(r.startTime, r.duration, r.called, r.calledType, r.caller, r.callerType, r.guid,
                    r.ocd, r.cr, r.authUserName, r.authType, r.forwarder, r.transferer, r.hop,
                    r.clirCaller);
}

}  // namespace

bool operator==(const MediaStreamStatistics& a, const MediaStreamStatistics& b) {
    return Fields(a) == Fields(b);
}

bool operator==(const FaxStatistics& a, const FaxStatistics& b) {
    return Fields(a) == Fields(b);
}

bool operator==(const CallStatistics& a, const CallStatistics& b) {
    return a.streams[0] == b.streams[0] && a.streams[1] == b.streams[1] && a.fax == b.fax;
}

bool operator==(const CallDetailReport& a, const CallDetailReport& b) {
    return Fields(a) == Fields(b);
}
