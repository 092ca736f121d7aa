// Reading the calling thread's return addresses from a signal handler, surviving an unwinder
// that gives up by calling abort (it does on frames it cannot read, such as those of a corrupted
// stack).
#pragma once

// Stores the return addresses of the calling thread's stack, innermost first, into `frames` (at
// most `max`) and returns how many. When the unwinder gave up, the frames it had stored before
// the one it could not read.
int CaptureFrames(void** frames, int max);

// For the abort handler: when the calling thread is inside CaptureFrames, jumps back into it so
// that the capture ends with the frames read so far; returns at once otherwise.
void LeaveStackCapture();
