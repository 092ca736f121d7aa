// A look at one of the recorder's queues as a sender sees it: whether it exists, how many
// messages wait in it and how many it holds. The recorder writes what it sees into its health
// record, so that users who may not open its queues learn their state from it; cdrctl status
// looks for itself where it may.
#pragma once

#include <string>

#include "platform/util/health_record.h"

// Looks at the queue `name` ("/ping-15") without taking or waiting for anything. A queue that
// cannot be looked at has `exists` false and the reason in `error`; `*denied` (when not null) is
// set to whether that was because this user may not open it.
QueueHealth LookAtQueue(const std::string& name, bool* denied = nullptr);
