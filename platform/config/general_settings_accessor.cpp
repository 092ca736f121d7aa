#include "platform/config/general_settings_accessor.h"

#include <array>
#include <memory>
#include <string>

#include "platform/config/config_file.h"
#include "platform/config/configuration_root.h"
#include "platform/util/diag.h"
#include "platform/util/file_util.h"
#include "platform/util/shared_instance.h"

namespace {

SharedInstance<GeneralSettingsAccessor>& Shared() {
    static SharedInstance<GeneralSettingsAccessor> shared;
    return shared;
}

enum { kSettingCount = 11 };
const char* const kKeys[kSettingCount] = {
    "cdr_enabled",     "cdr_max_stated",           "cdr_max_missed",     "cdr_max_failed",
    "cdr_save_stated", "cdr_save_missed",          "cdr_save_failed",    "cdr_trace_max_kb",
    "cdr_journal",     "cdr_journal_sync_reports", "cdr_journal_sync_ms"};
using Values = std::array<uint32_t, kSettingCount>;
const Values kDefaults = {1, 1000, 1000, 1000, 10, 10, 10, 1024, 1, 64, 50};
const uint32_t kMaxima[kSettingCount] = {INT32_MAX,  UINT32_MAX, UINT32_MAX, UINT32_MAX,
                                         UINT32_MAX, UINT32_MAX, UINT32_MAX, UINT32_MAX / 1024,
                                         1,          1000000,    3600000};
// The values of the last reading, which a bad value or an unreadable file leaves in force. Only
// read and written while the shared instance is made, under its lock.
Values gInForce = kDefaults;

// `text` as a decimal number from 0 to `max`, digits only; false when it is not one.
bool ParseNumber(const std::string& text, uint32_t max, uint32_t* number) {
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9' || (value = value * 10 + (c - '0')) > max) return false;
    }
    *number = static_cast<uint32_t>(value);
    return !text.empty();
}

// Setting `index` from `file`: its default when absent, the value in force when bad.
uint32_t ReadSetting(const Configuration::ConfigFile& file, int index) {
    const std::string* text = file.Find(kKeys[index]);
    if (text == nullptr) return kDefaults[index];
    uint32_t value;
    if (ParseNumber(*text, kMaxima[index], &value)) return value;
    Warn("%s:%u: %s is \"%s\", not a number from 0 to %lu; it stays %lu.\n", file.Origin().c_str(),
         file.LineOf(kKeys[index]), kKeys[index], text->c_str(),
         static_cast<unsigned long>(kMaxima[index]), static_cast<unsigned long>(gInForce[index]));
    return gInForce[index];
}

}  // namespace

GeneralSettingsAccessor* GeneralSettingsAccessor::GetInstance(bool load) {
    return Shared().Acquire(load, "general settings", [] {
        std::unique_ptr<GeneralSettingsAccessor> settings(new GeneralSettingsAccessor());
        settings->Load();
        return settings.release();
    });
}

void GeneralSettingsAccessor::CloseInstance() {
    Shared().Release();
}

GeneralSettingsAccessor::GeneralSettingsAccessor() {
    Take(kDefaults.data());
}

void GeneralSettingsAccessor::Load() {
    const std::string path = ConfigurationRoot() + "general-settings.conf";
    Values values;
    try {
        const Configuration::ConfigFile file(path.c_str(), true, false, false, "=", "#", nullptr);
        for (int i = 0; i < kSettingCount; ++i) values[i] = ReadSetting(file, i);
    } catch (const FileError& e) {
        Warn("%s; the general settings in force are kept.\n", e.what());
        values = gInForce;
    }
    gInForce = values;
    Take(values.data());
}

void GeneralSettingsAccessor::Take(const uint32_t* values) {
    mCDREnabled = static_cast<int32_t>(values[0]);
    uint32_t* numbers[] = {&mCDRMaxStated,    &mCDRMaxMissed,  &mCDRMaxFailed,
                           &mCDRSaveStated,   &mCDRSaveMissed, &mCDRSaveFailed,
                           &mCDRTraceMaxKb,   &mCDRJournal,    &mCDRJournalSyncReports,
                           &mCDRJournalSyncMs};
    for (int i = 1; i < kSettingCount; ++i) *numbers[i - 1] = values[i];
}
