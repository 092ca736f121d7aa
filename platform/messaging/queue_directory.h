// The process-wide directory of selected queues: a poller registers each queue it selects under
// its number, and the messenger bound to that number reads its messages from there.
#pragma once

class MessageQueue;

class QueueDirectory {
  public:
    // Registers `queue` (not owned; must stay open until unregistered) under `number`.
    // Returns false, changing nothing, when the number is taken.
    static bool Register(int number, MessageQueue* queue);
    // Removes the entry of `number`, if any.
    static void Unregister(int number);
    // The queue registered under `number`, or null. Valid until the entry is removed, which only
    // its poller does; the messenger and the poller are meant to run on one thread.
    static MessageQueue* Find(int number);
};
