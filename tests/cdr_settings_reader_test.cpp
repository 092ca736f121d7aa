#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include "support/recorder_fixture.h"

namespace {

class CDRSettingsReaderTest : public RecorderTest {
  protected:
    CDRSettings& Settings() { return mpManager->mSettings; }
};

TEST_F(CDRSettingsReaderTest, DefaultNamesLandUnderTheRootAndAreWrittenBack) {
    WriteConfig("general-paths.conf", "# device paths\nother_key=kept\n");
    Start();
    EXPECT_EQ("/conf/telephony/CDR_db", Settings().mFileName[0]);
    EXPECT_EQ("/conf/telephony/missed_calls_db", Settings().mFileName[1]);
    EXPECT_EQ("/conf/telephony/unsuccess_calls_db", Settings().mFileName[2]);
    const std::string paths = ReadFile("/conf/general-paths.conf");
    EXPECT_NE(std::string::npos, paths.find("# device paths"));
    EXPECT_NE(std::string::npos, paths.find("other_key=kept"));
    EXPECT_NE(std::string::npos, paths.find("CDR_db"));
    EXPECT_NE(std::string::npos, paths.find("unsuccess_calls_db"));
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
    // Without a final slash the root's last name runs into the file names (and the general
    // paths are then "/confgeneral-paths.conf", absent: default names).
    setenv("VELK_PATH", "/conf", 1);
    ASSERT_TRUE(mpManager->GetCDRData());
    EXPECT_EQ("/conftelephony/CDR_db", Settings().mFileName[0]);
    // Set but empty: relative to the working folder (the sandbox's, for this test).
    setenv("VELK_PATH", "", 1);
    char previous[4096];
    ASSERT_NE(nullptr, getcwd(previous, sizeof previous));
    ASSERT_EQ(0, chdir(mEnv.Root().c_str()));
    EXPECT_TRUE(mpManager->GetCDRData());
    EXPECT_EQ(0, chdir(previous));
    EXPECT_EQ("telephony/CDR_db", Settings().mFileName[0]);
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

TEST_F(CDRSettingsReaderTest, BadSettingsAreForgivenAndTheDatabasesOpen) {
    WriteConfig("general-settings.conf", "cdr_max_stated=many\ncdr_save_stated=3\n");
    Start();
    EXPECT_EQ(0, TraceCount("GetCDRData: failed"));
    EXPECT_EQ(1, TraceCount("/conf/general-settings.conf:1: cdr_max_stated is \"many\""));
    EXPECT_EQ(3u, Settings().mSavePeriod[0]);
    EXPECT_EQ(StatedPath(), Settings().mFileName[0]);
    EXPECT_TRUE(mpManager->IsCDRFilesExist());
    WriteConfig("general-settings.conf", "");
    WriteConfig("general-paths.conf", "cdr_db_stated=-\ncdr_max=oops\n");
    EXPECT_TRUE(mpManager->GetCDRData()) << "general paths hold texts: anything goes";
}

}  // namespace
