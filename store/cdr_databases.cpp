// The three CDR databases: opening with numbering recovery, limits, and the web side's clear,
// flush and settings-reload requests.
#include <errno.h>
#include <string.h>

#include <exception>
#include <string>

#include "core/cdr_manager.h"
#include "core/health_monitor.h"
#include "platform/config/record_files.h"
#include "platform/config/record_journal.h"
#include "platform/util/diag.h"
#include "platform/util/env.h"
#include "platform/util/file_util.h"

namespace {

// The first failure to open the databases sets the files aside and tries again; a second
// failure in the life of the process leaves the databases closed.
bool gOpenRetried = false;

bool Selected(int mask, int index) {
    return (mask & (1 << index)) != 0;
}

// The number at the start of `text`; no digits read as 0. Wraps like the 32-bit counter.
uint32_t LeadingNumber(const char* text) {
    uint32_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) value = value * 10u + (*text - '0');
    return value;
}

}  // namespace

bool CDRManager::InitFiles(const char* stated, const char* missed, const char* failed) {
    const char* const paths[3] = {stated, missed, failed};
    for (;;) {
        try {
            OpenFiles(paths);
            break;
        } catch (const std::exception& e) {
            for (Configuration::MultiSectionFile*& file : mpFiles->mpFile) {
                delete file;
                file = nullptr;
            }
            if (gOpenRetried) return false;
            gOpenRetried = true;
            SetAsideUnreadableFiles(paths, e.what());
        }
    }
    for (int i = 0; i < 3; ++i) {
        if (paths[i] == nullptr) continue;
        mpFiles->mFileName[i] = paths[i];
        RecoverNumbering(i);
    }
    return true;
}

void CDRManager::OpenFiles(const char* const paths[3]) {
    for (int i = 0; i < 3; ++i) {
        if (paths[i] != nullptr) mpFiles->mpFile[i] = OpenDatabaseFile(paths[i], false).release();
    }
}

// The unreadable bytes are kept beside the database as "<path>.bad" rather than destroyed, so a
// record that a broken file still held can be recovered.
void CDRManager::SetAsideUnreadableFiles(const char* const paths[3], const char* reason) {
    Warn("InitFiles: the databases cannot be opened (%s).\n", reason);
    for (int i = 0; i < 3; ++i) {
        if (paths[i] != nullptr) SetAsideUnreadable("InitFiles", paths[i]);
    }
}

void CDRManager::SetAsideUnreadable(const char* caller, const std::string& path) {
    std::string why;
    try {
        if (SetFileAside(path))
            Warn("%s: %s kept as %s.bad.\n", caller, path.c_str(), path.c_str());
        return;
    } catch (const FileError& e) {
        why = e.what();
    }
    if (Env::Current()->Unlink(path.c_str()) == 0)
        Warn("%s: %s cannot be set aside (%s); removed.\n", caller, path.c_str(), why.c_str());
    else
        Warn("%s: %s can be neither set aside (%s) nor removed (%s).\n", caller, path.c_str(),
             why.c_str(), strerror(errno));
}

void CDRManager::RecoverNumbering(int index) {
    Configuration::MultiSectionFile* file = mpFiles->mpFile[index];
    if (file->GotoFirstSection() == 0) return;
    char* buffer = mpFiles->mpBuffer;
    if (file->GetSectionEntry("ID", buffer, CDRFiles::kBufferSize) != 0) {
        mpFiles->mNextID[index] = LeadingNumber(buffer) + 1u;
        return;
    }
    try {
        const unsigned count = file->GetSectionCount();
        unsigned number = count - 1;
        file->Restart();
        while (file->GotoNextSection() != 0) {
            snprintf(buffer, CDRFiles::kBufferSize, "%u", number--);
            file->SetSectionEntry("ID", buffer);
        }
        SaveFile(index);
        mpFiles->mNextID[index] = count;
    } catch (const std::exception& e) {
        Warn("InitFiles: renumbering %s failed: %s.\n", mpFiles->mFileName[index].c_str(),
             e.what());
        mpFiles->mNextID[index] = 0;
    }
}

bool CDRManager::InitSizes(unsigned maxStated, unsigned maxMissed, unsigned maxFailed,
                           unsigned saveStated, unsigned saveMissed, unsigned saveFailed) {
    const unsigned maxima[3] = {maxStated, maxMissed, maxFailed};
    const unsigned periods[3] = {saveStated, saveMissed, saveFailed};
    ThreadMutexLock lock(mpFiles->mpMutex);
    for (int i = 0; i < 3; ++i) {
        if (maxima[i] != 0) {
            TrimToLimit(i, maxima[i]);
            mpFiles->mMaxRecords[i] = maxima[i];
        }
        if (periods[i] != 0) mpFiles->mSavePeriod[i] = periods[i];
    }
    return true;
}

