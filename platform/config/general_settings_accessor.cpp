#include "platform/config/general_settings_accessor.h"

#include <memory>
#include <stdexcept>
#include <string>

#include "platform/config/config_file.h"
#include "platform/config/configuration_root.h"
#include "platform/util/shared_instance.h"

namespace {

SharedInstance<GeneralSettingsAccessor>& Shared() {
    static SharedInstance<GeneralSettingsAccessor> shared;
    return shared;
}

// Reads `key` as a decimal number from 0 to `max`, digits only; `fallback` when it is absent.
uint32_t ReadNumber(const Configuration::ConfigFile& file, const std::string& path, const char* key,
                    uint32_t fallback, uint32_t max) {
    const std::string* text = file.Find(key);
    if (text == nullptr) return fallback;
    uint64_t value = 0;
    bool valid = !text->empty();
    for (char c : *text) {
        valid = valid && c >= '0' && c <= '9' && (value = value * 10 + (c - '0')) <= max;
        if (!valid) break;
    }
    if (!valid)
        throw std::runtime_error(path + ": " + key + " is \"" + *text +
                                 "\", not a number from 0 to " + std::to_string(max));
    return static_cast<uint32_t>(value);
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

GeneralSettingsAccessor::GeneralSettingsAccessor()
    : mCDREnabled(1),
      mCDRMaxStated(1000),
      mCDRMaxMissed(1000),
      mCDRMaxFailed(1000),
      mCDRSaveStated(10),
      mCDRSaveMissed(10),
      mCDRSaveFailed(10),
      mCDRTraceMaxKb(1024) {}

void GeneralSettingsAccessor::Load() {
    const std::string path = ConfigurationRoot() + "general-settings.conf";
    const Configuration::ConfigFile file(path.c_str(), true, false, false, "=", "#", nullptr);
    const uint32_t kAny = UINT32_MAX;
    mCDREnabled = static_cast<int32_t>(ReadNumber(file, path, "cdr_enabled", 1, INT32_MAX));
    mCDRMaxStated = ReadNumber(file, path, "cdr_max_stated", mCDRMaxStated, kAny);
    mCDRMaxMissed = ReadNumber(file, path, "cdr_max_missed", mCDRMaxMissed, kAny);
    mCDRMaxFailed = ReadNumber(file, path, "cdr_max_failed", mCDRMaxFailed, kAny);
    mCDRSaveStated = ReadNumber(file, path, "cdr_save_stated", mCDRSaveStated, kAny);
    mCDRSaveMissed = ReadNumber(file, path, "cdr_save_missed", mCDRSaveMissed, kAny);
    mCDRSaveFailed = ReadNumber(file, path, "cdr_save_failed", mCDRSaveFailed, kAny);
    mCDRTraceMaxKb = ReadNumber(file, path, "cdr_trace_max_kb", mCDRTraceMaxKb, UINT32_MAX / 1024);
}
