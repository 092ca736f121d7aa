// The recorder's record journal (state/record_journal.h): every record appended as it
// is added, markers at saves, clears and downloads, group commit, and the replay at start-up.
#include <errno.h>
#include <string.h>

#include <algorithm>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/cdr_manager.h"
#include "core/health_monitor.h"
#include "platform/config/configuration_root.h"
#include "platform/config/record_syntax.h"
#include "platform/statistics/download_statistics.h"
#include "platform/util/diag.h"
#include "platform/util/env.h"
#include "state/record_journal.h"

namespace {

using RecordJournal::Entry;
using RecordJournal::kDownloadLogTarget;

// How many reports in a row share one reading of the clock for the group commit's age rule.
const uint32_t kReportsPerClockRead = 8;

// The database of record type 1, 2 or 4; -1 for any other.
int IndexOfType(unsigned type) {
    return type == 1 ? 0 : type == 2 ? 1 : type == 4 ? 2 : -1;
}

}  // namespace

void CDRManager::ReadJournalAtStart(RecordJournal::Contents* contents) {
    const std::string path = RecordJournal::JournalPath(ConfigurationRoot());
    try {
        RecordJournal::ReadJournal(path, contents);
        if (contents->unreadable)
            Warn("Journal: %s is not a journal; its records are not recovered.\n", path.c_str());
    } catch (const std::exception& e) {
        Warn("Journal: %s; its records are not recovered.\n", e.what());
        contents->unreadable = true;
    }
    if (contents->unreadable) {
        SetAsideUnreadable("Journal", path);
        *contents = RecordJournal::Contents();
    }
}

void CDRManager::ReplayJournal(const RecordJournal::Contents& contents) {
    const std::string path = RecordJournal::JournalPath(ConfigurationRoot());
    if (contents.damaged)
        Warn(
            "Journal: %s: the entry at offset %lu is torn or damaged; the %lu entries before it "
            "are replayed, nothing after it.\n",
            path.c_str(), static_cast<unsigned long>(contents.end),
            static_cast<unsigned long>(contents.entries.size()));
    EmptyDownloadedLog(contents.entries);
    unsigned recovered[RecordJournal::kTargets] = {};
    uint32_t next[3] = {};
    {
        ThreadMutexLock lock(mpFiles->mpMutex);
        const std::vector<Entry> live = RecordJournal::LiveEntries(contents.entries);
        for (const Entry& entry : live) {
            const int index = IndexOfType(entry.type);
            if (index >= 0) next[index] = std::max(next[index], entry.id + 1u);
        }
        for (int target = 0; target < RecordJournal::kTargets; ++target) {
            Configuration::MultiSectionFile* file =
                target == kDownloadLogTarget ? mpDownStatFile : mpFiles->mpFile[target];
            if (file == nullptr) continue;  // kept in the journal for when the file is open
            for (const Entry& entry : RecordJournal::EntriesMissingFrom(live, target, file)) {
                if (!ReplayRecord(entry, file)) continue;
                ++recovered[target];
                mpHealth->RecordAdded(target);
                if (target != kDownloadLogTarget) ++mpFiles->mUnsaved[target];
            }
        }
        for (int i = 0; i < 3; ++i) mpFiles->mNextID[i] = std::max(mpFiles->mNextID[i], next[i]);
    }
    if (recovered[0] + recovered[1] + recovered[2] + recovered[3] != 0)
        TRACEX(
            "Journal: recovered %u stated, %u missed, %u failed records and %u download log "
            "records.\n",
            recovered[0], recovered[1], recovered[2], recovered[3]);
    if (mSettings.mJournal == 0) {
        if (contents.present && Env::Current()->Unlink(path.c_str()) == 0)
            TRACEX("Journal: off (cdr_journal=0); %s removed.\n", path.c_str());
        return;
    }
    mpJournal = new RecordJournal::Writer(path);
    try {
        mpJournal->Open(contents);
    } catch (const std::exception& e) {
        DropJournal(e.what());
        return;
    }
    if (contents.version != 0 && contents.version != RecordJournal::kFormatVersion)
        TRACEX("Journal: %s was in format %u; rewritten in format %u with its live entries.\n",
               path.c_str(), static_cast<unsigned>(contents.version),
               static_cast<unsigned>(RecordJournal::kFormatVersion));
    SyncJournal();
    DownloadStatistics::SetCommitHook(
        [this](const std::string& name) { return CommitDownload(name); });
}

void CDRManager::EmptyDownloadedLog(const std::vector<Entry>& entries) {
    RecordJournal::Kind last;
    if (mpDownStatFile == nullptr || mpDownStatFile->GetSectionCount() == 0 ||
        !RecordJournal::LastMarker(entries, kDownloadLogTarget, &last) ||
        last != RecordJournal::Kind::kDownloaded)
        return;
    TRACEX("Journal: the download log's %u records went out with the last download; emptied.\n",
           mpDownStatFile->GetSectionCount());
    mpDownStatFile->ClearAll();
    try {
        SaveFile(HealthRecord::kDownloadLog);
    } catch (const std::exception& e) {
        Warn("Journal: the emptied download log cannot be saved: %s.\n", e.what());
    }
}

