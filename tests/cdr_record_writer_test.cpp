#include <gtest/gtest.h>
#include <limits.h>
#include <stdio.h>

#include <sstream>

#include "support/recorder_fixture.h"
#include "tools/cdrctl.h"

namespace {

class CDRRecordWriterTest : public RecorderTest {
  protected:
    // Writes one report of type 1 and returns the record the stated database then holds first.
    Entries Write(const CallDetailReport& report, const CallStatistics* statistics) {
        EXPECT_EQ(1, mpManager->OnAddCDR(1, report, statistics));
        return HeldRecords(0).front();
    }
};

// The reports of the end-to-end records test, given as cdrctl's arguments and handed to the
// manager as the recorder's loop hands them: the three databases must match the expected files
// byte for byte, which pins every key, its order, the keys left out for absent fields, and the
// texts of addresses, codecs, call and authentication types.
TEST_F(CDRRecordWriterTest, ReportsFromCdrctlArgumentsBecomeTheExpectedFiles) {
    const char* lines[] = {
        "add 1 startTime=1700000000 duration=65 called=2001 calledType=1 caller=1001 callerType=2 "
        "guid=abc-123 ocd=ocd1 cr=cr1 authUserName=alice authType=1 forwarder=3001 "
        "transferer=4001 hop=2 clirCaller=1 s1.localAddress=10.0.0.1 s1.remoteAddress=192.168.1.20 "
        "s1.localPort=4000 s1.remotePort=5004 s1.txPackets=3000 s1.txCodec=0 s1.txPacketSize=160 "
        "s1.rxPackets=4000000000 s1.rxCodec=8 s1.rxPacketSize=160 s1.rxLost=10 s1.rxJitter=12 "
        "s1.rxMaxDelay=40 s1.rxDelayIncrease=65535 s1.rxDelayDecrease=3 s1.srtp=1 s2.txPackets=20 "
        "s2.txCodec=10 s2.rxPackets=21 s2.rxCodec=99 s2.rxLost=1 s2.rxJitter=2 s2.rxMaxDelay=3 "
        "s2.rxDelayIncrease=4 s2.rxDelayDecrease=65535 s2.remoteAddress=255.1.2.254 s2.srtp=1 "
        "fax.txPackets=12 fax.rxPackets=11 fax.rxLost=1 fax.rxBadPackets=2 "
        "fax.txDuplicatePackets=3 fax.rxDuplicatePackets=4",
        "add 1 startTime=-1 duration=4294967295 called= caller=",
        "add 2 startTime=1700000100 duration=0 called=2002 caller=1002 hop=4294967295",
        "add 4 startTime=1700000200 called=2003 caller=1003 authType=2 s1.rxPackets=5 "
        "s1.localAddress=10.0.0.2 s1.localPort=1 fax.txPackets=1",
        "add 3 startTime=1 called=refused",
    };
    TestManager& manager = Start();
    for (const char* line : lines) {
        std::vector<std::string> args;
        std::istringstream words(line);
        for (std::string word; words >> word;) args.push_back(word);
        if (line == lines[0]) args.push_back("fax.anamnesis=page 1 ok, page 2 ok");
        CdrctlCommand command;
        std::string error;
        ASSERT_TRUE(ParseCdrctlArguments(args, &command, &error)) << error;
        const WireMessage& m = command.message;
        manager.OnAddCDR(m.recordType, m.report, m.hasStatistics ? &m.statistics : nullptr);
    }
    ASSERT_EQ(1, manager.OnFlush(7));
    for (const std::string& path : {StatedPath(), MissedPath(), FailedPath()}) {
        const std::string name = path.substr(path.rfind('/') + 1);
        EXPECT_EQ(ReadRealFile(CDR_SOURCE_DIR "/tests/e2e/golden/" + name), ReadFile(path)) << name;
    }
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

// (The expected files have no report whose statistics hold neither a stream nor a fax.)
TEST_F(CDRRecordWriterTest, StatisticsWithNothingSentOrReceivedAddNoKeys) {
    Start();
    CallStatistics silent{};
    EXPECT_EQ(8u, Write(MakeReport(1, "y"), &silent).size()) << "only the report's keys";
}

TEST_F(CDRRecordWriterTest, RefusedTypesWriteNothingAndTakeNoNumber) {
    TestManager& manager = Start();
    SaveCountingEnv saves;
    for (int type : {0, 3, 5, 8, -1})
        EXPECT_EQ(0, manager.OnAddCDR(type, MakeReport(1, "x"), nullptr));
    EXPECT_EQ(5, TraceCount("OnAddCDR\n"));
    EXPECT_EQ(1, manager.OnFlush(7));
    for (const std::string& path : {StatedPath(), MissedPath(), FailedPath()})
        EXPECT_EQ(0, saves.SavesOf(path)) << "nothing unsaved in " << path;
    for (int i = 0, type = 1; i < 3; ++i, type *= 2) {
        ASSERT_EQ(1, manager.OnAddCDR(type, MakeReport(1, "x"), nullptr));
        EXPECT_EQ("0", Value(HeldRecords(i).front(), "ID"));
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
    SaveCountingEnv counting;
    for (int i = 1; i <= 25; ++i) {
        ASSERT_EQ(1, mpManager->OnAddCDR(2, MakeReport(i, "x"), nullptr));
        EXPECT_EQ(i / 10, counting.SavesOf(MissedPath())) << "after record " << i;
    }
    EXPECT_EQ(0, counting.SavesOf(StatedPath()));
}

}  // namespace
