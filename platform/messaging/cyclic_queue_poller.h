// Waits on several numbered queues at once and reports, one at a time and in the order they were
// found, which of them holds a message; the messenger bound to that number then takes it.
#pragma once

#include <poll.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/messaging/message_queue.h"

class CyclicQueuePoller {
  public:
    // How long the poller waits before it tries again to select a queue it could not open.
    static constexpr int kReselectMillis = 3000;

    // A poller that watches at most `maxQueues` queues (the recorder passes 39); queues that
    // could not be opened are tried again every `reselectMillis` while the poller waits.
    explicit CyclicQueuePoller(int maxQueues, int reselectMillis = kReselectMillis);
    // Closes the selected queues, removes them from the queue directory, and removes the names of
    // those selected with `removeAtEnd`.
    virtual ~CyclicQueuePoller();
    CyclicQueuePoller(const CyclicQueuePoller&) = delete;
    CyclicQueuePoller& operator=(const CyclicQueuePoller&) = delete;

    // Opens the queue that `number` and `path` name (QueueNameOf: (15, "/bin/ping") is
    // "/ping-15") for receiving and registers it in the queue directory under `number`.
    //   create:      create the queue (owner only, mode 0600) when it does not exist, taking the
    //                name over from another user's queue (MessageQueue::Create); otherwise an
    //                absent queue is a failure;
    //   removeAtEnd: the poller's destructor removes the queue's name, so that senders learn that
    //                nobody serves it any more.
    // Returns 0. Returns -1 with a warning line when the number is selected already or
    // `maxQueues` queues are selected already; and when the queue cannot be opened, in which case
    // the poller keeps trying while it waits (silently, with one more line once it succeeds).
    // Selecting a number that is still being tried replaces its arguments.
    int SelectQueue(int number, const char* path, bool create, bool removeAtEnd);

    // Blocks until a selected queue holds a message and returns its number. Messages are reported
    // in the order the poller found them, those found at the same look in the order their
    // queues were selected: so a message is never reported before one that was already waiting
    // on an earlier selected queue when it was sent, and never waits behind messages sent after
    // it was found. This holds provided each report is followed by taking one message. While a
    // queue could not be opened, the wait wakes every `reselectMillis` to try it again (the CPU
    // stays idle). Returns 0 when the wait limit passed with no message, -1 when the wait fails,
    // or when no queue is selected or being tried.
    virtual int WaitForEvents();

    // The longest the next waits last, in milliseconds; -1 (the start value): no limit.
    void SetWaitLimit(int millis) { mWaitLimit = millis; }
    // Messages found at the last look are still to be reported: the next WaitForEvents reports
    // one without waiting, whatever its wait limit.
    bool HasFoundWaiting() const { return mNextFound < mFound.size(); }

    // Work for quiet moments: whenever WaitForEvents is about to block while `pending` says there
    // is work, the poller first looks at the queues without waiting and, when they hold nothing,
    // runs `work`: so that work never delays a message. Empty functions: none.
    void SetIdleWork(std::function<bool()> pending, std::function<void()> work) {
        mIdlePending = std::move(pending);
        mIdleWork = std::move(work);
    }

  private:
    struct Selected {
        int number;
        std::string name;
        bool create;
        bool removeAtEnd;
        MessageQueue queue;
    };

    Selected* Find(int number);
    // Opens and registers the queue of `selected`; false, with the reason in `*reason`, when not.
    bool Open(Selected* selected, std::string* reason);
    // Tries again to open the queues that could not be opened, when it is time to.
    void ReselectMissing();
    bool HasMissing() const;
    enum class Wake { kFailed, kLimitPassed, kWoken };
    // Waits for a message on the open queues (mPollSet), until the next reselection is due or
    // until `limit` milliseconds pass (-1: no limit). kFailed, with a warning, when the wait
    // fails.
    Wake Await(int limit);
    // Await, after the idle work when there is some and no message is waiting.
    Wake AwaitAfterIdleWork();
    // Fills mPollSet and mPolled with the open queues.
    void CollectOpenQueues();
    // Replaces mFound, all reported, with the messages waiting on the open queues, in the order
    // they are to be reported, and returns how many.
    size_t CountWaiting();

    int mMaxQueues;
    int mReselectMillis;
    int mWaitLimit = -1;
    std::function<bool()> mIdlePending;
    std::function<void()> mIdleWork;
    long long mNextReselect = 0;  // monotonic milliseconds
    bool mBusy = false;  // the last count found more than one message: count again before waiting
    std::vector<std::unique_ptr<Selected>> mQueues;  // in selection order, open or being tried
    struct Found {
        Selected* queue;
        size_t left;  // messages found on it and not yet reported
    };
    std::vector<Found> mFound;  // the messages of the last count, in the order to report them...
    size_t mNextFound = 0;      // ...from this entry on
    std::vector<struct pollfd> mPollSet;  // the open queues of the last wait...
    std::vector<Selected*> mPolled;       // ...and whose they are
    std::vector<long> mWaiting;           // the last count, per polled queue
};
