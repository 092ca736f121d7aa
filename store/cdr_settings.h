// The CDR store's settings record: the recording switch, and per database (0 stated, 1 missed,
// 2 failed calls) its file's full path, its record limit and its records between saves.
#pragma once

#include <stdint.h>

#include <string>

struct CDRSettings {
    CDRSettings();

    int32_t mEnabled;
    std::string mFileName[3];
    // Not set by the constructor on purpose: filled by CDRManager::GetCDRData. Until then they
    // are 0, which the size setting reads as "keep the current limit".
    uint32_t mMaxRecords[3];
    uint32_t mSavePeriod[3];
    // The record journal: on (read at start-up only), and how often it is synced under load.
    uint32_t mJournal;
    uint32_t mJournalSyncReports;
    uint32_t mJournalSyncMs;
};
