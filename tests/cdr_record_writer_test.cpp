#include <gtest/gtest.h>
#include <limits.h>
#include <stdio.h>

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

}  // namespace
