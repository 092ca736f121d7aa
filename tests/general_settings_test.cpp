#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "platform/config/general_paths.h"
#include "platform/config/general_settings_accessor.h"
#include "platform/util/diag.h"
#include "platform/util/file_util.h"
#include "support/fault_env.h"
#include "support/test_env.h"

namespace {

std::string gWarnings;

// A sandbox with its configuration root at "/conf/" (VELK_PATH), warnings captured, and no
// instance left open afterwards.
class GeneralSettingsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("VELK_PATH", "/conf/", 1);
        gWarnings.clear();
        SetWarningSink([](const char* line) { gWarnings += line; });
    }
    void TearDown() override {
        // Each probe takes a use, so two releases per round drop one held by the test.
        while (GeneralSettingsAccessor::GetInstance(false) != nullptr)
            for (int i = 0; i < 2; ++i) GeneralSettingsAccessor::CloseInstance();
        while (GeneralPaths::GetInstance(false) != nullptr)
            for (int i = 0; i < 2; ++i) GeneralPaths::CloseInstance();
        SetWarningSink(nullptr);
        unsetenv("VELK_PATH");
    }

    SandboxEnv mEnv;
};

TEST_F(GeneralSettingsTest, ValuesComeFromTheRootNamedByVelkPathWithDefaultsForTheRest) {
    unsetenv("VELK_PATH");  // the device's own root first
    WriteFileAtomically("/etc/velk-conf/general-settings.conf", "cdr_max_stated=1\n");
    WriteFileAtomically(
        "/conf/general-settings.conf",
        "# limits\ncdr_enabled=0\ncdr_max_missed = 4294967295\ncdr_save_failed=007\n");
    WriteFileAtomically("/conf/general-paths.conf", "cdr_db_missed=/var/m db\n");

    GeneralSettingsAccessor* settings = GeneralSettingsAccessor::GetInstance(true);
    ASSERT_NE(nullptr, settings);
    EXPECT_EQ(1u, settings->mCDRMaxStated);
    EXPECT_EQ(1, settings->mCDREnabled);
    EXPECT_EQ("", GeneralPaths::GetInstance(true)->mCDRStatedDb);  // absent file
    GeneralPaths::CloseInstance();
    GeneralSettingsAccessor::CloseInstance();

    setenv("VELK_PATH", "/conf/", 1);
    settings = GeneralSettingsAccessor::GetInstance(true);
    EXPECT_EQ(0, settings->mCDREnabled);
    EXPECT_EQ(4294967295u, settings->mCDRMaxMissed);
    EXPECT_EQ(7u, settings->mCDRSaveFailed);
    EXPECT_EQ(1000u, settings->mCDRMaxStated);
    EXPECT_EQ("/var/m db", GeneralPaths::GetInstance(true)->mCDRMissedDb);
}

