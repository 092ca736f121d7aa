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

// Reads the health record, judges it and prints it on `out` (JSON when `json`); a record that
// cannot be read or understood is reported on `err` and counts as no recorder running.
int PrintRecorderStatus(bool json, FILE* out, FILE* err);

// The process id of the recorder when one runs, 0 otherwise. `recordedPid` is the pid its health
// record names.
int LiveRecorderPid(int recordedPid);
