#include "platform/util/thread.h"

#include <limits.h>
#include <pthread.h>

namespace {

struct Start {
    Thread::Procedure procedure;
    void* argument;
};

void* RunStart(void* start) {
    Start copy = *static_cast<Start*>(start);
    delete static_cast<Start*>(start);
    copy.procedure(copy.argument);
    return nullptr;
}

}  // namespace

bool Thread::BeginThread(Procedure procedure, void* argument, unsigned long stackSize) {
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) return false;
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (stackSize != 0) {
        // Too small a stack is raised to the least the system accepts.
        unsigned long least = static_cast<unsigned long>(PTHREAD_STACK_MIN);
        if (stackSize < least) stackSize = least;
        pthread_attr_setstacksize(&attributes, stackSize);
    }
    Start* start = new Start{procedure, argument};
    pthread_t thread;
    bool started = pthread_create(&thread, &attributes, RunStart, start) == 0;
    if (!started) delete start;
    pthread_attr_destroy(&attributes);
    return started;
}
