#include "platform/messaging/cdr_messenger.h"

#include "platform/messaging/message_queue.h"

CDRMessenger::CDRMessenger() : CyclicMessageQueue(kCallManagerQueueNumber) {}

CDRMessenger::~CDRMessenger() = default;

int CDRMessenger::OnAddCDR(int, const CallDetailReport&, const CallStatistics*) {
    return 0;
}

void CDRMessenger::OnCDRPartyStateChanged(bool) {}

bool CDRMessenger::DispatchMessage(const WireMessage& message) {
    switch (message.kind) {
        case MessageKind::kAddCDR:
            OnAddCDR(message.recordType, message.report,
                     message.hasStatistics ? &message.statistics : nullptr);
            return true;
        case MessageKind::kCMPartyState:
            OnCDRPartyStateChanged(message.connected);
            return true;
        default:
            return false;
    }
}