size_t Count(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

TEST_F(GeneralSettingsTest, BadValuesKeepTheValuesInForceWithOneWarningEach) {
    WriteFileAtomically("/conf/general-settings.conf", "cdr_max_stated=5\ncdr_save_stated=6\n");
    GeneralSettingsAccessor::GetInstance(true);
    GeneralSettingsAccessor::CloseInstance();
    WriteFileAtomically("/conf/general-settings.conf",
                        "cdr_max_missed=700\n"
                        "cdr_max_stated=-1\n"
                        "cdr_save_stated=\n"
                        "cdr_max_failed=4294967296\n"
                        "cdr_save_missed=0x10\n"
                        "cdr_enabled=2147483648\n"
                        "cdr_save_failed=1#2\n");
    gWarnings.clear();
    GeneralSettingsAccessor* settings = GeneralSettingsAccessor::GetInstance(true);
    ASSERT_NE(nullptr, settings);
    EXPECT_EQ(700u, settings->mCDRMaxMissed);
    EXPECT_EQ(5u, settings->mCDRMaxStated);  // in force from the first reading
    EXPECT_EQ(6u, settings->mCDRSaveStated);
    EXPECT_EQ(1000u, settings->mCDRMaxFailed);  // defaults, never read otherwise
    EXPECT_EQ(10u, settings->mCDRSaveMissed);
    EXPECT_EQ(1, settings->mCDREnabled);
    EXPECT_EQ(10u, settings->mCDRSaveFailed);
    EXPECT_EQ(6u, Count(gWarnings, "\n")) << gWarnings;
    EXPECT_NE(std::string::npos,
              gWarnings.find("/conf/general-settings.conf:2: cdr_max_stated is \"-1\", not a "
                             "number from 0 to 4294967295; it stays 5.\n"))
        << gWarnings;
}

// A folder in place of the file: it exists but cannot be read. (A settings file that cannot be
// read is forgiven the same way, end to end.)
TEST_F(GeneralSettingsTest, AnUnreadablePathsFileKeepsTheNamesAndIsNotStoredOver) {
    WriteFileAtomically("/conf/general-paths.conf", "cdr_db_stated=kept\n");
    GeneralPaths::GetInstance(true);
    GeneralPaths::CloseInstance();
    setenv("VELK_PATH", "/dirs/", 1);
    MakeDirs("/dirs/general-paths.conf");
    gWarnings.clear();
    GeneralPaths* paths = GeneralPaths::GetInstance(true);
    ASSERT_NE(nullptr, paths);
    EXPECT_EQ("kept", paths->mCDRStatedDb);
    EXPECT_NE(std::string::npos,
              gWarnings.find("open /dirs/general-paths.conf: a folder, not a regular file; the "
                             "database names in force are kept.\n"))
        << gWarnings;
    // Storing over a file that cannot be read back would lose its other lines: nothing written.
    gWarnings.clear();
    EXPECT_EQ(0, paths->Store());
    EXPECT_EQ(1u, Count(gWarnings,
                        "the database names are not saved: open "
                        "/dirs/general-paths.conf: a folder"))
        << gWarnings;
}

TEST_F(GeneralSettingsTest, AFailingStoreNeverThrowsAndWarnsOncePerReason) {
    GeneralPaths* paths = GeneralPaths::GetInstance(true);
    {
        FaultEnv readOnly(Env::Current(), FaultEnv::kRename, 1, FaultEnv::kFromThenOn, EROFS);
        for (int i = 0; i < 3; ++i) EXPECT_EQ(0, paths->Store());
    }
    EXPECT_EQ(1u, Count(gWarnings, "\n")) << gWarnings;
    EXPECT_NE(std::string::npos,
              gWarnings.find("rename /conf/general-paths.conf.tmp: Read-only file system"));
    paths->mCDRStatedDb = "a #b";
    EXPECT_EQ(1, paths->Store());
    GeneralPaths::CloseInstance();
    EXPECT_EQ("a #b", GeneralPaths::GetInstance(true)->mCDRStatedDb);
}

TEST_F(GeneralSettingsTest, StoreRewritesOnlyTheNamesAndKeepsEverythingElse) {
    WriteFileAtomically("/conf/general-paths.conf",
                        "# database names\nother = 1\n cdr_db_missed = old \n"
                        "  # cdr_db_stated=commented\ncdr_db_missed=shadowed\nlast=no newline");
    GeneralPaths* paths = GeneralPaths::GetInstance(true);
    ASSERT_NE(nullptr, paths);
    EXPECT_EQ("old", paths->mCDRMissedDb);
    paths->mCDRStatedDb = " odd\\name\n";
    paths->mCDRMissedDb = "missed_calls_db";
    EXPECT_EQ(1, paths->Store());
    std::string text;
    ReadWholeFile("/conf/general-paths.conf", &text);
    EXPECT_EQ(
        "# database names\nother = 1\ncdr_db_missed=missed_calls_db\n"
        "  # cdr_db_stated=commented\ncdr_db_missed=shadowed\nlast=no newline\n"
        "cdr_db_stated=\\x20odd\\\\name\\n\n",
        text);
    GeneralPaths::CloseInstance();
    paths = GeneralPaths::GetInstance(true);
    EXPECT_EQ(" odd\\name\n", paths->mCDRStatedDb);
    EXPECT_EQ("missed_calls_db", paths->mCDRMissedDb);
}

}  // namespace
