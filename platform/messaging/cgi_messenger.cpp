#include "platform/messaging/cgi_messenger.h"

#include <fcntl.h>

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
    QueueStatus status = OpenReplies(requests->Name());
    if (status == QueueStatus::kOk) status = mReplies.Send(buffer, size, 0);
    if (status == QueueStatus::kOk) return 1;
    Warn("answer dropped: %s\n", mReplies.error().c_str());
    mReplies.Close();
    return 0;
}

QueueStatus CGIMessenger::OpenReplies(const std::string& requestQueue) {
    if (mReplies.IsLinked()) return QueueStatus::kOk;
    return mReplies.Open(ReplyQueueNameOf(requestQueue), O_WRONLY | O_NONBLOCK);
}
