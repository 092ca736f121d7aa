#include <gtest/gtest.h>
#include <stdlib.h>

#include "support/recorder_fixture.h"
#include "support/test_env.h"

namespace {

class CDRSettingsReaderTest : public RecorderTest {
  protected:
    CDRSettings& Settings() { return mpManager->mSettings; }
};

TEST_F(CDRSettingsReaderTest, DefaultNamesLandUnderTheRootAndAreWrittenBack) {
    Start();
    EXPECT_EQ("/conf/telephony/CDR_db", Settings().mFileName[0]);
    EXPECT_EQ("/conf/telephony/missed_calls_db", Settings().mFileName[1]);
    EXPECT_EQ("/conf/telephony/unsuccess_calls_db", Settings().mFileName[2]);
    EXPECT_EQ(
        "cdr_db_stated=CDR_db\ncdr_db_missed=missed_calls_db\n"
        "cdr_db_failed=unsuccess_calls_db\n",
        ReadFile("/conf/general-paths.conf"));
    EXPECT_EQ(1, TraceCount("GetCDRData:\n stated - /conf/telephony/CDR_db[1000/10]\n"
                            " missed - /conf/telephony/missed_calls_db[1000/10]\n"
                            " failed - /conf/telephony/unsuccess_calls_db[1000/10]\n"));
}

TEST_F(CDRSettingsReaderTest, TheRootIsJoinedAsItStands) {
    WriteConfig("general-paths.conf",
                "cdr_db_stated=stated\ncdr_db_missed=/abs/missed\ncdr_db_failed=rel\\\\failed\n");
    Start();
    EXPECT_EQ("/conf/telephony/stated", Settings().mFileName[0]);
    EXPECT_EQ("/abs/missed", Settings().mFileName[1]) << "a name with a slash is a path";
    EXPECT_EQ("rel\\failed", Settings().mFileName[2]) << "so is one with a backslash";
}

TEST_F(CDRSettingsReaderTest, NumbersAreTakenAsTheyStandZeroIncluded) {
    WriteConfig("general-settings.conf",
                "cdr_enabled=0\ncdr_max_stated=0\ncdr_max_missed=7\ncdr_save_failed=0\n");
    Start();
    EXPECT_EQ(0, Settings().mEnabled);
    EXPECT_EQ(0u, Settings().mMaxRecords[0]);
    EXPECT_EQ(7u, Settings().mMaxRecords[1]);
    EXPECT_EQ(0u, Settings().mSavePeriod[2]);
    EXPECT_EQ(1u, mpManager->mpFiles->mMaxRecords[0]) << "0 keeps the limit as it was";
    EXPECT_EQ(1u, mpManager->mpFiles->mSavePeriod[2]) << "0 keeps the period as it was";
}

// The memory the system reports, as the test sets it.
class MemoryEnv : public ScopedEnv {
  public:
    explicit MemoryEnv(unsigned long long bytes) : mBytes(bytes) {}
    unsigned long long MemorySize() override { return mBytes; }

  private:
    unsigned long long mBytes;
};

// Record limits whose databases would take more than half of the memory (at 1 KiB a record,
// the three together) are warned about when read, not found out when a full database no longer
// loads at a later start.
TEST_F(CDRSettingsReaderTest, LimitsTooLargeForTheMemoryAreWarnedAboutWhenRead) {
    const std::string warning = "GetCDRData: the record limits";
    MemoryEnv memory(64ull << 20);
    WriteConfig("general-settings.conf", "cdr_max_stated=31000\ncdr_max_missed=768\n");
    Start();
    EXPECT_EQ(0, TraceCount(warning)) << "32 MiB is half of 64 MiB";
    WriteConfig("general-settings.conf", "cdr_max_stated=31000\ncdr_max_missed=769\n");
    ASSERT_TRUE(mpManager->GetCDRData());
    EXPECT_EQ(1, TraceCount("GetCDRData: the record limits (stated 31000, missed 769, failed "
                            "1000) may take 32 MiB at about 1 KiB a record, more than half of the "
                            "64 MiB of memory of this system; full databases may not load at the "
                            "next start.\n"));
    WriteConfig("general-settings.conf", "cdr_max_stated=4294967295\n");
    ASSERT_TRUE(mpManager->GetCDRData());
    EXPECT_EQ(1, TraceCount("(stated 4294967295, missed 1000, failed 1000) may take 4194305 MiB"))
        << "no overflow on a 32-bit device";
}

}  // namespace
