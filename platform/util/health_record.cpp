#include "platform/util/health_record.h"

#include <errno.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <vector>

#include "platform/util/decimal.h"

const char kHealthRecordPath[] = "/run/cdrd/health";
const char kDeliveryRecordPath[] = "/run/cdrd/delivery";

const char* const kStoreNames[HealthRecord::kStores] = {"stated", "missed", "failed",
                                                        "download log"};
const char* const kStoreTitles[HealthRecord::kStores] = {
    "stated calls database", "missed calls database", "failed calls database", "download log"};

namespace {

// The keys of each store begin with these prefixes.
const char* const kStoreKeys[HealthRecord::kStores] = {"stated", "missed", "failed",
                                                       "download_log"};
const char* const kQueueKeys[HealthRecord::kQueues] = {"queue.call_manager", "queue.web_side"};
const char* const kOutcomeNames[] = {"none", "ok", "failed"};

enum class Kind { kFlag, kCount, kNumber, kTime, kOutcome, kText };

// One key of the record and the member that holds its value. Format and parse walk the same
// table, so the two never disagree.
struct Field {
    std::string key;
    Kind kind;
    void* value;
};

std::vector<Field> Fields(HealthRecord* r) {
    std::vector<Field> fields = {
        {"pid", Kind::kNumber, &r->pid},
        {"started", Kind::kTime, &r->started},
        {"start_ticks", Kind::kTime, &r->startTicks},
        {"version", Kind::kText, &r->version},
        {"written", Kind::kTime, &r->written},
    };
    for (int i = 0; i < HealthRecord::kStores; ++i) {
        const std::string prefix = std::string(kStoreKeys[i]) + ".";
        StoreHealth& store = r->stores[i];
        fields.push_back({prefix + "open", Kind::kFlag, &store.open});
        fields.push_back({prefix + "open_error", Kind::kText, &store.openError});
        fields.push_back({prefix + "held", Kind::kCount, &store.held});
        fields.push_back({prefix + "unsaved", Kind::kCount, &store.unsaved});
        fields.push_back({prefix + "save_time", Kind::kTime, &store.saveTime});
        fields.push_back({prefix + "save_result", Kind::kOutcome, &store.save});
        fields.push_back({prefix + "save_error", Kind::kText, &store.saveError});
    }
    fields.push_back({"download.on", Kind::kFlag, &r->autoDownload});
    fields.push_back({"download.dropped", Kind::kCount, &r->dropped});
    fields.push_back({"download.dropping_since", Kind::kTime, &r->droppingSince});
    fields.push_back({"download.drop_reason", Kind::kText, &r->dropReason});
    for (int i = 0; i < HealthRecord::kQueues; ++i) {
        const std::string prefix = std::string(kQueueKeys[i]) + ".";
        QueueHealth& queue = r->queues[i];
        fields.push_back({prefix + "name", Kind::kText, &queue.name});
        fields.push_back({prefix + "exists", Kind::kFlag, &queue.exists});
        fields.push_back({prefix + "waiting", Kind::kCount, &queue.waiting});
        fields.push_back({prefix + "depth", Kind::kCount, &queue.depth});
        fields.push_back({prefix + "error", Kind::kText, &queue.error});
    }
    fields.push_back({"instance_lock.missing", Kind::kText, &r->unlocked});
    return fields;
}

std::vector<Field> Fields(DeliveryHealth* r) {
    return {
        {"pid", Kind::kNumber, &r->pid},
        {"written", Kind::kTime, &r->written},
        {"boot_id", Kind::kText, &r->bootId},
        {"delivery.time", Kind::kTime, &r->time},
        {"delivery.result", Kind::kOutcome, &r->result},
        {"delivery.error", Kind::kText, &r->error},
        {"delivery.failing_since", Kind::kTime, &r->failingSince},
        {"delivery.failing_since_boot", Kind::kTime, &r->failingSinceBoot},
        {"delivery.alarm_raised", Kind::kFlag, &r->alarmRaised},
        {"delivery.alarm_after_minutes", Kind::kNumber, &r->alarmAfterMinutes},
    };
}

std::string OneLine(std::string text) {
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
    }
    return text;
}

