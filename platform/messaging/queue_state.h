// A look at one of the recorder's queues as a sender sees it: whether it exists, how many
// messages wait in it and how many it holds. The recorder writes what it sees into its health
// record, so that users who may not open its queues learn their state from it; cdrctl status
// looks for itself where it may.
#pragma once

#include <stdint.h>

#include <string>

// One of the recorder's queues as a sender sees it.
struct QueueHealth {
    std::string name;      // the program's name of the queue ("/ping-15")
    bool exists = false;   // it exists and could be looked at
    uint32_t waiting = 0;  // messages waiting in it
    uint32_t depth = 0;    // messages it holds at most: a sender's post waits while it is full
    std::string error;     // why it could not be looked at, when it does not exist
};

// True when `queue` is full, so that a sender's post waits and, past its timeout, fails.
inline bool RefusesPosts(const QueueHealth& queue) {
    return queue.exists && queue.depth > 0 && queue.waiting >= queue.depth;
}

// Looks at the queue `name` ("/ping-15") without taking or waiting for anything. A queue that
// cannot be looked at has `exists` false and the reason in `error`; `*denied` (when not null) is
// set to whether that was because this user may not open it.
QueueHealth LookAtQueue(const std::string& name, bool* denied = nullptr);
