#include "platform/messaging/cyclic_queue_poller.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>

#include "platform/messaging/queue_directory.h"
#include "platform/util/diag.h"

CyclicQueuePoller::CyclicQueuePoller(int maxQueues) : mMaxQueues(maxQueues) {}

CyclicQueuePoller::~CyclicQueuePoller() {
    for (auto& selected : mQueues) {
        QueueDirectory::Unregister(selected->number);
        if (selected->removeAtEnd && !selected->queue.Unlink())
            Warn("%s\n", selected->queue.error().c_str());
    }
}

int CyclicQueuePoller::SelectQueue(int number, const char* path, bool create, bool removeAtEnd) {
    if (mQueues.size() >= static_cast<size_t>(mMaxQueues)) {
        Warn("cannot select queue %d: %d queues are selected already\n", number, mMaxQueues);
        return -1;
    }
    auto selected = std::unique_ptr<Selected>(new Selected{number, removeAtEnd, {}});
    std::string name = QueueNameOf(number, path);
    int access = O_RDONLY | O_NONBLOCK;
    QueueStatus status =
        create ? selected->queue.Create(name, access) : selected->queue.Open(name, access);
    if (status != QueueStatus::kOk) {
        Warn("cannot select queue %d: %s\n", number, selected->queue.error().c_str());
        return -1;
    }
    if (!QueueDirectory::Register(number, &selected->queue)) {
        Warn("cannot select queue %d: it is selected already\n", number);
        return -1;
    }
    mPollSet.push_back({selected->queue.Descriptor(), POLLIN, 0});
    mQueues.push_back(std::move(selected));
    return 0;
}

int CyclicQueuePoller::WaitForEvents() {
    if (mQueues.empty()) return -1;
    int ready;
    while ((ready = poll(mPollSet.data(), mPollSet.size(), mWaitLimit)) < 0) {
        if (errno == EINTR) continue;
        Warn("waiting on the message queues failed: %s\n", strerror(errno));
        return -1;
    }
    if (ready == 0) return 0;
    // The search for a ready queue starts after the one reported last, so queues take turns.
    for (size_t i = 0; i < mPollSet.size(); ++i) {
        size_t index = (mNext + i) % mPollSet.size();
        if ((mPollSet[index].revents & POLLIN) != 0) {
            mNext = index + 1;
            return mQueues[index]->number;
        }
    }
    Warn("waiting on the message queues failed: a queue reported an error\n");
    return -1;
}
