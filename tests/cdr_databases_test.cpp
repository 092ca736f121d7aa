#include <gtest/gtest.h>

#include "platform/util/file_util.h"
#include "support/recorder_fixture.h"

namespace {

class CDRDatabasesTest : public RecorderTest {
  protected:
    // Writes a database of `count` records, newest first; with `numbered`, numbered count - 1
    // down to 0.
    void MakeDatabase(const std::string& path, unsigned count, bool numbered) {
        Configuration::MultiSectionFile file(path.c_str(), true, false, false, nullptr, "{\n",
                                             "}\n", "=", "#", nullptr);
        for (unsigned i = 0; i < count; ++i) {
            file.AddSection(true);
            if (numbered) file.AddSectionEntry("ID", std::to_string(i).c_str());
            file.AddSectionEntry("called", std::to_string(i).c_str());
        }
        file.Save(true, nullptr);
    }
    void Add(int type, const std::string& called) {
        ASSERT_EQ(1, mpManager->OnAddCDR(type, MakeReport(1000, called), nullptr));
    }
};

// A smaller limit trims the oldest records at once; the same limit again saves nothing.
TEST_F(CDRDatabasesTest, OnlyAnExcessOverANewLimitIsTrimmedAndSaved) {
    MakeDatabase(StatedPath(), 250, true);
    TestManager& manager = Start();
    SaveCountingEnv counting;
    EXPECT_TRUE(manager.InitSizes(100, 0, 0, 0, 0, 0));
    EXPECT_EQ(1, counting.SavesOf(StatedPath()));
    auto records = Records(StatedPath());
    ASSERT_EQ(100u, records.size());
    EXPECT_EQ("249", Value(records.front(), "ID"));
    EXPECT_EQ("150", Value(records.back(), "ID"));
    EXPECT_TRUE(manager.InitSizes(100, 0, 0, 0, 0, 0));
    EXPECT_EQ(1, counting.SavesOf(StatedPath()));
}

TEST_F(CDRDatabasesTest, NumberingIsRecoveredFromTheNewestRecordOrRebuilt) {
    MakeDatabase(StatedPath(), 42, true);  // newest record is 41
    MakeDatabase(MissedPath(), 3, false);
    WriteFileAtomically(FailedPath(), "{\nID=17abc\n}\n{\nID=3\n}\n");
    TestManager& manager = Start();
    EXPECT_EQ(42u, manager.mpFiles->mNextID[0]);
    EXPECT_EQ(3u, manager.mpFiles->mNextID[1]);
    EXPECT_EQ(18u, manager.mpFiles->mNextID[2]);
    auto renumbered = Records(MissedPath());
    ASSERT_EQ(3u, renumbered.size());
    EXPECT_EQ("2", Value(renumbered[0], "ID"));
    EXPECT_EQ("1", Value(renumbered[1], "ID"));
    EXPECT_EQ("0", Value(renumbered[2], "ID"));
    EXPECT_EQ("0", Value(renumbered[2], "called")) << "records keep their places";
    Add(1, "x");
    EXPECT_EQ("42", Value(HeldRecords(0).front(), "ID"));
}

TEST_F(CDRDatabasesTest, ClearEmptiesTheSelectedDatabasesAndNumberingGoesOn) {
    TestManager& manager = Start();
    Add(1, "a");
    Add(2, "b");
    Add(4, "c");
    EXPECT_EQ(1, manager.OnClear(1 | 4 | 8 | 64));  // bits above 4 are ignored
    EXPECT_EQ(0u, Records(StatedPath()).size());
    EXPECT_EQ(1u, HeldRecords(1).size());
    EXPECT_EQ(0u, Records(FailedPath()).size());
    EXPECT_TRUE(Exists(FailedPath()));
    Add(1, "d");
    EXPECT_EQ("1", Value(HeldRecords(0).front(), "ID"));
    EXPECT_EQ(1, manager.OnClear(0));
    EXPECT_EQ(1u, HeldRecords(0).size());
    EXPECT_EQ(2, TraceCount("OnClear\n"));
}

TEST_F(CDRDatabasesTest, FlushWritesOnlyDatabasesWithUnsavedRecords) {
    TestManager& manager = Start();
    Add(1, "a");
    Add(2, "b");
    SaveCountingEnv counting;
    EXPECT_EQ(1, manager.OnFlush(7));
    EXPECT_EQ(1, counting.SavesOf(StatedPath()));
    EXPECT_EQ(1, counting.SavesOf(MissedPath()));
    EXPECT_EQ(0, counting.SavesOf(FailedPath()));
    EXPECT_EQ(1u, Records(StatedPath()).size());
    EXPECT_EQ(1, manager.OnFlush(7));
    EXPECT_EQ(1, counting.SavesOf(StatedPath()));
    Add(4, "c");
    EXPECT_EQ(1, manager.OnFlush(1 | 2));
    EXPECT_EQ(0, counting.SavesOf(FailedPath())) << "not selected";
    EXPECT_EQ(1u, manager.mpFiles->mUnsaved[2]);
}

TEST_F(CDRDatabasesTest, RequestsSkipAClosedDatabaseAndReloadIsRefused) {
    WriteConfig("general-settings.conf", "cdr_max_missed=50\n");
    TestManager& manager = Start();
    delete manager.mpFiles->mpFile[1];
    manager.mpFiles->mpFile[1] = nullptr;
    EXPECT_EQ(1, manager.OnClear(7));
    EXPECT_EQ(1, manager.OnFlush(7));
    WriteConfig("general-settings.conf", "cdr_max_missed=20\n");
    EXPECT_EQ(0, manager.OnUpdateCDRSettings());
    EXPECT_EQ(1, TraceCount("OnUpdateCDRSettings: CDR files are not created.\n"));
    EXPECT_EQ(50u, manager.mSettings.mMaxRecords[1]) << "settings are not re-read";
}

}  // namespace
