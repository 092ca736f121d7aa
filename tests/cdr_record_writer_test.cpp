#include <gtest/gtest.h>
#include <limits.h>
#include <stdio.h>

#include "platform/media/media_control.h"
#include "support/recorder_fixture.h"
#include "support/save_counting_env.h"

namespace {

class CDRRecordWriterTest : public RecorderTest {
  protected:
    std::vector<std::string> Keys(const Entries& entries) {
        std::vector<std::string> keys;
        for (const auto& entry : entries) keys.push_back(entry.first);
        return keys;
    }
    // Writes one report of type 1 and returns the record the stated database then holds first.
    Entries Write(const CallDetailReport& report, const CallStatistics* statistics) {
        EXPECT_EQ(1, mpManager->OnAddCDR(1, report, statistics));
        return HeldRecords(0).front();
    }
    static MediaStreamStatistics FullStream(uint32_t base) {
        MediaStreamStatistics stream{};
        stream.localAddress = 0x0A000001;   // 10.0.0.1
        stream.remoteAddress = 0xC0A80102;  // 192.168.1.2
        stream.localPort = 4000;
        stream.remotePort = 5000;
        stream.txPackets = base + 1;
        stream.txCodec = 0;
        stream.txPacketSize = 160;
        stream.rxPackets = 4000000000u;  // beyond 31 bits: written unsigned everywhere
        stream.rxCodec = 0;
        stream.rxPacketSize = 160;
        stream.rxLost = 3;
        stream.rxJitter = 12;
        stream.rxMaxDelay = 40;
        stream.rxDelayIncrease = 65535;
        stream.rxDelayDecrease = 7;
        stream.srtp = 1;
        return stream;
    }
};

TEST_F(CDRRecordWriterTest, AFullRecordHasEveryKeyInItsOrder) {
    Start();
    CallDetailReport report = MakeReport(-5, "200");
    report.guid = "g";
    report.ocd = "o";
    report.cr = "c";
    report.authUserName = "alice";
    report.forwarder = "f";
    report.transferer = "t";
    report.hop = 2;
    report.clirCaller = 1;
    CallStatistics statistics{};
    statistics.streams[0] = FullStream(0);
    statistics.streams[1] = FullStream(10);
    statistics.fax.rxPackets = 9;
    statistics.fax.anamnesis = "fine";
    Entries record = Write(report, &statistics);
    const std::vector<std::string> expected = {"ID",
                                               "ST",
                                               "dur",
                                               "called",
                                               "called_type",
                                               "caller",
                                               "caller_type",
                                               "GUID",
                                               "OCD",
                                               "cr",
                                               "auth_un",
                                               "auth_type",
                                               "forwarder",
                                               "transferer",
                                               "hop",
                                               "clir_caller",
                                               "tx_pkt",
                                               "tx_enc",
                                               "tx_pkt_sz",
                                               "rx_pkt",
                                               "rx_enc",
                                               "rx_pkt_sz",
                                               "rx_lost",
                                               "rx_jtr",
                                               "rx_max_del",
                                               "rx_delay_incr",
                                               "rx_delay_decr",
                                               "loc_addr",
                                               "loc_port",
                                               "rem_addr",
                                               "rem_port",
                                               "srtp",
                                               "tx_pkt_2",
                                               "tx_enc_2",
                                               "tx_pkt_sz_2",
                                               "rx_pkt_2",
                                               "rx_enc_2",
                                               "rx_pkt_sz_2",
                                               "rx_lost_2",
                                               "rx_jtr_2",
                                               "rx_max_del_2",
                                               "rx_delay_incr_2",
                                               "rx_delay_decr_2",
                                               "loc_addr_2",
                                               "loc_port_2",
                                               "rem_addr_2",
                                               "rem_port_2",
                                               "srtp",
                                               "fax_rx_pkt",
                                               "fax_rx_dpl_pkt",
                                               "fax_rx_lost",
                                               "fax_rx_bad_pkt",
                                               "fax_tx_pkt",
                                               "fax_tx_dpl_pkt",
                                               "fax_anamnesis"};
    EXPECT_EQ(expected, Keys(record));
    EXPECT_EQ("-5", Value(record, "ST"));
    EXPECT_EQ("4000000000", Value(record, "rx_pkt"));
    EXPECT_EQ("11", Value(record, "tx_pkt_2"));
    EXPECT_EQ("N/A", Value(record, "rx_delay_incr"));
    EXPECT_EQ("7", Value(record, "rx_delay_decr"));
    EXPECT_EQ("10.0.0.1", Value(record, "loc_addr"));
    EXPECT_EQ("192.168.1.2", Value(record, "rem_addr"));
    EXPECT_EQ("1", Value(record, "clir_caller"));
    EXPECT_EQ(CDRAuthTypeToToken(report.authType), Value(record, "auth_type"));
    char codec[256];
    GetNameByDspCodec(0, codec);
    EXPECT_EQ(codec, Value(record, "tx_enc"));
}

TEST_F(CDRRecordWriterTest, NumbersAtTheEndsOfTheirRangesReadAsPrintfWritesThem) {
    Start();
    for (long start : {0L, -1L, LONG_MIN, LONG_MAX}) {
        CallDetailReport report = MakeReport(start, "x");
        report.duration = UINT_MAX;
        report.hop = 0;
        Entries record = Write(report, nullptr);
        char expected[32];
        snprintf(expected, sizeof expected, "%ld", start);
        EXPECT_EQ(expected, Value(record, "ST"));
        EXPECT_EQ(std::to_string(UINT_MAX), Value(record, "dur"));
        EXPECT_EQ("0", Value(record, "hop"));
    }
}

TEST_F(CDRRecordWriterTest, ConditionalKeysFollowTheirFields) {
    Start();
    CallDetailReport report = MakeReport(1, "");
    report.caller = "";
    report.authType = static_cast<CDRAuthType>(1);  // without a user name: not written
    Entries plain = Write(report, nullptr);
    EXPECT_EQ((std::vector<std::string>{"ID", "ST", "dur", "called", "called_type", "caller",
                                        "caller_type", "hop"}),
              Keys(plain));
    EXPECT_EQ("", Value(plain, "called"));

    CallStatistics statistics{};
    statistics.streams[0] = FullStream(0);
    statistics.streams[0].txPackets = 0;
    statistics.streams[0].rxPacketSize = 0;
    statistics.streams[1] = FullStream(0);
    statistics.streams[1].rxPackets = 0;  // received nothing: addresses, ports, srtp unwritten
    statistics.fax.txPackets = 1;         // fax with only sent packets: all seven keys
    Entries record = Write(MakeReport(1, "x"), &statistics);
    const std::vector<std::string> expected = {"ID",
                                               "ST",
                                               "dur",
                                               "called",
                                               "called_type",
                                               "caller",
                                               "caller_type",
                                               "hop",
                                               "rx_pkt",
                                               "rx_enc",
                                               "rx_lost",
                                               "rx_jtr",
                                               "rx_max_del",
                                               "rx_delay_incr",
                                               "rx_delay_decr",
                                               "loc_addr",
                                               "loc_port",
                                               "rem_addr",
                                               "rem_port",
                                               "srtp",
                                               "tx_pkt_2",
                                               "tx_enc_2",
                                               "tx_pkt_sz_2",
                                               "fax_rx_pkt",
                                               "fax_rx_dpl_pkt",
                                               "fax_rx_lost",
                                               "fax_rx_bad_pkt",
                                               "fax_tx_pkt",
                                               "fax_tx_dpl_pkt",
                                               "fax_anamnesis"};
    EXPECT_EQ(expected, Keys(record));
    EXPECT_EQ("0", Value(record, "fax_rx_pkt"));
    EXPECT_EQ("", Value(record, "fax_anamnesis"));

    CallStatistics silent{};
    EXPECT_EQ(8u, Write(MakeReport(1, "y"), &silent).size()) << "no stream, no fax: no keys";
}

TEST_F(CDRRecordWriterTest, RefusedTypesWriteNothingAndMoveNoCounter) {
    TestManager& manager = Start();
    for (int type : {0, 3, 5, 8, -1})
        EXPECT_EQ(0, manager.OnAddCDR(type, MakeReport(1, "x"), nullptr));
    EXPECT_EQ(5, TraceCount("OnAddCDR\n"));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(0u, HeldRecords(i).size());
        EXPECT_EQ(0u, manager.mpFiles->mNextID[i]);
        EXPECT_EQ(0u, manager.mpFiles->mUnsaved[i]);
    }
}

