// The call manager's side of the recorder: call detail reports and the call manager's connection
// state, received on queue 15 and handed to the virtual handlers below.
#pragma once

#include "platform/messaging/call_detail_report.h"
#include "platform/messaging/cyclic_message_queue.h"

class CDRMessenger : public CyclicMessageQueue {
  public:
    // Bound to queue kCallManagerQueueNumber (15).
    CDRMessenger();
    ~CDRMessenger() override;

    // A call detail report of record type `type` arrived; `statistics` is null when the call had
    // none. Returns non-zero when the report was handled; the result is not sent anywhere.
    // The default does nothing and returns 0.
    virtual int OnAddCDR(int type, const CallDetailReport& report,
                         const CallStatistics* statistics);
    // The call manager announced that it connected (true) or disconnected (false).
    // The default does nothing.
    virtual void OnCDRPartyStateChanged(bool connected);

  protected:
    bool DispatchMessage(const WireMessage& message) override;
};