bool CDRManager::CommitDownload(const std::string& name) {
    JournalMarker(RecordJournal::Kind::kDownloaded, kDownloadLogTarget, name);
    SyncJournal();
    // A journal that failed is gone: nothing can bring the records back, and the download goes
    // on as without a journal.
    mDownloadCommitted = mpJournal != nullptr;
    return true;
}

bool CDRManager::ReplayRecord(const Entry& entry, Configuration::MultiSectionFile* file) {
    const bool toLog = entry.target == kDownloadLogTarget;
    const unsigned limit = toLog ? 2u * static_cast<unsigned>(std::max(mDownloadCnt, 1))
                                 : mpFiles->mMaxRecords[entry.target];
    try {
        AddRecordText(entry.payload, toLog, file);
        while (file->GetSectionCount() > limit && file->GotoLastSection() != 0)
            file->DeleteSection();
    } catch (const std::exception& e) {
        Warn("Journal: the record at offset %lu cannot be added (%s); skipped.\n",
             static_cast<unsigned long>(entry.offset), e.what());
        return false;
    }
    return true;
}

void CDRManager::JournalRecord(bool toDatabase, int index, int type) {
    if (mpJournal == nullptr) return;
    RecordJournal::EntryRef entries[2];
    size_t count = 0;
    auto take = [&](const Configuration::MultiSectionFile* file, int target) {
        const char* text;
        size_t size;
        if (!file->CurrentSectionText(&text, &size)) return;
        RecordJournal::EntryRef& entry = entries[count++];
        entry.target = static_cast<uint8_t>(target);
        entry.type = static_cast<uint16_t>(type);
        entry.id = mpFiles->mNextID[index] - 1u;
        entry.payload = std::string_view(text, size);
    };
    if (toDatabase) take(mpFiles->mpFile[index], index);
    if (mAutoDownload != 0) take(mpDownStatFile, kDownloadLogTarget);
    // The database's entry and the log's copy are one write: a replay keeps both or neither.
    if (count == 2) entries[0].continued = true;
    try {
        mpJournal->Append(entries, count);
    } catch (const std::exception& e) {
        DropJournal(e.what());
        return;
    }
    NoteCompaction();
    if (JournalSyncDue()) SyncJournal();
}

// The clock is read for the first report after a sync and then for every
// kReportsPerClockRead-th, not for each: a sync the milliseconds call for then comes at most
// kReportsPerClockRead - 1 reports late (and the messages handled between them), a few
// microseconds under continuous load; when the load stops the idle sync comes first anyway.
bool CDRManager::JournalSyncDue() {
    const uint32_t pending = ++mJournalPending;
    if (pending >= std::max<uint32_t>(mSettings.mJournalSyncReports, 1) ||
        mSettings.mJournalSyncMs == 0)
        return true;
    if (pending != 1 && pending % kReportsPerClockRead != 0) return false;
    const long long now = BootMillis();
    if (pending == 1) mJournalSince = now;
    return now - mJournalSince >= static_cast<long long>(mSettings.mJournalSyncMs);
}

void CDRManager::JournalMarker(RecordJournal::Kind kind, int target, const std::string& name) {
    if (mpJournal == nullptr) return;
    Entry marker;
    marker.kind = kind;
    marker.payload = name;
    marker.target = static_cast<uint8_t>(target);
    try {
        mpJournal->Append(&marker, 1);
    } catch (const std::exception& e) {
        DropJournal(e.what());
        return;
    }
    NoteCompaction();
}

void CDRManager::NoteCompaction() {
    const std::string& failure = mpJournal->CompactionFailure();
    const bool failed = !failure.empty();
    if (failed == mCompactionFailed) return;
    if (failed)
        Warn(
            "Journal: compaction failed: %s; the journal keeps its obsolete entries and grows "
            "until a compaction succeeds.\n",
            failure.c_str());
    else
        TRACEX("Journal: compacted again.\n");
    mCompactionFailed = failed;
}

bool CDRManager::JournalHasUnsynced() const {
    return mpJournal != nullptr && mpJournal->HasUnsynced();
}

bool CDRManager::JournalCompactionDue() const {
    return mpJournal != nullptr && !mCompactionFailed && mpJournal->CompactionDue();
}

void CDRManager::SyncJournal() {
    if (mpJournal == nullptr) return;
    try {
        mpJournal->Sync();
    } catch (const std::exception& e) {
        DropJournal(e.what());
        return;
    }
    mJournalPending = 0;
    mpHealth->JournalSynced();
}

// A journal that missed an entry could replay records that were cleared or delivered, so it is
// not written to again: it is removed, and records reach storage at their saves as they would
// without it.
void CDRManager::DropJournal(const char* reason) {
    const std::string path = mpJournal->Path();
    delete mpJournal;
    mpJournal = nullptr;
    mpHealth->JournalLost();
    if (Env::Current()->Unlink(path.c_str()) == 0 || errno == ENOENT)
        Warn(
            "Journal: %s; the journal is removed and records reach storage only at their saves "
            "until the recorder restarts.\n",
            reason);
    else
        Warn(
            "Journal: %s; the journal cannot be removed either (%s) and is no longer written: "
            "records reach storage only at their saves until the recorder restarts.\n",
            reason, strerror(errno));
}
