// Statistics auto-download: the download settings, the download log's upkeep before each record,
// and the web side's download requests.
#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <exception>
#include <memory>
#include <new>
#include <set>
#include <string>

#include "core/cdr_manager.h"
#include "core/health_monitor.h"
#include "platform/config/config_file.h"
#include "platform/config/configuration_root.h"
#include "platform/config/record_syntax.h"
#include "platform/statistics/download_statistics.h"
#include "platform/util/diag.h"
#include "platform/util/env.h"
#include "platform/util/file_util.h"
#include "platform/util/smart_buffer.h"
#include "state/record_files.h"
#include "state/record_journal.h"

namespace {

// Reads the key=value file `name` under the configuration root. Throws FileError when the file
// exists but cannot be read.
std::unique_ptr<Configuration::ConfigFile> ReadSettings(const char* name, bool flag) {
    const std::string path = ConfigurationRoot() + name;
    return std::unique_ptr<Configuration::ConfigFile>(
        new Configuration::ConfigFile(path.c_str(), flag, false, false, "=", "#", nullptr));
}

// As ReadSettings, but a file that cannot be read gives null, with a warning line naming the
// reason: the settings it holds keep their values.
std::unique_ptr<Configuration::ConfigFile> ReadSettingsForgiving(const char* name, bool flag) {
    try {
        return ReadSettings(name, flag);
    } catch (const FileError& e) {
        Warn("%s; its settings stay as they were.\n", e.what());
        return nullptr;
    }
}

// "download_cnt" as strtol reads it on the device, where long has 32 bits: out-of-range values
// saturate there, so they saturate here too, whatever the width of long on this host. A text that
// is not wholly such a number is read all the same, with a warning line saying how.
int ReadThreshold(const Configuration::ConfigFile& file, const char* text) {
    char* end;
    errno = 0;
    const long value = strtol(text, &end, 10);
    const int threshold = static_cast<int>(std::max<long>(INT_MIN, std::min<long>(INT_MAX, value)));
    if (end == text || *end != '\0' || errno == ERANGE || threshold != value)
        Warn("%s:%u: download_cnt is \"%s\", not a whole number; read as %d.\n",
             file.Origin().c_str(), file.LineOf("download_cnt"), text, threshold);
    return threshold;
}

}  // namespace

int CDRManager::InitAutoDownloadSettings() {
    const int result = ReadAutoDownloadSettings();
    mpHealth->SetDownloadSettings(mAutoDownload != 0);
    return result;
}

void CDRManager::WarnDownloadSettingsUnread() {
    Warn(
        "InitAutoDownloadSettings stopped: %s; the download settings in force and the download "
        "log stay as they were.\n",
        mDownloadSettingsError.c_str());
}

int CDRManager::ReadAutoDownloadSettings() {
    try {
        SmartBuffer value;
        // An unreadable switch stops here: reading it as off would remove the download log with
        // the records it holds.
        std::unique_ptr<Configuration::ConfigFile> settings =
            ReadSettings("sysconfig/rc.conf", false);
        if (settings->GetEntry("START_AUTO_DOWNLOAD_STAT", value.GetData(), value.GetSize()) != 0)
            mAutoDownload = strcmp(value.GetData(), "true") == 0 ? 1 : 0;
        if (mAutoDownload == 0) {
            // The download log's records are dropped with it: its journal entries too.
            if (mpDownStatFile != nullptr)
                JournalMarker(RecordJournal::Kind::kCleared, RecordJournal::kDownloadLogTarget);
            mpHealth->DropsEnded();  // the log goes with the switch: nothing more is dropped
            delete mpDownStatFile;
            mpDownStatFile = nullptr;
            RemoveDownloadLog();
            return 1;
        }
        // An unreadable threshold file is forgiven: stopping here would leave automatic download
        // on with no log, and the record writer would refuse every report.
        settings = ReadSettingsForgiving("auto-down-stat.conf", true);
        if (settings != nullptr &&
            settings->GetEntry("download_cnt", value.GetData(), value.GetSize()) != 0) {
            const int threshold = ReadThreshold(*settings, value.GetData());
            if (threshold < mDownloadCnt && mpDownStatFile != nullptr &&
                threshold < static_cast<int>(mpDownStatFile->GetSectionCount()))
                OnDownloadNow();
            mDownloadCnt = threshold;
        }
        settings.reset();
        if (mpDownStatFile == nullptr) OpenDownloadLog();
        DownloadStatistics::StartDelivery();  // files left in the outbox leave without waiting
        return 1;
    } catch (const std::exception& e) {
        mDownloadSettingsError = e.what();
        return 0;
    }
}

