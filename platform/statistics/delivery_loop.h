// The delivery agent's loop: delivers the outbox's files oldest first, pausing after failures,
// until the recorder ends (delivery_agent.h describes the behaviour).
#pragma once

// Runs in the agent's process; `recorderFd` is its end of the socket pair with the recorder.
// Returns once the recorder has ended; may throw only what allocation throws.
void RunDeliveryLoop(int recorderFd);
