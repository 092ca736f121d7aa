// Waits on several numbered queues at once and reports, one at a time and in turn, which of them
// holds a message; the messenger bound to that number then takes it.
#pragma once

#include <poll.h>

#include <memory>
#include <vector>

#include "platform/messaging/message_queue.h"

class CyclicQueuePoller {
  public:
    // A poller that watches at most `maxQueues` queues (the recorder passes 39).
    explicit CyclicQueuePoller(int maxQueues);
    // Closes the selected queues, removes them from the queue directory, and removes the names of
    // those selected with `removeAtEnd`.
    virtual ~CyclicQueuePoller();
    CyclicQueuePoller(const CyclicQueuePoller&) = delete;
    CyclicQueuePoller& operator=(const CyclicQueuePoller&) = delete;

    // Opens the queue that `number` and `path` name (QueueNameOf: (15, "/bin/ping") is
    // "/ping-15") for receiving and registers it in the queue directory under `number`.
    //   create:      create the queue (owner only, mode 0600) when it does not exist; otherwise
    //                an absent queue is a failure;
    //   removeAtEnd: the poller's destructor removes the queue's name, so that senders learn that
    //                nobody serves it any more.
    // Returns 0, or -1 with a warning line when the queue cannot be opened, the number is already
    // selected, or `maxQueues` queues are selected already.
    int SelectQueue(int number, const char* path, bool create, bool removeAtEnd);

    // Blocks until a selected queue holds a message and returns its number. When several hold
    // messages, they are reported in turn (round robin), so while two queues both hold messages
    // neither waits behind more than one message of the other, provided each report is followed by
    // taking one message. Returns 0 when the wait limit passed with no message, -1 when the wait
    // fails or no queue is selected.
    virtual int WaitForEvents();

    // The longest the next waits last, in milliseconds; -1 (the start value): no limit.
    void SetWaitLimit(int millis) { mWaitLimit = millis; }

  private:
    struct Selected {
        int number;
        bool removeAtEnd;
        MessageQueue queue;
    };

    int mMaxQueues;
    std::vector<std::unique_ptr<Selected>> mQueues;
    std::vector<struct pollfd> mPollSet;  // one entry per selected queue, in the same order
    size_t mNext = 0;                     // where the next search for a ready queue starts
    int mWaitLimit = -1;
};
