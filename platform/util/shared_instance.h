// A process-wide instance that is created on first use and destroyed with its last release,
// behind the GetInstance/CloseInstance pairs of the settings classes.
#pragma once

#include <exception>

#include "platform/util/diag.h"
#include "platform/util/thread_mutex.h"

template <typename T>
class SharedInstance {
  public:
    // The instance, counting one more use. When none exists: null if `create` is false, else
    // the result of `make()`; an exception of the standard family from `make` gives null and a
    // warning line "<name>: <reason>".
    template <typename Make>
    T* Acquire(bool create, const char* name, Make make) {
        ThreadMutexLock lock(&mMutex);
        if (mpInstance == nullptr) {
            if (!create) return nullptr;
            try {
                mpInstance = make();
            } catch (const std::exception& e) {
                Warn("%s: %s\n", name, e.what());
                return nullptr;
            }
        }
        ++mUses;
        return mpInstance;
    }

    // Ends one use; the last one destroys the instance. Does nothing when none exists.
    void Release() {
        ThreadMutexLock lock(&mMutex);
        if (mpInstance == nullptr || --mUses > 0) return;
        delete mpInstance;
        mpInstance = nullptr;
    }

  private:
    ThreadMutex mMutex;
    T* mpInstance = nullptr;
    unsigned mUses = 0;
};
