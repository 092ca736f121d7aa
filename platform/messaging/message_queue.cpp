#include "platform/messaging/message_queue.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "platform/messaging/wire_codec.h"
#include "platform/util/diag.h"
#include "platform/util/env.h"
#include "platform/util/file_util.h"

std::string QueueNameOf(int number, const char* path) {
    const char* slash = strrchr(path, '/');
    return "/" + std::string(slash != nullptr ? slash + 1 : path) + "-" + std::to_string(number);
}

std::string ReplyQueueNameOf(const std::string& requestQueue) {
    return requestQueue + "-reply";
}

namespace {

// The depth limit of queues created without extra privileges; 10 when it cannot be read.
long SystemQueueDepth() {
    std::string text;
    try {
        if (!ReadWholeFile("/proc/sys/fs/mqueue/msg_max", &text)) return 10;
    } catch (const FileError&) {
        return 10;
    }
    long depth = strtol(text.c_str(), nullptr, 10);
    return depth > 0 ? depth : 10;
}

// Errors of mq_open that a smaller queue may avoid: over the depth limit, or over the user's
// message-queue memory limit.
bool MayFitSmaller(int error) {
    return error == EINVAL || error == EMFILE || error == ENOMEM;
}

// The absolute CLOCK_REALTIME instant `millis` from now, as the timed queue calls take it. The
// kernel measures these waits on the real clock, so this deliberately does not use Env's clock.
struct timespec DeadlineIn(int millis) {
    // A zero wait needs no clock reading: an instant long past makes the call return at once.
    if (millis == 0) return timespec{0, 0};
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += millis / 1000;
    deadline.tv_nsec += static_cast<long>(millis % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    return deadline;
}

}  // namespace

MessageQueue::~MessageQueue() {
    Close();
}

QueueStatus MessageQueue::Open(const std::string& name, int access) {
    return OpenWith(name, access, nullptr);
}

QueueStatus MessageQueue::Create(const std::string& name, int access) {
    QueueStatus status = CreateSized(name, access);
    if (status != QueueStatus::kFailed || mErrno != EPERM || mOwner == geteuid()) return status;
    // Someone else made a queue under this program's name: theirs could be read by them, so it
    // is removed (which only the owner or root may do) and made anew, exclusively.
    const uid_t stranger = mOwner;
    const mode_t mode = mMode;
    if (!Unlink()) {
        mError = mName + " belongs to user " + std::to_string(static_cast<long>(stranger)) +
                 " and cannot be removed: " + strerror(mErrno);
        return QueueStatus::kFailed;
    }
    Warn("removed %s, a queue of user %ld with mode %04o, to create this program's own\n",
         mName.c_str(), static_cast<long>(stranger), static_cast<unsigned>(mode & 07777));
    return CreateSized(name, access | O_EXCL);
}

QueueStatus MessageQueue::CreateSized(const std::string& name, int access) {
    struct mq_attr attributes = {};
    attributes.mq_maxmsg = kPreferredQueueDepth;
    attributes.mq_msgsize = static_cast<long>(kMaxMessageSize);
    QueueStatus status = OpenWith(name, access | O_CREAT, &attributes);
    if (status != QueueStatus::kFailed || !MayFitSmaller(mErrno)) return status;
    long systemDepth = SystemQueueDepth();
    if (systemDepth >= kPreferredQueueDepth) return status;
    attributes.mq_maxmsg = systemDepth;
    return OpenWith(name, access | O_CREAT, &attributes);
}

QueueStatus MessageQueue::OpenWith(const std::string& name, int flags,
                                   const struct mq_attr* attributes) {
    Close();
    mName = name;
    std::string systemName = Env::Current()->QueueName(name);
    mQueue = mq_open(systemName.c_str(), flags | O_CLOEXEC, 0600,
                     const_cast<struct mq_attr*>(attributes));
    if (mQueue == (mqd_t)-1) {
        if (errno != ENOENT) return Fail("open", errno);
        mErrno = ENOENT;
        mError = mName + " does not exist";
        return QueueStatus::kMissing;
    }
    if ((flags & O_CREAT) != 0 && !IsPrivate()) return QueueStatus::kFailed;
    if ((flags & O_ACCMODE) != O_RDONLY && !IsTrusted()) return QueueStatus::kFailed;
    struct mq_attr actual;
    if (mq_getattr(mQueue, &actual) != 0) {
        int error = errno;
        Close();
        return Fail("read the attributes of", error);
    }
    mMessageSize = actual.mq_msgsize;
    mDepth = actual.mq_maxmsg;
    mNonBlocking = (actual.mq_flags & O_NONBLOCK) != 0;
    return QueueStatus::kOk;
}

bool MessageQueue::ReadOwner() {
    struct stat status;
    if (fstat(mQueue, &status) != 0) return false;
    mOwner = status.st_uid;
    mMode = status.st_mode;
    return true;
}

bool MessageQueue::IsPrivate() {
    int error = 0;
    if (!ReadOwner()) {
        error = errno;
    } else if (mOwner != geteuid()) {
        error = EPERM;
    } else if ((mMode & 077) != 0 && fchmod(mQueue, 0600) != 0) {
        error = errno;
    }
    if (error == 0) return true;
    Close();
    Fail("take private", error);
    return false;
}

bool MessageQueue::IsTrusted() {
    if (!ReadOwner()) {
        int error = errno;
        Close();
        Fail("check the owner of", error);
        return false;
    }
    if (IsTrustedOwner(mOwner)) return true;
    Close();
    mErrno = EPERM;
    mError = "refusing to send on " + mName + ": it belongs to user " +
             std::to_string(static_cast<long>(mOwner)) + ", neither root nor this user";
    return false;
}

bool MessageQueue::IsLinked() const {
    struct stat status;
    return IsOpen() && fstat(mQueue, &status) == 0 && status.st_nlink > 0;
}

void MessageQueue::Close() {
    if (mQueue == (mqd_t)-1) return;
    mq_close(mQueue);
    mQueue = (mqd_t)-1;
}

bool MessageQueue::Unlink() {
    if (mq_unlink(Env::Current()->QueueName(mName).c_str()) == 0) return true;
    Fail("remove", errno);
    return false;
}

QueueStatus MessageQueue::Send(const void* data, size_t size, int timeoutMillis) {
    struct timespec deadline = DeadlineIn(timeoutMillis);
    while (mq_timedsend(mQueue, static_cast<const char*>(data), size, 0, &deadline) != 0) {
        if (errno == EINTR) continue;
        if (errno != ETIMEDOUT && errno != EAGAIN) return Fail("send on", errno);
        mErrno = errno;
        mError = mName + " is full";
        return QueueStatus::kTimedOut;
    }
    return QueueStatus::kOk;
}

QueueStatus MessageQueue::Receive(void* buffer, size_t capacity, size_t* size, int timeoutMillis) {
    // A descriptor that never blocks takes no deadline (mq_receive), which the kernel would copy
    // in for every message.
    struct timespec deadline = DeadlineIn(mNonBlocking ? 0 : timeoutMillis);
    for (;;) {
        ssize_t received =
            mNonBlocking
                ? mq_receive(mQueue, static_cast<char*>(buffer), capacity, nullptr)
                : mq_timedreceive(mQueue, static_cast<char*>(buffer), capacity, nullptr, &deadline);
        if (received >= 0) {
            *size = static_cast<size_t>(received);
            return QueueStatus::kOk;
        }
        if (errno == EINTR) continue;
        if (errno != ETIMEDOUT && errno != EAGAIN) return Fail("receive from", errno);
        mErrno = errno;
        mError = mName + " is empty";
        return QueueStatus::kTimedOut;
    }
}

QueueStatus MessageQueue::Fail(const char* operation, int error) {
    mErrno = error;
    mError = std::string("cannot ") + operation + " " + mName + ": " + strerror(error);
    return QueueStatus::kFailed;
}
