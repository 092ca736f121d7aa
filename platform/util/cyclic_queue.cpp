#include "platform/util/cyclic_queue.h"

#include <string.h>

namespace {

// What precedes each message's data in the ring.
struct MessageHeader {
    long type;
    unsigned long size;
};

}  // namespace

const unsigned long CyclicQueue::kMessageOverhead = sizeof(MessageHeader);

unsigned long CyclicQueue::CapacityFor(unsigned long count, unsigned long size) {
    return count * (size + kMessageOverhead);
}

CyclicQueue::CyclicQueue(unsigned long capacity)
    : mpRing(new char[capacity > 0 ? capacity : 1]), mCapacity(capacity), mHead(0), mUsed(0) {
    pthread_mutex_init(&mMutex, nullptr);
    pthread_cond_init(&mArrived, nullptr);
}

CyclicQueue::~CyclicQueue() {
    pthread_cond_destroy(&mArrived);
    pthread_mutex_destroy(&mMutex);
    delete[] mpRing;
}

int CyclicQueue::SendMessage(long type, const char* data, unsigned long size) {
    MessageHeader header = {type, size};
    pthread_mutex_lock(&mMutex);
    bool fits = size <= mCapacity && kMessageOverhead + size <= mCapacity - mUsed;
    if (fits) {
        CopyIn(&header, sizeof header);
        CopyIn(data, size);
        pthread_cond_signal(&mArrived);
    }
    pthread_mutex_unlock(&mMutex);
    return fits ? 1 : 0;
}

int CyclicQueue::GetMessage(long* type, char* buffer, unsigned long size) {
    MessageHeader header;
    pthread_mutex_lock(&mMutex);
    while (mUsed == 0) pthread_cond_wait(&mArrived, &mMutex);
    CopyOut(&header, sizeof header);
    unsigned long copied = header.size < size ? header.size : size;
    CopyOut(buffer, copied);
    Skip(header.size - copied);
    pthread_mutex_unlock(&mMutex);
    *type = header.type;
    return static_cast<int>(header.size);
}

// Appends `size` bytes at the tail, wrapping at the ring's end. The caller checked the room.
void CyclicQueue::CopyIn(const void* data, unsigned long size) {
    if (size == 0) return;
    unsigned long tail = (mHead + mUsed) % mCapacity;
    unsigned long first = size < mCapacity - tail ? size : mCapacity - tail;
    memcpy(mpRing + tail, data, first);
    memcpy(mpRing, static_cast<const char*>(data) + first, size - first);
    mUsed += size;
}

// Removes `size` bytes from the head into `data`.
void CyclicQueue::CopyOut(void* data, unsigned long size) {
    if (size == 0) return;
    unsigned long first = size < mCapacity - mHead ? size : mCapacity - mHead;
    memcpy(data, mpRing + mHead, first);
    memcpy(static_cast<char*>(data) + first, mpRing, size - first);
    Skip(size);
}

void CyclicQueue::Skip(unsigned long size) {
    mHead = (mHead + size) % mCapacity;
    mUsed -= size;
}
