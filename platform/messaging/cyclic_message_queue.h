// Common base of the messengers: binds an object to one numbered queue, takes the waiting
// messages from it, checks and decodes each and hands it to the derived class's dispatch hook.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "platform/messaging/wire_codec.h"

class CyclicMessageQueue {
  public:
    // Binds the object to the queue with this number; the queue itself is opened when a
    // CyclicQueuePoller selects it.
    explicit CyclicMessageQueue(int queueNumber);
    virtual ~CyclicMessageQueue();
    CyclicMessageQueue(const CyclicMessageQueue&) = delete;
    CyclicMessageQueue& operator=(const CyclicMessageQueue&) = delete;

    // Takes the waiting messages (at most `maxMessages`, without blocking) from the bound queue and
    // dispatches each on the calling thread. A malformed message, or one whose kind does not
    // belong on this queue, is dropped with one warning line and the next one is served. Returns
    // the number of messages taken; 0 also when the queue is not selected.
    int ProcessMessageFromQueue(int maxMessages);

    int QueueNumber() const { return mQueueNumber; }

  protected:
    // Calls the handler of a well-formed `message`; false when its kind does not belong here.
    virtual bool DispatchMessage(const WireMessage& message) = 0;

    // The cookie of the request being dispatched; 0 outside dispatch.
    uint32_t CurrentCookie() const { return mCurrentCookie; }

  private:
    void DispatchOne(size_t size, const std::string& queueName);

    int mQueueNumber;
    uint32_t mCurrentCookie = 0;
    std::vector<unsigned char> mBuffer;
    // The message being dispatched and what was fitted in it, kept from message to message so
    // that their texts' memory is reused rather than allocated for every report.
    WireMessage mMessage;
    std::string mFitted;
};
