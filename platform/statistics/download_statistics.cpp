#include "platform/statistics/download_statistics.h"

#include <exception>
#include <memory>
#include <utility>
#include <vector>

#include "platform/statistics/delivery_agent.h"
#include "platform/statistics/download_settings.h"
#include "platform/statistics/outbox.h"
#include "platform/util/diag.h"

namespace {

DownloadStatistics::CommitHook gCommitHook;

// Asks the commit hook about `name`; a hook that throws refuses.
bool Committed(const DownloadStatistics::CommitHook& hook, const std::string& name) {
    if (!hook) return true;
    try {
        return hook(name);
    } catch (const std::exception& e) {
        Warn("Download: committing %s failed: %s.\n", name.c_str(), e.what());
        return false;
    }
}

// Publishes the staged file `name` after its commit. False, with a warning line, when it cannot
// be published; the file is then discarded when nothing but this download knows of it.
bool PublishCommitted(Outbox* outbox, const std::string& name) {
    try {
        outbox->Publish(name);
        return true;
    } catch (const std::exception& e) {
        Warn("Download: %s cannot be put in place: %s; %s.\n", name.c_str(), e.what(),
             gCommitHook ? "it stays staged until the next start" : "the records stay in the log");
    }
    if (!gCommitHook) {
        try {
            outbox->Discard(name);
        } catch (const std::exception&) {
            // The next start discards it.
        }
    }
    return static_cast<bool>(gCommitHook);
}

// One line naming the staged files settled one way at start-up; nothing when there are none.
void TellSettled(const char* done, const char* kind, const std::vector<std::string>& names,
                 const Outbox& outbox, const char* note) {
    if (names.empty()) return;
    std::string text;
    for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
    Warn("Download: %s the %u %s files an interrupted download left in %s%s: %s.\n", done,
         static_cast<unsigned>(names.size()), kind, outbox.directory().c_str(), note, text.c_str());
}

}  // namespace

void DownloadStatistics::SetCommitHook(CommitHook hook) {
    gCommitHook = std::move(hook);
}

DownloadStatistics::DownloadStatistics() = default;

DownloadStatistics::~DownloadStatistics() = default;

int DownloadStatistics::StartDownloadStatistics(Configuration::MultiSectionConfigFile* log) {
    mFailureReason.clear();
    if (log == nullptr) {
        mFailureReason = "no download log";
        return 0;
    }
    if (log->GetSectionCount() == 0) return 1;
    std::unique_ptr<Outbox> outbox;
    std::string name;
    try {
        const DownloadSettings settings = ReadDownloadSettings(true);
        outbox.reset(new Outbox(settings.directory, settings.device));
        name = outbox->Stage(log->Text(), settings.keepKiB * 1024ULL);
    } catch (const std::exception& e) {
        Warn("Download: the records cannot be put in the outbox: %s.\n", e.what());
        mFailureReason = e.what();
        return 0;
    }
    if (!Committed(gCommitHook, name)) {
        Warn("Download: %s was not committed and is discarded; the records stay in the log.\n",
             name.c_str());
        try {
            outbox->Discard(name);
        } catch (const std::exception& e) {
            Warn("Download: %s; the next start discards it.\n", e.what());
        }
        return 0;
    }
    if (!PublishCommitted(outbox.get(), name)) return 0;
    StartDeliveryAgent();
    return 1;
}

void DownloadStatistics::SettleStagedFiles(const CommitHook& committed) {
    try {
        Outbox outbox(ReadDownloadSettings(false).directory);
        std::vector<std::string> published, discarded;
        for (const std::string& name : outbox.StagedNames()) {
            try {
                if (committed && Committed(committed, name)) {
                    outbox.Publish(name);
                    published.push_back(name);
                } else {
                    outbox.Discard(name);
                    discarded.push_back(name);
                }
            } catch (const std::exception& e) {
                Warn("Download: a staged file is not settled: %s; the next start tries again.\n",
                     e.what());
            }
        }
        TellSettled("published", "committed", published, outbox, "");
        TellSettled("discarded", "uncommitted", discarded, outbox,
                    " (their records were not taken from the download log)");
    } catch (const std::exception& e) {
        Warn("Download: the outbox's staged files cannot be settled: %s.\n", e.what());
    }
}

void DownloadStatistics::StartDelivery() {
    try {
        Outbox(ReadDownloadSettings(false).directory).RemoveLeftovers();
    } catch (const std::exception&) {
        // The settings are unreadable: the next download reports it.
    }
    StartDeliveryAgent();
}