std::string ValueText(const Field& field) {
    switch (field.kind) {
        case Kind::kFlag:
            return *static_cast<bool*>(field.value) ? "1" : "0";
        case Kind::kCount:
            return std::to_string(*static_cast<uint32_t*>(field.value));
        case Kind::kNumber:
            return std::to_string(*static_cast<int*>(field.value));
        case Kind::kTime:
            return std::to_string(static_cast<long long>(*static_cast<int64_t*>(field.value)));
        case Kind::kOutcome:
            return OutcomeName(*static_cast<Outcome*>(field.value));
        case Kind::kText:
            return OneLine(*static_cast<std::string*>(field.value));
    }
    return "";
}

bool StoreValue(const Field& field, const std::string& text) {
    long long number = 0;
    switch (field.kind) {
        case Kind::kFlag:
            if (text != "0" && text != "1") return false;
            *static_cast<bool*>(field.value) = text == "1";
            return true;
        case Kind::kCount:
            if (!ParseDecimal(text, 0, UINT32_MAX, &number)) return false;
            *static_cast<uint32_t*>(field.value) = static_cast<uint32_t>(number);
            return true;
        case Kind::kNumber:
            if (!ParseDecimal(text, 0, INT32_MAX, &number)) return false;
            *static_cast<int*>(field.value) = static_cast<int>(number);
            return true;
        case Kind::kTime:
            if (!ParseDecimal(text, 0, INT64_MAX, &number)) return false;
            *static_cast<int64_t*>(field.value) = number;
            return true;
        case Kind::kOutcome:
            for (int i = 0; i < 3; ++i) {
                if (text != kOutcomeNames[i]) continue;
                *static_cast<Outcome*>(field.value) = static_cast<Outcome>(i);
                return true;
            }
            return false;
        case Kind::kText:
            *static_cast<std::string*>(field.value) = text;
            return true;
    }
    return false;
}

std::string FormatFields(const std::vector<Field>& fields) {
    std::string text;
    for (const Field& field : fields) text += field.key + "=" + ValueText(field) + "\n";
    return text;
}

bool ParseFields(const std::string& text, const std::vector<Field>& fields, std::string* error) {
    size_t lineNumber = 0;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        ++lineNumber;
        const size_t equals = line.find('=');
        if (equals == std::string::npos) {
            *error = "line " + std::to_string(lineNumber) + " is not key=value";
            return false;
        }
        const std::string key = line.substr(0, equals);
        for (const Field& field : fields) {
            if (field.key != key) continue;
            if (!StoreValue(field, line.substr(equals + 1))) {
                *error = "line " + std::to_string(lineNumber) + ": bad value for " + key;
                return false;
            }
            break;
        }
    }
    return true;
}

}  // namespace

const char* OutcomeName(Outcome outcome) {
    return kOutcomeNames[static_cast<int>(outcome)];
}

std::string FormatHealthRecord(const HealthRecord& record) {
    return FormatFields(Fields(const_cast<HealthRecord*>(&record)));
}

std::string FormatDeliveryRecord(const DeliveryHealth& record) {
    return FormatFields(Fields(const_cast<DeliveryHealth*>(&record)));
}

bool ParseHealthRecord(const std::string& text, HealthRecord* record, std::string* error) {
    return ParseFields(text, Fields(record), error);
}

bool ParseDeliveryRecord(const std::string& text, DeliveryHealth* record, std::string* error) {
    return ParseFields(text, Fields(record), error);
}

bool NeedsAttention(const HealthRecord& record, int store) {
    if (store == HealthRecord::kDownloadLog && !record.autoDownload) return false;
    const StoreHealth& health = record.stores[store];
    return !health.open || health.save == Outcome::kFailed;
}

bool RecordsDropping(const HealthRecord& record) {
    return record.dropped > 0;
}

bool SameBoot(const DeliveryHealth& record, const std::string& bootId) {
    return !bootId.empty() && record.bootId == bootId;
}

int64_t DeliveryFailingSeconds(const DeliveryHealth& record, int64_t bootNow) {
    if (record.failingSince == 0) return -1;
    return bootNow > record.failingSinceBoot ? bootNow - record.failingSinceBoot : 0;
}

bool DeliveryOverdue(const DeliveryHealth& record, int64_t bootNow) {
    return DeliveryFailingSeconds(record, bootNow) >=
           static_cast<int64_t>(record.alarmAfterMinutes) * 60;
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

bool RecordWriterRuns(const HealthRecord& record) {
    if (record.pid <= 0) return false;
    const int64_t ticks = ProcessStartTicks(record.pid);
    if (ticks != 0 && record.startTicks != 0) return ticks == record.startTicks;
    return kill(record.pid, 0) == 0 || errno == EPERM;
}
