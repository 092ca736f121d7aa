#include "platform/messaging/queue_directory.h"

#include <map>

#include "platform/util/thread_mutex.h"

namespace {

struct Directory {
    ThreadMutex mutex;
    std::map<int, MessageQueue*> queues;
};

Directory& TheDirectory() {
    static Directory* directory = new Directory;  // never destroyed: messengers may outlive statics
    return *directory;
}

}  // namespace

bool QueueDirectory::Register(int number, MessageQueue* queue) {
    Directory& directory = TheDirectory();
    ThreadMutexLock lock(&directory.mutex);
    return directory.queues.emplace(number, queue).second;
}

void QueueDirectory::Unregister(int number) {
    Directory& directory = TheDirectory();
    ThreadMutexLock lock(&directory.mutex);
    directory.queues.erase(number);
}

MessageQueue* QueueDirectory::Find(int number) {
    Directory& directory = TheDirectory();
    ThreadMutexLock lock(&directory.mutex);
    auto entry = directory.queues.find(number);
    return entry != directory.queues.end() ? entry->second : nullptr;
}