TEST_F(CDRRecordWriterTest, WithRecordingAndDownloadOffAReportIsAcceptedSilently) {
    WriteConfig("general-settings.conf", "cdr_enabled=0\n");
    TestManager& manager = Start();
    EXPECT_EQ(1, manager.OnAddCDR(1, MakeReport(1, "x"), nullptr));
    EXPECT_EQ(1, manager.OnAddCDR(3, MakeReport(1, "x"), nullptr));
    EXPECT_EQ(0, TraceCount("OnAddCDR"));
    EXPECT_EQ(0u, HeldRecords(0).size());
}

TEST_F(CDRRecordWriterTest, AtTheLimitTheOldestRecordMakesWay) {
    WriteConfig("general-settings.conf", "cdr_max_failed=3\n");
    Start();
    for (int i = 0; i < 5; ++i) ASSERT_EQ(1, mpManager->OnAddCDR(4, MakeReport(i, "x"), nullptr));
    auto records = HeldRecords(2);
    ASSERT_EQ(3u, records.size());
    EXPECT_EQ("4", Value(records[0], "ID"));
    EXPECT_EQ("2", Value(records[2], "ID"));
}

TEST_F(CDRRecordWriterTest, TheFileIsSavedEverySavePeriodRecords) {
    Start();  // default period: 10
    SaveCountingEnv counting(&mEnv);
    for (int i = 1; i <= 25; ++i) {
        ASSERT_EQ(1, mpManager->OnAddCDR(2, MakeReport(i, "x"), nullptr));
        EXPECT_EQ(i / 10, counting.SavesOf(MissedPath())) << "after record " << i;
    }
    EXPECT_EQ(0, counting.SavesOf(StatedPath()));
}

}  // namespace
