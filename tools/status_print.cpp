#include "tools/status_print.h"

#include <string>

#include "tools/escaped_text.h"

// ---- For people ----

namespace {

std::string SaveText(const StoreHealth& store) {
    if (store.save == Outcome::kNone) return "no save yet";
    std::string text = "last save " + LocalTimeText(store.saveTime);
    if (store.save == Outcome::kOk) return text + " ok";
    return text + " failed: " + store.saveError;
}

std::string StoreText(const StoreHealth& store) {
    if (!store.open) return "not open: records are refused" + OpenErrorText(store);
    return Plural(store.held, "record") + " held, " + std::to_string(store.unsaved) +
           " not on storage; " + SaveText(store);
}

std::string OutboxText(const DeliveryView& delivery) {
    if (delivery.outboxError == kNoPermission) return std::string("outbox ") + kNoPermission;
    if (!delivery.outboxError.empty()) return "outbox unreadable: " + delivery.outboxError;
    std::string text = "outbox " + Plural(delivery.files, "file") + ", " +
                       (delivery.recordsHidden ? std::string("records ") + kNoPermission
                                               : Plural(delivery.records, "record"));
    if (delivery.oldestAge >= 0)
        text += ", oldest " + std::to_string(delivery.oldestAge) + " s old";
    return text;
}

// How long deliveries have failed, in whole minutes by the boot clock; "before this boot" when
// the record is of an earlier boot, whose boot-clock stamps say nothing now.
std::string FailingText(const StatusView& view) {
    const DeliveryHealth& agent = view.delivery.agent;
    if (!SameBoot(agent, view.bootId)) return "before this boot";
    return std::to_string(DeliveryFailingSeconds(agent, view.bootNow) / 60) + " min";
}

std::string AgentText(const StatusView& view) {
    const DeliveryView& delivery = view.delivery;
    if (!delivery.commandSet) return "no download_cmd: files wait for pickup";
    if (delivery.agentDenied) return std::string("agent ") + kNoPermission;
    if (!delivery.agentKnown) return "no delivery agent record";
    const DeliveryHealth& agent = delivery.agent;
    std::string text =
        "agent " + std::to_string(agent.pid) + (delivery.agentRunning ? "" : " (ended)") + ", ";
    if (agent.result == Outcome::kNone) return text + "no delivery yet";
    text += "last delivery " + LocalTimeText(agent.time);
    if (agent.result == Outcome::kOk) return text + " ok";
    text += " failed: " + agent.error;
    return text + ", failing since " + LocalTimeText(agent.failingSince) + " (" +
           FailingText(view) + "; alarm after " + std::to_string(agent.alarmAfterMinutes) + ")";
}

std::string DeliveryText(const StatusView& view) {
    if (!view.delivery.automatic) return "automatic download off; " + OutboxText(view.delivery);
    return "download log " + StoreText(view.record.stores[HealthRecord::kDownloadLog]) + "; " +
           OutboxText(view.delivery) + "; " + AgentText(view);
}

std::string QueuesText(const StatusView& view) {
    std::string text;
    for (const QueueView& look : view.queues) {
        const QueueHealth& queue = look.queue;
        text += "; " + queue.name + " ";
        if (!look.Known())
            text += kNoPermission;
        else if (!queue.exists)
            text += "missing (" + queue.error + ")";
        else
            text += std::string(view.pid != 0 ? "served" : "left behind, not served") + ", " +
                    std::to_string(queue.waiting) + " of " + std::to_string(queue.depth) +
                    " waiting" + (RefusesPosts(queue) ? ", full: posts are refused" : "") +
                    (look.fromRecord ? " (from the health record)" : "");
    }
    return text;
}

std::string RecorderText(const StatusView& view) {
    std::string text;
    if (view.pid == 0) {
        text = "not running";
        if (view.known)
            text += " (pid " + std::to_string(view.record.pid) +
                    " ended); health record stale since " + LocalTimeText(view.record.written);
        else
            text += "; " + view.recordNote;
    } else {
        text = "running (pid " + std::to_string(view.pid) + ")";
        if (view.current)
            text += ", version " + view.record.version + ", started " +
                    LocalTimeText(view.record.started) + "; health record written " +
                    LocalTimeText(view.record.written);
        else
            text += "; " + view.recordNote;
    }
    text += QueuesText(view);
    if (view.pid != 0) text += view.problems.empty() ? "; healthy" : "; needs attention";
    return text;
}

}  // namespace

void PrintStatusText(const StatusView& view, FILE* out) {
    if (view.known) {
        for (int i = 0; i < 3; ++i)
            fprintf(out, "%-9s %s\n", (std::string(kStoreNames[i]) + ":").c_str(),
                    StoreText(view.record.stores[i]).c_str());
        fprintf(out, "%-9s %s\n", "delivery:", DeliveryText(view).c_str());
    }
    fprintf(out, "%-9s %s\n", "recorder:", RecorderText(view).c_str());
    for (const std::string& problem : view.problems)
        fprintf(out, "attention: %s\n", problem.c_str());
}

// ---- For machines: times are seconds since the epoch, null for never ----

