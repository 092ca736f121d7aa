#include <gtest/gtest.h>
#include <limits.h>
#include <stdio.h>

#include <string>

#include "support/recorder_fixture.h"

namespace {

class CDRRecordWriterTest : public RecorderTest {
  protected:
    // Writes one report of type 1 and returns the record the stated database then holds first.
    Entries Write(const CallDetailReport& report, const CallStatistics* statistics) {
        EXPECT_EQ(1, mpManager->OnAddCDR(1, report, statistics));
        return HeldRecords(0).front();
    }
};

// The widest record: every optional entry, both streams with every entry, codec numbers without
// a name (the longest names), widest numbers and addresses, and a fax. The writer gathers it whole
// and in order, and writes the same lines into the record; the numbers at the ends of their
// ranges (a start time of LONG_MIN shows a lost sign or a cut to 32 bits) read as printf writes
// them.
TEST_F(CDRRecordWriterTest, TheWidestRecordIsWrittenWholeAndInOrder) {
    Start();
    CallDetailReport report = MakeReport(LONG_MIN, "called");
    report.guid = "g";
    report.ocd = "o";
    report.cr = "c";
    report.authUserName = "a";
    report.forwarder = "f";
    report.transferer = "t";
    report.clirCaller = 1;
    report.duration = UINT_MAX;
    report.hop = 0;
    CallStatistics statistics{};
    for (MediaStreamStatistics& stream : statistics.streams) {
        stream.localAddress = stream.remoteAddress = 0xFFFFFFFFu;
        stream.localPort = stream.remotePort = stream.txPacketSize = stream.rxPacketSize = 65535;
        stream.txPackets = stream.rxPackets = stream.rxJitter = stream.rxMaxDelay = UINT32_MAX;
        stream.txCodec = stream.rxCodec = 65535;
        stream.rxLost = stream.rxDelayIncrease = 65534;
        stream.rxDelayDecrease = 65535;
        stream.srtp = 1;
    }
    statistics.fax.rxPackets = statistics.fax.txPackets = UINT32_MAX;
    statistics.fax.anamnesis = "done";
    const Entries record = Write(report, &statistics);
    ASSERT_EQ(16u + 2 * 16 + 7, record.size());
    EXPECT_EQ("ID", record[0].first);
    char start[32];
    snprintf(start, sizeof start, "%ld", LONG_MIN);
    EXPECT_EQ(start, Value(record, "ST"));
    EXPECT_EQ(std::to_string(UINT_MAX), Value(record, "dur"));
    EXPECT_EQ("0", Value(record, "hop"));
    EXPECT_EQ("unknown codec 65535", Value(record, "rx_enc_2"));
    EXPECT_EQ("255.255.255.255", Value(record, "rem_addr_2"));
    EXPECT_EQ("N/A", Value(record, "rx_delay_decr_2"));
    EXPECT_EQ("65534", Value(record, "rx_delay_incr"));
    EXPECT_EQ("4294967295", Value(record, "rx_max_del_2"));
    EXPECT_EQ("fax_anamnesis", record.back().first);
    // Statistics with nothing sent or received add no keys to the report's.
    CallStatistics silent{};
    EXPECT_EQ(8u, Write(MakeReport(1, "y"), &silent).size());
}

TEST_F(CDRRecordWriterTest, WithRecordingAndDownloadOffAReportIsAcceptedSilently) {
    WriteConfig("general-settings.conf", "cdr_enabled=0\n");
    TestManager& manager = Start();
    EXPECT_EQ(1, manager.OnAddCDR(1, MakeReport(1, "x"), nullptr));
    EXPECT_EQ(1, manager.OnAddCDR(3, MakeReport(1, "x"), nullptr));
    EXPECT_EQ(0, TraceCount("OnAddCDR"));
    EXPECT_EQ(0u, HeldRecords(0).size());
}

}  // namespace
