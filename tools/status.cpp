#include "tools/status.h"

#include <errno.h>
#include <signal.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <exception>
#include <string>
#include <vector>

#include "platform/download/download_settings.h"
#include "platform/download/outbox.h"
#include "platform/messaging/message_queue.h"
#include "platform/messaging/queue_state.h"
#include "platform/util/env.h"
#include "platform/util/file_util.h"
#include "platform/util/health_record.h"
#include "platform/util/instance_lock.h"
#include "tools/record_listing.h"

namespace {

// What permission hides from a user other than the recorder's, said in place of what it hides.
const char kNoPermission[] = "cannot tell: permission";

bool IsPermissionError(int error) {
    return error == EACCES || error == EPERM;
}

// Why something could not be read: kNoPermission when this user may not, else the error's text.
std::string Unreadable(const std::exception& e) {
    const FileError* error = dynamic_cast<const FileError*>(&e);
    return error != nullptr && IsPermissionError(error->error()) ? kNoPermission : e.what();
}

// One of the recorder's queues as a sender sees it, or as the recorder's record tells it when
// this user may not open it.
struct QueueView {
    QueueHealth queue;
    bool denied = false;      // this user may not open it
    bool fromRecord = false;  // `queue` is what the running recorder wrote in its record
    bool Known() const { return !denied || fromRecord; }
};

// The outbox and the delivery agent, as far as they can be told.
struct DeliveryView {
    bool automatic = false;
    bool commandSet = false;  // a delivery command is set, so an agent delivers
    std::string folder;
    std::string outboxError;  // the outbox cannot be read: why
    unsigned long files = 0;
    unsigned long records = 0;
    bool recordsHidden = false;  // some files may not be read by this user: records not known
    long long oldestAge = -1;    // seconds; -1: no file
    bool agentKnown = false;     // the agent wrote its record
    bool agentDenied = false;    // this user may not read the agent's record
    bool agentRunning = false;
    DeliveryHealth agent;
};

// Everything cdrctl status tells, gathered first and then printed in either form.
struct View {
    int64_t now = 0;      // wall clock, for what is shown
    int64_t bootNow = 0;  // boot clock, for how long deliveries have failed
    std::string bootId;
    int pid = 0;             // the running recorder's pid; 0: none runs
    bool known = false;      // a health record of that recorder (or of the last one) was read
    bool current = false;    // the record is the running recorder's own
    std::string recordNote;  // why no record is shown
    HealthRecord record;
    std::vector<QueueView> queues;
    DeliveryView delivery;
    std::vector<std::string> problems;  // what needs attention, one line each
};

bool ProcessRuns(int pid) {
    return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM);
}

