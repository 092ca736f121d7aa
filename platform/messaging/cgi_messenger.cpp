#include "platform/messaging/cgi_messenger.h"

#include <fcntl.h>

#include "platform/messaging/message_queue.h"
#include "platform/messaging/queue_directory.h"
#include "platform/util/diag.h"

CGIMessenger::CGIMessenger(int queueNumber) : CyclicMessageQueue(queueNumber) {}

CGIMessenger::~CGIMessenger() = default;

int CGIMessenger::OnCgiPartyStateChanged(bool) {
    return 0;
}

bool CGIMessenger::DispatchMessage(const WireMessage& message) {
    if (message.kind != MessageKind::kCGIPartyState) return false;
    OnCgiPartyStateChanged(message.connected);
    return true;
}

int CGIMessenger::SendAnswer(WireMessage answer) {
    MessageQueue* requests = QueueDirectory::Find(QueueNumber());
    if (requests == nullptr) {
        Warn("answer dropped: queue %d is not selected\n", QueueNumber());
        return 0;
    }
    answer.cookie = CurrentCookie();
    unsigned char buffer[kMaxMessageSize];
    size_t size = EncodeMessage(answer, buffer, nullptr);
    MessageQueue replies;
    QueueStatus status = replies.Open(ReplyQueueNameOf(requests->Name()), O_WRONLY | O_NONBLOCK);
    if (status == QueueStatus::kOk) status = replies.Send(buffer, size, 0);
    if (status == QueueStatus::kOk) return 1;
    Warn("answer dropped: %s\n", replies.error().c_str());
    return 0;
}
