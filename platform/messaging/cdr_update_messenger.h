// The recorder's control requests from the web side on queue 111 (clear, flush, reload settings,
// reload download settings, download now) and the answers to the first three.
#pragma once

#include "platform/messaging/cgi_messenger.h"

class CDRUpdateMessenger : public CGIMessenger {
  public:
    // Bound to queue kWebSideQueueNumber (111).
    CDRUpdateMessenger();
    ~CDRUpdateMessenger() override;

    // Request handlers; each returns non-zero on success. The results are not sent anywhere: the
    // handlers of the answered requests answer themselves with the calls below. The defaults do
    // nothing and return 0.
    virtual int OnClear(int mask);  // clear the databases whose bits are set in `mask`
    virtual int OnFlush(int mask);  // write the databases whose bits are set in `mask`
    virtual int OnUpdateCDRSettings();
    virtual int OnUpdateCDRDownloadSettings();
    virtual int OnDownloadNow();

    // The answers to clear, flush and settings reload, carrying `mask` as given and the cookie of
    // the request being handled (0 outside a handler). Never block: 1 when sent, 0 when dropped
    // with a warning line.
    int Clear(int mask);
    int Flush(int mask);
    int UpdateCDRSettings();

  protected:
    bool DispatchMessage(const WireMessage& message) override;
};
