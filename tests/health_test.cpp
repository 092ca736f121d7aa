// The health record and its monitor: the record survives its text form, is written when due and
// not more often, and each alarm is one record when its condition starts and one when it ends.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <syslog.h>

#include <string>

#include "core/health_monitor.h"
#include "platform/statistics/delivery_health.h"
#include "platform/statistics/delivery_monitor.h"
#include "platform/util/file_util.h"
#include "state/health_record.h"
#include "support/test_env.h"

namespace {

TEST(HealthRecordTest, TextFormKeepsEveryFieldAndRejectsWhatItCannotRead) {
    HealthRecord record;
    record.pid = 4321;
    record.started = 1700000000;
    record.version = "1.2.3";
    record.written = 4102444800LL;  // past 2038: the target's time_t is 32-bit, the record's not
    record.stores[0] = {true, 600, 251, 1700000100, Outcome::kFailed, "write x: No space\nleft",
                        ""};
    record.stores[2] = {false, 0, 0, 0, Outcome::kNone, "", "/db is a FIFO, not a regular file"};
    record.stores[HealthRecord::kDownloadLog] = {true, 7, 0, 1700000050, Outcome::kOk, "", ""};
    record.autoDownload = true;
    record.dropped = 220;
    record.droppingSince = 1700000020;
    record.dropReason = "write /o: No space";
    record.startTicks = 8589934592LL;  // past 32 bits: a device up for a year and more
    record.queues[0] = {"/ping-15", true, 64, 64, ""};
    record.queues[1] = {"/ping-111", false, 0, 0, "no such queue"};

    HealthRecord read;
    std::string error;
    ASSERT_TRUE(ParseHealthRecord(FormatHealthRecord(record) + "outbox.files=3\n", &read, &error))
        << error;
    EXPECT_EQ(FormatHealthRecord(record), FormatHealthRecord(read));
    EXPECT_EQ("write x: No space left", read.stores[0].saveError);
    EXPECT_EQ("/db is a FIFO, not a regular file", read.stores[2].openError);
    EXPECT_EQ(4102444800LL, read.written);
    EXPECT_EQ(8589934592LL, read.startTicks);
    EXPECT_TRUE(RefusesPosts(read.queues[0]));
    EXPECT_FALSE(RefusesPosts(read.queues[1]));

    DeliveryHealth agent;
    agent = {
        812,        1700000095, "4d1c-boot", 1700000090, Outcome::kFailed, "curl exited\nwith 7",
        1700000000, 86400,      true,        5};
    DeliveryHealth agentRead;
    ASSERT_TRUE(ParseDeliveryRecord(FormatDeliveryRecord(agent), &agentRead, &error)) << error;
    EXPECT_EQ(FormatDeliveryRecord(agent), FormatDeliveryRecord(agentRead));

    EXPECT_TRUE(RecordsDropping(read));
    EXPECT_EQ("write /o: No space", read.dropReason);
    for (const char* bad :
         {"pid=12\nstated.held\n", "stated.held=-1\n", "pid=1x\n", "stated.save_result=maybe\n",
          "download.on=yes\n", "download.dropped=-3\n"}) {
        EXPECT_FALSE(ParseHealthRecord(bad, &read, &error)) << bad;
        EXPECT_NE(error.find("line "), std::string::npos) << error;
    }
}

TEST(HealthRecordTest, TheDownloadLogCountsOnlyWithAutoDownloadAndDelaysRunOnTheBootClock) {
    HealthRecord record;
    for (StoreHealth& store : record.stores) store.open = true;
    EXPECT_FALSE(NeedsAttention(record, 0));
    // The download log matters only while automatic download is on.
    record.stores[HealthRecord::kDownloadLog].open = false;
    EXPECT_FALSE(NeedsAttention(record, HealthRecord::kDownloadLog));
    record.autoDownload = true;
    EXPECT_TRUE(NeedsAttention(record, HealthRecord::kDownloadLog));

    // Overdue by the boot clock, whatever the wall-clock stamp says.
    DeliveryHealth agent;
    agent.failingSince = 1700000000;
    agent.failingSinceBoot = 1000;
    agent.alarmAfterMinutes = 60;
    EXPECT_FALSE(DeliveryOverdue(agent, 1000 + 3599));
    EXPECT_TRUE(DeliveryOverdue(agent, 1000 + 3600));
    EXPECT_EQ(0, DeliveryFailingSeconds(agent, 400)) << "a clock read before the failure: no time";
    agent.failingSince = 0;
    EXPECT_FALSE(DeliveryOverdue(agent, 1000 + 3600));
    EXPECT_EQ(-1, DeliveryFailingSeconds(agent, 1000 + 3600));
    EXPECT_FALSE(SameBoot(agent, "")) << "an unknown boot is no boot of ours";
}

// The health record the recorder last wrote.
HealthRecord ReadHealthRecord() {
    std::string text, error;
    HealthRecord record;
    EXPECT_TRUE(ReadWholeFile(kHealthRecordPath, &text));
    EXPECT_TRUE(ParseHealthRecord(text, &record, &error)) << error;
    return record;
}

std::vector<std::string> gAlarms;
void Collect(int priority, const char* text) {
    gAlarms.push_back(std::to_string(priority) + " " + text);
}

class HealthMonitorTest : public ::testing::Test {
  protected:
    HealthMonitorTest() { gAlarms.clear(); }
    // Moves both clocks on.
    void Advance(int millis) {
        mMillis += millis;
        mEnv.SetTime(mNow + mMillis / 1000, mMillis % 1000);
        mEnv.SetBootTime(kBoot + mMillis / 1000, mMillis % 1000);
    }
    // Writes the record and reads it back.
    HealthRecord Published() {
        mMonitor.Publish();
        return ReadHealthRecord();
    }

