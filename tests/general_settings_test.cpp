#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>
#include <string>

#include "platform/config/general_paths.h"
#include "platform/config/general_settings_accessor.h"
#include "platform/util/diag.h"
#include "platform/util/file_util.h"
#include "support/test_env.h"

namespace {

std::string gWarnings;

// A sandbox with VELK_PATH unset, warnings captured, and no instance left open afterwards.
class GeneralSettingsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (const char* root = getenv("VELK_PATH")) mOldRoot.reset(new std::string(root));
        unsetenv("VELK_PATH");
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
        mOldRoot ? setenv("VELK_PATH", mOldRoot->c_str(), 1) : unsetenv("VELK_PATH");
    }

    SandboxEnv mEnv;
    std::unique_ptr<std::string> mOldRoot;
};

TEST_F(GeneralSettingsTest, ValuesComeFromTheRootNamedByVelkPathWithDefaultsForTheRest) {
    WriteFileAtomically("/etc/velk-conf/general-settings.conf", "cdr_max_stated=1\n");
    WriteFileAtomically(
        "/conf/general-settings.conf",
        "# limits\ncdr_enabled=0\ncdr_max_missed = 4294967295\ncdr_save_failed=007\n");
    WriteFileAtomically("/conf/general-paths.conf", "cdr_db_missed=/var/m db\n");

    GeneralSettingsAccessor* settings = GeneralSettingsAccessor::GetInstance(true);
    ASSERT_NE(nullptr, settings);
    EXPECT_EQ(1u, settings->mCDRMaxStated);
    EXPECT_EQ(1, settings->mCDREnabled);
    EXPECT_EQ(1000u, settings->mCDRMaxFailed);
    EXPECT_EQ(10u, settings->mCDRSaveMissed);
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

TEST_F(GeneralSettingsTest, BadNumbersOrUnreadableFilesGiveNoInstance) {
    setenv("VELK_PATH", "/conf/", 1);
    for (const char* line : {"cdr_max_stated=-1", "cdr_max_missed=12abc", "cdr_save_stated=",
                             "cdr_max_failed=4294967296", "cdr_save_missed=0x10",
                             "cdr_save_failed=1 2", "cdr_enabled=2147483648"}) {
        WriteFileAtomically("/conf/general-settings.conf", std::string(line) + "\n");
        gWarnings.clear();
        EXPECT_EQ(nullptr, GeneralSettingsAccessor::GetInstance(true)) << line;
        const std::string key(line, std::string(line).find('='));
        EXPECT_NE(std::string::npos, gWarnings.find(key)) << gWarnings;
    }
    // Folders in place of the files: they exist but cannot be read.
    setenv("VELK_PATH", "/dirs/", 1);
    MakeDirs("/dirs/general-settings.conf");
    MakeDirs("/dirs/general-paths.conf");
    EXPECT_EQ(nullptr, GeneralSettingsAccessor::GetInstance(true));
    EXPECT_EQ(nullptr, GeneralPaths::GetInstance(true));
}

TEST_F(GeneralSettingsTest, InstanceIsSharedUntilItsLastRelease) {
    setenv("VELK_PATH", "/conf/", 1);
    EXPECT_EQ(nullptr, GeneralSettingsAccessor::GetInstance(false));
    WriteFileAtomically("/conf/general-settings.conf", "cdr_max_stated=5\n");
    GeneralSettingsAccessor* first = GeneralSettingsAccessor::GetInstance(true);
    WriteFileAtomically("/conf/general-settings.conf", "cdr_max_stated=6\n");
    EXPECT_EQ(first, GeneralSettingsAccessor::GetInstance(true));
    EXPECT_EQ(5u, first->mCDRMaxStated);
    GeneralSettingsAccessor::CloseInstance();
    EXPECT_EQ(first, GeneralSettingsAccessor::GetInstance(false));  // one use left, plus this
    for (int i = 0; i < 2; ++i) GeneralSettingsAccessor::CloseInstance();
    EXPECT_EQ(nullptr, GeneralSettingsAccessor::GetInstance(false));
    EXPECT_EQ(6u, GeneralSettingsAccessor::GetInstance(true)->mCDRMaxStated);
}

TEST_F(GeneralSettingsTest, StoreRewritesOnlyTheNamesAndKeepsEverythingElse) {
    setenv("VELK_PATH", "/conf/", 1);
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

    setenv("VELK_PATH", "/fresh/root/", 1);
    GeneralPaths::CloseInstance();
    paths = GeneralPaths::GetInstance(true);
    paths->mCDRFailedDb = "unsuccess_calls_db";
    paths->Store();
    ReadWholeFile("/fresh/root/general-paths.conf", &text);
    EXPECT_EQ("cdr_db_failed=unsuccess_calls_db\n", text);
}

}  // namespace