std::string LocalTimeText(int64_t seconds) {
    struct tm local;
    Env::Current()->LocalTime(static_cast<time_t>(seconds), &local);
    char text[32];
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

std::string Plural(unsigned long count, const char* noun) {
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

// Looks at queue `index` of the health record; when this user may not, takes what the running
// recorder wrote of it.
QueueView LookAtRecorderQueue(const View& view, int index) {
    static const int kNumbers[HealthRecord::kQueues] = {kCallManagerQueueNumber,
                                                        kWebSideQueueNumber};
    QueueView look;
    look.queue = LookAtQueue(QueueNameOf(kNumbers[index], kRecorderQueuePath), &look.denied);
    const QueueHealth& recorded = view.record.queues[index];
    if (look.denied && view.current && recorded.name == look.queue.name) {
        look.queue = recorded;
        look.fromRecord = true;
    }
    return look;
}

// Reads the text file at `path` into `*text`; false, with the reason in `*error`, when it is
// absent or unreadable; `*denied` tells whether this user may not read it.
bool ReadRecordText(const char* path, std::string* text, std::string* error,
                    bool* denied = nullptr) {
    try {
        if (ReadWholeFile(path, text)) return true;
        *error = std::string("no health record at ") + path;
    } catch (const std::exception& e) {
        *error = e.what();
        if (denied != nullptr) *denied = Unreadable(e) == kNoPermission;
    }
    return false;
}

void ReadHealthRecord(View* view) {
    std::string text, error;
    if (!ReadRecordText(kHealthRecordPath, &text, &view->recordNote)) return;
    if (!ParseHealthRecord(text, &view->record, &error)) {
        view->recordNote = std::string("health record ") + kHealthRecordPath + ": " + error;
        return;
    }
    view->known = true;
    view->current = view->pid != 0 && view->record.pid == view->pid;
    if (view->pid != 0 && !view->current) view->recordNote = "no health record from it yet";
}

void LookAtOutbox(DeliveryView* view, int64_t now) {
    const std::vector<OutboxFile> files = Outbox(view->folder).Files();
    view->files = files.size();
    // A file's age can only come from the wall clock; one set back since the file was written
    // would make it negative, so it counts as new.
    if (!files.empty())
        view->oldestAge = std::max<int64_t>(0, now - static_cast<int64_t>(files.front().modified));
    for (const OutboxFile& file : files) {
        try {
            view->records += CountRecords(file.path);
        } catch (const std::exception& e) {
            // Counted as a file; its records are the collector's to judge, unless this user may
            // not read them at all.
            view->recordsHidden = view->recordsHidden || Unreadable(e) == kNoPermission;
        }
    }
}

void LookAtDelivery(View* view) {
    DeliveryView& delivery = view->delivery;
    delivery.automatic = view->known && view->record.autoDownload;
    try {
        const DownloadSettings settings = ReadDownloadSettings(false);
        delivery.folder = settings.directory;
        delivery.commandSet = !settings.command.empty();
        LookAtOutbox(&delivery, view->now);
    } catch (const std::exception& e) {
        delivery.outboxError = Unreadable(e);
    }
    std::string text, error;
    if (ReadRecordText(kDeliveryRecordPath, &text, &error, &delivery.agentDenied) &&
        ParseDeliveryRecord(text, &delivery.agent, &error)) {
        delivery.agentKnown = true;
        delivery.agentRunning = ProcessRuns(delivery.agent.pid);
    }
}

// ": <why>" when the reason a store stays closed is known, else nothing.
std::string OpenErrorText(const StoreHealth& store) {
    return store.openError.empty() ? "" : ": " + store.openError;
}

std::string StoreProblem(const StoreHealth& store, const char* name) {
    if (!store.open) return std::string(name) + ": not open" + OpenErrorText(store);
    return std::string(name) + ": " + std::to_string(store.unsaved) +
           " records not on storage, last save failed: " + store.saveError;
}

std::string DropProblem(const HealthRecord& record) {
    return "download log: " + Plural(record.dropped, "record") + " dropped since " +
           LocalTimeText(record.droppingSince) + ", downloads failing: " + record.dropReason;
}

void Judge(View* view) {
    if (view->pid == 0) return;
    if (!view->current) view->problems.push_back("the recorder has not written its health record");
    for (const QueueView& look : view->queues)
        if (look.Known() && !look.queue.exists)
            view->problems.push_back(look.queue.name + ": not served (" + look.queue.error + ")");
    if (!view->current) return;
    for (int i = 0; i < HealthRecord::kStores; ++i)
        if (NeedsAttention(view->record, i))
            view->problems.push_back(StoreProblem(view->record.stores[i], kStoreNames[i]));
    if (RecordsDropping(view->record)) view->problems.push_back(DropProblem(view->record));
    if (!view->record.unlocked.empty())
        view->problems.push_back("running without an instance lock: " + view->record.unlocked);
    const DeliveryView& delivery = view->delivery;
    if (delivery.automatic && delivery.agentKnown && SameBoot(delivery.agent, view->bootId) &&
        DeliveryOverdue(delivery.agent, view->bootNow))
        view->problems.push_back("deliveries failing since " +
                                 LocalTimeText(delivery.agent.failingSince) + ": " +
                                 delivery.agent.error);
}

View Gather() {
    View view;
    struct timespec now;
    Env::Current()->Now(&now);
    view.now = now.tv_sec;
    view.bootNow = BootMillis() / 1000;
    view.bootId = BootId();
    const pid_t holder = RecorderLockHolder(nullptr);
    if (holder > 0) view.pid = static_cast<int>(holder);
    ReadHealthRecord(&view);
    // When the lock cannot be looked at (it is the recorder's user's only, or the recorder could
    // not take it), the record tells which process runs: its writer, if that still runs.
    if (holder < 0 && view.known && RecordWriterRuns(view.record)) {
        view.pid = view.record.pid;
        view.current = true;
    }
    for (int i = 0; i < HealthRecord::kQueues; ++i)
        view.queues.push_back(LookAtRecorderQueue(view, i));
    LookAtDelivery(&view);
    Judge(&view);
    return view;
}

// ---- For people ----

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
std::string FailingText(const View& view) {
    const DeliveryHealth& agent = view.delivery.agent;
    if (!SameBoot(agent, view.bootId)) return "before this boot";
    return std::to_string(DeliveryFailingSeconds(agent, view.bootNow) / 60) + " min";
}

std::string AgentText(const View& view) {
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

std::string DeliveryText(const View& view) {
    if (!view.delivery.automatic) return "automatic download off; " + OutboxText(view.delivery);
    return "download log " + StoreText(view.record.stores[HealthRecord::kDownloadLog]) + "; " +
           OutboxText(view.delivery) + "; " + AgentText(view);
}

std::string QueuesText(const View& view) {
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

std::string RecorderText(const View& view) {
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

void PrintText(const View& view, FILE* out) {
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

std::string JsonQueues(const View& view) {
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

std::string JsonRecorder(const View& view) {
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

std::string JsonAgent(const View& view) {
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

std::string JsonDelivery(const View& view) {
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

void PrintJson(const View& view, FILE* out) {
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

}  // namespace

int PrintRecorderStatus(bool json, FILE* out) {
    const View view = Gather();
    if (json)
        PrintJson(view, out);
    else
        PrintText(view, out);
    if (view.pid == 0) return kStatusNotRunning;
    return view.problems.empty() ? kStatusHealthy : kStatusAttention;
}
