// The delivery agent's side of its link to the recorder: the bytes the recorder sends over the
// socket pair for new files, the end of the socket when the recorder ends, and a stop signal,
// which counts as that end.
#pragma once

enum class RecorderNews { kNone, kNewFile, kGone };

// Reads, without waiting, what the recorder sent on the agent's end `fd` of the socket pair
// (-1: none): kNewFile for bytes, kGone once its end closed or a stop signal arrived.
RecorderNews ReadRecorder(int fd);

// The agent's handler of the signals that ask it to end: the next ReadRecorder says kGone.
void RequestAgentStop(int signal);
