#include "platform/messaging/cyclic_message_queue.h"

#include "platform/messaging/message_queue.h"
#include "platform/messaging/queue_directory.h"
#include "platform/util/diag.h"

CyclicMessageQueue::CyclicMessageQueue(int queueNumber) : mQueueNumber(queueNumber) {}

CyclicMessageQueue::~CyclicMessageQueue() = default;

int CyclicMessageQueue::ProcessMessageFromQueue(int maxMessages) {
    MessageQueue* queue = QueueDirectory::Find(mQueueNumber);
    if (queue == nullptr) return 0;
    mBuffer.resize(static_cast<size_t>(queue->MessageSize()));
    int taken = 0;
    while (taken < maxMessages) {
        size_t size = 0;
        QueueStatus status = queue->Receive(mBuffer.data(), mBuffer.size(), &size, 0);
        if (status != QueueStatus::kOk) {
            if (status == QueueStatus::kFailed) Warn("%s\n", queue->error().c_str());
            break;
        }
        ++taken;
        DispatchOne(size, queue->Name());
    }
    return taken;
}

void CyclicMessageQueue::DispatchOne(size_t size, const std::string& queueName) {
    WireMessage& message = mMessage;
    std::string& fitted = mFitted;
    const char* problem = DecodeMessage(mBuffer.data(), size, &message, &fitted);
    if (problem != nullptr) {
        Warn("%s: dropped a malformed message of %lu bytes: %s\n", queueName.c_str(),
             static_cast<unsigned long>(size), problem);
        return;
    }
    if (!fitted.empty())
        Warn("%s: texts of a message fitted to be kept: %s\n", queueName.c_str(), fitted.c_str());
    // The cookie must not outlive the dispatch, also when a handler throws.
    struct CookieScope {
        uint32_t& cookie;
        ~CookieScope() { cookie = 0; }
    } scope{mCurrentCookie};
    mCurrentCookie = message.cookie;
    if (!DispatchMessage(message))
        Warn("%s: dropped a message of kind %u, which does not belong on this queue\n",
             queueName.c_str(), static_cast<unsigned>(message.kind));
}
