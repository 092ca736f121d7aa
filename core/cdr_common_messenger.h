// The recorder's one messenger: the call manager's queue and the web side's queue joined in one
// object, served by one loop that hands each waiting message to the messenger it belongs to.
#pragma once

#include "platform/messaging/cdr_messenger.h"
#include "platform/messaging/cdr_update_messenger.h"
#include "platform/messaging/cyclic_queue_poller.h"

class CDRCommonMessenger : public CDRMessenger, public CDRUpdateMessenger {
  public:
    // What the poller reports for a failed wait; otherwise it reports kCallManagerQueueNumber or
    // kWebSideQueueNumber.
    static const int kWaitFailed = -1;

    CDRCommonMessenger();
    ~CDRCommonMessenger() override;

    // Selects (creates and opens) both queues on the poller; called once, before the loop.
    void SelectQueues();

    // Waits for a message on either queue and dispatches it, again and again while `mIsRunning`
    // stays non-zero, calling OnLoopTurn before each wait, and while messages found waiting are
    // served without a wait, before one in 16 of them. A failed wait calls OnWaitError(1) and the
    // loop waits again at once. An exception a handler lets out leaves the loop.
    void WaitForMessagingEvent();

    // Called by the loop when a wait fails; does nothing here.
    virtual void OnWaitError(int);

    // Called by the loop before each wait (see above), so that work can be done between
    // messages; returns the longest the wait may last in milliseconds, -1 for no limit (as
    // here). A wait that reaches its limit dispatches nothing.
    virtual int OnLoopTurn();

  protected:
    CyclicQueuePoller* mpPoller;  // owned
    int mIsRunning;
};
