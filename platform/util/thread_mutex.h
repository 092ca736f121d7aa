// A mutual-exclusion lock between the threads of one process.
#pragma once

#include <pthread.h>

class ThreadMutex {
  public:
    ThreadMutex();
    ~ThreadMutex();
    ThreadMutex(const ThreadMutex&) = delete;
    ThreadMutex& operator=(const ThreadMutex&) = delete;

    // Waits until the lock is free and takes it. Not recursive: the holder must not lock again.
    void Lock();
    // Releases the lock; only its holder may call this.
    void Unlock();

  private:
    pthread_mutex_t mMutex;
};

// Holds a ThreadMutex for the lifetime of the object, so every way out of a scope releases it.
class ThreadMutexLock {
  public:
    explicit ThreadMutexLock(ThreadMutex* mutex) : mpMutex(mutex) { mpMutex->Lock(); }
    ~ThreadMutexLock() { mpMutex->Unlock(); }
    ThreadMutexLock(const ThreadMutexLock&) = delete;
    ThreadMutexLock& operator=(const ThreadMutexLock&) = delete;

  private:
    ThreadMutex* mpMutex;
};
