// A bounded queue of typed byte messages between the threads of one process.
#pragma once

#include <pthread.h>

// Messages (a type code and a run of bytes) are kept in one ring of `capacity` bytes allocated at
// construction; sending and receiving allocate nothing. Each message takes its size plus
// kMessageOverhead bytes of the ring. Any number of threads may send and receive.
class CyclicQueue {
  public:
    // Ring bytes taken by each message on top of its data.
    static const unsigned long kMessageOverhead;

    // The capacity that holds `count` messages of `size` bytes each.
    static unsigned long CapacityFor(unsigned long count, unsigned long size);

    explicit CyclicQueue(unsigned long capacity);
    ~CyclicQueue();
    CyclicQueue(const CyclicQueue&) = delete;
    CyclicQueue& operator=(const CyclicQueue&) = delete;

    // Stores a copy of `size` bytes at `data` (null allowed when `size` is 0) under `type`.
    // Returns non-zero when stored, 0 at once when there is no room for it.
    int SendMessage(long type, const char* data, unsigned long size);

    // Waits until a message is there, removes it, stores its type in `*type` and copies at most
    // `size` bytes of it into `buffer` (the rest of a longer message is lost). Returns the
    // message's full size, which may be 0 for an empty message.
    int GetMessage(long* type, char* buffer, unsigned long size);

  private:
    void CopyIn(const void* data, unsigned long size);
    void CopyOut(void* data, unsigned long size);
    void Skip(unsigned long size);

    char* mpRing;
    unsigned long mCapacity;
    unsigned long mHead;  // where the oldest message starts
    unsigned long mUsed;
    pthread_mutex_t mMutex;
    pthread_cond_t mArrived;
};
