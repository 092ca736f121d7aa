// The recorder's two queues in a sandbox, created and selected as the recorder does it, with the
// platform layer's warning lines collected for the test to read.
#pragma once

#include <stddef.h>

#include <string>
#include <vector>

#include "platform/messaging/cyclic_queue_poller.h"
#include "support/test_env.h"

class RecorderQueues {
  public:
    // Installs a SandboxEnv and a warning collector, then selects queues 15 and 111.
    RecorderQueues();
    // Removes the queues, including the reply queue a client created, and restores the
    // warning sink.
    ~RecorderQueues();

    CyclicQueuePoller& poller() { return mPoller; }
    // The warning lines since the last call, oldest first.
    std::vector<std::string> TakeWarnings();
    // Puts `size` raw bytes on the existing queue the program calls `name` ("/ping-15").
    void SendRaw(const std::string& name, const void* data, size_t size);

  private:
    SandboxEnv mEnv;
    CyclicQueuePoller mPoller{39};
};
