// cdrctl: speaks for the call manager and the web side on the command line. It posts call detail
// reports, control requests and connection announcements on the recorder's queues and prints the
// answers of the answered requests. It also prints the records the recorder stored, reading its
// files only, tells how the recorder is doing (tools/status.h), and lists and nudges the
// statistics outbox.
#pragma once

#include <stdio.h>

#include <string>
#include <vector>

#include "tools/cdrctl_arguments.h"

// Runs cdrctl with the arguments after the program name, printing answers, records, the
// recorder's status, the outbox and the usage on `out` and problems on `err`. Returns the exit
// status: 0 when posted (and answered, for the answered requests), when the records or the outbox
// were printed, or when the delivery agent was woken; 1 when the recorder's queue is missing,
// belongs to a stranger or stayed full past the timeout, or no answer came, when a record file or
// the outbox cannot be read or a record file is malformed, or when no delivery agent listens; 2
// on a bad command line, in which case nothing was sent or read. "status" returns what
// PrintRecorderStatus returns.
int RunCdrctl(const std::vector<std::string>& args, FILE* out, FILE* err);