// A download log that cannot be read (damaged) is set aside like a damaged database, and a new
// one is started, so that recording goes on. A FIFO, a device or a folder at its path is not the
// recorder's to move: the log stays closed instead.
void CDRManager::OpenDownloadLog() {
    const char* const caller = "InitAutoDownloadSettings";
    if (KeepClosedIfNotRegular(HealthRecord::kDownloadLog, kDownloadLogPath, caller)) return;
    try {
        mpDownStatFile = OpenDownloadLogFile(kDownloadLogPath, false).release();
        mpHealth->SetOpenError(HealthRecord::kDownloadLog, nullptr);
        return;
    } catch (const std::bad_alloc&) {
        SetAsideTooLarge(caller, kDownloadLogPath);
    } catch (const std::exception& e) {
        Warn("%s: the download log cannot be read (%s).\n", caller, e.what());
        SetAsideUnreadable(caller, kDownloadLogPath);
    }
    mpDownStatFile = OpenDownloadLogFile(kDownloadLogPath, false).release();
    mpHealth->SetOpenError(HealthRecord::kDownloadLog, nullptr);
}

// With automatic download off the log has no use: it goes, unless it is not a regular file.
void CDRManager::RemoveDownloadLog() {
    try {
        RemoveSavedFile(kDownloadLogPath);
    } catch (const FileError& e) {
        Warn("InitAutoDownloadSettings: the download log is left in place: %s.\n", e.what());
    }
}

// A staged file whose download-marker is in the record journal was committed: its records are
// taken from the download log (emptied by the replay), so it is published. Any other staged file
// is a download that never finished, whose records are still in the log: it is discarded.
void CDRManager::SettleStagedDownloads(const std::vector<RecordJournal::Entry>& journal) {
    std::set<std::string> committed;
    if (mSettings.mJournal != 0) {
        for (const RecordJournal::Entry& entry : journal) {
            if (entry.kind == RecordJournal::Kind::kDownloaded) committed.insert(entry.payload);
        }
    }
    if (committed.empty()) {
        DownloadStatistics::SettleStagedFiles(nullptr);
        return;
    }
    DownloadStatistics::SettleStagedFiles(
        [&committed](const std::string& name) { return committed.count(name) != 0; });
}

int CDRManager::OnUpdateCDRDownloadSettings() {
    TRACEX("OnUpdateCDRDownloadSettings\n");
    const int result = InitAutoDownloadSettings();
    if (result == 0) WarnDownloadSettingsUnread();
    return result;
}

int CDRManager::OnDownloadNow() {
    TRACEX("OnDownloadNow\n");
    bool done = false;
    try {
        done = AttemptDownload();
    } catch (const std::exception& e) {
        Warn("OnDownloadNow: %s.\n", e.what());
    } catch (...) {
        Warn("OnDownloadNow: an exception of unknown kind.\n");
    }
    if (done && mpDownStatFile != nullptr) {
        try {
            EmptyDownloadLog();
        } catch (const std::exception& e) {
            Warn("OnDownloadNow: the emptied download log cannot be saved: %s.\n", e.what());
        }
    }
    TRACEX("Download: %s!\n", done ? "done" : "failed");
    return done ? 1 : 0;
}

// Downloads are attempted when the log holds cnt, cnt + step, cnt + 2 step, ... records, and a
// log that reached 2 cnt loses its step oldest records, so failing deliveries never let it grow
// past twice the threshold. Thresholds below 10 would give a step of 0: there the step is 1, and
// a threshold below 1 counts as 1 (a download with every record, at most 2 kept).
void CDRManager::UpkeepDownloadLog() {
    const long long threshold = std::max(mDownloadCnt, 1);
    const long long step = std::max(threshold / 10, 1LL);
    long long count = mpDownStatFile->GetSectionCount();
    if (count < threshold) return;
    if ((count - threshold) % step == 0 && AttemptDownload()) {
        EmptyDownloadLog();
        count = 0;
    }
    if (count < 2 * threshold) return;
    for (long long i = 0; i < step; ++i) {
        mpDownStatFile->GotoLastSection();
        mpDownStatFile->DeleteSection();
    }
    // Records lost to failing downloads are told, never dropped in silence.
    mpHealth->RecordsDropped(static_cast<uint32_t>(step), mDownloadFailure.empty()
                                                              ? "no download attempted yet"
                                                              : mDownloadFailure);
}

bool CDRManager::AttemptDownload() {
    DownloadStatistics download;
    if (download.StartDownloadStatistics(mpDownStatFile) == 0) {
        mDownloadFailure = download.FailureReason();
        return false;
    }
    mpHealth->DropsEnded();
    return true;
}

// The download-marker is on storage before the log is emptied (written by the commit, or here
// for a download that wrote no file): after a crash at any point the delivered records come back
// neither from the journal nor from the log.
void CDRManager::EmptyDownloadLog() {
    if (!mDownloadCommitted) {
        JournalMarker(RecordJournal::Kind::kDownloaded, RecordJournal::kDownloadLogTarget);
        SyncJournal();
    }
    mDownloadCommitted = false;
    mpDownStatFile->ClearAll();
    SaveFile(HealthRecord::kDownloadLog);
}