void CDRManager::TrimToLimit(int index, unsigned maxRecords) {
    Configuration::MultiSectionFile* file = mpFiles->mpFile[index];
    if (file == nullptr || file->GetSectionCount() <= maxRecords) return;
    try {
        for (unsigned excess = file->GetSectionCount() - maxRecords; excess > 0; --excess) {
            file->GotoLastSection();
            file->DeleteSection();
        }
        SaveFile(index);
    } catch (const std::exception& e) {
        Warn("InitSizes: trimming %s failed: %s.\n", mpFiles->mFileName[index].c_str(), e.what());
    }
}

void CDRManager::SaveFile(int store) {
    Configuration::MultiSectionFile* file =
        store == HealthRecord::kDownloadLog ? mpDownStatFile : mpFiles->mpFile[store];
    try {
        file->Save(true, nullptr);
    } catch (const std::exception& e) {
        mpHealth->SaveEnded(store, e.what());
        throw;
    }
    mpHealth->SaveEnded(store, nullptr);
    JournalMarker(RecordJournal::Kind::kSaved, store);
}

bool CDRManager::IsCDRFilesExist() {
    for (Configuration::MultiSectionFile* file : mpFiles->mpFile) {
        if (file == nullptr) return false;
    }
    return true;
}

template <typename Change>
void CDRManager::ChangeDatabases(int mask, Change change) {
    for (int i = 0; i < 3; ++i) {
        Configuration::MultiSectionFile* file = mpFiles->mpFile[i];
        if (Selected(mask, i) && file != nullptr) change(i, file);
    }
    if (mAutoDownload != 0 && mpDownStatFile != nullptr) SaveFile(HealthRecord::kDownloadLog);
}

int CDRManager::OnClear(int mask) {
    TRACEX("OnClear\n");
    int result = 1;
    {
        ThreadMutexLock lock(mpFiles->mpMutex);
        try {
            ChangeDatabases(mask, [this](int i, Configuration::MultiSectionFile* file) {
                file->ClearAll();
                SaveFile(i);
            });
        } catch (const std::exception& e) {
            Warn("OnClear: %s; the selected databases are rebuilt.\n", e.what());
            if (!RebuildFiles(mask)) result = 0;
        }
        // Cleared records never come back from the journal, whether their files' saves
        // succeeded or not.
        for (int i = 0; i < 3; ++i) {
            if (Selected(mask, i)) JournalMarker(RecordJournal::Kind::kCleared, i);
        }
        SyncJournal();
    }
    Clear(mask);
    return result;
}

bool CDRManager::RebuildFiles(int mask) {
    try {
        for (int i = 0; i < 3; ++i) {
            if (!Selected(mask, i)) continue;
            delete mpFiles->mpFile[i];
            mpFiles->mpFile[i] = nullptr;
            const char* name = mpFiles->mFileName[i].c_str();
            if (Env::Current()->Unlink(name) != 0 && errno != ENOENT)
                Warn("OnClear: %s cannot be removed (%s); it is reopened with its records.\n", name,
                     strerror(errno));
            mpFiles->mpFile[i] = OpenDatabaseFile(mpFiles->mFileName[i].c_str(), false).release();
            // Storage agrees with memory again: no file, no records.
            mpHealth->SaveEnded(i, nullptr);
        }
        return true;
    } catch (const std::exception& e) {
        Warn("OnClear: rebuilding failed: %s; the databases stay closed.\n", e.what());
        for (int i = 0; i < 3; ++i) {
            if (!Selected(mask, i)) continue;
            delete mpFiles->mpFile[i];
            mpFiles->mpFile[i] = nullptr;
        }
        return false;
    }
}

int CDRManager::OnFlush(int mask) {
    TRACEX("OnFlush\n");
    int result = 1;
    {
        ThreadMutexLock lock(mpFiles->mpMutex);
        try {
            ChangeDatabases(mask, [this](int i, Configuration::MultiSectionFile*) {
                // A database whose last save failed counted its records as saved when that save
                // started, yet they are not on storage: it is written too.
                if (mpFiles->mUnsaved[i] == 0 && mpHealth->Unsaved(i) == 0) return;
                mpFiles->mUnsaved[i] = 0;
                SaveFile(i);
            });
        } catch (const std::exception& e) {
            Warn("OnFlush: %s.\n", e.what());
            result = 0;
        }
    }
    Flush(mask);
    return result;
}

int CDRManager::OnUpdateCDRSettings() {
    TRACEX("OnUpdateCDRSettings\n");
    if (!IsCDRFilesExist()) {
        TRACEX("OnUpdateCDRSettings: CDR files are not created.\n");
        UpdateCDRSettings();
        return 0;
    }
    GetCDRData();
    InitSizes(mSettings.mMaxRecords[0], mSettings.mMaxRecords[1], mSettings.mMaxRecords[2],
              mSettings.mSavePeriod[0], mSettings.mSavePeriod[1], mSettings.mSavePeriod[2]);
    UpdateCDRSettings();
    return 1;
}
