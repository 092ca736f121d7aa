#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/util/file_util.h"
#include "support/fault_env.h"
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
    // The type bits of what is at the program's `path`, no link followed; 0 when nothing is.
    mode_t TypeAt(const std::string& path) {
        struct stat info;
        return lstat(mEnv.Real(path).c_str(), &info) == 0 ? info.st_mode & S_IFMT : 0;
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
    for (int i = 0; i < 3; ++i) EXPECT_EQ(std::to_string(2 - i), Value(renumbered[i], "ID"));
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

// A FIFO or a folder named as a database is somebody else's: only that database stays closed,
// and neither the start-up nor a clear that rebuilds the databases moves or removes it. Requests
// skip the closed database; a settings reload is refused.
TEST_F(CDRDatabasesTest, ANonRegularPathKeepsItsDatabaseClosedAndIsNeverTouched) {
    WriteConfig("general-settings.conf", "cdr_max_missed=50\n");
    MakeDatabase(StatedPath(), 2, true);
    ASSERT_EQ(0, mkfifo(mEnv.Real(MissedPath()).c_str(), 0600));
    MakeDirs(FailedPath());
    TestManager& manager = Start();
    EXPECT_EQ(1, TraceCount("InitFiles: /conf/telephony/unsuccess_calls_db is a folder, not a "
                            "regular file; the failed calls database stays closed"));
    EXPECT_EQ(0, TraceCount("kept as"));
    EXPECT_EQ(2u, HeldRecords(0).size()) << "the stated calls database opened with its records";
    Add(1, "beside");
    EXPECT_EQ(0, manager.OnAddCDR(2, MakeReport(1, "refused"), nullptr));

    {
        FaultEnv failing(&mEnv, FaultEnv::kRename, 1);  // the clear's save fails: rebuild
        EXPECT_EQ(1, manager.OnClear(7));
    }
    EXPECT_EQ(S_IFIFO, TypeAt(MissedPath()));
    EXPECT_EQ(S_IFDIR, TypeAt(FailedPath()));
    EXPECT_NE(nullptr, manager.mpFiles->mpFile[0]) << "the stated calls database was rebuilt";
    EXPECT_EQ(nullptr, manager.mpFiles->mpFile[1]);
    EXPECT_EQ(1, manager.OnFlush(7));
    EXPECT_EQ(S_IFIFO, TypeAt(MissedPath()));
    WriteConfig("general-settings.conf", "cdr_max_missed=20\n");
    EXPECT_EQ(0, manager.OnUpdateCDRSettings());
    EXPECT_EQ(1, TraceCount("OnUpdateCDRSettings: CDR files are not created.\n"));
    EXPECT_EQ(50u, manager.mSettings.mMaxRecords[1]) << "settings are not re-read";
}

// Memory running out while one database loads sets that file aside whole; the others keep
// their records. Where it cannot be set aside it stays, never removed, and the databases stay
// closed.
TEST_F(CDRDatabasesTest, MemoryRunningOutSetsOnlyThatFileAsideAndNeverRemovesIt) {
    MakeDatabase(StatedPath(), 5, true);
    MakeDatabase(MissedPath(), 3, true);
    const std::string stated = ReadFile(StatedPath());
    {
        OutOfMemoryEnv noMemory(StatedPath(), FaultEnv::kOnce);
        Start();
        EXPECT_EQ(1, noMemory.Thrown());
    }
    EXPECT_EQ(1, TraceCount("InitFiles: memory ran out while loading /conf/telephony/CDR_db (" +
                            std::to_string(stated.size()) +
                            " bytes); it is set aside and started afresh.\n"));
    EXPECT_EQ(1, TraceCount("InitFiles: /conf/telephony/CDR_db kept as "
                            "/conf/telephony/CDR_db.bad.\n"));
    EXPECT_EQ(stated, ReadFile(StatedPath() + ".bad"));
    EXPECT_FALSE(Exists(MissedPath() + ".bad"));
    EXPECT_TRUE(mpManager->IsCDRFilesExist());
    EXPECT_EQ(0u, HeldRecords(0).size());
    EXPECT_EQ(3u, HeldRecords(1).size());
    mpManager.reset();

    const std::string missed = ReadFile(MissedPath());
    FaultEnv noRename(&mEnv, FaultEnv::kRename, 1, FaultEnv::kFromThenOn);
    OutOfMemoryEnv noMemory(MissedPath(), FaultEnv::kFromThenOn);
    TestManager& manager = Start();
    EXPECT_EQ(2, noMemory.Thrown()) << "the first load and the one retry";
    EXPECT_EQ(1, TraceCount("InitFiles: /conf/telephony/missed_calls_db cannot be set aside"));
    EXPECT_EQ(1, TraceCount("it is left as it is.\n"));
    EXPECT_EQ(1, TraceCount("InitFiles: the databases cannot be opened (std::bad_alloc); they "
                            "stay closed.\n"));
    EXPECT_FALSE(manager.IsCDRFilesExist());
    EXPECT_EQ(missed, ReadRealFile(mEnv.Real(MissedPath())));
}

}  // namespace
