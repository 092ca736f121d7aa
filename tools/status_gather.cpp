#include "tools/status_gather.h"

#include <time.h>

#include <algorithm>
#include <exception>

#include "platform/messaging/message_queue.h"
#include "platform/messaging/queue_state.h"
#include "platform/statistics/download_settings.h"
#include "platform/statistics/outbox.h"
#include "platform/util/env.h"
#include "platform/util/file_util.h"
#include "state/instance_lock.h"

namespace {

bool IsPermissionError(int error) {
    return error == EACCES || error == EPERM;
}

// Why something could not be read: kNoPermission when this user may not, else the error's text.
std::string Unreadable(const std::exception& e) {
    const FileError* error = dynamic_cast<const FileError*>(&e);
    return error != nullptr && IsPermissionError(error->error()) ? kNoPermission : e.what();
}

// Looks at queue `index` of the health record; when this user may not, takes what the running
// recorder wrote of it.
QueueView LookAtRecorderQueue(const StatusView& view, int index) {
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

void ReadHealthRecord(StatusView* view) {
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

void LookAtDelivery(StatusView* view) {
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

}  // namespace

StatusView GatherStatus() {
    StatusView view;
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
    return view;
}
