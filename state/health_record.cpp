#include "state/health_record.h"

#include <errno.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <vector>

const char kHealthRecordPath[] = "/run/cdrd/health";

const char* const kStoreNames[HealthRecord::kStores] = {"stated", "missed", "failed",
                                                        "download log"};
const char* const kStoreTitles[HealthRecord::kStores] = {
    "stated calls database", "missed calls database", "failed calls database", "download log"};

namespace {

// The keys of each store begin with these prefixes.
const char* const kStoreKeys[HealthRecord::kStores] = {"stated", "missed", "failed",
                                                       "download_log"};
const char* const kQueueKeys[HealthRecord::kQueues] = {"queue.call_manager", "queue.web_side"};

std::vector<KeyValueField> Fields(HealthRecord* r) {
    std::vector<KeyValueField> fields = {
        {"pid", &r->pid},         {"started", &r->started}, {"start_ticks", &r->startTicks},
        {"version", &r->version}, {"written", &r->written},
    };
    for (int i = 0; i < HealthRecord::kStores; ++i) {
        const std::string prefix = std::string(kStoreKeys[i]) + ".";
        StoreHealth& store = r->stores[i];
        fields.push_back({prefix + "open", &store.open});
        fields.push_back({prefix + "open_error", &store.openError});
        fields.push_back({prefix + "held", &store.held});
        fields.push_back({prefix + "unsaved", &store.unsaved});
        fields.push_back({prefix + "save_time", &store.saveTime});
        fields.push_back({prefix + "save_result", &store.save});
        fields.push_back({prefix + "save_error", &store.saveError});
    }
    fields.push_back({"download.on", &r->autoDownload});
    fields.push_back({"download.dropped", &r->dropped});
    fields.push_back({"download.dropping_since", &r->droppingSince});
    fields.push_back({"download.drop_reason", &r->dropReason});
    for (int i = 0; i < HealthRecord::kQueues; ++i) {
        const std::string prefix = std::string(kQueueKeys[i]) + ".";
        QueueHealth& queue = r->queues[i];
        fields.push_back({prefix + "name", &queue.name});
        fields.push_back({prefix + "exists", &queue.exists});
        fields.push_back({prefix + "waiting", &queue.waiting});
        fields.push_back({prefix + "depth", &queue.depth});
        fields.push_back({prefix + "error", &queue.error});
    }
    fields.push_back({"instance_lock.missing", &r->unlocked});
    return fields;
}

}  // namespace

std::string FormatHealthRecord(const HealthRecord& record) {
    return FormatKeyValues(Fields(const_cast<HealthRecord*>(&record)));
}

bool ParseHealthRecord(const std::string& text, HealthRecord* record, std::string* error) {
    return ParseKeyValues(text, Fields(record), error);
}

bool NeedsAttention(const HealthRecord& record, int store) {
    if (store == HealthRecord::kDownloadLog && !record.autoDownload) return false;
    const StoreHealth& health = record.stores[store];
    return !health.open || health.save == Outcome::kFailed;
}

bool RecordsDropping(const HealthRecord& record) {
    return record.dropped > 0;
}

int64_t ProcessStartTicks(int pid) {
    // The thread folder of the main thread holds the same start time. It is read rather than
    // /proc/<pid>/stat because a user-mode emulator answers a process's reads of its own stat
    // file itself, with a start time of its own making that others never see.
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/task/%d/stat", pid, pid);
    FILE* file = fopen(path, "re");
    if (file == nullptr) return 0;
    char text[1024];
    const size_t size = fread(text, 1, sizeof text - 1, file);
    fclose(file);
    text[size] = '\0';
    // The command name (field 2) is in parentheses and may hold blanks and parentheses itself:
    // the fields after it are counted from the last ')'.
    const char* at = strrchr(text, ')');
    if (at == nullptr) return 0;
    for (int field = 2; field < 22 && at != nullptr; ++field) at = strchr(at + 1, ' ');
    long long ticks = 0;
    return at != nullptr && sscanf(at + 1, "%lld", &ticks) == 1 && ticks > 0 ? ticks : 0;
}

bool ProcessRuns(int pid) {
    return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM);
}

bool RecordWriterRuns(const HealthRecord& record) {
    if (record.pid <= 0) return false;
    const int64_t ticks = ProcessStartTicks(record.pid);
    if (ticks != 0 && record.startTicks != 0) return ticks == record.startTicks;
    return ProcessRuns(record.pid);
}