    static constexpr time_t kBoot = 5000;
    SandboxEnv mEnv;
    const time_t mNow = 1700000000;
    const bool mClockSet = (mEnv.SetTime(mNow, 0), mEnv.SetBootTime(kBoot, 0), true);
    int mMillis = 0;
    HealthMonitor mMonitor{77, "9.9", Collect};
};

TEST_F(HealthMonitorTest, WritesAtOnceOnAChangeOfStateAndAtMostOnceASecondForCounts) {
    // An earlier recorder's record, owner-only: replacing it must not keep that mode.
    WriteFileAtomically(kHealthRecordPath, "pid=1\n", 0600);
    EXPECT_EQ(0, mMonitor.MillisUntilDue());  // a new recorder announces itself
    mMonitor.Publish();
    struct stat st;
    ASSERT_EQ(0, stat(mEnv.Real(kHealthRecordPath).c_str(), &st));
    EXPECT_EQ(0644u, st.st_mode & 0777) << "readable by users who may not open the queues";
    EXPECT_EQ(77, ReadHealthRecord().pid);
    EXPECT_EQ(mNow, ReadHealthRecord().started);
    // Nothing changes, yet the record is written again within a few seconds, so that the queue
    // counts in it stay current.
    EXPECT_EQ(3000, mMonitor.MillisUntilDue());
    QueueHealth queue = {"/ping-15", true, 0, 64, ""};
    mMonitor.SetQueue(0, queue);
    EXPECT_EQ(0, mMonitor.MillisUntilDue()) << "a queue that appears is a change";
    mMonitor.Publish();
    queue.waiting = 64;
    mMonitor.SetQueue(0, queue);
    EXPECT_EQ(3000, mMonitor.MillisUntilDue()) << "counts alone wait for the refresh";
    Advance(3000);
    EXPECT_EQ(0, mMonitor.MillisUntilDue());
    EXPECT_TRUE(RefusesPosts(Published().queues[0]));
    queue.exists = false;
    mMonitor.SetQueue(0, queue);
    EXPECT_EQ(0, mMonitor.MillisUntilDue()) << "a queue that goes is a change";
    mMonitor.Publish();

    Advance(300);
    for (int i = 0; i < 50; ++i) mMonitor.RecordAdded(0);
    EXPECT_EQ(700, mMonitor.MillisUntilDue());
    Advance(700);
    EXPECT_EQ(0, mMonitor.MillisUntilDue());
    EXPECT_EQ(50u, Published().stores[0].unsaved);

    Advance(10);
    mMonitor.SaveEnded(0, nullptr);
    EXPECT_EQ(0, mMonitor.MillisUntilDue()) << "ok after none is a change";
    mMonitor.Publish();
    Advance(10);
    mMonitor.RecordAdded(0);
    mMonitor.SaveEnded(0, nullptr);
    EXPECT_EQ(990, mMonitor.MillisUntilDue()) << "another ok is only a count";
    mMonitor.SaveEnded(0, "disk gone");
    EXPECT_EQ(0, mMonitor.MillisUntilDue());
}

// "Not on storage" leaves out the records in a synced journal entry, while a flush still sees
// every record since the last save; without the journal the count is the records since the save.
TEST_F(HealthMonitorTest, RecordsInASyncedJournalAreOnStorageButStillUnsaved) {
    for (int i = 0; i < 5; ++i) mMonitor.RecordAdded(0);
    mMonitor.RecordAdded(HealthRecord::kDownloadLog);
    mMonitor.JournalSynced();
    mMonitor.RecordAdded(0);
    HealthRecord record = Published();
    EXPECT_EQ(1u, record.stores[0].unsaved);
    EXPECT_EQ(0u, record.stores[HealthRecord::kDownloadLog].unsaved);
    EXPECT_EQ(6u, mMonitor.Unsaved(0));
    mMonitor.SaveEnded(0, "disk gone");
    mMonitor.JournalSynced();
    EXPECT_EQ(0u, Published().stores[0].unsaved);
    EXPECT_EQ(6u, mMonitor.Unsaved(0)) << "a failed save leaves them for the next flush";
    mMonitor.JournalLost();
    record = Published();
    EXPECT_EQ(6u, record.stores[0].unsaved);
    EXPECT_EQ(1u, record.stores[HealthRecord::kDownloadLog].unsaved);
    mMonitor.SaveEnded(0, nullptr);
    EXPECT_EQ(0u, Published().stores[0].unsaved);
    EXPECT_EQ(0u, mMonitor.Unsaved(0));
}

TEST_F(HealthMonitorTest, OneAlarmPerFailingStretchOfSavesWhateverTheirNumber) {
    for (int i = 0; i < 100; ++i) mMonitor.SaveEnded(1, "write /x: No space left on device");
    mMonitor.SaveEnded(2, "write /y: Read-only file system");
    mMonitor.SaveEnded(1, nullptr);
    mMonitor.SaveEnded(1, nullptr);
    mMonitor.SaveEnded(1, "again");
    const std::string warning = std::to_string(LOG_WARNING) + " ";
    const std::string notice = std::to_string(LOG_NOTICE) + " ";
    EXPECT_EQ(
        (std::vector<std::string>{
            warning + "missed calls database: records not saved: write /x: No space left on "
                      "device (kept in memory until a save succeeds)",
            warning + "failed calls database: records not saved: write /y: Read-only file "
                      "system (kept in memory until a save succeeds)",
            notice + "missed calls database: records saved again",
            warning + "missed calls database: records not saved: again (kept in memory until a "
                      "save succeeds)"}),
        gAlarms);
}

// Dropping is one warning when it starts, a running total at most hourly while it lasts (on the
// boot clock: a wall clock set back or forward changes nothing) and the total when it ends.
TEST_F(HealthMonitorTest, RecordsDroppedAreCountedHourlyAndWhenDownloadsSucceedAgain) {
    const std::string full = "write /o/x.tmp: No space left on device";
    const std::string warning = std::to_string(LOG_WARNING) + " ";
    mMonitor.DropsEnded();
    EXPECT_TRUE(gAlarms.empty()) << "nothing dropped, nothing told";
    mMonitor.Publish();
    for (int i = 0; i < 3; ++i) mMonitor.RecordsDropped(10, full);
    ASSERT_EQ(1u, gAlarms.size());
    EXPECT_EQ(warning + "download log: downloads fail (" + full +
                  "), so its oldest records are dropped to keep it within twice download_cnt "
                  "until a download succeeds",
              gAlarms[0]);
    EXPECT_EQ(0, mMonitor.MillisUntilDue()) << "the record tells it at once";
    HealthRecord written = Published();
    EXPECT_EQ(30u, written.dropped);
    EXPECT_EQ(mNow, written.droppingSince);
    EXPECT_EQ(full, written.dropReason);

    Advance(3599 * 1000);
    mMonitor.RecordsDropped(10, full);
    EXPECT_EQ(1u, gAlarms.size());
    Advance(1000);
    mMonitor.RecordsDropped(10, "other");
    ASSERT_EQ(2u, gAlarms.size());
    EXPECT_EQ(warning + "50 records dropped from the download log: other", gAlarms[1]);
    mEnv.SetTime(mNow + 7 * 3600, 0);  // the wall clock set forward by hours
    mMonitor.RecordsDropped(5, full);
    EXPECT_EQ(2u, gAlarms.size());
    Advance(3600 * 1000);
    mMonitor.RecordsDropped(5, full);
    ASSERT_EQ(3u, gAlarms.size()) << "an hour of the boot clock later, counted again";
    EXPECT_EQ(warning + "60 records dropped from the download log: " + full, gAlarms[2]);

    mMonitor.DropsEnded();
    ASSERT_EQ(4u, gAlarms.size());
    EXPECT_EQ(std::to_string(LOG_NOTICE) + " 60 records dropped from the download log: " + full,
              gAlarms[3]);
    mMonitor.DropsEnded();
    EXPECT_EQ(4u, gAlarms.size());
    written = Published();
    EXPECT_FALSE(RecordsDropping(written));
    EXPECT_EQ(0, written.droppingSince);
    EXPECT_EQ("", written.dropReason);
    mMonitor.RecordsDropped(1, full);
    EXPECT_EQ(5u, gAlarms.size()) << "a new stretch of dropping warns again";
}

std::vector<std::string> gWarnings;
void CollectWarning(const char* text) {
    gWarnings.push_back(text);
}

// The delivery agent's record as last written.
DeliveryHealth ReadDeliveryRecord() {
    std::string text, error;
    DeliveryHealth written;
    EXPECT_TRUE(ReadWholeFile(kDeliveryRecordPath, &text));
    EXPECT_TRUE(ParseDeliveryRecord(text, &written, &error)) << error;
    return written;
}

void SetBootId(const std::string& id) {
    MakeDirs("/proc/sys/kernel/random");
    WriteFileAtomically(kBootIdPath, id + "\n", 0644);
}

const char kCurlFailed[] = "curl exited with status 7";
const std::string kFailingAlarm =
    std::to_string(LOG_WARNING) +
    " deliveries failing for 2 minutes: statistics not delivered (curl exited with status 7)";
const std::string kRecoveredNotice =
    std::to_string(LOG_NOTICE) + " delivery recovered: statistics delivered again";

// The delay counts on the boot clock: wall-clock jumps either way neither raise nor hold back the
// alarm. Agents come and go with the recorder: a new one of the same boot carries on from when
// the failures began and whether the alarm was raised; one of another boot, or after a success,
// starts afresh.
TEST_F(HealthMonitorTest, FailingDeliveriesRaiseOneAlarmPastTheDelayAcrossAgentsOfOneBoot) {
    SetBootId("boot-a");
    {
        DeliveryMonitor agent(812, Collect, CollectWarning);
        EXPECT_FALSE(agent.Started(2));
        agent.AttemptEnded(false, kCurlFailed, 2);
        mEnv.SetTime(mNow + 86400, 0);
        agent.AttemptEnded(false, kCurlFailed, 2);
        DeliveryHealth written = ReadDeliveryRecord();
        EXPECT_EQ(mNow, written.failingSince) << "failing since the first failure, not the last";
        EXPECT_EQ(kBoot, written.failingSinceBoot);
        EXPECT_EQ("boot-a", written.bootId);
        EXPECT_EQ(kCurlFailed, written.error);
        Advance(120000);
        mEnv.SetTime(mNow - 86400, 0);  // past the delay on the boot clock, a day back on the wall
        agent.AttemptEnded(false, kCurlFailed, 2);
        ASSERT_EQ(1u, gAlarms.size());
        EXPECT_EQ(kFailingAlarm, gAlarms[0]);
        Advance(600000);
        agent.AttemptEnded(false, kCurlFailed, 2);
        EXPECT_EQ(1u, gAlarms.size()) << "no second alarm while the failing goes on";
    }
    {
        Advance(40000);
        DeliveryMonitor next(813, Collect, CollectWarning);
        EXPECT_TRUE(next.Started(2));
        EXPECT_EQ(kBoot, ReadDeliveryRecord().failingSinceBoot);
        EXPECT_EQ(813, ReadDeliveryRecord().pid);
        next.AttemptEnded(false, kCurlFailed, 2);
        EXPECT_EQ(1u, gAlarms.size()) << "not raised again by a successor";
        next.AttemptEnded(true, "", 2);
        EXPECT_EQ(0, next.record().failingSince);
        ASSERT_EQ(2u, gAlarms.size()) << "but cleared by it";
        EXPECT_EQ(kRecoveredNotice, gAlarms[1]);
    }
    EXPECT_FALSE(DeliveryMonitor(814, Collect, CollectWarning).Started(2)) << "after a success";

    DeliveryMonitor(815, Collect, CollectWarning).AttemptEnded(false, kCurlFailed, 2);
    SetBootId("boot-b");
    Advance(1000);
    DeliveryMonitor rebooted(816, Collect, CollectWarning);
    EXPECT_FALSE(rebooted.Started(2)) << "another boot's boot-clock stamps mean nothing";
    rebooted.AttemptEnded(false, kCurlFailed, 2);
    EXPECT_EQ(kBoot + mMillis / 1000, ReadDeliveryRecord().failingSinceBoot);
    EXPECT_EQ("boot-b", ReadDeliveryRecord().bootId);
    EXPECT_TRUE(gWarnings.empty());
}

// A record the last agent left damaged, or one that is not a file, is replaced by the new agent's
// own, and the warning says what was wrong with it.
TEST_F(HealthMonitorTest, AnUnreadableEarlierRecordIsReplacedWithItsReasonTold) {
    gWarnings.clear();
    SetBootId("boot-a");
    WriteFileAtomically(kDeliveryRecordPath, "pid=812\nfailing_since\n", 0644);
    EXPECT_FALSE(DeliveryMonitor(813, Collect, CollectWarning).Started(2));
    EXPECT_EQ(813, ReadDeliveryRecord().pid);
    Env::Current()->Unlink(kDeliveryRecordPath);
    MakeDirs(kDeliveryRecordPath);
    EXPECT_FALSE(DeliveryMonitor(814, Collect, CollectWarning).Started(2));
    ASSERT_EQ(3u, gWarnings.size());
    EXPECT_EQ(
        "the earlier delivery record cannot be read (line 2 is not key=value); its failures "
        "are not carried on",
        gWarnings[0]);
    EXPECT_NE(std::string::npos, gWarnings[1].find("a folder")) << gWarnings[1];
    EXPECT_EQ(0u, gWarnings[2].find("the delivery record cannot be written")) << gWarnings[2];
}

}  // namespace
