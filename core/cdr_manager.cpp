#include "core/cdr_manager.h"

#include <stdarg.h>
#include <time.h>
#include <unistd.h>

#include "core/health_monitor.h"
#include "guard/log_manager.h"
#include "platform/messaging/message_queue.h"
#include "platform/messaging/queue_state.h"
#include "platform/statistics/download_statistics.h"
#include "platform/util/diag.h"
#include "platform/util/env.h"
#include "platform/util/log_stream.h"
#include "platform/util/system_log.h"
#include "state/record_journal.h"

LogManager* CDRManager::mpLogger = nullptr;

namespace {

const unsigned kTraceLineSize = 8192;
// How long a trace line may wait in the trace log's buffer while messages keep coming: short
// enough that a reader following the log sees no lag, long enough that the limit costs at most
// five writes a second. At full load the 8 KiB buffer fills far sooner (every few milliseconds),
// and whenever the queues run dry the lines are written at once.
const unsigned kTraceHoldMillis = 200;
const int kWarningLevel = 1;

// The platform layer's warnings (a malformed message dropped, an answer nobody read) become
// warning lines of the trace log.
void TraceWarning(const char* line) {
    if (CDRManager::mpLogger != nullptr) CDRManager::mpLogger->PANICEX(kWarningLevel, "%s", line);
}

// An operator's alarm: a warning line in the trace log and one record on the system log.
void RaiseAlarm(int priority, const char* text) {
    Warn("%s.\n", text);
    CDRManager::mpAlarmSink(priority, text);
}

const char* StateName(bool connected) {
    return connected ? "connected" : "disconnected";
}

}  // namespace

void (*CDRManager::mpAlarmSink)(int, const char*) = SendAlarmToSystemLog;

CDRFiles::CDRFiles()
    : mpFile{nullptr, nullptr, nullptr},
      mMaxRecords{1, 1, 1},
      mSavePeriod{1, 1, 1},
      mUnsaved{0, 0, 0},
      mNextID{0, 0, 0},
      mOpenRetried(false),
      mpMutex(new ThreadMutex),
      mpBuffer(new char[kBufferSize]) {}

CDRFiles::~CDRFiles() {
    delete mpMutex;
    for (Configuration::MultiSectionFile* file : mpFile) delete file;
    delete[] mpBuffer;
}

CDRManager::CDRManager()
    : CDRCommonMessenger(),
      mAutoDownload(0),
      mDownloadCnt(0),
      mpDownStatFile(nullptr),
      mpJournal(nullptr),
      mJournalPending(0),
      mJournalSince(0),
      mCompactionFailed(false),
      mDownloadCommitted(false) {
    mpLogger = new LogManager(kTraceLogName, true, true, 0, kTraceLineSize);
    SetWarningSink(TraceWarning);
    mpFiles = new CDRFiles;
    mpHealth = new HealthMonitor(static_cast<int>(getpid()), CDR_VERSION, RaiseAlarm);
    Init();
}

CDRManager::~CDRManager() {
    DownloadStatistics::SetCommitHook(nullptr);  // it calls this object
    delete mpJournal;
    delete mpDownStatFile;
    delete mpFiles;
    delete mpHealth;
    SetWarningSink(nullptr);
    delete mpLogger;
}

void CDRManager::Init() {
    GetCDRData();
    InitFiles(mSettings.mFileName[0].c_str(), mSettings.mFileName[1].c_str(),
              mSettings.mFileName[2].c_str());
    if (!IsCDRFilesExist()) TRACEX("Call details log file(s) was not been created!\n");
    InitSizes(mSettings.mMaxRecords[0], mSettings.mMaxRecords[1], mSettings.mMaxRecords[2],
              mSettings.mSavePeriod[0], mSettings.mSavePeriod[1], mSettings.mSavePeriod[2]);
    RecordJournal::Contents journal;
    ReadJournalAtStart(&journal);
    SettleStagedDownloads(journal.entries);
    if (InitAutoDownloadSettings() == 0) {
        TRACEX("Auto Download Settings can't be read!\n");
        WarnDownloadSettingsUnread();
    }
    ReplayJournal(journal);
}

void CDRManager::SetRunningUnlocked(const std::string& reason) {
    mpHealth->SetRunningUnlocked(reason);
}

void CDRManager::Run() {
    SelectQueues();
    // The journal is synced and the held trace lines are written whenever the queues run dry,
    // so a quiet recorder has everything on storage and in its log while a busy one syncs many
    // reports and writes many lines at once.
    mpLogger->HoldLines(kTraceHoldMillis);
    mpPoller->SetIdleWork([this] { return IdleWorkPending(); }, [this] { CatchUpWhileIdle(); });
    WaitForMessagingEvent();
}

bool CDRManager::IdleWorkPending() const {
    return JournalHasUnsynced() || JournalCompactionDue() || mpLogger->HasHeldLines();
}

void CDRManager::CatchUpWhileIdle() {
    if (JournalHasUnsynced()) SyncJournal();
    if (JournalCompactionDue()) {
        mpJournal->CompactIfDue();
        NoteCompaction();
    }
    mpLogger->FlushHeld();
}

int CDRManager::OnLoopTurn() {
    const int wait = mpHealth->MillisUntilDue();
    if (wait != 0) return wait;
    {
        ThreadMutexLock lock(mpFiles->mpMutex);
        for (int i = 0; i < 3; ++i) {
            const Configuration::MultiSectionFile* file = mpFiles->mpFile[i];
            mpHealth->SetHeld(i, file != nullptr, file != nullptr ? file->GetSectionCount() : 0);
        }
        mpHealth->SetHeld(HealthRecord::kDownloadLog, mpDownStatFile != nullptr,
                          mpDownStatFile != nullptr ? mpDownStatFile->GetSectionCount() : 0);
    }
    const int queueNumbers[HealthRecord::kQueues] = {kCallManagerQueueNumber, kWebSideQueueNumber};
    for (int i = 0; i < HealthRecord::kQueues; ++i)
        mpHealth->SetQueue(i, LookAtQueue(QueueNameOf(queueNumbers[i], kRecorderQueuePath)));
    mpHealth->Publish();
    return mpHealth->MillisUntilDue();
}

void CDRManager::TRACEX(const char* format, ...) {
    va_list args;
    va_start(args, format);
    mpLogger->TRACE(format, args);
    va_end(args);
}

void CDRManager::OnCDRPartyStateChanged(bool connected) {
    TRACEX("OnCDRPartyStateChanged: CM is %s.\n", StateName(connected));
}

int CDRManager::OnCgiPartyStateChanged(bool connected) {
    TRACEX("OnCgiPartyStateChanged: CGI messenger is %s.\n", StateName(connected));
    return 0;
}
