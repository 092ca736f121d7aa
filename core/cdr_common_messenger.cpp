#include "core/cdr_common_messenger.h"

namespace {
const int kPollerSetting = 39;
const char kQueuePath[] = "/bin/ping";
}  // namespace

CDRCommonMessenger::CDRCommonMessenger()
    : CDRMessenger(),
      CDRUpdateMessenger(),
      mpPoller(new CyclicQueuePoller(kPollerSetting)),
      mIsRunning(0) {}

CDRCommonMessenger::~CDRCommonMessenger() {
    delete mpPoller;
}

void CDRCommonMessenger::SelectQueues() {
    mpPoller->SelectQueue(kCallManagerQueue, kQueuePath, true, true);
    mpPoller->SelectQueue(kWebQueue, kQueuePath, true, true);
}

void CDRCommonMessenger::WaitForMessagingEvent() {
    mIsRunning = 1;
    do {
        switch (mpPoller->WaitForEvents()) {
            case kCallManagerQueue:
                CDRMessenger::ProcessMessageFromQueue(1);
                break;
            case kWebQueue:
                CDRUpdateMessenger::ProcessMessageFromQueue(1);
                break;
            case kWaitFailed:
                OnWaitError(1);
                break;
            default:
                break;
        }
    } while (mIsRunning != 0);
}

void CDRCommonMessenger::OnWaitError(int) {}
