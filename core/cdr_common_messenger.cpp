#include "core/cdr_common_messenger.h"

#include "platform/messaging/message_queue.h"

namespace {
const int kPollerSetting = 39;
// While messages found waiting are served one after another, OnLoopTurn runs for one of this
// many: no wait comes between them, and its work (reading the clock, at least) is then only
// needed for what falls due meanwhile, which can wait that many messages.
const unsigned kBusyTurnsPerLoopTurn = 16;
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
    unsigned busyTurns = 0;
    do {
        if (!mpPoller->HasFoundWaiting() || ++busyTurns == kBusyTurnsPerLoopTurn) {
            busyTurns = 0;
            mpPoller->SetWaitLimit(OnLoopTurn());
        }
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
