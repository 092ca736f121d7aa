#include "platform/messaging/queue_state.h"

#include <errno.h>
#include <fcntl.h>
#include <mqueue.h>
#include <string.h>

#include "platform/messaging/message_queue.h"

QueueHealth LookAtQueue(const std::string& name, bool* denied) {
    QueueHealth view;
    view.name = name;
    MessageQueue queue;
    const QueueStatus status = queue.Open(name, O_RDONLY | O_NONBLOCK);
    struct mq_attr attributes;
    if (status == QueueStatus::kOk && mq_getattr(queue.Descriptor(), &attributes) == 0) {
        view.exists = true;
        view.waiting = static_cast<uint32_t>(attributes.mq_curmsgs);
        view.depth = static_cast<uint32_t>(attributes.mq_maxmsg);
    } else {
        view.error = status == QueueStatus::kMissing ? "no such queue"
                     : status == QueueStatus::kOk    ? strerror(errno)
                                                     : queue.error();
    }
    if (denied != nullptr)
        *denied = status == QueueStatus::kFailed &&
                  (queue.errorNumber() == EACCES || queue.errorNumber() == EPERM);
    return view;
}
