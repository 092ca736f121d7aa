#include "platform/messaging/cdr_update_messenger.h"

#include "platform/messaging/message_queue.h"

CDRUpdateMessenger::CDRUpdateMessenger() : CGIMessenger(kWebSideQueueNumber) {}

CDRUpdateMessenger::~CDRUpdateMessenger() = default;

int CDRUpdateMessenger::OnClear(int) {
    return 0;
}
int CDRUpdateMessenger::OnFlush(int) {
    return 0;
}
int CDRUpdateMessenger::OnUpdateCDRSettings() {
    return 0;
}
int CDRUpdateMessenger::OnUpdateCDRDownloadSettings() {
    return 0;
}
int CDRUpdateMessenger::OnDownloadNow() {
    return 0;
}

namespace {

WireMessage Answer(MessageKind kind, int mask) {
    WireMessage answer;
    answer.kind = kind;
    answer.mask = mask;
    return answer;
}

}  // namespace

int CDRUpdateMessenger::Clear(int mask) {
    return SendAnswer(Answer(MessageKind::kClearAnswer, mask));
}

int CDRUpdateMessenger::Flush(int mask) {
    return SendAnswer(Answer(MessageKind::kFlushAnswer, mask));
}

int CDRUpdateMessenger::UpdateCDRSettings() {
    return SendAnswer(Answer(MessageKind::kUpdateCDRSettingsAnswer, 0));
}

bool CDRUpdateMessenger::DispatchMessage(const WireMessage& message) {
    switch (message.kind) {
        case MessageKind::kClear:
            OnClear(message.mask);
            return true;
        case MessageKind::kFlush:
            OnFlush(message.mask);
            return true;
        case MessageKind::kUpdateCDRSettings:
            OnUpdateCDRSettings();
            return true;
        case MessageKind::kUpdateDownloadSettings:
            OnUpdateCDRDownloadSettings();
            return true;
        case MessageKind::kDownloadNow:
            OnDownloadNow();
            return true;
        default:
            return CGIMessenger::DispatchMessage(message);
    }
}
