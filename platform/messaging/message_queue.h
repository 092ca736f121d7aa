// One POSIX message queue, opened by the name the program gives it and mapped through
// Env::Current()->QueueName, so tests and sandboxes get queues of their own.
#pragma once

#include <mqueue.h>
#include <stddef.h>
#include <sys/types.h>

#include <string>

// The program's name of the queue that `number` and `path` select: "/" + the text after the
// path's last slash + "-" + number; (15, "/bin/ping") gives "/ping-15".
std::string QueueNameOf(int number, const char* path);
// The queue on which the requests arriving on `requestQueue` are answered: "<requestQueue>-reply".
std::string ReplyQueueNameOf(const std::string& requestQueue);

// The queues the recorder serves, as both it and its clients name them.
constexpr const char* kRecorderQueuePath = "/bin/ping";
constexpr int kCallManagerQueueNumber = 15;
constexpr int kWebSideQueueNumber = 111;

// Messages a created queue holds at most: kPreferredQueueDepth when the system allows it,
// otherwise /proc/sys/fs/mqueue/msg_max (10 in a fresh IPC namespace).
constexpr long kPreferredQueueDepth = 64;

enum class QueueStatus {
    kOk,
    kMissing,   // the queue does not exist
    kTimedOut,  // full (send) or empty (receive) until the deadline
    kFailed,    // any other failure; the reason is in error()
};

// An open queue descriptor, closed at destruction. Not copyable.
class MessageQueue {
  public:
    MessageQueue() = default;
    ~MessageQueue();
    MessageQueue(const MessageQueue&) = delete;
    MessageQueue& operator=(const MessageQueue&) = delete;

    // Opens the existing queue the program calls `name` ("/ping-15") with `access` (O_RDONLY,
    // O_WRONLY or O_RDWR, optionally | O_NONBLOCK). kMissing when it does not exist. Opened for
    // sending, a queue that belongs neither to root nor to this process's user is refused
    // (kFailed), so that nothing is ever sent into a queue a stranger reads.
    QueueStatus Open(const std::string& name, int access);
    // Opens the queue, creating it when it does not exist: owner-only (mode 0600), room for
    // kMaxMessageSize-byte messages, as deep as the system allows up to kPreferredQueueDepth.
    // An existing queue of another user is removed and created anew, with one warning line; when
    // it cannot be removed (only its owner and root may), kFailed. An existing queue of this user
    // that is open to others is made owner-only.
    QueueStatus Create(const std::string& name, int access);
    // Closes the descriptor, if open.
    void Close();
    // Removes the queue's name from the system; the queue lives on while descriptors remain.
    // Returns false when it could not be removed.
    bool Unlink();

    // Sends `size` bytes; when the queue is full, waits up to `timeoutMillis` (0: not at all).
    QueueStatus Send(const void* data, size_t size, int timeoutMillis);
    // Takes the oldest message into `buffer` (`capacity` >= MessageSize()) and stores its length
    // in `*size`; when the queue is empty, waits up to `timeoutMillis` (0: not at all).
    QueueStatus Receive(void* buffer, size_t capacity, size_t* size, int timeoutMillis);

    bool IsOpen() const { return mQueue != (mqd_t)-1; }
    // Whether the open queue still has its name: false once it was removed (the name may now be
    // another queue's, to be opened anew), when closed, or when the system cannot tell.
    bool IsLinked() const;
    // The descriptor, for poll(); -1 when closed.
    mqd_t Descriptor() const { return mQueue; }
    // The program's name of the queue ("/ping-15").
    const std::string& Name() const { return mName; }
    // The largest message and the number of messages the queue holds, as the system reports.
    long MessageSize() const { return mMessageSize; }
    long Depth() const { return mDepth; }
    // Why the last operation failed, naming the queue.
    const std::string& error() const { return mError; }
    // The system's error number of the last failure (ENOENT for a missing queue).
    int errorNumber() const { return mErrno; }

  private:
    // Create without taking over a stranger's queue; `access` may add O_EXCL.
    QueueStatus CreateSized(const std::string& name, int access);
    QueueStatus OpenWith(const std::string& name, int flags, const struct mq_attr* attributes);
    // Reads the open queue's owner and mode into mOwner and mMode; false (errno set) on failure.
    bool ReadOwner();
    // Whether the queue just opened with O_CREAT is the owner's alone: an existing queue of
    // another user is refused (EPERM, its owner in mOwner), one open to others is made
    // owner-only. Closes it when refused.
    bool IsPrivate();
    // Whether the queue just opened for sending belongs to root or to this user; closes it when
    // not.
    bool IsTrusted();
    QueueStatus Fail(const char* operation, int error);

    mqd_t mQueue = (mqd_t)-1;
    bool mNonBlocking = false;  // opened with O_NONBLOCK: waits do not apply
    std::string mName;
    long mMessageSize = 0;
    long mDepth = 0;
    uid_t mOwner = 0;  // of the queue last checked by ReadOwner
    mode_t mMode = 0;
    int mErrno = 0;
    std::string mError;
};
