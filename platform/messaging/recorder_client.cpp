#include "platform/messaging/recorder_client.h"

#include <fcntl.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <vector>

#include "platform/util/env.h"

namespace {

// Kinds below 16 belong on the call manager's queue, the others on the web side's.
std::string QueueFor(MessageKind kind) {
    int number = static_cast<uint8_t>(kind) < static_cast<uint8_t>(MessageKind::kCGIPartyState)
                     ? kCallManagerQueueNumber
                     : kWebSideQueueNumber;
    return QueueNameOf(number, kRecorderQueuePath);
}

std::string Seconds(int millis) {
    char text[32];
    snprintf(text, sizeof text, "%g s", millis / 1000.0);
    return text;
}

}  // namespace

RecorderClient::RecorderClient(int timeoutMillis) : mTimeoutMillis(timeoutMillis) {}

ClientStatus RecorderClient::Post(const WireMessage& message) {
    return Send(message);
}

ClientStatus RecorderClient::Ask(WireMessage request, WireMessage* answer) {
    MessageKind answerKind;
    if (!AnswerKindOf(request.kind, &answerKind)) {
        mError = "this request is not answered";
        return ClientStatus::kInvalid;
    }
    // The reply queue must exist before the request goes out, or the answer is dropped.
    MessageQueue replies;
    if (replies.Create(ReplyQueueNameOf(QueueFor(request.kind)), O_RDONLY) != QueueStatus::kOk) {
        mError = replies.error();
        return ClientStatus::kUnavailable;
    }
    DiscardStaleAnswers(&replies);
    request.cookie = NewCookie();
    ClientStatus status = Send(request);
    if (status != ClientStatus::kDone) return status;
    return AwaitAnswer(&replies, answerKind, request.cookie, answer);
}

bool RecorderClient::AnswerKindOf(MessageKind request, MessageKind* answer) {
    switch (request) {
        case MessageKind::kClear:
            *answer = MessageKind::kClearAnswer;
            return true;
        case MessageKind::kFlush:
            *answer = MessageKind::kFlushAnswer;
            return true;
        case MessageKind::kUpdateCDRSettings:
            *answer = MessageKind::kUpdateCDRSettingsAnswer;
            return true;
        default:
            return false;
    }
}

ClientStatus RecorderClient::Send(const WireMessage& message) {
    unsigned char buffer[kMaxMessageSize];
    const char* problem = nullptr;
    size_t size = EncodeMessage(message, buffer, &problem, &mFitted);
    if (size == 0) {
        mError = problem;
        return ClientStatus::kInvalid;
    }
    MessageQueue queue;
    QueueStatus status = queue.Open(QueueFor(message.kind), O_WRONLY);
    if (status == QueueStatus::kOk) status = queue.Send(buffer, size, mTimeoutMillis);
    switch (status) {
        case QueueStatus::kOk:
            return ClientStatus::kDone;
        case QueueStatus::kMissing:
            mError = "the recorder's queue " + queue.Name() +
                     " does not exist (is the recorder running?)";
            break;
        case QueueStatus::kTimedOut:
            mError = "the recorder's queue " + queue.Name() + " stayed full for " +
                     Seconds(mTimeoutMillis);
            break;
        case QueueStatus::kFailed:
            mError = queue.error();
            break;
    }
    return ClientStatus::kUnavailable;
}

ClientStatus RecorderClient::AwaitAnswer(MessageQueue* replies, MessageKind kind, uint32_t cookie,
                                         WireMessage* answer) {
    std::vector<unsigned char> buffer(static_cast<size_t>(replies->MessageSize()));
    long long deadline = MonotonicMillis() + mTimeoutMillis;
    for (;;) {
        long long left = deadline - MonotonicMillis();
        size_t size = 0;
        QueueStatus status =
            replies->Receive(buffer.data(), buffer.size(), &size, left > 0 ? int(left) : 0);
        if (status == QueueStatus::kTimedOut) {
            mError = "no answer from the recorder within " + Seconds(mTimeoutMillis);
            return ClientStatus::kUnavailable;
        }
        if (status != QueueStatus::kOk) {
            mError = replies->error();
            return ClientStatus::kUnavailable;
        }
        // Anything else is an answer meant for an earlier client, or garbage: skip it.
        if (DecodeMessage(buffer.data(), size, answer) == nullptr && answer->kind == kind &&
            answer->cookie == cookie)
            return ClientStatus::kDone;
    }
}

void RecorderClient::DiscardStaleAnswers(MessageQueue* replies) {
    std::vector<unsigned char> buffer(static_cast<size_t>(replies->MessageSize()));
    size_t size = 0;
    while (replies->Receive(buffer.data(), buffer.size(), &size, 0) == QueueStatus::kOk) {
    }
}

uint32_t RecorderClient::NewCookie() {
    static std::atomic<uint32_t> counter{0};
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint32_t cookie = static_cast<uint32_t>(getpid()) * 2654435761u ^
                      static_cast<uint32_t>(now.tv_nsec) ^ (++counter << 24);
    return cookie != 0 ? cookie : 1;
}
