// The web (CGI) side of a program: requests on a numbered queue, the web side's connection state,
// and answers sent back on the queue's reply queue without ever blocking the program.
#pragma once

#include "platform/messaging/cyclic_message_queue.h"
#include "platform/messaging/message_queue.h"

class CGIMessenger : public CyclicMessageQueue {
  public:
    explicit CGIMessenger(int queueNumber);
    ~CGIMessenger() override;

    // The web side announced that it connected (true) or disconnected (false). The default does
    // nothing and returns 0; the result is not sent anywhere.
    virtual int OnCgiPartyStateChanged(bool connected);

  protected:
    bool DispatchMessage(const WireMessage& message) override;

    // Sends `answer`, with the cookie of the request being dispatched, on the reply queue of the
    // bound queue ("<queue name>-reply"). Never waits: when the reply queue is absent or full, or
    // the bound queue is not selected, the answer is dropped with a warning line and 0 returned.
    // Returns 1 when sent.
    int SendAnswer(WireMessage answer);

  private:
    // Keeps the reply queue open from answer to answer while it keeps its name, so that an
    // answer costs one system call to check it and one to send; opens it anew otherwise.
    QueueStatus OpenReplies(const std::string& requestQueue);

    MessageQueue mReplies;
};
