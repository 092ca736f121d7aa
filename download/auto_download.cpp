// Statistics auto-download: the download settings, the download log's upkeep before each record,
// and the web side's download requests.
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <exception>
#include <memory>
#include <string>

#include "core/cdr_manager.h"
#include "platform/config/config_file.h"
#include "platform/config/configuration_root.h"
#include "platform/config/record_files.h"
#include "platform/download/download_statistics.h"
#include "platform/util/diag.h"
#include "platform/util/env.h"
#include "platform/util/smart_buffer.h"

namespace {

// Reads `key` of the key=value file `name` under the configuration root into `value`; false
// when the key is absent.
bool ReadSetting(const char* name, bool flag, const char* key, SmartBuffer* value) {
    std::unique_ptr<Configuration::ConfigFile> file(new Configuration::ConfigFile(
        (ConfigurationRoot() + name).c_str(), flag, false, false, "=", "#", nullptr));
    return file->GetEntry(key, value->GetData(), value->GetSize()) != 0;
}

// "download_cnt" as strtol reads it on the device, where long has 32 bits: out-of-range values
// saturate there, so they saturate here too, whatever the width of long on this host.
int ReadThreshold(const char* text) {
    long value = strtol(text, nullptr, 10);
    return static_cast<int>(std::max<long>(INT_MIN, std::min<long>(INT_MAX, value)));
}

}  // namespace

int CDRManager::InitAutoDownloadSettings() {
    try {
        SmartBuffer value;
        if (ReadSetting("sysconfig/rc.conf", false, "START_AUTO_DOWNLOAD_STAT", &value))
            mAutoDownload = strcmp(value.GetData(), "true") == 0 ? 1 : 0;
        if (mAutoDownload == 0) {
            delete mpDownStatFile;
            mpDownStatFile = nullptr;
            Env::Current()->Unlink(kDownloadLogPath);
            return 1;
        }
        if (ReadSetting("auto-down-stat.conf", true, "download_cnt", &value)) {
            const int threshold = ReadThreshold(value.GetData());
            if (threshold < mDownloadCnt && mpDownStatFile != nullptr &&
                threshold < static_cast<int>(mpDownStatFile->GetSectionCount()))
                OnDownloadNow();
            mDownloadCnt = threshold;
        }
        if (mpDownStatFile == nullptr) {
            mpDownStatFile = OpenDownloadLogFile(kDownloadLogPath, false).release();
        }
        DownloadStatistics::StartDelivery();  // files left in the outbox leave without waiting
        return 1;
    } catch (const std::exception&) {
        return 0;
    }
}

int CDRManager::OnUpdateCDRDownloadSettings() {
    TRACEX("OnUpdateCDRDownloadSettings\n");
    return InitAutoDownloadSettings();
}

int CDRManager::OnDownloadNow() {
    TRACEX("OnDownloadNow\n");
    bool done = false;
    try {
        done = AttemptDownload();
    } catch (...) {
        done = false;
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
}

bool CDRManager::AttemptDownload() {
    DownloadStatistics download;
    return download.StartDownloadStatistics(mpDownStatFile) != 0;
}

void CDRManager::EmptyDownloadLog() {
    mpDownStatFile->ClearAll();
    mpDownStatFile->Save(true, nullptr);
}
