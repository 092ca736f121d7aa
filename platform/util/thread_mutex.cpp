#include "platform/util/thread_mutex.h"

ThreadMutex::ThreadMutex() {
    pthread_mutex_init(&mMutex, nullptr);
}
ThreadMutex::~ThreadMutex() {
    pthread_mutex_destroy(&mMutex);
}
void ThreadMutex::Lock() {
    pthread_mutex_lock(&mMutex);
}
void ThreadMutex::Unlock() {
    pthread_mutex_unlock(&mMutex);
}
