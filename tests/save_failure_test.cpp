// Storage that fails under the recorder: every create, write, sync and rename of a save fails in
// turn. Each failure must reach the web side or the call manager as the handler's 0, keep every
// record in memory, leave each file on storage whole (its old content unless its rename was
// done), and the next save must write all the held records.
#include <errno.h>
#include <gtest/gtest.h>
#include <limits.h>

#include <string>

#include "support/fault_env.h"
#include "support/recorder_fixture.h"

namespace {

const FaultEnv::Call kCalls[] = {FaultEnv::kOpen, FaultEnv::kWrite, FaultEnv::kFsync,
                                 FaultEnv::kRename};

class SaveFailureTest : public RecorderTest {
  protected:
    // Starts the recorder with `settings` and automatic download on (no download is due).
    void StartWith(const std::string& settings) {
        WriteConfig("general-settings.conf", settings);
        WriteConfig("sysconfig/rc.conf", "START_AUTO_DOWNLOAD_STAT=true\n");
        WriteConfig("auto-down-stat.conf", "download_cnt=100000\n");
        Start();
    }
    int Add(const std::string& called) {
        return mpManager->OnAddCDR(1, MakeReport(1000, called), nullptr);
    }
    std::string HeldText(const std::string& path) {
        return path == StatedPath() ? mpManager->mpFiles->mpFile[0]->Text()
                                    : mpManager->mpDownStatFile->Text();
    }
    // Calls of kind `call` that `save` makes when nothing fails.
    template <typename Save>
    int CallsOf(FaultEnv::Call call, Save save) {
        FaultEnv counting(&mEnv, call, INT_MAX);
        save();
        return counting.Seen();
    }
    // Runs `save` with the `nth` call of kind `call` failing: it must fail, and each of `paths`
    // must then hold its old text, or the held text when its rename was already done.
    template <typename Save>
    void FailNth(FaultEnv::Call call, int nth, Save save) {
        const std::string paths[] = {StatedPath(), DownloadLogPath()};
        std::string before[2] = {ReadFile(paths[0]), ReadFile(paths[1])};
        FaultEnv failing(&mEnv, call, nth, FaultEnv::kOnce, ENOSPC);
        SaveCountingEnv saves;
        EXPECT_EQ(0, save()) << "call " << call << " #" << nth;
        for (int i = 0; i < 2; ++i) {
            const std::string& expected =
                saves.SavesOf(paths[i]) != 0 ? HeldText(paths[i]) : before[i];
            EXPECT_EQ(expected, ReadFile(paths[i])) << paths[i] << ", call " << call << " #" << nth;
            EXPECT_FALSE(Exists(paths[i] + ".tmp"));
        }
    }
    // Every record held in memory is on storage.
    void ExpectAllSaved(size_t records) {
        EXPECT_EQ(records, HeldRecords(0).size());
        EXPECT_EQ(HeldText(StatedPath()), ReadFile(StatedPath()));
        EXPECT_EQ(HeldText(DownloadLogPath()), ReadFile(DownloadLogPath()));
    }
};

// A failed flush has already counted its records as saved; the next flush after another record
// writes every record held.
TEST_F(SaveFailureTest, EveryFailingCallOfAFlushIsReportedAndTheNextSaveWritesAll) {
    StartWith("cdr_save_stated=1000\n");
    size_t records = 0;
    auto flush = [&] { return mpManager->OnFlush(1); };
    for (FaultEnv::Call call : kCalls) {
        ASSERT_EQ(1, Add("counting"));
        const int calls = CallsOf(call, flush);
        ASSERT_GT(calls, 0);
        ++records;
        for (int nth = 1; nth <= calls; ++nth) {
            ASSERT_EQ(1, Add("held"));
            ++records;
            FailNth(call, nth, flush);
            EXPECT_EQ(records, HeldRecords(0).size());
            ASSERT_EQ(1, Add("after"));
            ++records;
            EXPECT_EQ(1, flush());
            ExpectAllSaved(records);
        }
    }
}

TEST_F(SaveFailureTest, EveryFailingCallOfTheSaveAtThePeriodIsReportedAndTheNextRecordSavesAll) {
    StartWith("cdr_save_stated=1\n");
    size_t records = 0;
    auto add = [&] { return Add("record"); };
    for (FaultEnv::Call call : kCalls) {
        const int calls = CallsOf(call, add);  // the database's save and the download log's
        ASSERT_GT(calls, 0);
        ++records;
        for (int nth = 1; nth <= calls; ++nth) {
            FailNth(call, nth, add);
            ++records;
            EXPECT_EQ(records, HeldRecords(0).size()) << "the record is kept in memory";
            ASSERT_EQ(1, add());
            ++records;
            ExpectAllSaved(records);
        }
    }
}

}  // namespace
