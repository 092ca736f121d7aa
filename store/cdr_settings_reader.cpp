// CDRManager::GetCDRData: the store's settings from the device's general settings and paths.
#include <string.h>

#include <exception>

#include "core/cdr_manager.h"
#include "guard/log_manager.h"
#include "platform/config/configuration_root.h"
#include "platform/config/general_paths.h"
#include "platform/config/general_settings_accessor.h"
#include "platform/statistics/delivery_agent.h"
#include "platform/util/diag.h"
#include "platform/util/env.h"
#include "state/record_files.h"

namespace {

// Memory one record takes once loaded, as planned for: a record with both media streams and a
// fax block is about 700 bytes of text, which a loaded database keeps as it is in the file; its
// index entry and, for a record added since the start, a heap block of its own with spare room
// and the allocator's bookkeeping bring that to about 1 KiB.
const unsigned long long kRecordMemoryBytes = 1024;

// Warns when the three databases at their record limits would take more than half of the
// memory the system has: the rest belongs to the device's other programs, and a limit that
// cannot be held shows when a database no longer loads, at a start long after the setting.
void WarnIfLimitsExceedMemory(const uint32_t maxRecords[3]) {
    const unsigned long long memory = Env::Current()->MemorySize();
    unsigned long long needed = 0;
    for (int i = 0; i < 3; ++i) needed += maxRecords[i] * kRecordMemoryBytes;
    if (memory == 0 || needed <= memory / 2) return;
    Warn(
        "GetCDRData: the record limits (stated %lu, missed %lu, failed %lu) may take %llu MiB "
        "at about 1 KiB a record, more than half of the %llu MiB of memory of this system; full "
        "databases may not load at the next start.\n",
        static_cast<unsigned long>(maxRecords[0]), static_cast<unsigned long>(maxRecords[1]),
        static_cast<unsigned long>(maxRecords[2]), needed >> 20, memory >> 20);
}

}  // namespace

bool CDRManager::GetCDRData() {
    GeneralSettingsAccessor* settings = nullptr;
    GeneralPaths* paths = nullptr;
    try {
        settings = GeneralSettingsAccessor::GetInstance(true);
        if (settings == nullptr) {
            TRACEX("GetCDRData: failed to load general settings accessor.\n");
            return false;
        }
        paths = GeneralPaths::GetInstance(true);
        if (paths == nullptr) {
            TRACEX("GetCDRData: failed to load general paths accessor.\n");
            GeneralSettingsAccessor::CloseInstance();
            return false;
        }
        mSettings.mEnabled = settings->mCDREnabled;
        mSettings.mJournal = settings->mCDRJournal;
        mSettings.mJournalSyncReports = settings->mCDRJournalSyncReports;
        mSettings.mJournalSyncMs = settings->mCDRJournalSyncMs;
        if (mpLogger != nullptr) mpLogger->SetSizeLimit(settings->mCDRTraceMaxKb * 1024UL);
        SetDeliveryTraceLimit(settings->mCDRTraceMaxKb * 1024UL);
        const uint32_t maxRecords[3] = {settings->mCDRMaxStated, settings->mCDRMaxMissed,
                                        settings->mCDRMaxFailed};
        const uint32_t savePeriods[3] = {settings->mCDRSaveStated, settings->mCDRSaveMissed,
                                         settings->mCDRSaveFailed};
        for (int i = 0; i < 3; ++i) {
            mSettings.mMaxRecords[i] = maxRecords[i];
            mSettings.mSavePeriod[i] = savePeriods[i];
        }
        for (int i = 0; i < 3; ++i) {
            std::string& name = paths->DatabaseName(i);
            if (name.empty()) {
                name = kDefaultDatabaseNames[i];
                paths->Store();
            }
            mSettings.mFileName[i] = DatabasePath(ConfigurationRoot(), name);
        }
        GeneralSettingsAccessor::CloseInstance();
        settings = nullptr;
        GeneralPaths::CloseInstance();
        paths = nullptr;
    } catch (const std::exception& e) {
        TRACEX("GetCDRData: failed to load, reason - %s.\n", e.what());
        if (settings != nullptr) GeneralSettingsAccessor::CloseInstance();
        if (paths != nullptr) GeneralPaths::CloseInstance();
        return false;
    }
    TRACEX("GetCDRData:\n stated - %s[%u/%u]\n missed - %s[%u/%u]\n failed - %s[%u/%u]\n",
           mSettings.mFileName[0].c_str(), mSettings.mMaxRecords[0], mSettings.mSavePeriod[0],
           mSettings.mFileName[1].c_str(), mSettings.mMaxRecords[1], mSettings.mSavePeriod[1],
           mSettings.mFileName[2].c_str(), mSettings.mMaxRecords[2], mSettings.mSavePeriod[2]);
    // A limit of 0 keeps the one in force, which is then what the memory must hold.
    uint32_t limits[3];
    for (int i = 0; i < 3; ++i)
        limits[i] =
            mSettings.mMaxRecords[i] != 0 ? mSettings.mMaxRecords[i] : mpFiles->mMaxRecords[i];
    WarnIfLimitsExceedMemory(limits);
    return true;
}
