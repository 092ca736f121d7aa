// CDRManager::GetCDRData: the store's settings from the device's general settings and paths.
#include <stdlib.h>
#include <string.h>

#include <exception>

#include "core/cdr_manager.h"
#include "platform/general_paths.h"
#include "platform/general_settings_accessor.h"

namespace {

const char* const kDefaultNames[3] = {"CDR_db", "missed_calls_db", "unsuccess_calls_db"};
const char kDefaultRoot[] = "/etc/velk-conf/";

std::string* DatabaseName(GeneralPaths* paths, int index) {
    std::string* names[3] = {&paths->mCDRStatedDb, &paths->mCDRMissedDb, &paths->mCDRFailedDb};
    return names[index];
}

// A bare file name lands in "telephony/" under the configuration root; a name with a slash or a
// backslash anywhere is a path of its own.
std::string ComposePath(const std::string& name) {
    if (name.find_first_of("/\\") != std::string::npos) return name;
    const char* root = getenv("VELK_PATH");
    return std::string(root != nullptr ? root : kDefaultRoot) + "telephony/" + name;
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
        const uint32_t maxRecords[3] = {settings->mCDRMaxStated, settings->mCDRMaxMissed,
                                        settings->mCDRMaxFailed};
        const uint32_t savePeriods[3] = {settings->mCDRSaveStated, settings->mCDRSaveMissed,
                                         settings->mCDRSaveFailed};
        for (int i = 0; i < 3; ++i) {
            mSettings.mMaxRecords[i] = maxRecords[i];
            mSettings.mSavePeriod[i] = savePeriods[i];
        }
        for (int i = 0; i < 3; ++i) {
            std::string* name = DatabaseName(paths, i);
            if (name->empty()) {
                *name = kDefaultNames[i];
                paths->Store();
            }
            mSettings.mFileName[i] = ComposePath(*name);
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
    return true;
}
