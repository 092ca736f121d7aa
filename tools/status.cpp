#include "tools/status.h"

#include <errno.h>
#include <signal.h>
#include <time.h>

#include <exception>
#include <string>
#include <vector>

#include "platform/util/env.h"
#include "platform/util/file_util.h"
#include "platform/util/health_record.h"
#include "tools/record_listing.h"

namespace {

// What the record and the process table say together.
struct Verdict {
    bool running = false;
    int64_t now = 0;
    std::vector<std::string> problems;  // what needs attention, one line each
};

std::string LocalTimeText(int64_t seconds) {
    struct tm local;
    Env::Current()->LocalTime(static_cast<time_t>(seconds), &local);
    char text[32];
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

std::string Plural(uint32_t count, const char* noun) {
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

std::string SaveText(const StoreHealth& store) {
    if (store.save == Outcome::kNone) return "no save yet";
    std::string text = "last save " + LocalTimeText(store.saveTime);
    if (store.save == Outcome::kOk) return text + " ok";
    return text + " failed: " + store.saveError;
}

std::string StoreText(const StoreHealth& store) {
    if (!store.open) return "not open: records are refused";
    return Plural(store.held, "record") + " held, " + std::to_string(store.unsaved) +
           " not on storage; " + SaveText(store);
}

std::string DeliveryText(const HealthRecord& record, int64_t now) {
    if (!record.autoDownload) return "automatic download off";
    std::string text = "download log " + StoreText(record.stores[HealthRecord::kDownloadLog]);
    if (record.delivery == Outcome::kNone) return text + "; no delivery yet";
    text += "; last delivery " + LocalTimeText(record.deliveryTime) +
            (record.delivery == Outcome::kOk ? " ok" : " failed");
    if (record.failingSince != 0) {
        text += ", failing since " + LocalTimeText(record.failingSince) + " (" +
                std::to_string((now - record.failingSince) / 60) + " min; alarm after " +
                std::to_string(record.alarmAfterMinutes) + ")";
    }
    return text;
}

std::string RecorderText(const HealthRecord& record, const Verdict& verdict) {
    if (!verdict.running) {
        return "not running (pid " + std::to_string(record.pid) +
               " ended); health record stale since " + LocalTimeText(record.written);
    }
    return "running, pid " + std::to_string(record.pid) + ", version " + record.version +
           ", started " + LocalTimeText(record.started) + "; health record written " +
           LocalTimeText(record.written) +
           (verdict.problems.empty() ? "; healthy" : "; needs attention");
}

std::string StoreProblem(const StoreHealth& store, const char* name) {
    if (!store.open) return std::string(name) + ": not open";
    return std::string(name) + ": " + std::to_string(store.unsaved) +
           " records not on storage, last save failed: " + store.saveError;
}

Verdict Judge(const HealthRecord& record) {
    Verdict verdict;
    struct timespec now;
    Env::Current()->Now(&now);
    verdict.now = now.tv_sec;
    verdict.running = LiveRecorderPid(record.pid) != 0;
    for (int i = 0; i < HealthRecord::kStores; ++i) {
        if (!NeedsAttention(record, i)) continue;
        verdict.problems.push_back(StoreProblem(record.stores[i], kStoreNames[i]));
    }
    if (DeliveryOverdue(record, verdict.now)) {
        verdict.problems.push_back("deliveries failing since " +
                                   LocalTimeText(record.failingSince));
    }
    return verdict;
}

void PrintText(const HealthRecord& record, const Verdict& verdict, FILE* out) {
    for (int i = 0; i < 3; ++i)
        fprintf(out, "%-9s %s\n", (std::string(kStoreNames[i]) + ":").c_str(),
                StoreText(record.stores[i]).c_str());
    fprintf(out, "%-9s %s\n", "delivery:", DeliveryText(record, verdict.now).c_str());
    fprintf(out, "%-9s %s\n", "recorder:", RecorderText(record, verdict).c_str());
    if (!verdict.running) return;
    for (const std::string& problem : verdict.problems)
        fprintf(out, "attention: %s\n", problem.c_str());
}

// JSON members: times are seconds since the epoch, null for never.
std::string JsonTime(int64_t seconds) {
    return seconds == 0 ? "null" : std::to_string(static_cast<long long>(seconds));
}

std::string JsonText(const std::string& text) {
    std::string json;
    AppendJsonString(&json, text);
    return json;
}

std::string JsonStore(const StoreHealth& store, const char* name) {
    return std::string("{\"name\":") + JsonText(name) +
           ",\"open\":" + (store.open ? "true" : "false") +
           ",\"held\":" + std::to_string(store.held) +
           ",\"unsaved\":" + std::to_string(store.unsaved) +
           ",\"save_time\":" + JsonTime(store.saveTime) + ",\"save_result\":\"" +
           OutcomeName(store.save) + "\",\"save_error\":" + JsonText(store.saveError) + "}";
}

void PrintJson(const HealthRecord& record, const Verdict& verdict, FILE* out) {
    const char* state = !verdict.running           ? "not running"
                        : verdict.problems.empty() ? "healthy"
                                                   : "attention";
    std::string json =
        std::string("{\"state\":\"") + state +
        "\",\"recorder\":{\"running\":" + (verdict.running ? "true" : "false") +
        ",\"pid\":" + std::to_string(record.pid) + ",\"version\":" + JsonText(record.version) +
        ",\"started\":" + JsonTime(record.started) + ",\"written\":" + JsonTime(record.written) +
        ",\"stale_since\":" + (verdict.running ? "null" : JsonTime(record.written)) +
        "},\"databases\":[";
    for (int i = 0; i < 3; ++i)
        json += (i > 0 ? "," : "") + JsonStore(record.stores[i], kStoreNames[i]);
    json += "],\"delivery\":{\"automatic\":" + std::string(record.autoDownload ? "true" : "false") +
            ",\"download_log\":" +
            JsonStore(record.stores[HealthRecord::kDownloadLog],
                      kStoreNames[HealthRecord::kDownloadLog]) +
            ",\"time\":" + JsonTime(record.deliveryTime) + ",\"result\":\"" +
            OutcomeName(record.delivery) + "\",\"failing_since\":" + JsonTime(record.failingSince) +
            ",\"alarm_after_minutes\":" + std::to_string(record.alarmAfterMinutes) +
            "},\"problems\":[";
    for (size_t i = 0; i < verdict.problems.size(); ++i)
        json += (i > 0 ? "," : "") + JsonText(verdict.problems[i]);
    fprintf(out, "%s]}\n", json.c_str());
}

}  // namespace

int LiveRecorderPid(int recordedPid) {
    if (recordedPid <= 0) return 0;
    return kill(recordedPid, 0) == 0 || errno == EPERM ? recordedPid : 0;
}

int PrintRecorderStatus(bool json, FILE* out, FILE* err) {
    HealthRecord record;
    try {
        std::string text;
        if (!ReadWholeFile(kHealthRecordPath, &text)) {
            if (json)
                fprintf(out, "{\"state\":\"not running\",\"recorder\":null}\n");
            else
                fprintf(out, "recorder: not running (no health record at %s)\n", kHealthRecordPath);
            return kStatusNotRunning;
        }
        std::string error;
        if (!ParseHealthRecord(text, &record, &error)) {
            fprintf(err, "cdrctl: health record %s: %s\n", kHealthRecordPath, error.c_str());
            return kStatusNotRunning;
        }
    } catch (const std::exception& e) {
        fprintf(err, "cdrctl: %s\n", e.what());
        return kStatusNotRunning;
    }
    const Verdict verdict = Judge(record);
    if (json)
        PrintJson(record, verdict, out);
    else
        PrintText(record, verdict, out);
    if (!verdict.running) return kStatusNotRunning;
    return verdict.problems.empty() ? kStatusHealthy : kStatusAttention;
}
