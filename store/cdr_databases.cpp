// The three CDR databases: opening with numbering recovery, limits, and the web side's clear,
// flush and settings-reload requests.
#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include <exception>
#include <new>
#include <string>

#include "core/cdr_manager.h"
#include "core/health_monitor.h"
#include "platform/config/record_syntax.h"
#include "platform/util/diag.h"
#include "platform/util/env.h"
#include "platform/util/file_util.h"
#include "state/record_journal.h"

namespace {

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
    const char* paths[3] = {stated, missed, failed};
    bool allOpen = true;
    for (int i = 0; i < 3; ++i) {
        if (paths[i] == nullptr) continue;
        mpFiles->mFileName[i] = paths[i];
        // Somebody else's FIFO, device or folder: that database alone stays closed.
        if (KeepClosedIfNotRegular(i, paths[i], "InitFiles")) {
            paths[i] = nullptr;
            allOpen = false;
        }
    }
    if (!OpenFilesOnce(paths)) return false;
    for (int i = 0; i < 3; ++i) {
        if (paths[i] == nullptr) continue;
        mpHealth->SetOpenError(i, nullptr);
        RecoverNumbering(i);
    }
    return allOpen;
}

bool CDRManager::OpenFilesOnce(const char* const paths[3]) {
    for (;;) {
        int failing = 0;
        std::string reason;
        bool outOfMemory = false;
        try {
            OpenFiles(paths, &failing);
            return true;
        } catch (const std::bad_alloc& e) {
            reason = e.what();
            outOfMemory = true;
        } catch (const std::exception& e) {
            reason = e.what();
        }
        CloseFiles();
        if (mpFiles->mOpenRetried) {
            Warn("InitFiles: the databases cannot be opened (%s); they stay closed.\n",
                 reason.c_str());
            for (int i = 0; i < 3; ++i)
                if (paths[i] != nullptr)
                    mpHealth->SetOpenError(i, ("cannot be opened: " + reason).c_str());
            return false;
        }
        mpFiles->mOpenRetried = true;
        if (outOfMemory)
            SetAsideTooLarge("InitFiles", paths[failing]);
        else
            SetAsideUnreadableFiles(paths, reason.c_str());
    }
}

void CDRManager::OpenFiles(const char* const paths[3], int* failing) {
    for (int i = 0; i < 3; ++i) {
        *failing = i;
        if (paths[i] != nullptr) mpFiles->mpFile[i] = OpenDatabaseFile(paths[i], false).release();
    }
}

void CDRManager::CloseFiles() {
    for (Configuration::MultiSectionFile*& file : mpFiles->mpFile) {
        delete file;
        file = nullptr;
    }
}

bool CDRManager::KeepClosedIfNotRegular(int store, const std::string& path, const char* caller) {
    const std::string type = NonRegularFileType(path);
    if (type.empty()) return false;
    const std::string reason = path + " is " + type;
    Warn("%s: %s; the %s stays closed%s, and the path is left as it is.\n", caller, reason.c_str(),
         kStoreTitles[store],
         store == HealthRecord::kDownloadLog
             ? " (reports are refused while automatic download is on)"
             : " (its reports are refused)");
    mpHealth->SetOpenError(store, reason.c_str());
    return true;
}

// The unreadable bytes are kept beside the database as "<path>.bad" rather than destroyed, so a
// record that a broken file still held can be recovered.
void CDRManager::SetAsideUnreadableFiles(const char* const paths[3], const char* reason) {
    Warn("InitFiles: the databases cannot be opened (%s).\n", reason);
    for (int i = 0; i < 3; ++i) {
        if (paths[i] != nullptr) SetAsideUnreadable("InitFiles", paths[i]);
    }
}

// A file too large for the memory of this device is whole: it is moved out of the way, never
// removed, so that it can be read elsewhere.
void CDRManager::SetAsideTooLarge(const char* caller, const std::string& path) {
    struct stat info;
    const unsigned long long size = Env::Current()->Stat(path.c_str(), &info) == 0
                                        ? static_cast<unsigned long long>(info.st_size)
                                        : 0;
    Warn("%s: memory ran out while loading %s (%llu bytes); it is set aside and started afresh.\n",
         caller, path.c_str(), size);
    SetAsideUnreadable(caller, path, false);
}

void CDRManager::SetAsideUnreadable(const char* caller, const std::string& path, bool mayRemove) {
    std::string why, movedTo;
    try {
        if (SetFileAside(path, &movedTo))
            Warn("%s: %s kept as %s.\n", caller, path.c_str(), movedTo.c_str());
        return;
    } catch (const FileError& e) {
        why = e.what();
    }
    if (!mayRemove) {
        Warn("%s: %s cannot be set aside (%s); it is left as it is.\n", caller, path.c_str(),
             why.c_str());
        return;
    }
    try {
        RemoveSavedFile(path);
        Warn("%s: %s cannot be set aside (%s); removed.\n", caller, path.c_str(), why.c_str());
    } catch (const FileError& e) {
        Warn("%s: %s can be neither set aside (%s) nor removed (%s).\n", caller, path.c_str(),
             why.c_str(), e.what());
    }
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

// The journal is synced before the file is written: a save that reaches storage then never
// stands ahead of a marker the journal lost. Otherwise a power cut could keep a download log
// saved with new records while the journal's last durable word on it is "downloaded", and the
// replay would empty it of records that never went out.
void CDRManager::SaveFile(int store) {
    Configuration::MultiSectionFile* file =
        store == HealthRecord::kDownloadLog ? mpDownStatFile : mpFiles->mpFile[store];
    if (JournalHasUnsynced()) SyncJournal();
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
            const std::string& name = mpFiles->mFileName[i];
            // Only a regular file is rebuilt; a FIFO, a device or a folder stays as it is.
            if (KeepClosedIfNotRegular(i, name, "OnClear")) continue;
            try {
                RemoveSavedFile(name);
            } catch (const FileError& e) {
                Warn("OnClear: %s cannot be removed (%s); it is reopened with its records.\n",
                     name.c_str(), e.what());
            }
            mpFiles->mpFile[i] = OpenDatabaseFile(name.c_str(), false).release();
            mpHealth->SetOpenError(i, nullptr);
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
