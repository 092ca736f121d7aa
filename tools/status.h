// `cdrctl status`: the recorder's health as its health record tells it, for people (one line per
// database, one for delivery, one for the recorder) or as one JSON object for machines, and an
// exit status a monitoring check can act on.
#pragma once

#include <stdio.h>

enum StatusExit {
    kStatusHealthy = 0,     // the recorder runs and nothing needs attention
    kStatusNotRunning = 1,  // no recorder runs (the record, if any, is stale)
    kStatusAttention = 2,   // it runs, but a save failed and was not made good, a store is closed,
                            // or deliveries have failed longer than the alarm delay
};

// Tells whether a recorder runs (it holds the instance lock), reads its health record and its
// delivery agent's, looks at its queues and the outbox, judges them and prints them on `out`
// (JSON when `json`). A record that cannot be read is said so in the output. Returns a StatusExit.
int PrintRecorderStatus(bool json, FILE* out);
