#include "guard/stack_capture.h"

#include <execinfo.h>
#include <setjmp.h>
#include <signal.h>

namespace {

// Where a capture of the stack goes on when the unwinder gives up by calling abort, as it does on
// a frame it cannot read (a corrupted stack, or a signal frame it does not know). Per thread, so
// that an abort elsewhere never jumps into this thread's capture.
thread_local sigjmp_buf sCaptureEscape;
thread_local volatile sig_atomic_t sCapturing = 0;

}  // namespace

int CaptureFrames(void** frames, int max) {
    for (int i = 0; i < max; ++i) frames[i] = nullptr;
    if (sigsetjmp(sCaptureEscape, 1) != 0) {
        sCapturing = 0;
        int stored = 0;
        while (stored < max && frames[stored] != nullptr) ++stored;
        return stored;
    }
    sCapturing = 1;
    int count = backtrace(frames, max);
    sCapturing = 0;
    return count;
}

void LeaveStackCapture() {
    if (sCapturing) siglongjmp(sCaptureEscape, 1);
}
