#include "support/recorder_queues.h"

#include <fcntl.h>
#include <mqueue.h>

#include <mutex>
#include <stdexcept>

#include "platform/messaging/message_queue.h"
#include "platform/util/diag.h"
#include "platform/util/env.h"

namespace {

std::mutex gWarningsMutex;
std::vector<std::string> gWarnings;

void CollectWarning(const char* line) {
    std::lock_guard<std::mutex> lock(gWarningsMutex);
    gWarnings.push_back(line);
}

}  // namespace

RecorderQueues::RecorderQueues() {
    SetWarningSink(CollectWarning);
    TakeWarnings();
    for (int number : {kCallManagerQueueNumber, kWebSideQueueNumber})
        if (mPoller.SelectQueue(number, kRecorderQueuePath, true, true) != 0)
            throw std::runtime_error("cannot select the recorder's queues");
}

RecorderQueues::~RecorderQueues() {
    std::string replies = ReplyQueueNameOf(QueueNameOf(kWebSideQueueNumber, kRecorderQueuePath));
    mq_unlink(Env::Current()->QueueName(replies).c_str());
    SetWarningSink(nullptr);
}

std::vector<std::string> RecorderQueues::TakeWarnings() {
    std::lock_guard<std::mutex> lock(gWarningsMutex);
    std::vector<std::string> taken;
    taken.swap(gWarnings);
    return taken;
}

void RecorderQueues::SendRaw(const std::string& name, const void* data, size_t size) {
    MessageQueue queue;
    if (queue.Open(name, O_WRONLY) != QueueStatus::kOk ||
        queue.Send(data, size, 0) != QueueStatus::kOk)
        throw std::runtime_error(queue.error());
}
