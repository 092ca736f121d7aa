#include "platform/messaging/cyclic_queue_poller.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <time.h>

#include "platform/messaging/queue_directory.h"
#include "platform/util/diag.h"
#include "platform/util/env.h"

CyclicQueuePoller::CyclicQueuePoller(int maxQueues, int reselectMillis)
    : mMaxQueues(maxQueues), mReselectMillis(reselectMillis) {}

CyclicQueuePoller::~CyclicQueuePoller() {
    for (auto& selected : mQueues) {
        if (!selected->queue.IsOpen()) continue;
        QueueDirectory::Unregister(selected->number);
        if (selected->removeAtEnd && !selected->queue.Unlink())
            Warn("%s\n", selected->queue.error().c_str());
    }
}

int CyclicQueuePoller::SelectQueue(int number, const char* path, bool create, bool removeAtEnd) {
    Selected* selected = Find(number);
    if (selected != nullptr && selected->queue.IsOpen()) {
        Warn("cannot select queue %d: it is selected already\n", number);
        return -1;
    }
    if (selected == nullptr) {
        if (mQueues.size() >= static_cast<size_t>(mMaxQueues)) {
            Warn("cannot select queue %d: %d queues are selected already\n", number, mMaxQueues);
            return -1;
        }
        mQueues.emplace_back(new Selected{number, {}, create, removeAtEnd, {}});
        selected = mQueues.back().get();
    }
    selected->name = QueueNameOf(number, path);
    selected->create = create;
    selected->removeAtEnd = removeAtEnd;
    std::string reason;
    if (Open(selected, &reason)) return 0;
    Warn("cannot select queue %d: %s; trying again every %g s\n", number, reason.c_str(),
         mReselectMillis / 1000.0);
    mNextReselect = MonotonicMillis() + mReselectMillis;
    return -1;
}

CyclicQueuePoller::Selected* CyclicQueuePoller::Find(int number) {
    for (auto& selected : mQueues)
        if (selected->number == number) return selected.get();
    return nullptr;
}

bool CyclicQueuePoller::Open(Selected* selected, std::string* reason) {
    MessageQueue& queue = selected->queue;
    int access = O_RDONLY | O_NONBLOCK;
    QueueStatus status = selected->create ? queue.Create(selected->name, access)
                                          : queue.Open(selected->name, access);
    if (status != QueueStatus::kOk) {
        *reason = queue.error();
        return false;
    }
    if (!QueueDirectory::Register(selected->number, &queue)) {
        queue.Close();
        *reason = "it is selected already";
        return false;
    }
    return true;
}

bool CyclicQueuePoller::HasMissing() const {
    for (auto& selected : mQueues)
        if (!selected->queue.IsOpen()) return true;
    return false;
}

void CyclicQueuePoller::ReselectMissing() {
    if (!HasMissing() || MonotonicMillis() < mNextReselect) return;
    for (auto& selected : mQueues) {
        std::string reason;
        if (!selected->queue.IsOpen() && Open(selected.get(), &reason))
            Warn("selected queue %d (%s) after all\n", selected->number, selected->name.c_str());
    }
    mNextReselect = MonotonicMillis() + mReselectMillis;
}

size_t CyclicQueuePoller::CountWaiting() {
    CollectOpenQueues();
    // Counted from the last selected queue to the first: whatever was sent on an earlier queue
    // before a message that is counted is then counted too, and goes ahead of it.
    std::vector<long>& waiting = mWaiting;
    waiting.assign(mPolled.size(), 0);
    for (size_t i = mPolled.size(); i-- > 0;) {
        struct mq_attr attributes;
        if (mq_getattr(mPolled[i]->queue.Descriptor(), &attributes) == 0)
            waiting[i] = attributes.mq_curmsgs;
    }
    mFound.clear();
    mNextFound = 0;
    size_t found = 0;
    for (size_t i = 0; i < mPolled.size(); ++i) {
        if (waiting[i] <= 0) continue;
        mFound.push_back({mPolled[i], static_cast<size_t>(waiting[i])});
        found += static_cast<size_t>(waiting[i]);
    }
    return found;
}

void CyclicQueuePoller::CollectOpenQueues() {
    mPollSet.clear();
    mPolled.clear();
    for (auto& selected : mQueues) {
        if (!selected->queue.IsOpen()) continue;
        mPollSet.push_back({selected->queue.Descriptor(), POLLIN, 0});
        mPolled.push_back(selected.get());
    }
}

CyclicQueuePoller::Wake CyclicQueuePoller::AwaitAfterIdleWork() {
    if (mIdlePending && mIdlePending()) {
        const Wake look = Await(0);
        if (look != Wake::kLimitPassed) return look;
        mIdleWork();
    }
    return Await(mWaitLimit);
}

CyclicQueuePoller::Wake CyclicQueuePoller::Await(int limit) {
    CollectOpenQueues();
    int timeout = limit;
    bool reselectFirst = false;
    if (HasMissing()) {
        long long left = mNextReselect - MonotonicMillis();
        const int reselect = left > 0 ? static_cast<int>(left) : 0;
        reselectFirst = timeout < 0 || reselect < timeout;
        if (reselectFirst) timeout = reselect;
    }
    int ready;
    while ((ready = poll(mPollSet.data(), mPollSet.size(), timeout)) < 0) {
        if (errno == EINTR) continue;
        Warn("waiting on the message queues failed: %s\n", strerror(errno));
        return Wake::kFailed;
    }
    for (const struct pollfd& entry : mPollSet) {
        if ((entry.revents & POLLIN) != 0) return Wake::kWoken;
    }
    if (ready == 0) return reselectFirst ? Wake::kWoken : Wake::kLimitPassed;
    Warn("waiting on the message queues failed: a queue reported an error\n");
    return Wake::kFailed;
}

int CyclicQueuePoller::WaitForEvents() {
    // The queues are looked at again only once every message found earlier was reported: so a
    // message never overtakes one that was waiting on an earlier queue when it was sent.
    // Under load, once the messages counted at the last look are all reported, the queues are
    // counted again at once: a poll would only tell what the count tells, at a system call per
    // message. The poller waits again once a count finds at most one message.
    while (mNextFound == mFound.size()) {
        ReselectMissing();
        if (mQueues.empty()) return -1;
        if (mBusy) {
            mBusy = CountWaiting() > 1;
            if (mNextFound < mFound.size()) break;
        }
        const Wake wake = AwaitAfterIdleWork();
        if (wake != Wake::kWoken) return wake == Wake::kFailed ? -1 : 0;
        mBusy = CountWaiting() > 1;
    }
    Found& next = mFound[mNextFound];
    if (--next.left == 0) ++mNextFound;
    return next.queue->number;
}
