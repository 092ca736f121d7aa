// cdr_flood: posts many call detail reports on the recorder's queue as fast as it takes them,
// for load and leak runs that would need a million cdrctl processes otherwise.
//   cdr_flood COUNT [FIRST]   posts COUNT reports of the types 1, 2 and 4 in turn, each with
//                             media and fax statistics; the called number counts up from FIRST.
// Exit status: 0 all posted, 1 the recorder's queue is missing or stayed full for 30 s, 2 usage.
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "platform/messaging/recorder_client.h"

namespace {

const int kTypes[] = {1, 2, 4};

WireMessage SampleReport() {
    WireMessage message;
    message.kind = MessageKind::kAddCDR;
    message.hasStatistics = true;
    CallDetailReport& report = message.report;
    report.startTime = 1700000000;
    report.duration = 65;
    report.caller = "1001";
    report.guid = "flood-guid";
    report.hop = 1;
    MediaStreamStatistics& stream = message.statistics.streams[0];
    stream.localAddress = 0x0A000001;
    stream.remoteAddress = 0x0A000002;
    stream.localPort = 5004;
    stream.remotePort = 5006;
    stream.txPackets = 3000;
    stream.rxPackets = 2990;
    stream.rxLost = 10;
    message.statistics.fax.txPackets = 12;
    message.statistics.fax.anamnesis = "flood";
    return message;
}

bool ParseCount(const char* text, unsigned long* value) {
    char* end = nullptr;
    *value = strtoul(text, &end, 10);
    return *text >= '0' && *text <= '9' && *end == '\0';
}

}  // namespace

int main(int argc, char** argv) {
    unsigned long count = 0, first = 0;
    if (argc < 2 || argc > 3 || !ParseCount(argv[1], &count) ||
        (argc == 3 && !ParseCount(argv[2], &first))) {
        fprintf(stderr, "usage: cdr_flood COUNT [FIRST]\n");
        return 2;
    }
    RecorderClient client(30000);
    WireMessage message = SampleReport();
    for (unsigned long i = 0; i < count; ++i) {
        message.recordType = kTypes[i % 3];
        message.report.called = std::to_string(first + i);
        if (client.Post(message) != ClientStatus::kDone) {
            fprintf(stderr, "cdr_flood: report %lu: %s\n", first + i, client.error().c_str());
            return 1;
        }
    }
    return 0;
}
