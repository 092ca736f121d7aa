#include "platform/download/download_statistics.h"

#include <exception>

#include "platform/download/delivery_agent.h"
#include "platform/download/download_settings.h"
#include "platform/download/outbox.h"
#include "platform/util/diag.h"

DownloadStatistics::DownloadStatistics() = default;

DownloadStatistics::~DownloadStatistics() = default;

int DownloadStatistics::StartDownloadStatistics(Configuration::MultiSectionConfigFile* log) {
    mFailureReason.clear();
    if (log == nullptr) {
        mFailureReason = "no download log";
        return 0;
    }
    if (log->GetSectionCount() == 0) return 1;
    try {
        const DownloadSettings settings = ReadDownloadSettings(true);
        Outbox(settings.directory).Add(log->Text(), settings.keepKiB * 1024ULL);
    } catch (const std::exception& e) {
        Warn("Download: the records cannot be put in the outbox: %s.\n", e.what());
        mFailureReason = e.what();
        return 0;
    }
    StartDeliveryAgent();
    return 1;
}

void DownloadStatistics::StartDelivery() {
    try {
        Outbox(ReadDownloadSettings(false).directory).RemoveLeftovers();
    } catch (const std::exception&) {
        // The settings are unreadable: the next download reports it.
    }
    StartDeliveryAgent();
}