namespace {

std::string JsonTime(int64_t seconds) {
    return seconds == 0 ? "null" : std::to_string(static_cast<long long>(seconds));
}

std::string JsonText(const std::string& text) {
    std::string json;
    AppendJsonString(&json, text);
    return json;
}

std::string JsonFlag(bool flag) {
    return flag ? "true" : "false";
}

std::string JsonStore(const StoreHealth& store, const char* name) {
    return std::string("{\"name\":") + JsonText(name) + ",\"open\":" + JsonFlag(store.open) +
           ",\"open_error\":" + JsonText(store.openError) +
           ",\"held\":" + std::to_string(store.held) +
           ",\"unsaved\":" + std::to_string(store.unsaved) +
           ",\"save_time\":" + JsonTime(store.saveTime) + ",\"save_result\":\"" +
           OutcomeName(store.save) + "\",\"save_error\":" + JsonText(store.saveError) + "}";
}

std::string JsonQueues(const StatusView& view) {
    std::string json = "[";
    for (const QueueView& look : view.queues) {
        const QueueHealth& queue = look.queue;
        if (json.size() > 1) json += ",";
        json += "{\"name\":" + JsonText(queue.name) +
                ",\"exists\":" + (look.Known() ? JsonFlag(queue.exists) : "null") +
                ",\"waiting\":" + std::to_string(queue.waiting) +
                ",\"depth\":" + std::to_string(queue.depth) +
                ",\"full\":" + JsonFlag(RefusesPosts(queue)) +
                ",\"from_record\":" + JsonFlag(look.fromRecord) + "}";
    }
    return json + "]";
}

std::string JsonRecorder(const StatusView& view) {
    const HealthRecord& record = view.record;
    std::string json = "{\"running\":" + JsonFlag(view.pid != 0) +
                       ",\"pid\":" + std::to_string(view.pid != 0 ? view.pid : record.pid);
    if (view.known)
        json += ",\"version\":" + JsonText(record.version) +
                ",\"started\":" + JsonTime(record.started) +
                ",\"written\":" + JsonTime(record.written) +
                ",\"stale_since\":" + (view.pid != 0 ? "null" : JsonTime(record.written));
    return json + ",\"queues\":" + JsonQueues(view) + "}";
}

std::string JsonAgent(const StatusView& view) {
    const DeliveryView& delivery = view.delivery;
    if (!delivery.agentKnown) return "null";
    const DeliveryHealth& agent = delivery.agent;
    const int64_t failing =
        SameBoot(agent, view.bootId) ? DeliveryFailingSeconds(agent, view.bootNow) : -1;
    return "{\"pid\":" + std::to_string(agent.pid) +
           ",\"running\":" + JsonFlag(delivery.agentRunning) + ",\"time\":" + JsonTime(agent.time) +
           ",\"result\":\"" + OutcomeName(agent.result) + "\",\"error\":" + JsonText(agent.error) +
           ",\"failing_since\":" + JsonTime(agent.failingSince) + ",\"failing_seconds\":" +
           (failing < 0 ? "null" : std::to_string(static_cast<long long>(failing))) +
           ",\"alarm_after_minutes\":" + std::to_string(agent.alarmAfterMinutes) + "}";
}

std::string JsonDelivery(const StatusView& view) {
    const DeliveryView& delivery = view.delivery;
    return "{\"automatic\":" + JsonFlag(delivery.automatic) + ",\"download_log\":" +
           JsonStore(view.record.stores[HealthRecord::kDownloadLog],
                     kStoreNames[HealthRecord::kDownloadLog]) +
           ",\"outbox\":{\"folder\":" + JsonText(delivery.folder) +
           ",\"error\":" + JsonText(delivery.outboxError) +
           ",\"files\":" + std::to_string(delivery.files) +
           ",\"records\":" + std::to_string(delivery.records) + ",\"oldest_age\":" +
           (delivery.oldestAge < 0 ? "null" : std::to_string(delivery.oldestAge)) +
           "},\"dropped\":" + std::to_string(view.record.dropped) +
           ",\"dropping_since\":" + JsonTime(view.record.droppingSince) +
           ",\"drop_reason\":" + JsonText(view.record.dropReason) +
           ",\"command_set\":" + JsonFlag(delivery.commandSet) + ",\"agent\":" + JsonAgent(view) +
           "}";
}

}  // namespace

void PrintStatusJson(const StatusView& view, FILE* out) {
    const char* state = view.pid == 0           ? "not running"
                        : view.problems.empty() ? "healthy"
                                                : "attention";
    std::string json = std::string("{\"state\":\"") + state +
                       "\",\"recorder\":" + JsonRecorder(view) + ",\"databases\":";
    if (view.known) {
        json += "[";
        for (int i = 0; i < 3; ++i)
            json += (i > 0 ? "," : "") + JsonStore(view.record.stores[i], kStoreNames[i]);
        json += "],\"delivery\":" + JsonDelivery(view);
    } else {
        json += "null,\"delivery\":null";
    }
    json += ",\"problems\":[";
    for (size_t i = 0; i < view.problems.size(); ++i)
        json += (i > 0 ? "," : "") + JsonText(view.problems[i]);
    fprintf(out, "%s]}\n", json.c_str());
}
