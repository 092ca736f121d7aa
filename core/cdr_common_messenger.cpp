#include "core/cdr_common_messenger.h"

#include "platform/messaging/message_queue.h"

namespace {
const int kPollerSetting = 39;
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
    mpPoller->SelectQueue(kCallManagerQueueNumber, kRecorderQueuePath, true, true);
    mpPoller->SelectQueue(kWebSideQueueNumber, kRecorderQueuePath, true, true);
}

void CDRCommonMessenger::WaitForMessagingEvent() {
    mIsRunning = 1;
    do {
        mpPoller->SetWaitLimit(OnLoopTurn());
        switch (mpPoller->WaitForEvents()) {
            case kCallManagerQueueNumber:
                CDRMessenger::ProcessMessageFromQueue(1);
                break;
            case kWebSideQueueNumber:
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

int CDRCommonMessenger::OnLoopTurn() {
    return -1;
}
